// Preloaded into the program by tests, so that this machine looks like one
// with more CPUs: sched_getaffinity reports VORBANE_TEST_CPUS of them.
#include <sched.h>
#include <stdlib.h>
#include <string.h>

extern "C" int sched_getaffinity(pid_t, size_t size, cpu_set_t* set) {
  const char* cpus = getenv("VORBANE_TEST_CPUS");
  const long count = cpus != nullptr ? strtol(cpus, nullptr, 10) : 1;
  memset(set, 0, size);
  for (long cpu = 0; cpu < count && static_cast<size_t>(cpu) < 8 * size; ++cpu) CPU_SET_S(cpu, size, set);
  return 0;
}
