// The ring the lanes batch their calls through: each result comes back under
// its request's tag, a failure as -errno, and a full queue says so.
#include "protection/digests/io_ring.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>

#include <map>
#include <string>

#include "tests/test_support.h"

namespace {

// Enters the ring until count requests are done: their results by tag.
std::map<uint64_t, int> Results(IoRing* ring, size_t count) {
  std::map<uint64_t, int> results;
  uint64_t tag;
  int result;
  while (results.size() < count && EnterIoRing(ring, 1))
    while (TakeCompletion(ring, &tag, &result)) results[tag] = result;
  return results;
}

TEST(IoRing, OpensReadsAndClosesEachResultUnderItsTag) {
  IoRing ring;
  if (!OpenIoRing(&ring, 4)) GTEST_SKIP() << "this system has no io_uring";
  TempFolder folder;
  const std::string path = folder.path + "/file", missing = folder.path + "/missing";
  WriteFile(path, "0123456789");
  ASSERT_TRUE(QueueOpen(&ring, path.c_str(), O_RDONLY, 7));
  ASSERT_TRUE(QueueOpen(&ring, missing.c_str(), O_RDONLY, 8));
  std::map<uint64_t, int> results = Results(&ring, 2);
  EXPECT_EQ(results[8], -ENOENT);
  const int fd = results[7];
  ASSERT_GE(fd, 0);

  char bytes[16] = {};
  ASSERT_TRUE(QueueRead(&ring, fd, bytes, sizeof bytes, 4, 9));
  ASSERT_TRUE(QueueClose(&ring, fd, 10));
  results = Results(&ring, 2);
  EXPECT_EQ(results[9], 6);
  EXPECT_STREQ(bytes, "456789");
  EXPECT_EQ(results[10], 0);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);

  // As many requests as the ring takes at a time, and not one more, until
  // the kernel has them.
  for (unsigned i = 0; i < ring.entries; ++i) EXPECT_TRUE(QueueClose(&ring, -1, i));
  EXPECT_FALSE(QueueClose(&ring, -1, ring.entries));
  results = Results(&ring, ring.entries);
  EXPECT_EQ(results.size(), ring.entries);
  for (const auto& done : results) EXPECT_EQ(done.second, -EBADF) << done.first;
  CloseIoRing(&ring);
  EXPECT_EQ(ring.fd, -1);
}

}  // namespace
