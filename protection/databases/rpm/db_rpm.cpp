// rpm: each of its folders that is present, once (one may be a link to
// another), and in each the first database file present: sqlite, ndb or
// Berkeley DB. Headers come out in ascending package number and their files
// in header order.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protection/databases/database.h"
#include "protection/databases/rpm/rpm_header.h"
#include "protection/databases/rpm/rpm_packages.h"

namespace {

// The backends, in the order a folder's files are looked for.
enum Backend { kSqlite, kNdb, kBdb, kNone };
const char* const kBackendFiles[] = {"rpmdb.sqlite", "Packages.db", "Packages"};

struct RpmWalk {
  int folders_seen;
  dev_t devices[kMaxDatabaseLocations];
  ino_t inodes[kMaxDatabaseLocations];
  Backend backend;
  RpmSqlite sqlite;
  RpmNdb ndb;
  RpmBdb bdb;
  RpmBlob header;
  RpmHeaderFiles files;
};

int OpenBackend(RpmWalk* walk, Backend backend, const char* path) {
  switch (backend) {
    case kSqlite:
      return OpenSqlitePackages(&walk->sqlite, path, "libsqlite3.so.0");
    case kNdb:
      return OpenNdbPackages(&walk->ndb, path);
    case kBdb:
      return OpenBdbPackages(&walk->bdb, path);
    case kNone:
      break;
  }
  return 0;
}

int NextHeader(RpmWalk* walk) {
  switch (walk->backend) {
    case kSqlite:
      return NextSqliteHeader(&walk->sqlite, &walk->header);
    case kNdb:
      return NextNdbHeader(&walk->ndb, &walk->header);
    case kBdb:
      return NextBdbHeader(&walk->bdb, &walk->header);
    case kNone:
      break;
  }
  return 0;
}

void CloseBackend(RpmWalk* walk) {
  switch (walk->backend) {
    case kSqlite:
      CloseSqlitePackages(&walk->sqlite);
      break;
    case kNdb:
      CloseNdbPackages(&walk->ndb);
      break;
    case kBdb:
      CloseBdbPackages(&walk->bdb);
      break;
    case kNone:
      break;
  }
  walk->backend = kNone;
}

// Opens the database of the next folder not read before; 0 when none is left.
int OpenNextFolder(DatabaseCursor* cursor, RpmWalk* walk) {
  char folder[PATH_MAX], path[PATH_MAX];
  while (LocationPath(cursor, cursor->stage++, folder)) {
    struct stat status;
    if (stat(folder, &status) != 0 || !S_ISDIR(status.st_mode)) continue;
    int seen = 0;
    for (int i = 0; i < walk->folders_seen; ++i)
      seen |= walk->devices[i] == status.st_dev && walk->inodes[i] == status.st_ino;
    if (seen) continue;
    walk->devices[walk->folders_seen] = status.st_dev;
    walk->inodes[walk->folders_seen++] = status.st_ino;
    for (int backend = kSqlite; backend < kNone; ++backend) {
      if (!JoinPath(path, sizeof path, folder, kBackendFiles[backend]) || access(path, F_OK) != 0) continue;
      // Only the first file present counts: a converted system keeps its
      // stale Berkeley DB beside the current sqlite one.
      if (OpenBackend(walk, static_cast<Backend>(backend), path)) {
        walk->backend = static_cast<Backend>(backend);
        return 1;
      }
      break;
    }
  }
  return 0;
}

}  // namespace

int NextRpmPath(DatabaseCursor* cursor, char* out, size_t capacity) {
  RpmWalk* walk = static_cast<RpmWalk*>(cursor->own);
  if (walk == nullptr) {
    walk = static_cast<RpmWalk*>(calloc(1, sizeof *walk));
    if (walk == nullptr) return 0;
    walk->backend = kNone;
    cursor->own = walk;
  }
  for (;;) {
    if (NextRpmHeaderFile(&walk->files, out, capacity)) return 1;
    if (walk->backend != kNone && NextHeader(walk)) {
      OpenRpmHeader(&walk->files, walk->header.data, walk->header.length);  // a bad header lists nothing
      continue;
    }
    CloseBackend(walk);
    if (!OpenNextFolder(cursor, walk)) return 0;
  }
}

void EndRpmDatabase(DatabaseCursor* cursor) {
  RpmWalk* walk = static_cast<RpmWalk*>(cursor->own);
  if (walk == nullptr) return;
  CloseBackend(walk);
  FreeBlob(&walk->header);
  free(walk);
  cursor->own = nullptr;
}
