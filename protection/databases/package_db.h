// The package managers' records of installed files, read as the list of
// protected files on POSIX. Every database present contributes, one after
// another; each streams its paths, so memory does not grow with the number
// of entries.
#pragma once

#include <limits.h>
#include <stddef.h>

#include "protection/databases/database.h"
#include "protection/databases/path_set.h"

// The databases Vorbane reads, in the order they are listed.
extern const PackageDatabase kPackageDatabases[];
extern const int kPackageDatabaseCount;

// Streams every path that the package databases under root record.
struct PackageFileWalk {
  char root[PATH_MAX];
  int index;  // the database being read
  const DatabaseHooks* hooks;
  int once;  // each path once, the first time it is recorded; 2: memory ran out, and that was said
  PathSet seen;
  DatabaseCursor cursor;
};

// hooks hear of the databases that are there but cannot be read; may be
// null. once: a path that two packages record (the same documentation in
// the packages of two architectures, say) is handed out the first time
// only, as the platform's service yields each protected file once.
void BeginPackageFileWalk(PackageFileWalk* walk, const char* root, const DatabaseHooks* hooks, int once);
// Writes the next recorded path into out and returns nonzero; 0 at the end.
int NextPackageFile(PackageFileWalk* walk, char* out, size_t capacity);
void EndPackageFileWalk(PackageFileWalk* walk);

// Nonzero when a database under root records path as typed, or records a
// path that names the same file once symbolic links are followed.
int IsPackageFile(const char* root, const char* path, const DatabaseHooks* hooks);

// Where the shipped program looks for the databases: "/".
extern const char kPackageDatabaseRoot[];
