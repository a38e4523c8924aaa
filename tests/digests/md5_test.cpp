#include "protection/digests/md5.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#ifdef VORBANE_TEST_OPENSSL
#include <openssl/md5.h>
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif

#include "protection/digests/file_digest.h"
#include "tests/test_support.h"

namespace {

std::string Hex(const unsigned char digest[16]) {
  char text[33];
  FormatDigest(digest, text);
  return text;
}

std::string Md5Of(const std::string& data) {
  Md5 md5;
  Md5Init(&md5);
  Md5Update(&md5, data.data(), data.size());
  unsigned char digest[16];
  Md5Final(&md5, digest);
  return Hex(digest);
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(random());
  return data;
}

TEST(Md5, MatchesTheRfc1321TestSuite) {
  const struct {
    const char* message;
    const char* digest;
  } kSuite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& vector : kSuite) EXPECT_EQ(Md5Of(vector.message), vector.digest) << '"' << vector.message << '"';
}

// An independent digest: OpenSSL's where the tests were built with it,
// otherwise the system's md5sum.
std::string ReferenceMd5(const std::string& data) {
#ifdef VORBANE_TEST_OPENSSL
  unsigned char digest[16];
  MD5(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  return Hex(digest);
#else
  TempFolder folder;
  WriteFile(folder.path + "/data", data);
  return SystemMd5(folder.path + "/data");
#endif
}

// The digest through one block loop, padding done here rather than by
// Md5Final, so that each loop answers for whole messages.
std::string DigestWith(void (*blocks)(uint32_t*, const unsigned char*, size_t), const std::string& data) {
  uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  std::string padded = data + '\x80';
  padded.append((120 - padded.size() % 64) % 64, '\0');
  for (int i = 0; i < 8; ++i) padded += static_cast<char>(uint64_t(data.size()) * 8 >> (8 * i));
  blocks(state, reinterpret_cast<const unsigned char*>(padded.data()), padded.size() / 64);
  unsigned char digest[16];
  for (int i = 0; i < 16; ++i) digest[i] = static_cast<unsigned char>(state[i / 4] >> (8 * (i % 4)));
  return Hex(digest);
}

TEST(Md5, BothBlockLoopsMatchAnIndependentDigestAtEveryLength) {
  const std::string data = RandomBytes(5000, 3);
  std::vector<size_t> lengths;
  for (size_t length = 0; length <= 300; ++length) lengths.push_back(length);
  std::mt19937 random(11);
  for (int i = 0; i < 40; ++i) lengths.push_back(random() % data.size());
  for (size_t length : lengths) {
    const std::string message = data.substr(0, length);
    const std::string expected = ReferenceMd5(message);
    EXPECT_EQ(DigestWith(Md5Blocks, message), expected) << length << " bytes, fast loop";
    EXPECT_EQ(DigestWith(Md5BlocksPortable, message), expected) << length << " bytes, portable loop";
  }
}

TEST(Md5, RandomSplitsGiveTheIndependentDigest) {
  std::mt19937 random(5);
  for (int i = 0; i < 60; ++i) {
    const std::string data = RandomBytes(random() % 30000, static_cast<unsigned>(i));
    Md5 md5;
    Md5Init(&md5);
    for (size_t at = 0; at < data.size();) {
      const size_t piece = std::min<size_t>(random() % 20000, data.size() - at);
      Md5Update(&md5, data.data() + at, piece);
      at += piece;
    }
    unsigned char digest[16];
    Md5Final(&md5, digest);
    EXPECT_EQ(Hex(digest), ReferenceMd5(data)) << data.size() << " bytes";
  }
}

TEST(FileDigest, EqualsMd5sumAcrossTheReadSize) {
  TempFolder folder;
  const std::string path = folder.path + "/data";
  for (size_t size : {0, 1, 9999, 10000, 10001, 20000, 123457}) {
    WriteFile(path, RandomBytes(size, static_cast<unsigned>(size)));
    char digest[256];
    EXPECT_NE(GetMD5ChecksumOfFile(path.c_str(), digest, sizeof digest), 0) << size;
    EXPECT_EQ(std::string(digest), SystemMd5(path)) << size << " bytes";
  }
}

TEST(FileDigest, LeavesThePlaceholderForWhatIsNotAReadableFile) {
  TempFolder folder;
  const std::string fifo = folder.path + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string cases[] = {folder.path + "/missing", folder.path, fifo, "/dev/null", ""};
  for (const std::string& path : cases) {
    char digest[256] = "untouched";
    EXPECT_EQ(GetMD5ChecksumOfFile(path.c_str(), digest, sizeof digest), 0) << path;
    EXPECT_STREQ(digest, "File Not Found  !!!!!!!!!!!!!!!!") << path;
  }
}

TEST(FileDigest, LeavesThePlaceholderWhenReadingFails) {
  // A regular file whose first read fails with EIO.
  char digest[256];
  EXPECT_EQ(GetMD5ChecksumOfFile("/proc/self/mem", digest, sizeof digest), 0);
  EXPECT_STREQ(digest, kDigestPlaceholder);
}

TEST(FileDigest, NeverWritesPastASmallBuffer) {
  TempFolder folder;
  const std::string path = folder.path + "/data";
  WriteFile(path, "abc");
  char digest[40];
  memset(digest, '#', sizeof digest);
  EXPECT_EQ(GetMD5ChecksumOfFile(path.c_str(), digest, 32), 0);
  EXPECT_EQ(digest[0], '\0');
  EXPECT_EQ(digest[1], '#');
  EXPECT_NE(GetMD5ChecksumOfFile(path.c_str(), digest, 33), 0);
  EXPECT_STREQ(digest, "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
