// Stands in for hashing one file at a time: a window of files in listing
// order, handed to worker threads (one per CPU the process may use, none
// when there is one), each hashing its share in SIMD lanes, the largest
// files first (every other worker the oldest small ones), so that the last
// large file of the window does not run alone at the end. A worker left
// with nothing to take is handed a large file part way through by one
// that has several. Rows leave the window in order; the window is bounded,
// so memory is too.
//
// Our own resources never make a readable file's row the placeholder: the
// files in flight are sized to the descriptors the process has left, a lane
// that finds none waits until another lane closes a file, and when no lane
// can hold even one file, or no lane buffer can be had, the listing stops
// at that row and says why.
#include "protection/digests/digest_engine_posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>

#include "console/console.h"
#include "protection/digests/cpus.h"
#include "protection/digests/digest_engine.h"
#include "protection/digests/file_digest.h"
#include "protection/digests/lane_hasher.h"
#include "protection/regular_file.h"

namespace {

// A wide window lets lanes run far ahead of a large file at its head, so
// that large files meet in the lanes rather than run one after another, and
// the lanes have other files while one runs: 49,152 lists the whole
// database 5% sooner than 32,768, and 65,536, which holds every one of the
// 50,000 files under /usr/lib/ where the paths let 49,152 hold 38,000,
// lists those 16% sooner.
enum { kWindow = 65536, kMaxWorkers = 64 };
// Descriptors left to the database readers while the lanes hold theirs: a
// text database and a folder being listed, or rpm's sqlite with its journal
// files and the library being loaded.
enum { kReaderDescriptors = 8 };
// The window's paths, each folder written once for the files that follow
// one another in it: about 30 bytes a path on a packaged system, so room
// for the window's jobs.
const size_t kNames = 2 << 20;
// The most a path takes there: its folder, the folder's offset and its name.
const size_t kLargestRecord = PATH_MAX + 8;
enum JobState { kQueued, kTaken, kDone };

struct Job {
  uint64_t size;  // when it was given
  uint32_t name;  // offset of its record in names
  uint8_t state, hashed;
  uint8_t error;  // errno of our own failure to hash it, else 0
  unsigned char digest[16];
};

// Jobs run from first (the oldest not yet taken back) to end. The counters
// only grow; a job's slot is its number modulo kWindow. Of the jobs no lane
// has claimed yet, the large wait in a heap, the largest on top, and are
// taken first (by every other worker, once no small one is left); the small
// are taken in order, from next_small on.
struct Engine {
  uint64_t first, end, next_small;
  uint32_t queued;  // jobs not yet claimed
  uint32_t heaped;  // of them, the large ones in the heap
  uint32_t queue[kWindow];
  int stopping, workers, waiters;
  pthread_t threads[kMaxWorkers];
  LaneHasher hashers[kMaxWorkers + 1];  // the last is the caller's, when no workers
  const Md5Kernel* kernels[8];
  double costs[8], single_cost;
  int kernel_count;
  FileBudget budget;
  Job jobs[kWindow];
  // The paths of the jobs, back to back in a ring, freed in job order: a
  // folder (its last slash included) and a NUL when it differs from the
  // last job's, then for each job the folder's offset (4 bytes), its name
  // and a NUL.
  size_t names_head;
  char names[kNames];
};

Engine engine;
// lock guards the jobs and the counters; work wakes idle workers, done the
// listing waiting for the oldest job, closed whoever waits for a descriptor.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t work = PTHREAD_COND_INITIALIZER, done = PTHREAD_COND_INITIALIZER, closed = PTHREAD_COND_INITIALIZER;
int configured_threads = -1, configured_widest = 0, configured_buffers = -1, configured_ring = 1;

LaneHasher* CallersHasher() { return &engine.hashers[kMaxWorkers]; }

int Stopping() { return __atomic_load_n(&engine.stopping, __ATOMIC_RELAXED); }

// A file larger than one read is large: which of the small ones a lane
// takes first makes no difference worth a heap's work.
bool Large(uint64_t size) { return size > kLaneRead; }

// The heap's order: larger files first, then older ones.
bool Before(uint32_t x, uint32_t y) {
  const uint64_t size_x = engine.jobs[x].size, size_y = engine.jobs[y].size;
  if (size_x != size_y) return size_x < size_y;
  const uint32_t first = static_cast<uint32_t>(engine.first % kWindow);
  return (x + kWindow - first) % kWindow > (y + kWindow - first) % kWindow;  // kWindow need not divide 2^32
}

// The folder a job's record names: the oldest of the record's bytes.
uint32_t FolderOf(uint32_t name) {
  uint32_t folder;
  memcpy(&folder, engine.names + name, sizeof folder);
  return folder;
}

// The path of the job whose record is at name, in capacity bytes: all of
// it, as GiveFile keeps no more than PATH_MAX - 1.
void JoinPath(uint32_t name, char* path, size_t capacity) {
  const char* folder = engine.names + FolderOf(name);
  const char* file = engine.names + name + sizeof(uint32_t);
  const size_t folder_length = strnlen(folder, capacity - 1);
  memcpy(path, folder, folder_length);
  const size_t file_length = strnlen(file, capacity - 1 - folder_length);
  memcpy(path + folder_length, file, file_length);
  path[folder_length + file_length] = '\0';
}

// A hasher's queue is null when it takes the largest file first, and this
// when it takes the oldest small one first.
int oldest_small_first = 1;

int TakeJob(void* order, uint32_t* slot, uint64_t* size, char* path) {
  pthread_mutex_lock(&lock);
  Job* job = nullptr;
  if (!engine.stopping && engine.queued > 0) {
    const bool small_first = order == &oldest_small_first && engine.queued > engine.heaped;
    --engine.queued;
    if (engine.heaped > 0 && !small_first) {
      std::pop_heap(engine.queue, engine.queue + engine.heaped--, Before);
      *slot = engine.queue[engine.heaped];
    } else {  // a small job is queued, from next_small on; the large ones wait in the heap
      if (engine.next_small < engine.first) engine.next_small = engine.first;
      do *slot = static_cast<uint32_t>(engine.next_small++ % kWindow);
      while (engine.jobs[*slot].state != kQueued || Large(engine.jobs[*slot].size));
    }
    job = &engine.jobs[*slot];
    job->state = kTaken;
    *size = job->size;
  }
  pthread_mutex_unlock(&lock);
  // Outside the lock: a taken job's record stays as it is until the job is
  // done and the window's head has passed it.
  if (job != nullptr) JoinPath(job->name, path, PATH_MAX);
  return job != nullptr;
}

void FinishJob(void*, uint32_t slot, const unsigned char* digest, int error) {
  pthread_mutex_lock(&lock);
  Job* job = &engine.jobs[slot];
  job->hashed = digest != nullptr;
  job->error = static_cast<uint8_t>(error);
  if (digest != nullptr) memcpy(job->digest, digest, 16);
  job->state = kDone;
  if (slot == engine.first % kWindow) pthread_cond_signal(&done);
  pthread_mutex_unlock(&lock);
}

void FileClosed(void*) {
  if (__atomic_load_n(&engine.waiters, __ATOMIC_ACQUIRE) == 0) return;
  pthread_mutex_lock(&lock);
  pthread_cond_broadcast(&closed);
  pthread_mutex_unlock(&lock);
}

const LaneJobs kJobs = {TakeJob, FinishJob, FileClosed, nullptr, &engine.budget};
// Lanes step together, a block each, so a lane's file goes at the pace of
// its worker's steps, and steps between files that open and close every few
// blocks are slow: a large file among many small ones fell behind the
// listing, which then waited for it alone. With two workers or more, every
// other one takes the oldest small file first: the large files go through
// lanes that step at the kernel's pace, the small ones leave in order.
const LaneJobs kSmallFirstJobs = {TakeJob, FinishJob, FileClosed, &oldest_small_first, &engine.budget};

// The time a wait of milliseconds from now ends, for pthread_cond_timedwait.
struct timespec After(long milliseconds) {
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_nsec += milliseconds * 1000 * 1000;
  if (until.tv_nsec >= 1000 * 1000 * 1000) {
    until.tv_nsec -= 1000 * 1000 * 1000;
    ++until.tv_sec;
  }
  return until;
}

// Waits, with the lock held, until a lane closes a file or a while passes.
void AwaitClosedFile() {
  const struct timespec until = After(10);
  __atomic_add_fetch(&engine.waiters, 1, __ATOMIC_ACQ_REL);
  pthread_cond_timedwait(&closed, &lock, &until);
  __atomic_sub_fetch(&engine.waiters, 1, __ATOMIC_ACQ_REL);
}

// A worker with no file left to take asks for one of another worker's: a
// large file waited for at the window's head, or one of the last, need not
// share a step with other files while a CPU is idle. Under lock, but for
// taker, which the busy workers look at after each step.
struct Handover {
  LaneHasher* taker;  // the worker that asks, if one does
  int handed;         // a lane is in the parcel for it
  LaneParcel parcel;
  int count;  // lanes handed over this listing
};
Handover handover;
// Less left than this goes faster where it is than it would be handed over.
const uint64_t kWorthHandingOver = 1 << 20;

LaneHasher* Taker() { return __atomic_load_n(&handover.taker, __ATOMIC_RELAXED); }

void HandOverLane(LaneHasher* hasher) {
  pthread_mutex_lock(&lock);
  if (handover.taker != nullptr && handover.taker != hasher && !handover.handed &&
      GiveLane(hasher, &handover.parcel, kWorthHandingOver)) {
    handover.handed = 1;
    __atomic_add_fetch(&handover.count, 1, __ATOMIC_RELAXED);
    pthread_cond_broadcast(&work);
  }
  pthread_mutex_unlock(&lock);
}

// A worker pumps its lanes while they have work, and sleeps when there is
// no file left to take, or no descriptor to open one with; while it sleeps
// for want of files, it takes one another worker hands over.
void* Work(void* argument) {
  LaneHasher* hasher = static_cast<LaneHasher*>(argument);
  const LaneJobs* jobs = (hasher - engine.hashers) % 2 ? &kSmallFirstJobs : &kJobs;
  for (;;) {
    const int pumped = PumpLanes(hasher, jobs);
    if (pumped == kPumped) {
      if (Stopping()) return nullptr;
      if (Taker() != nullptr) HandOverLane(hasher);
      continue;
    }
    pthread_mutex_lock(&lock);
    if (pumped == kPumpAwaitsDescriptor && !engine.stopping) AwaitClosedFile();
    if (pumped == kPumpIdle && !engine.stopping && engine.queued == 0 && handover.taker == nullptr) {
      OfferLane(hasher, &handover.parcel);
      __atomic_store_n(&handover.taker, hasher, __ATOMIC_RELAXED);
    }
    while (pumped == kPumpIdle && !engine.stopping && engine.queued == 0 &&
           !(handover.taker == hasher && handover.handed))
      pthread_cond_wait(&work, &lock);
    if (handover.taker == hasher) {  // handed a lane, or files to take again
      if (handover.handed) TakeLane(hasher, &handover.parcel);
      handover.handed = 0;
      __atomic_store_n(&handover.taker, nullptr, __ATOMIC_RELAXED);
    }
    const int stopping = engine.stopping;
    pthread_mutex_unlock(&lock);
    if (stopping) return nullptr;
  }
}

// Descriptors this process may still open.
int DescriptorsLeft() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  const long long soft = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (1 << 24) ? 1 << 24 : limit.rlim_cur;
  int open = 0;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (const struct dirent* entry = readdir(fds)) open += entry->d_name[0] != '.';
    closedir(fds);
    --open;  // the listing's own
  } else {
    for (int fd = 0; fd < soft && fd < 4096; ++fd) open += fcntl(fd, F_GETFD) != -1;
  }
  return static_cast<int>(soft - open);
}

// At most wanted lanes, fewer when a test says that memory runs short.
int LanesAllowed(int wanted) {
  if (configured_buffers < 0) return wanted;
  const int allowed = wanted < configured_buffers ? wanted : configured_buffers;
  configured_buffers -= allowed;
  return allowed;
}

double Seconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// The usable kernels, from the widest a test allows, and what each costs on
// this CPU (measured once a run).
int Kernels(const Md5Kernel** kernels, double* costs, double* single_cost) {
  static const Md5Kernel* usable[8];
  static double usable_costs[8], usable_single_cost;
  static int count = 0;
  if (count == 0) {
    count = UsableMd5Kernels(usable);
    MeasureKernels(usable, count, usable_costs, &usable_single_cost);
  }
  const int widest = configured_widest < count ? configured_widest : count - 1;
  for (int k = widest; k < count; ++k) {
    kernels[k - widest] = usable[k];
    costs[k - widest] = usable_costs[k];
  }
  *single_cost = usable_single_cost;
  return count - widest;
}

int Threads() {
  if (configured_threads >= 0) return configured_threads < kMaxWorkers ? configured_threads : kMaxWorkers;
  const int cpus = CpusAvailable();
  return cpus == 1 ? 0 : cpus < kMaxWorkers ? cpus : kMaxWorkers;  // one CPU: the caller's thread does it all
}

}  // namespace

void SetDigestEngine(int threads, int widest, int lane_buffers, int ring) {
  configured_threads = threads;
  configured_widest = widest;
  configured_buffers = lane_buffers;
  configured_ring = ring;
}

int DigestWorkers() { return engine.workers; }

int DigestLanesHandedOver() { return __atomic_load_n(&handover.count, __ATOMIC_RELAXED); }

int DigestDescriptorsWanted() {
  const Md5Kernel* kernels[8];
  UsableMd5Kernels(kernels);
  const int threads = Threads();
  return (threads > 0 ? threads : 1) * (kernels[0]->lanes + 1) + kReaderDescriptors + 3;  // lanes and a ring each
}

void BeginDigests() {
  engine.kernel_count = Kernels(engine.kernels, engine.costs, &engine.single_cost);
  engine.first = engine.end = engine.next_small = 0;
  engine.queued = engine.heaped = 0;
  engine.names_head = 0;
  engine.stopping = 0;
  handover.taker = nullptr;
  handover.handed = 0;
  __atomic_store_n(&handover.count, 0, __ATOMIC_RELAXED);
  engine.budget = {0, 0, 0};

  // As many files in flight as the descriptors left allow, with room kept
  // for the database readers; never fewer than one. Each hasher has a ring
  // for its calls only when the descriptors allow it every lane beside it:
  // a descriptor is worth more as a file in flight than as a ring.
  int files = DescriptorsLeft() - kReaderDescriptors;
  int threads = Threads();
  const int hashers = threads > 0 ? threads : 1;
  const int rings = configured_ring && files >= hashers * (engine.kernels[0]->lanes + 1);
  if (rings) files -= hashers;
  if (files < 1) files = 1;
  if (threads > files) threads = files;
  int ready = 0;  // hashers with lanes: short of memory, fewer
  while (ready < threads && BeginLaneHasher(&engine.hashers[ready], engine.kernels, engine.costs, engine.single_cost,
                                            engine.kernel_count, LanesAllowed(files / threads), rings))
    engine.budget.limit += engine.hashers[ready++].lane_count;
  engine.workers = 0;
  for (; engine.workers < ready; ++engine.workers)
    if (pthread_create(&engine.threads[engine.workers], nullptr, Work, &engine.hashers[engine.workers]) != 0) break;
  for (int w = engine.workers; w < ready; ++w) {  // short of threads: the others do the work
    __atomic_sub_fetch(&engine.budget.limit, engine.hashers[w].lane_count, __ATOMIC_ACQ_REL);
    EndLaneHasher(&engine.hashers[w], &kJobs);
  }
  if (engine.workers == 0)
    engine.budget.limit = BeginLaneHasher(CallersHasher(), engine.kernels, engine.costs, engine.single_cost,
                                          engine.kernel_count, LanesAllowed(files), rings);
}

// Where a record of size bytes fits in the ring, or kNames when it does
// not yet. Kept strictly short of the oldest record, so that a full ring
// never looks empty; back at the start as soon as there is room there, so
// that the ring touches no more memory than the records in it.
static size_t NameRoom(size_t size) {
  const size_t head = engine.names_head;
  if (engine.first == engine.end) return 0;
  const size_t tail = FolderOf(engine.jobs[engine.first % kWindow].name);
  if (head >= tail) return tail > size ? 0 : kNames - head >= size ? head : kNames;
  return tail - head > size ? head : kNames;
}

// The listing thread moves on: lanes paused for a database reader go on.
static void Resume() { __atomic_store_n(&engine.budget.paused, 0, __ATOMIC_RELEASE); }

int DigestRoom() {
  Resume();
  return engine.end - engine.first < kWindow && NameRoom(kLargestRecord) != kNames;
}

// Writes the record of a job's path at the ring's head, its folder first
// unless the last job's is the same; returns where.
static uint32_t WriteRecord(const char* path) {
  const size_t length = strnlen(path, PATH_MAX - 1);
  size_t folder_length = length;
  while (folder_length > 0 && path[folder_length - 1] != '/') --folder_length;
  const size_t name_length = length - folder_length;
  size_t folder = kNames;  // not written yet
  if (engine.end > engine.first) {
    const size_t last = FolderOf(engine.jobs[(engine.end - 1) % kWindow].name);
    if (strncmp(engine.names + last, path, folder_length) == 0 && engine.names[last + folder_length] == '\0')
      folder = last;
  }
  // DigestRoom keeps kLargestRecord bytes free.
  size_t at = NameRoom((folder == kNames ? folder_length + 1 : 0) + sizeof(uint32_t) + name_length + 1);
  if (folder == kNames) {
    memcpy(engine.names + at, path, folder_length);
    engine.names[at + folder_length] = '\0';
    folder = at;
    at += folder_length + 1;
  }
  const uint32_t folder_at = static_cast<uint32_t>(folder);
  memcpy(engine.names + at, &folder_at, sizeof folder_at);
  memcpy(engine.names + at + sizeof folder_at, path + folder_length, name_length);
  engine.names[at + sizeof folder_at + name_length] = '\0';
  engine.names_head = at + sizeof folder_at + name_length + 1;
  return static_cast<uint32_t>(at);
}

void GiveFile(const char* path) {
  // Whether it is a regular file at all, and how large, is known before a
  // lane takes it: a file that is not one is done at once, and the largest
  // are hashed first.
  uint64_t file_size = 0;
  const int regular = StatRegularFile(path, &file_size);
  const int error = regular == -1 ? errno : 0;
  pthread_mutex_lock(&lock);
  const uint32_t slot = static_cast<uint32_t>(engine.end % kWindow);
  Job* job = &engine.jobs[slot];
  job->name = WriteRecord(path);
  job->size = file_size;
  ++engine.end;
  if (regular == 1) {
    job->state = kQueued;
    ++engine.queued;
    if (Large(file_size)) {
      engine.queue[engine.heaped++] = slot;
      std::push_heap(engine.queue, engine.queue + engine.heaped, Before);
    }
    pthread_cond_signal(&work);
  } else {
    job->state = kDone;
    job->hashed = 0;
    job->error = static_cast<uint8_t>(error == ENOMEM ? error : 0);  // not the file's failure
  }
  pthread_mutex_unlock(&lock);
}

int FreeDigestDescriptor() {
  const int open = __atomic_load_n(&engine.budget.open, __ATOMIC_ACQUIRE);
  if (open == 0) return 0;
  // No lane opens another file until the listing moves on; one closes.
  __atomic_store_n(&engine.budget.paused, 1, __ATOMIC_RELEASE);
  pthread_mutex_lock(&lock);
  while (__atomic_load_n(&engine.budget.open, __ATOMIC_ACQUIRE) >= open) {
    if (engine.workers > 0) {
      AwaitClosedFile();
    } else {
      pthread_mutex_unlock(&lock);
      PumpLanes(CallersHasher(), &kJobs);
      pthread_mutex_lock(&lock);
    }
  }
  pthread_mutex_unlock(&lock);
  return 1;
}

int TakeDigest(char path[kNativePathCapacity], char digest_text[33], int (*keep_waiting)()) {
  Resume();
  pthread_mutex_lock(&lock);
  if (engine.first == engine.end) {
    pthread_mutex_unlock(&lock);
    return 0;
  }
  Job* job = &engine.jobs[engine.first % kWindow];
  if (engine.workers == 0 && CallersHasher()->lane_count == 0) {
    pthread_mutex_unlock(&lock);
    AbandonScreen("cannot allocate memory to hash files", strerror(ENOMEM));
    return 0;
  }
  double asked = Seconds();
  while (job->state != kDone) {
    if (engine.workers > 0) {
      const struct timespec until = After(100);
      pthread_cond_timedwait(&done, &lock, &until);
      if (job->state == kDone) break;
    }
    pthread_mutex_unlock(&lock);
    if (engine.workers == 0 && PumpLanes(CallersHasher(), &kJobs) != kPumped) {
      const struct timespec pause = {0, 1000 * 1000};  // others hold what the lanes need
      nanosleep(&pause, nullptr);
    }
    const double now = Seconds();
    if (now - asked >= 0.1 || engine.workers > 0) {
      asked = now;
      if (!keep_waiting()) return 0;
    }
    pthread_mutex_lock(&lock);
  }
  JoinPath(job->name, path, kNativePathCapacity);
  const int error = job->error;
  if (job->hashed)
    FormatDigest(job->digest, digest_text);
  else
    memcpy(digest_text, kDigestPlaceholder, 33);
  ++engine.first;
  pthread_mutex_unlock(&lock);
  if (error != 0) {
    // Not even one lane could open it: the listing cannot go on.
    char what[PATH_MAX + 16];
    snprintf(what, sizeof what, "cannot open %s", path);
    AbandonScreen(what, strerror(error));
    return 0;
  }
  return 1;
}

void EndDigests() {
  pthread_mutex_lock(&lock);
  __atomic_store_n(&engine.stopping, 1, __ATOMIC_RELAXED);
  pthread_cond_broadcast(&work);
  pthread_cond_broadcast(&closed);
  pthread_mutex_unlock(&lock);
  for (int w = 0; w < engine.workers; ++w) {
    pthread_join(engine.threads[w], nullptr);
    EndLaneHasher(&engine.hashers[w], &kJobs);
  }
  if (engine.workers == 0) EndLaneHasher(CallersHasher(), &kJobs);
  engine.workers = 0;
  engine.first = engine.end;
}
