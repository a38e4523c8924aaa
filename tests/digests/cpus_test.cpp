// The CPU quota of control groups, read from fixture folders laid out as
// /proc and /sys/fs/cgroup are.
#include "protection/digests/cpus.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

TEST(CgroupCpuLimit, IsTheSmallestQuotaAlongTheGroupsPathRoundedUp) {
  const std::string v2 = "0::/app/worker\n";
  const std::string v2_mount = "30 22 0:27 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw,nsdelegate\n";
  const std::string v1 = "5:memory:/app/worker\n4:cpu,cpuacct:/app/worker\n0::/\n";
  const std::string v1_mount =
      "31 30 0:28 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
      "32 30 0:29 / /sys/fs/cgroup/cpuset rw - cgroup cgroup rw,cpuset\n";
  const struct {
    const char* what;
    std::string cgroup, mountinfo;
    std::vector<std::pair<std::string, std::string>> files;  // under the root
    int cpus;
  } kCases[] = {
      {"v2, a quota of 1.5 CPUs", v2, v2_mount, {{"sys/fs/cgroup/app/worker/cpu.max", "150000 100000\n"}}, 2},
      {"v2, no quota", v2, v2_mount, {{"sys/fs/cgroup/app/worker/cpu.max", "max 100000\n"}}, 0},
      {"v2, the parent's is smaller",
       v2,
       v2_mount,
       {{"sys/fs/cgroup/app/worker/cpu.max", "800000 100000\n"}, {"sys/fs/cgroup/app/cpu.max", "300000 100000\n"}},
       3},
      {"v2, inside a container that sees its own group as /",
       "0::/\n",
       "30 22 0:27 /app/worker /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
       {{"sys/fs/cgroup/cpu.max", "200000 100000\n"}},
       2},
      {"v1",
       v1,
       v1_mount,
       {{"sys/fs/cgroup/cpu,cpuacct/app/worker/cpu.cfs_quota_us", "250000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/app/worker/cpu.cfs_period_us", "100000\n"}},
       3},
      {"v1, no quota",
       v1,
       v1_mount,
       {{"sys/fs/cgroup/cpu,cpuacct/app/worker/cpu.cfs_quota_us", "-1\n"},
        {"sys/fs/cgroup/cpu,cpuacct/app/worker/cpu.cfs_period_us", "100000\n"}},
       0},
      {"a mount point with a space",
       "0::/a\n",
       "30 22 0:27 / /cg\\040roup rw - cgroup2 cgroup2 rw\n",
       {{"cg roup/a/cpu.max", "100000 100000\n"}},
       1},
      {"no control groups at all", "", "", {}, 0},
  };
  for (const auto& c : kCases) {
    TempFolder root;
    MakeFolders(root.path + "/proc/self");
    WriteFile(root.path + "/proc/self/cgroup", c.cgroup);
    WriteFile(root.path + "/proc/self/mountinfo", c.mountinfo);
    for (const auto& file : c.files) {
      MakeFolders(root.path + "/" + file.first.substr(0, file.first.rfind('/')));
      WriteFile(root.path + "/" + file.first, file.second);
    }
    EXPECT_EQ(CgroupCpuLimit(root.path.c_str()), c.cpus) << c.what;
  }
}

}  // namespace
