#include "protection/package_db.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "console/text.h"

// Every database Vorbane reads, in the order it lists them, with where each
// lives under the root. A new package manager is one reader file and one
// line here.
const PackageDatabase kPackageDatabases[] = {
    // dpkg: info/<package>.md5sums, packages in byte order.
    {NextDpkgPath, EndTextDatabase, {"var/lib/dpkg/info"}},
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

void BeginPackageFileWalk(PackageFileWalk* walk, const char* root) {
  walk->index = CopyText(walk->root, sizeof walk->root, root) ? 0 : kPackageDatabaseCount;
  if (walk->index < kPackageDatabaseCount) ResetDatabaseCursor(&walk->cursor, &kPackageDatabases[0], walk->root);
}

int NextPackageFile(PackageFileWalk* walk, char* out, size_t capacity) {
  while (walk->index < kPackageDatabaseCount) {
    const PackageDatabase* database = &kPackageDatabases[walk->index];
    if (database->next(&walk->cursor, out, capacity)) return 1;
    database->end(&walk->cursor);
    if (++walk->index < kPackageDatabaseCount)
      ResetDatabaseCursor(&walk->cursor, &kPackageDatabases[walk->index], walk->root);
  }
  return 0;
}

void EndPackageFileWalk(PackageFileWalk* walk) {
  if (walk->index < kPackageDatabaseCount) kPackageDatabases[walk->index].end(&walk->cursor);
  walk->index = kPackageDatabaseCount;
}

static const char* LastComponent(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

int IsPackageFile(const char* root, const char* path) {
  if (path[0] == '\0') return 0;
  // The same file under another name: a link, or /usr/bin/ls for a recorded
  // /bin/ls on a merged-/usr system. Only entries whose last component matches
  // the typed or the resolved name are worth a stat.
  struct stat target;
  const int have_target = stat(path, &target) == 0;
  char resolved[PATH_MAX];
  const char* resolved_name = have_target && realpath(path, resolved) != nullptr ? LastComponent(resolved) : "";
  const char* typed_name = LastComponent(path);

  static PackageFileWalk walk;
  static char entry[PATH_MAX];
  int found = 0;
  BeginPackageFileWalk(&walk, root);
  while (!found && NextPackageFile(&walk, entry, sizeof entry)) {
    if (strcmp(entry, path) == 0) {
      found = 1;
    } else if (have_target) {
      const char* name = LastComponent(entry);
      struct stat status;
      found = (strcmp(name, typed_name) == 0 || strcmp(name, resolved_name) == 0) && stat(entry, &status) == 0 &&
              status.st_dev == target.st_dev && status.st_ino == target.st_ino;
    }
  }
  EndPackageFileWalk(&walk);
  return found;
}
