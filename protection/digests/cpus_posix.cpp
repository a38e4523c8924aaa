// A container limited to 2 CPUs on a 64-CPU host sees all 64 in its
// affinity mask; only its control group says that 2 is all it will get.
#include <limits.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "protection/digests/cpus.h"

namespace {

// The first line of path, without its line feed; 0 when it cannot be read.
int ReadLine(const char* path, char* line, size_t capacity) {
  FILE* file = fopen(path, "re");
  if (file == nullptr) return 0;
  const int got = fgets(line, static_cast<int>(capacity), file) != nullptr;
  fclose(file);
  if (got) line[strcspn(line, "\n")] = '\0';
  return got;
}

// The quota in the folder of one group, in whole CPUs; 0 for none.
int FolderQuota(const char* folder, int v2) {
  char path[PATH_MAX], line[128];
  long long quota = 0, period = 0;
  if (v2) {
    if (snprintf(path, sizeof path, "%s/cpu.max", folder) >= static_cast<int>(sizeof path) ||
        !ReadLine(path, line, sizeof line) || sscanf(line, "%lld %lld", &quota, &period) != 2)
      return 0;  // "max <period>" reads no quota
  } else {
    if (snprintf(path, sizeof path, "%s/cpu.cfs_quota_us", folder) >= static_cast<int>(sizeof path) ||
        !ReadLine(path, line, sizeof line) || sscanf(line, "%lld", &quota) != 1)
      return 0;
    if (snprintf(path, sizeof path, "%s/cpu.cfs_period_us", folder) >= static_cast<int>(sizeof path) ||
        !ReadLine(path, line, sizeof line) || sscanf(line, "%lld", &period) != 1)
      return 0;
  }
  if (quota <= 0 || period <= 0) return 0;  // -1: no quota
  const long long cpus = (quota + period - 1) / period;
  return cpus < INT_MAX ? static_cast<int>(cpus) : INT_MAX;
}

// The smallest quota from the group's own folder up to its hierarchy's
// mount point; 0 for none.
int PathQuota(const char* mount, const char* group, int v2) {
  char folder[PATH_MAX];
  if (snprintf(folder, sizeof folder, "%s%s", mount, strcmp(group, "/") == 0 ? "" : group) >=
      static_cast<int>(sizeof folder))
    return 0;
  const size_t top = strlen(mount);
  int smallest = 0;
  for (;;) {
    const int quota = FolderQuota(folder, v2);
    if (quota > 0 && (smallest == 0 || quota < smallest)) smallest = quota;
    char* slash = strrchr(folder, '/');
    if (slash == nullptr || static_cast<size_t>(slash - folder) < top) break;
    *slash = '\0';
  }
  return smallest;
}

// mountinfo writes a space, a tab, a line feed and a backslash as \ooo.
void Unescape(char* text) {
  char* out = text;
  for (const char* in = text; *in;) {
    if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' && in[3] >= '0' && in[3] <= '7') {
      *out++ = static_cast<char>((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0'));
      in += 4;
    } else {
      *out++ = *in++;
    }
  }
  *out = '\0';
}

// Nonzero when word stands in the comma-separated list.
int ListHas(const char* list, const char* word) {
  const size_t length = strlen(word);
  for (const char* at = list; at != nullptr; at = strchr(at, ',') ? strchr(at, ',') + 1 : nullptr)
    if (strncmp(at, word, length) == 0 && (at[length] == ',' || at[length] == '\0')) return 1;
  return 0;
}

}  // namespace

int CgroupCpuLimit(const char* root) {
  // Which group of each hierarchy this process is in: "0::<path>" on v2,
  // "<id>:<controllers>:<path>" on v1.
  char path[PATH_MAX], v1_group[PATH_MAX] = "", v2_group[PATH_MAX] = "", line[3 * PATH_MAX];
  snprintf(path, sizeof path, "%s/proc/self/cgroup", root);
  FILE* file = fopen(path, "re");
  if (file == nullptr) return 0;
  while (fgets(line, sizeof line, file) != nullptr) {
    line[strcspn(line, "\n")] = '\0';
    char* controllers = strchr(line, ':');
    char* group = controllers != nullptr ? strchr(controllers + 1, ':') : nullptr;
    if (group == nullptr) continue;
    *group++ = '\0';
    *controllers++ = '\0';
    if (strcmp(line, "0") == 0 && controllers[0] == '\0')
      snprintf(v2_group, sizeof v2_group, "%s", group);
    else if (ListHas(controllers, "cpu"))
      snprintf(v1_group, sizeof v1_group, "%s", group);
  }
  fclose(file);

  // Where each hierarchy is mounted: "<id> <parent> <dev> <root> <mount point>
  // <options> [optional fields] - <type> <source> <super options>".
  snprintf(path, sizeof path, "%s/proc/self/mountinfo", root);
  file = fopen(path, "re");
  if (file == nullptr) return 0;
  int smallest = 0;
  while (fgets(line, sizeof line, file) != nullptr) {
    line[strcspn(line, "\n")] = '\0';
    char mount_root[PATH_MAX], mount_point[PATH_MAX], type[32], source[PATH_MAX], options[1024] = "";
    const char* tail = strstr(line, " - ");
    if (tail == nullptr || sscanf(line, "%*s %*s %*s %4095s %4095s", mount_root, mount_point) != 2 ||
        sscanf(tail + 3, "%31s %4095s %1023s", type, source, options) < 2)
      continue;
    const int v2 = strcmp(type, "cgroup2") == 0;
    const char* group = v2 ? v2_group : v1_group;
    if (group[0] == '\0' || !(v2 || (strcmp(type, "cgroup") == 0 && ListHas(options, "cpu")))) continue;
    Unescape(mount_root);
    Unescape(mount_point);
    // The group's path is seen from the hierarchy's root; the mount may show
    // only a part of it (a container's own group, say).
    const size_t root_length = strcmp(mount_root, "/") == 0 ? 0 : strlen(mount_root);
    if (strncmp(group, mount_root, root_length) == 0 && (group[root_length] == '/' || group[root_length] == '\0'))
      group += root_length;
    char mount[PATH_MAX];
    if (snprintf(mount, sizeof mount, "%s%s", strcmp(root, "/") == 0 ? "" : root, mount_point) >=
        static_cast<int>(sizeof mount))
      continue;
    const int quota = PathQuota(mount, group[0] == '\0' ? "/" : group, v2);
    if (quota > 0 && (smallest == 0 || quota < smallest)) smallest = quota;
  }
  fclose(file);
  return smallest;
}

int CpusAvailable() {
  cpu_set_t cpus;
  int count = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
  const int quota = CgroupCpuLimit("/");
  if (quota > 0 && quota < count) count = quota;
  return count > 0 ? count : 1;
}
