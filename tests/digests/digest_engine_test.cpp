// The listing's hashing engine: every kernel, with and without threads,
// against an independent digest and against one file at a time.
#include "protection/digests/digest_engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "protection/digests/digest_engine_posix.h"
#include "protection/digests/file_digest.h"
#include "protection/digests/md5_lanes.h"
#include "tests/test_support.h"

#ifdef VORBANE_TEST_OPENSSL
#include <openssl/md5.h>
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // MD5() is the independent digest
#endif

namespace {

using Digests = std::vector<std::string>;

// OpenSSL's digest where the tests were built with it, else md5sum's.
std::string IndependentMd5(const std::string& path, const std::string& content) {
#ifdef VORBANE_TEST_OPENSSL
  (void)path;
  unsigned char digest[16];
  char text[33];
  MD5(reinterpret_cast<const unsigned char*>(content.data()), content.size(), digest);
  FormatDigest(digest, text);
  return text;
#else
  return SystemMd5(path);
#endif
}

int KeepWaiting() { return 1; }

// The digests of paths, in order, through the engine with threads workers
// and kernels from number widest down.
Digests EngineDigests(const std::vector<std::string>& paths, int threads, int widest) {
  SetDigestEngine(threads, widest);
  BeginDigests();
  Digests digests;
  size_t given = 0;
  for (;;) {
    while (given < paths.size() && DigestRoom()) GiveFile(paths[given++].c_str());
    char path[PATH_MAX], digest[33];
    if (!TakeDigest(path, digest, KeepWaiting)) break;
    EXPECT_EQ(path, paths[digests.size()]);
    digests.push_back(digest);
  }
  EndDigests();
  SetDigestEngine(-1, 0);
  return digests;
}

std::vector<const Md5Kernel*> Kernels() {
  const Md5Kernel* kernels[8];
  return std::vector<const Md5Kernel*>(kernels, kernels + UsableMd5Kernels(kernels));
}

std::string RandomBytes(std::mt19937* random, size_t size) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>((*random)());
  return bytes;
}

TEST(DigestEngine, EveryKernelAgreesWithAnIndependentDigest) {
  TempFolder folder;
  std::mt19937 random(1321);
  std::vector<std::string> paths;
  Digests expected;
  auto add = [&](size_t size) {
    paths.push_back(folder.path + "/" + std::to_string(paths.size()));
    const std::string content = RandomBytes(&random, size);
    WriteFile(paths.back(), content);
    expected.push_back(IndependentMd5(paths.back(), content));
  };
  for (size_t size = 0; size <= 300; ++size) add(size);
  for (int i = 0; i < 24; ++i) add(random() % (1 << 20));
  // Mixed, so that lanes end at different steps.
  std::vector<size_t> order(paths.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), random);
  std::vector<std::string> mixed_paths;
  Digests mixed_expected;
  for (size_t i : order) {
    mixed_paths.push_back(paths[i]);
    mixed_expected.push_back(expected[i]);
  }
  const auto kernels = Kernels();
  for (size_t k = 0; k < kernels.size(); ++k)
    EXPECT_TRUE(EngineDigests(mixed_paths, 0, static_cast<int>(k)) == mixed_expected) << kernels[k]->name;
}

TEST(DigestEngine, GivesWhatOneFileAtATimeGivesWithAnyKernelAndThreads) {
  TempFolder folder;
  std::mt19937 random(1992);
#ifdef __OPTIMIZE__
  const size_t big = 100 << 20;
#else
  const size_t big = 10 << 20;  // unoptimised kernels are slow
#endif
  std::vector<std::string> paths;
  for (size_t size : {size_t{0}, size_t{1}, size_t{55}, size_t{56}, size_t{63}, size_t{64}, size_t{65}, size_t{65535},
                      size_t{65536}, size_t{65537}, big}) {
    paths.push_back(folder.path + "/" + std::to_string(size));
    WriteFile(paths.back(), RandomBytes(&random, size));
  }
  paths.push_back(folder.path + "/missing");
  paths.push_back(folder.path + "/fifo");
  mkfifo(paths.back().c_str(), 0600);
  paths.push_back(folder.path);
  paths.push_back("/proc/self/mem");  // every read fails
  paths.push_back("/proc/version");   // size 0, yet it has content
  paths.push_back("");
  Digests one_at_a_time;
  for (const std::string& path : paths) {
    char digest[256];
    GetMD5ChecksumOfFile(path.c_str(), digest, sizeof digest);
    one_at_a_time.push_back(digest);
  }
  const auto kernels = Kernels();
  for (size_t k = 0; k < kernels.size(); ++k)
    for (int threads : {0, 1, 3})
      EXPECT_EQ(EngineDigests(paths, threads, static_cast<int>(k)), one_at_a_time)
          << kernels[k]->name << ", " << threads << " threads";
}

TEST(DigestEngine, CountsTheLengthInBitsBeyondThirtyTwoBits) {
#ifndef __OPTIMIZE__
  GTEST_SKIP() << "1.5 GB of hashing is for optimised builds";
#endif
  TempFolder folder;
  std::vector<std::string> paths;
  Digests expected;
  for (off_t size : {(off_t{1} << 29) - 1, off_t{1} << 29, (off_t{1} << 29) + 1}) {
    paths.push_back(folder.path + "/" + std::to_string(size));
    WriteFile(paths.back(), "");
    ASSERT_EQ(truncate(paths.back().c_str(), size), 0);
    expected.push_back(SystemMd5(paths.back()));
  }
  EXPECT_EQ(EngineDigests(paths, 0, 0), expected);
}

}  // namespace
