#include <sys/resource.h>

#include "cli/vorbane.h"
#include "console/console.h"
#include "protection/digests/digest_engine_posix.h"

// The usual soft limit of 1,024 descriptors is less than a listing on a
// machine with many CPUs keeps open; the hard limit is what may be had.
static void RaiseDescriptorLimit(rlim_t wanted) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted ? limit.rlim_max : wanted;
  setrlimit(RLIMIT_NOFILE, &limit);
}

int main(int argc, char** argv) {
  RaiseDescriptorLimit(static_cast<rlim_t>(DigestDescriptorsWanted()));
  RememberArguments(argc, argv);
  return RunVorbane(argc, argv);
}
