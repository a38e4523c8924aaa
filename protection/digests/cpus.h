// How many CPUs the listing's hashing may keep busy.
#pragma once

// The CPUs this process may run on (its affinity mask), and on POSIX no
// more than the CPU quota of its control groups allows; at least 1.
int CpusAvailable();

// POSIX: the CPU quota of the control groups this process is in, in whole CPUs
// rounded up, or 0 when none is set. A parent group's quota limits its
// children too, so the smallest along each group's path to the root of its
// hierarchy counts, cgroup v1 and v2 alike. root is where /proc and the
// control group file systems are looked for: "/", or a test's fixture.
int CgroupCpuLimit(const char* root);
