// Throughput of our MD5 against OpenSSL's MD5_Update, hashing the same
// page-cached file through the same loop of 10,000-byte reads into a
// page-aligned buffer. Runs alternate (OpenSSL, ours, OpenSSL, ...) so that
// both see the same machine; medians are printed side by side.
//   md5_bench [file] [repetitions]   (default, or "": a 256 MiB file it writes; 9)
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

#include "protection/md5.h"

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
  static const char kDefaultFile[] = "/tmp/vorbane-md5-bench.bin";
  const char* path = argc > 1 && argv[1][0] != '\0' ? argv[1] : kDefaultFile;
  const int repetitions = argc > 2 ? atoi(argv[2]) : 9;
  struct stat status;
  if (path == kDefaultFile && stat(path, &status) != 0) {
    FILE* file = fopen(path, "wb");
    static unsigned char block[1 << 20];
    for (size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    for (int i = 0; i < 256; ++i) fwrite(block, 1, sizeof block, file);
    fclose(file);
  }
  if (stat(path, &status) != 0) return 1;
  const double mib = status.st_size / 1048576.0;

  unsigned char reference[16], ours[16];
  Pass(path, Hashers::OpenSsl, reference);  // warm the page cache
  std::vector<double> openssl_seconds, our_seconds;
  for (int i = 0; i < repetitions; ++i) {
    openssl_seconds.push_back(Pass(path, Hashers::OpenSsl, reference));
    our_seconds.push_back(Pass(path, Hashers::Ours, ours));
  }
  if (memcmp(reference, ours, 16) != 0) {
    printf("digests differ!\n");
    return 1;
  }
  const double openssl_rate = mib / Median(openssl_seconds), our_rate = mib / Median(our_seconds);
  printf("MD5 of %.0f MiB in 10,000-byte reads, median of %d alternating runs\n", mib, repetitions);
  printf("  OpenSSL MD5_Update  %8.1f MiB/s\n", openssl_rate);
  printf("  Vorbane Md5Update   %8.1f MiB/s\n", our_rate);
  printf("  ratio (ours/OpenSSL) %.3f\n", our_rate / openssl_rate);
  return 0;
}
