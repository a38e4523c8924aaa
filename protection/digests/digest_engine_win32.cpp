// The listing's digests on Windows, through CryptoAPI: a window of files in
// listing order, hashed by a worker thread per CPU the process may use (none
// when there is one: the listing thread hashes), a file at a time each. A
// provider context is acquired once for each worker, and once for the
// listing thread, not once for each file: acquiring one costs more than
// hashing most files. Each file still gets its own handle and hash object.
// Rows leave the window in order.
#include <stdio.h>
#include <string.h>

#include "console/console.h"
#include "protection/digests/cpus.h"
#include "protection/digests/cryptoapi_md5.h"
#include "protection/digests/digest_engine.h"
#include "protection/digests/file_digest.h"

namespace {

enum { kWindow = 1024, kMaxWorkers = 8 * sizeof(DWORD_PTR) };
enum JobState { kQueued, kTaken, kDone };

struct Job {
  wchar_t path[MAX_PATH];
  char digest_text[33];  // the digest, or the placeholder
  BYTE state;
  DWORD error;  // why a provider context could not be had, else 0
};

// Jobs run from first (the oldest not yet taken back) to end; next is the
// first not yet claimed. The counters only grow; a job's slot is its number
// modulo kWindow.
struct Engine {
  unsigned long long first, next, end;
  volatile LONG stopping;
  int workers;
  HANDLE threads[kMaxWorkers];
  HCRYPTPROV providers[kMaxWorkers];
  HCRYPTPROV own;  // the listing thread's
  Job jobs[kWindow];
};

Engine engine;
// lock guards the jobs and the counters; work wakes idle workers, done the
// listing waiting for the oldest job.
SRWLOCK lock = SRWLOCK_INIT;
CONDITION_VARIABLE work = CONDITION_VARIABLE_INIT, done = CONDITION_VARIABLE_INIT;

// Hashes job's file with provider. A provider that fails is no failure of
// the file: then the file is hashed with a context of its own, and only
// when no context can be had at all is the job left without a digest, and
// the error kept.
void Hash(Job* job, HCRYPTPROV provider) {
  memcpy(job->digest_text, kDigestPlaceholder, 33);
  job->error = 0;
  HashOutcome outcome = kNoHashObject;
  if (provider != 0) {
    const HANDLE file = OpenFileToHash(job->path);
    if (file == INVALID_HANDLE_VALUE) return;
    BYTE digest[16];
    outcome = HashOpenFile(file, provider, digest, &engine.stopping);
    CloseHandle(file);
    if (outcome == kHashed) FormatDigest(digest, job->digest_text);
  }
  if (outcome == kHashed || outcome == kReadFailed) return;
  char text[256];
  if (GetMD5ChecksumOfFile(job->path, text, sizeof text)) {
    memcpy(job->digest_text, text, 33);
    return;
  }
  const HCRYPTPROV probe = AcquireMd5Provider();
  if (probe == 0)
    job->error = GetLastError() != 0 ? GetLastError() : ERROR_NOT_SUPPORTED;
  else
    CryptReleaseContext(probe, 0);
}

DWORD WINAPI Work(void* parameter) {
  const HCRYPTPROV provider = engine.providers[reinterpret_cast<INT_PTR>(parameter)];
  AcquireSRWLockExclusive(&lock);
  for (;;) {
    while (!engine.stopping && engine.next == engine.end) SleepConditionVariableSRW(&work, &lock, INFINITE, 0);
    if (engine.stopping) break;
    const unsigned long long number = engine.next++;
    Job* job = &engine.jobs[number % kWindow];
    job->state = kTaken;
    ReleaseSRWLockExclusive(&lock);
    Hash(job, provider);
    AcquireSRWLockExclusive(&lock);
    job->state = kDone;
    if (number == engine.first) WakeAllConditionVariable(&done);
  }
  ReleaseSRWLockExclusive(&lock);
  return 0;
}

}  // namespace

int DigestWorkers() { return engine.workers; }

void BeginDigests() {
  engine.first = engine.next = engine.end = 0;
  engine.stopping = 0;
  engine.workers = 0;
  engine.own = AcquireMd5Provider();
  const int cpus = CpusAvailable();
  const int threads = cpus == 1 ? 0 : cpus < kMaxWorkers ? cpus : kMaxWorkers;
  for (int w = 0; w < threads; ++w) {
    // A worker that cannot have a context does not start; nor one that
    // cannot be created. The listing thread hashes when none starts.
    const HCRYPTPROV provider = AcquireMd5Provider();
    if (provider == 0) break;
    engine.providers[engine.workers] = provider;
    engine.threads[engine.workers] =
        CreateThread(nullptr, 0, Work, reinterpret_cast<void*>(static_cast<INT_PTR>(engine.workers)), 0, nullptr);
    if (engine.threads[engine.workers] == nullptr) {
      CryptReleaseContext(provider, 0);
      break;
    }
    ++engine.workers;
  }
}

int DigestRoom() { return engine.end - engine.first < kWindow; }

void GiveFile(const NativeChar* path) {
  AcquireSRWLockExclusive(&lock);
  Job* job = &engine.jobs[engine.end % kWindow];
  CopyText(job->path, MAX_PATH, path);  // the protected-file record's paths fit
  job->state = kQueued;
  ++engine.end;
  WakeConditionVariable(&work);
  ReleaseSRWLockExclusive(&lock);
}

int TakeDigest(NativeChar path[kNativePathCapacity], char digest_text[33], int (*keep_waiting)()) {
  AcquireSRWLockExclusive(&lock);
  if (engine.first == engine.end) {
    ReleaseSRWLockExclusive(&lock);
    return 0;
  }
  Job* job = &engine.jobs[engine.first % kWindow];
  while (job->state != kDone) {
    if (engine.workers > 0) {
      SleepConditionVariableSRW(&done, &lock, 100, 0);
      if (job->state == kDone) break;
      ReleaseSRWLockExclusive(&lock);
      if (!keep_waiting()) return 0;
      AcquireSRWLockExclusive(&lock);
    } else {
      ++engine.next;  // no workers: the files are hashed here, in order
      ReleaseSRWLockExclusive(&lock);
      Hash(job, engine.own);
      AcquireSRWLockExclusive(&lock);
      job->state = kDone;
    }
  }
  CopyText(path, kNativePathCapacity, job->path);
  memcpy(digest_text, job->digest_text, 33);
  const DWORD error = job->error;
  ++engine.first;
  ReleaseSRWLockExclusive(&lock);
  if (error != 0) {
    // Not even a context of its own could be had for this file.
    char reason[256];
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, reason,
                        sizeof reason, nullptr))
      snprintf(reason, sizeof reason, "error %lu", static_cast<unsigned long>(error));
    reason[strcspn(reason, "\r\n")] = '\0';
    AbandonScreen("cannot acquire a cryptographic provider context", reason);
    return 0;
  }
  return 1;
}

void EndDigests() {
  AcquireSRWLockExclusive(&lock);
  InterlockedExchange(&engine.stopping, 1);
  WakeAllConditionVariable(&work);
  ReleaseSRWLockExclusive(&lock);
  for (int w = 0; w < engine.workers; ++w) {
    WaitForSingleObject(engine.threads[w], INFINITE);
    CloseHandle(engine.threads[w]);
    CryptReleaseContext(engine.providers[w], 0);
  }
  if (engine.own != 0) CryptReleaseContext(engine.own, 0);
  engine.own = 0;
  engine.workers = 0;
  engine.first = engine.end;
}
