// Throughput of our MD5 against OpenSSL's MD5_Update, in one run on this
// machine; runs alternate (OpenSSL, ours, OpenSSL, ...) so that both see the
// same machine, and medians are printed side by side.
//   1. One page-cached file: OpenSSL and our Md5Update through the same loop
//      of 10,000-byte reads, and the listing's own engine hashing that file.
//   2. Each multi-buffer kernel hashing 64 KiB in every lane from memory,
//      against OpenSSL hashing the same bytes as one stream.
//   md5_bench [file] [repetitions]   (default, or "": a 512 MiB file it writes; 9)
#include <fcntl.h>
#include <openssl/md5.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "protection/digests/digest_engine.h"
#include "protection/digests/digest_engine_posix.h"
#include "protection/digests/file_digest.h"
#include "protection/digests/io_ring.h"
#include "protection/digests/md5.h"
#include "protection/digests/md5_lanes.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // MD5_* is what we compare with

namespace {

enum { kReadSize = 10000 };

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

struct Hashers {
  static void OpenSsl(int fd, unsigned char* buffer, unsigned char digest[16]) {
    MD5_CTX context;
    MD5_Init(&context);
    ssize_t got;
    while ((got = read(fd, buffer, kReadSize)) > 0) MD5_Update(&context, buffer, static_cast<size_t>(got));
    MD5_Final(digest, &context);
  }
  static void Ours(int fd, unsigned char* buffer, unsigned char digest[16]) {
    Md5 md5;
    Md5Init(&md5);
    ssize_t got;
    while ((got = read(fd, buffer, kReadSize)) > 0) Md5Update(&md5, buffer, static_cast<size_t>(got));
    Md5Final(&md5, digest);
  }
};

int KeepWaiting() { return 1; }

// Seconds for the listing's engine to hash the one file.
double EnginePass(const char* path, char digest[33]) {
  char name[4096];
  const double start = Now();
  BeginDigests();
  GiveFile(path);
  TakeDigest(name, digest, KeepWaiting);
  EndDigests();
  return Now() - start;
}

// Seconds for one pass over the file.
double Pass(const char* path, void (*hash)(int, unsigned char*, unsigned char*), unsigned char digest[16]) {
  alignas(4096) static unsigned char buffer[kReadSize];
  const int fd = open(path, O_RDONLY);
  if (fd < 0) {
    perror(path);
    exit(1);
  }
  const double start = Now();
  hash(fd, buffer, digest);
  const double seconds = Now() - start;
  close(fd);
  return seconds;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  static const char kDefaultFile[] = "/tmp/vorbane-md5-bench-512.bin";
  const char* path = argc > 1 && argv[1][0] != '\0' ? argv[1] : kDefaultFile;
  const int repetitions = argc > 2 ? atoi(argv[2]) : 9;
  struct stat status;
  if (path == kDefaultFile && stat(path, &status) != 0) {
    FILE* file = fopen(path, "wb");
    static unsigned char block[1 << 20];
    for (size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    for (int i = 0; i < 512; ++i) fwrite(block, 1, sizeof block, file);
    fclose(file);
  }
  if (stat(path, &status) != 0) return 1;
  const double mib = status.st_size / 1048576.0;

  unsigned char reference[16], ours[16];
  char engine_digest[33], reference_text[33];
  Pass(path, Hashers::OpenSsl, reference);  // warm the page cache
  std::vector<double> openssl_seconds, our_seconds, engine_seconds;
  for (int i = 0; i < repetitions; ++i) {
    openssl_seconds.push_back(Pass(path, Hashers::OpenSsl, reference));
    our_seconds.push_back(Pass(path, Hashers::Ours, ours));
    engine_seconds.push_back(EnginePass(path, engine_digest));
  }
  FormatDigest(reference, reference_text);
  if (memcmp(reference, ours, 16) != 0 || strcmp(reference_text, engine_digest) != 0) {
    printf("digests differ!\n");
    return 1;
  }
  const double openssl_rate = mib / Median(openssl_seconds);
  printf("1. MD5 of one %.0f MiB file, median of %d alternating runs\n", mib, repetitions);
  printf("  %-44s %8.1f MiB/s\n", "OpenSSL MD5_Update, 10,000-byte reads", openssl_rate);
  printf("  %-44s %8.1f MiB/s  ratio %.3f\n", "Vorbane Md5Update, 10,000-byte reads", mib / Median(our_seconds),
         mib / Median(our_seconds) / openssl_rate);
  printf("  %-44s %8.1f MiB/s  ratio %.3f\n", "Vorbane listing engine (one file: one stream)",
         mib / Median(engine_seconds), mib / Median(engine_seconds) / openssl_rate);

  // 2. The kernels: every lane hashes its own 64 KiB, 64 times over.
  enum { kLaneBytes = 64 * 1024, kRounds = 64 };
  static unsigned char lanes[kMaxLanes][kLaneBytes];
  for (int lane = 0; lane < kMaxLanes; ++lane)
    for (int i = 0; i < kLaneBytes; ++i) lanes[lane][i] = static_cast<unsigned char>((i + lane) * 2654435761u >> 11);
  const unsigned char* data[kMaxLanes];
  for (int lane = 0; lane < kMaxLanes; ++lane) data[lane] = lanes[lane];
  const Md5Kernel* kernels[8];
  const int kernel_count = UsableMd5Kernels(kernels);
  printf("\n2. Multi-buffer kernels, 64 KiB per lane from memory, median of %d alternating runs\n", repetitions);
  printf("  %-22s %5s %12s %12s %7s\n", "kernel", "lanes", "MB/s", "OpenSSL MB/s", "ratio");
  for (int k = 0; k < kernel_count; ++k) {
    std::vector<double> kernel_seconds, single_seconds;
    LaneState state = {};
    for (int i = 0; i < repetitions; ++i) {
      double start = Now();
      MD5_CTX context;
      MD5_Init(&context);
      for (int round = 0; round < kRounds; ++round)
        for (int lane = 0; lane < kernels[k]->lanes; ++lane) MD5_Update(&context, lanes[lane], kLaneBytes);
      MD5_Final(reference, &context);
      single_seconds.push_back(Now() - start);
      start = Now();
      for (int round = 0; round < kRounds; ++round) kernels[k]->run(&state, data, kLaneBytes / 64);
      kernel_seconds.push_back(Now() - start);
    }
    const double bytes = 1.0 * kRounds * kernels[k]->lanes * kLaneBytes;
    const double rate = bytes / Median(kernel_seconds) / 1e6, single = bytes / Median(single_seconds) / 1e6;
    printf("  %-22s %5d %12.1f %12.1f %7.2f\n", kernels[k]->name, kernels[k]->lanes, rate, single, rate / single);
  }
  IoRing ring;
  printf("\nThe lanes open, read and close %s\n",
         OpenIoRing(&ring, 8) ? "through io_uring, many at a time" : "one call at a time: this system has no io_uring");
  CloseIoRing(&ring);
  return 0;
}
