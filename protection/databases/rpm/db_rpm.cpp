// rpm: each of its folders that is present, once (one may be a link to
// another), and in each the first database file present: sqlite, ndb or
// Berkeley DB. Headers come out in ascending package number and their files
// in header order.
#include <errno.h>
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
  char path[PATH_MAX];  // the database file being read
  RpmSqlite sqlite;
  RpmNdb ndb;
  RpmBdb bdb;
  RpmBlob header;
  RpmHeaderFiles files;
};

// One walk at a time reads rpm's databases: the listing's or the check's.
RpmWalk rpm_walk;

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

// What the backend could not do, or 0.
int BackendError(const RpmWalk* walk, Backend backend) {
  switch (backend) {
    case kSqlite:
      return walk->sqlite.error;
    case kNdb:
      return walk->ndb.error;
    case kBdb:
      return walk->bdb.error;
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
  char folder[PATH_MAX];
  while (LocationPath(cursor, cursor->stage++, folder)) {
    struct stat status;
    if (stat(folder, &status) != 0) {
      TryAgain(cursor, folder, errno);
      continue;
    }
    int seen = 0;
    for (int i = 0; i < walk->folders_seen; ++i)
      seen |= walk->devices[i] == status.st_dev && walk->inodes[i] == status.st_ino;
    if (seen || !S_ISDIR(status.st_mode)) continue;
    walk->devices[walk->folders_seen] = status.st_dev;
    walk->inodes[walk->folders_seen++] = status.st_ino;
    for (int b = kSqlite; b < kNone; ++b) {
      const Backend backend = static_cast<Backend>(b);
      if (!JoinPath(walk->path, sizeof walk->path, folder, kBackendFiles[b])) continue;
      if (access(walk->path, F_OK) != 0) {
        if (errno == ENOENT) continue;
        TryAgain(cursor, walk->path, errno);  // whether it is there cannot be told: said, and the folder done
        break;
      }
      // Only the first file present counts: a converted system keeps its
      // stale Berkeley DB beside the current sqlite one.
      do {
        if (OpenBackend(walk, backend, walk->path)) {
          walk->backend = backend;
          return 1;
        }
      } while (TryAgain(cursor, walk->path, BackendError(walk, backend)));
      break;
    }
  }
  return 0;
}

}  // namespace

int NextRpmPath(DatabaseCursor* cursor, char* out, size_t capacity) {
  RpmWalk* walk = &rpm_walk;
  if (cursor->own == nullptr) {
    walk->folders_seen = 0;
    walk->backend = kNone;
    walk->files.count = walk->files.next = 0;
    cursor->own = walk;
  }
  for (;;) {
    if (NextRpmHeaderFile(&walk->files, out, capacity)) return 1;
    if (walk->backend != kNone && NextHeader(walk)) {
      OpenRpmHeader(&walk->files, walk->header.data, walk->header.length);  // a bad header lists nothing
      continue;
    }
    if (walk->backend != kNone) TryAgain(cursor, walk->path, BackendError(walk, walk->backend));
    CloseBackend(walk);
    if (!OpenNextFolder(cursor, walk)) return 0;
  }
}

void EndRpmDatabase(DatabaseCursor* cursor) {
  RpmWalk* walk = static_cast<RpmWalk*>(cursor->own);
  if (walk == nullptr) return;
  CloseBackend(walk);
  FreeBlob(&walk->header);
  walk->files.count = walk->files.next = 0;
  cursor->own = nullptr;
}
