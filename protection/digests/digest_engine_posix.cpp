// Stands in for hashing one file at a time: a window of files in listing
// order, handed to worker threads (one per CPU the process may run on, none
// when there is one), each hashing its share in SIMD lanes. Rows leave the
// window in order; the window is bounded, so memory is too.
#include "protection/digests/digest_engine_posix.h"

#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "protection/digests/digest_engine.h"
#include "protection/digests/file_digest.h"
#include "protection/digests/lane_hasher.h"

namespace {

// A wide window lets lanes run far ahead of a large file at its head, so
// that large files meet in the lanes rather than run one after another.
enum { kWindow = 16384, kMaxWorkers = 64 };
const size_t kNames = 1 << 20;
enum JobState { kQueued, kTaken, kDone };

struct Job {
  uint32_t name;  // offset of the path in names
  uint8_t state, hashed;
  unsigned char digest[16];
};

// Jobs run from first (the oldest not yet taken back) to end; next is the
// first not yet claimed by a lane. The counters only grow; a job's slot is
// its number modulo kWindow.
struct Engine {
  uint64_t first, next, end;
  int stopping, workers;
  pthread_t threads[kMaxWorkers];
  LaneHasher hashers[kMaxWorkers + 1];  // the last is the caller's, when no workers
  const Md5Kernel* kernels[8];
  int kernel_count;
  Job jobs[kWindow];
  // The paths of the jobs, back to back in a ring, freed in job order.
  size_t names_head;
  char names[kNames];
};

Engine engine;
// lock guards the jobs and the counters; work wakes idle workers, done the
// listing waiting for the oldest job.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t work = PTHREAD_COND_INITIALIZER, done = PTHREAD_COND_INITIALIZER;
int configured_threads = -1, configured_widest = 0;

int Stopping() { return __atomic_load_n(&engine.stopping, __ATOMIC_RELAXED); }

const char* TakeJob(void*, uint32_t* slot) {
  pthread_mutex_lock(&lock);
  const char* path = nullptr;
  if (!engine.stopping && engine.next < engine.end) {
    Job* job = &engine.jobs[engine.next % kWindow];
    *slot = static_cast<uint32_t>(engine.next++ % kWindow);
    job->state = kTaken;
    path = engine.names + job->name;
  }
  pthread_mutex_unlock(&lock);
  return path;
}

void FinishJob(void*, uint32_t slot, const unsigned char* digest) {
  pthread_mutex_lock(&lock);
  engine.jobs[slot].hashed = digest != nullptr;
  if (digest != nullptr) memcpy(engine.jobs[slot].digest, digest, 16);
  engine.jobs[slot].state = kDone;
  if (slot == engine.first % kWindow) pthread_cond_signal(&done);
  pthread_mutex_unlock(&lock);
}

const LaneJobs kJobs = {TakeJob, FinishJob, nullptr};

// A worker pumps its lanes while they have work, and sleeps when there is
// no file left to take.
void* Work(void* hasher) {
  for (;;) {
    if (PumpLanes(static_cast<LaneHasher*>(hasher), &kJobs)) {
      if (Stopping()) return nullptr;
      continue;
    }
    pthread_mutex_lock(&lock);
    while (!engine.stopping && engine.next == engine.end) pthread_cond_wait(&work, &lock);
    const int stopping = engine.stopping;
    pthread_mutex_unlock(&lock);
    if (stopping) return nullptr;
  }
}

int CpusAvailable() {
  cpu_set_t cpus;
  return sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
}

double Seconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

}  // namespace

void SetDigestEngine(int threads, int widest) {
  configured_threads = threads;
  configured_widest = widest;
}

void BeginDigests() {
  const Md5Kernel* usable[8];
  const int count = UsableMd5Kernels(usable);
  const int widest = configured_widest < count ? configured_widest : count - 1;
  engine.kernel_count = count - widest;
  for (int k = 0; k < engine.kernel_count; ++k) engine.kernels[k] = usable[widest + k];
  engine.first = engine.next = engine.end = 0;
  engine.names_head = 0;
  engine.stopping = 0;
  int threads = configured_threads >= 0 ? configured_threads : CpusAvailable();
  if (configured_threads < 0 && threads == 1) threads = 0;  // the caller's thread does it all
  engine.workers = 0;
  for (int w = 0; w < threads && w < kMaxWorkers; ++w) {
    if (!BeginLaneHasher(&engine.hashers[w], engine.kernels, engine.kernel_count)) break;
    if (pthread_create(&engine.threads[w], nullptr, Work, &engine.hashers[w]) != 0) {
      EndLaneHasher(&engine.hashers[w]);
      break;
    }
    ++engine.workers;
  }
  if (engine.workers == 0) BeginLaneHasher(&engine.hashers[kMaxWorkers], engine.kernels, engine.kernel_count);
}

// Where a name of size bytes (its NUL included) fits in the ring, or
// kNames when it does not yet. Kept strictly short of the oldest name, so
// that a full ring never looks empty; back at the start as soon as there is
// room there, so that the ring touches no more memory than the names in it.
static size_t NameRoom(size_t size) {
  const size_t head = engine.names_head;
  if (engine.first == engine.end) return 0;
  const size_t tail = engine.jobs[engine.first % kWindow].name;
  if (head >= tail) return tail > size ? 0 : kNames - head >= size ? head : kNames;
  return tail - head > size ? head : kNames;
}

int DigestRoom() { return engine.end - engine.first < kWindow && NameRoom(PATH_MAX) != kNames; }

void GiveFile(const char* path) {
  pthread_mutex_lock(&lock);
  Job* job = &engine.jobs[engine.end % kWindow];
  const size_t size = strnlen(path, PATH_MAX - 1) + 1;  // DigestRoom keeps PATH_MAX bytes free
  const size_t at = NameRoom(size);
  memcpy(engine.names + at, path, size - 1);
  engine.names[at + size - 1] = '\0';
  engine.names_head = at + size;
  job->name = static_cast<uint32_t>(at);
  job->state = kQueued;
  ++engine.end;
  pthread_cond_signal(&work);
  pthread_mutex_unlock(&lock);
}

int TakeDigest(char path[kNativePathCapacity], char digest_text[33], int (*keep_waiting)()) {
  pthread_mutex_lock(&lock);
  if (engine.first == engine.end) {
    pthread_mutex_unlock(&lock);
    return 0;
  }
  Job* job = &engine.jobs[engine.first % kWindow];
  double asked = Seconds();
  while (job->state != kDone) {
    if (engine.workers > 0) {
      struct timespec until;
      clock_gettime(CLOCK_REALTIME, &until);
      until.tv_nsec += 100 * 1000 * 1000;
      if (until.tv_nsec >= 1000 * 1000 * 1000) {
        until.tv_nsec -= 1000 * 1000 * 1000;
        ++until.tv_sec;
      }
      pthread_cond_timedwait(&done, &lock, &until);
      if (job->state == kDone) break;
    }
    pthread_mutex_unlock(&lock);
    if (engine.workers == 0 && !PumpLanes(&engine.hashers[kMaxWorkers], &kJobs)) {
      // No lane could be had (no memory for one): the file goes unhashed.
      uint32_t slot;
      if (TakeJob(nullptr, &slot) != nullptr) FinishJob(nullptr, slot, nullptr);
    }
    const double now = Seconds();
    if (now - asked >= 0.1 || engine.workers > 0) {
      asked = now;
      if (!keep_waiting()) return 0;
    }
    pthread_mutex_lock(&lock);
  }
  CopyText(path, kNativePathCapacity, engine.names + job->name);
  if (job->hashed)
    FormatDigest(job->digest, digest_text);
  else
    memcpy(digest_text, kDigestPlaceholder, 33);
  ++engine.first;
  pthread_mutex_unlock(&lock);
  return 1;
}

void EndDigests() {
  pthread_mutex_lock(&lock);
  __atomic_store_n(&engine.stopping, 1, __ATOMIC_RELAXED);
  pthread_cond_broadcast(&work);
  pthread_mutex_unlock(&lock);
  for (int w = 0; w < engine.workers; ++w) {
    pthread_join(engine.threads[w], nullptr);
    EndLaneHasher(&engine.hashers[w]);
  }
  if (engine.workers == 0) EndLaneHasher(&engine.hashers[kMaxWorkers]);
  engine.workers = 0;
  engine.first = engine.end;
}
