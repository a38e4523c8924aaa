// Walks the names in one folder in byte order while holding only a batch of
// them: each pass over the folder keeps the smallest kSortedBatch names after
// the last one handed out.
#pragma once

#include <limits.h>

enum { kSortedBatch = 256 };
struct SortedFolderWalk {
  char folder[PATH_MAX];
  int (*accept)(const char* name);
  int count, next, more;  // batch size, next to hand out, folder not done
  int error;              // errno of a failure to read the folder, else 0
  char last[NAME_MAX + 1];
  unsigned short order[kSortedBatch];
  char names[kSortedBatch][NAME_MAX + 1];
};

// accept picks the names to walk.
void BeginSortedFolderWalk(SortedFolderWalk* walk, const char* folder, int (*accept)(const char*));
// The next name in byte order, or nullptr when there are no more or the
// folder cannot be read: then walk->error says why. A walk that could not
// open its folder tries again on the next call.
const char* NextSortedName(SortedFolderWalk* walk);

// One folder entry, seen while filling a batch: kept in order when it is
// accepted, after the last name handed out, and fits its slot.
void OfferFolderName(SortedFolderWalk* walk, const char* name);
