#include "protection/databases/package_db.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "console/text.h"

// Every database Vorbane reads, in the order it lists them, with where each
// lives under the root. A new package manager is one reader file and one
// line here.
const PackageDatabase kPackageDatabases[] = {
    // dpkg: info/<package>.md5sums, packages in byte order, and the
    // diversions that put some of their files elsewhere.
    {NextDpkgPath, EndDpkgDatabase, {"var/lib/dpkg/info", "var/lib/dpkg/diversions"}},
    // apk: the first of these present; newer systems keep it under /usr.
    {NextApkPath, EndTextDatabase, {"lib/apk/db/installed", "usr/lib/apk/db/installed"}},
    // pacman: local/<package>/files, packages in byte order.
    {NextPacmanPath, EndTextDatabase, {"var/lib/pacman/local"}},
    // rpm: each of these folders, unless it is one already read (Fedora
    // links /var/lib/rpm to /usr/lib/sysimage/rpm).
    {NextRpmPath, EndRpmDatabase, {"usr/lib/sysimage/rpm", "var/lib/rpm", "usr/share/rpm"}},
    // Portage: <category>/<package>/CONTENTS, each level in byte order.
    {NextPortagePath, EndTextDatabase, {"var/db/pkg"}},
};
const int kPackageDatabaseCount = sizeof kPackageDatabases / sizeof kPackageDatabases[0];

void BeginPackageFileWalk(PackageFileWalk* walk, const char* root, const DatabaseHooks* hooks, int once) {
  walk->hooks = hooks;
  walk->once = once != 0;
  if (once) BeginPathSet(&walk->seen);
  walk->index = CopyText(walk->root, sizeof walk->root, root) ? 0 : kPackageDatabaseCount;
  if (walk->index < kPackageDatabaseCount) ResetDatabaseCursor(&walk->cursor, &kPackageDatabases[0], walk->root, hooks);
}

// Nonzero unless the walk has handed out path before. When memory to
// remember paths runs out, a repeat may come out again, and that is said.
static int FirstTime(PackageFileWalk* walk, const char* path) {
  if (!walk->once) return 1;
  const int fresh = RememberPath(&walk->seen, path);
  if (fresh < 0 && walk->once == 1 && walk->hooks != nullptr) {
    walk->once = 2;  // said once
    walk->hooks->said(walk->hooks->owner, "cannot remember which paths were listed", strerror(ENOMEM));
  }
  return fresh != 0;
}

int NextPackageFile(PackageFileWalk* walk, char* out, size_t capacity) {
  while (walk->index < kPackageDatabaseCount) {
    const PackageDatabase* database = &kPackageDatabases[walk->index];
    if (database->next(&walk->cursor, out, capacity)) {
      if (FirstTime(walk, out)) return 1;
      continue;
    }
    database->end(&walk->cursor);
    if (++walk->index < kPackageDatabaseCount)
      ResetDatabaseCursor(&walk->cursor, &kPackageDatabases[walk->index], walk->root, walk->hooks);
  }
  return 0;
}

void EndPackageFileWalk(PackageFileWalk* walk) {
  if (walk->index < kPackageDatabaseCount) kPackageDatabases[walk->index].end(&walk->cursor);
  walk->index = kPackageDatabaseCount;
  if (walk->once) EndPathSet(&walk->seen);
  walk->once = 0;
}

static const char* LastComponent(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

int IsPackageFile(const char* root, const char* path, const DatabaseHooks* hooks) {
  if (path[0] == '\0') return 0;
  // The same file once symbolic links are followed: /usr/bin/ls for a
  // recorded /bin/ls on a merged-/usr system, /bin/sh for /bin/dash.
  // Canonical paths are compared, not inodes, so a hard link or a bind mount
  // elsewhere is not the recorded file. Recorded files keep their last name
  // when resolved, so only entries named like the target are resolved.
  char target[PATH_MAX];
  const int resolved = realpath(path, target) != nullptr;
  const char* target_name = resolved ? LastComponent(target) : "";

  static PackageFileWalk walk;
  static char entry[PATH_MAX], canonical[PATH_MAX];
  int found = 0;
  BeginPackageFileWalk(&walk, root, hooks, 0);
  while (!found && NextPackageFile(&walk, entry, sizeof entry))
    found = strcmp(entry, path) == 0 || (resolved && strcmp(LastComponent(entry), target_name) == 0 &&
                                         realpath(entry, canonical) != nullptr && strcmp(canonical, target) == 0);
  EndPackageFileWalk(&walk);
  return found;
}
