// The listing's hashing engine: every kernel, with and without threads,
// against an independent digest and against one file at a time.
#include "protection/digests/digest_engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "console/console.h"
#include "protection/digests/digest_engine_posix.h"
#include "protection/digests/file_digest.h"
#include "protection/digests/lane_hasher.h"
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

// The digests of paths, in order, through the engine with threads workers,
// kernels from number widest down, lane_buffers lane buffers to be had, and
// the lanes' calls batched through a ring or not; giving(i) runs before
// paths[i] is given, the engine started.
Digests EngineDigests(
    const std::vector<std::string>& paths, int threads, int widest, int lane_buffers = -1, int ring = 1,
    const std::function<void(size_t)>& giving = [](size_t) {}) {
  SetDigestEngine(threads, widest, lane_buffers, ring);
  BeginDigests();
  Digests digests;
  size_t given = 0;
  for (;;) {
    for (; given < paths.size() && DigestRoom(); ++given) {
      giving(given);
      GiveFile(paths[given].c_str());
    }
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
  const size_t lane_read = kLaneRead;  // a lane's reads end and begin at its multiples
  for (size_t size : {size_t{0}, size_t{1}, size_t{55}, size_t{56}, size_t{63}, size_t{64}, size_t{65}, lane_read - 1,
                      lane_read, lane_read + 1, 2 * lane_read + 1, big}) {
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
  paths.push_back("missing");                                    // no folder
  paths.push_back("/" + std::string(PATH_MAX - 4, 'x') + "/y");  // as long as a path is kept
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
  for (int threads : {0, 3})  // where the system has no io_uring
    EXPECT_EQ(EngineDigests(paths, threads, 0, -1, 0), one_at_a_time) << threads << " threads, calls one at a time";
}

// Fewer large files than lanes: a worker with none left to take is handed
// one of another's part way through, buffer and state, and hashes it on;
// files given after that share its lanes, each under its own ring tag.
TEST(DigestEngine, AFileHandedToAnotherWorkerPartWayKeepsItsDigest) {
  TempFolder folder;
  std::mt19937 random(2026);
  std::vector<std::string> paths;
  Digests one_at_a_time;
  for (size_t i = 0; i < 106; ++i) {  // 6 large, then 100 of a few reads each
    paths.push_back(folder.path + "/" + std::to_string(i));
    WriteFile(paths.back(), RandomBytes(&random, i < 6 ? (3 << 20) + i * 4099 : 3 * kLaneRead + i));
    char digest[256];
    GetMD5ChecksumOfFile(paths.back().c_str(), digest, sizeof digest);
    one_at_a_time.push_back(digest);
  }
  const struct { int threads, ring; } cases[] = {{2, 1}, {3, 1}, {2, 0}, {3, 0}};
  for (const auto& c : cases) {
    int handed = 0;
    for (int run = 0; run < 20 && handed == 0; ++run) {  // whether one is handed over is the workers' race
      const auto after_the_large = [&](size_t given) {
        if (given != 6) return;
        for (int waited = 0; waited < 2000 && DigestLanesHandedOver() == 0; ++waited) usleep(100);
        handed = DigestLanesHandedOver();
      };
      EXPECT_EQ(EngineDigests(paths, c.threads, 0, -1, c.ring, after_the_large), one_at_a_time)
          << c.threads << " threads, ring " << c.ring;
    }
    EXPECT_GT(handed, 0) << c.threads << " threads, ring " << c.ring;
  }
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

// Files of many sizes, and what one file at a time makes of them.
struct Files {
  TempFolder folder;
  std::vector<std::string> paths;
  Digests one_at_a_time;
  explicit Files(int count) {
    std::mt19937 random(16);
    for (int i = 0; i < count; ++i) {
      paths.push_back(folder.path + "/" + std::to_string(i));
      WriteFile(paths.back(), RandomBytes(&random, i == 0 ? 1 : random() % 300000));
      char digest[256];
      GetMD5ChecksumOfFile(paths.back().c_str(), digest, sizeof digest);
      one_at_a_time.push_back(digest);
    }
  }
};

// Takes every descriptor the process may still open but spare; returns them.
std::vector<int> TakeDescriptors(int spare) {
  std::vector<int> taken;
  for (int fd; (fd = dup(STDIN_FILENO)) >= 0;) taken.push_back(fd);
  for (; spare > 0 && !taken.empty(); --spare) {
    close(taken.back());
    taken.pop_back();
  }
  return taken;
}

void Close(std::vector<int>* descriptors) {
  for (int fd : *descriptors) close(fd);
  descriptors->clear();
}

TEST(DigestEngine, ManyWorkersShareWhatDescriptorsThereAre) {
  const Files files(200);
  struct rlimit saved, low;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  low = saved;
  low.rlim_cur = 40;  // a dozen lanes for 32 workers, beside what the test holds
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  EXPECT_EQ(EngineDigests(files.paths, 32, 0), files.one_at_a_time);

  // Descriptors run short after the lanes were sized: they wait for one
  // another, and no file goes without its digest. Two workers have room for
  // their rings, whose opens fail the same way.
  std::vector<int> taken;
  const struct {
    int workers;
    rlim_t limit;
  } shortages[] = {{32, 40}, {2, 200}};
  for (const auto& shortage : shortages) {
    low.rlim_cur = shortage.limit;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    EXPECT_EQ(EngineDigests(files.paths, shortage.workers, 0, -1, 1,
                            [&](size_t given) {
                              if (given == 0) taken = TakeDescriptors(2);
                            }),
              files.one_at_a_time)
        << shortage.workers << " workers";
    Close(&taken);
  }
  low.rlim_cur = 40;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);

  // A database reader finds no descriptor: a lane lets go of its file first.
  SetDigestEngine(0, 0);
  BeginDigests();
  EXPECT_FALSE(FreeDigestDescriptor());  // no lane holds a file yet
  for (size_t given = 0; given < files.paths.size() && DigestRoom(); ++given) GiveFile(files.paths[given].c_str());
  char path[PATH_MAX], digest[33];
  ASSERT_TRUE(TakeDigest(path, digest, KeepWaiting));  // a small file: the lanes hold the larger ones
  taken = TakeDescriptors(0);
  EXPECT_TRUE(FreeDigestDescriptor());
  const int reader = dup(STDIN_FILENO);
  EXPECT_GE(reader, 0);
  close(reader);
  Close(&taken);
  EndDigests();
  SetDigestEngine(-1, 0);

  // Not one descriptor left: the listing stops at the first file and says why.
  testing::internal::CaptureStderr();
  const Digests digests = EngineDigests(files.paths, 8, 0, -1, 1, [&](size_t given) {
    if (given == 0) taken = TakeDescriptors(0);
  });
  Close(&taken);
  EXPECT_TRUE(digests.empty());
  EXPECT_TRUE(ScreenAbandoned());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "vorbane: cannot open " + files.paths[0] + ": Too many open files\n");
  setrlimit(RLIMIT_NOFILE, &saved);
}

// More files than the window holds: short names in one folder fill its
// slots first; long names in a long folder and one inside it, taken at
// random, fill its room for paths first, a folder written again each time
// it changes. Slots and paths are reused while large files wait for a lane
// and small ones are taken in order.
TEST(DigestEngine, MoreFilesThanTheWindowComeBackInOrder) {
  TempFolder folder;
  std::mt19937 random(65536);
  const struct {
    std::vector<std::string> folders;
    std::string name;
  } cases[] = {{{"s"}, ""},
               {{std::string(100, 'a'), std::string(100, 'a') + "/" + std::string(100, 'b')}, std::string(100, 'l')}};
  for (const auto& c : cases) {
    std::vector<std::string> distinct, paths;
    Digests once, expected;
    for (const std::string& subfolder : c.folders) {
      const std::string at = folder.path + "/" + subfolder + "/" + c.name;
      MakeFolders(folder.path + "/" + subfolder);
      distinct.push_back(at + "missing");
      for (size_t size : {size_t{0}, size_t{100}, size_t{kLaneRead} + 1, size_t{100000}}) {  // the last two are large
        distinct.push_back(at + std::to_string(size));
        WriteFile(distinct.back(), RandomBytes(&random, size));
      }
    }
    for (const std::string& path : distinct) {
      char digest[256];
      GetMD5ChecksumOfFile(path.c_str(), digest, sizeof digest);
      once.push_back(digest);
    }
    for (int i = 0; i < 70000; ++i) {
      const size_t d = distinct.size() / c.folders.size() * (random() % c.folders.size()) +
                       (i % 64 == 0 ? 3 + random() % 2 : random() % 3);
      paths.push_back(distinct[d]);
      expected.push_back(once[d]);
    }
    for (int threads : {0, 2})
      EXPECT_TRUE(EngineDigests(paths, threads, 0) == expected) << c.folders[0].size() << "-byte folder, " << threads;
  }
}

TEST(DigestEngine, HashesFilesTheDeviceMustReadFirst) {
  // Out of the page cache, a read would wait for the device: the lanes ask
  // for the bytes ahead and hash what is there meanwhile.
  const Files files(64);
  const struct { int threads, ring; } engines[] = {{0, 1}, {2, 1}, {2, 0}};
  for (const auto& engine : engines) {
    for (const std::string& path : files.paths) {
      const int fd = open(path.c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      fsync(fd);
      posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
      close(fd);
    }
    EXPECT_EQ(EngineDigests(files.paths, engine.threads, 0, -1, engine.ring), files.one_at_a_time)
        << engine.threads << " threads, ring " << engine.ring;
  }
}

TEST(DigestEngine, RunsWithFewerLanesWhenMemoryRunsShortAndStopsWithNone) {
  const Files files(100);
  for (int lane_buffers : {1, 3, 33})
    for (int threads : {0, 2})
      EXPECT_EQ(EngineDigests(files.paths, threads, 0, lane_buffers), files.one_at_a_time)
          << lane_buffers << " lane buffers, " << threads << " threads";
  testing::internal::CaptureStderr();
  EXPECT_TRUE(EngineDigests(files.paths, 2, 0, 0).empty());
  EXPECT_TRUE(ScreenAbandoned());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "vorbane: cannot allocate memory to hash files: Cannot allocate memory\n");
}

}  // namespace
