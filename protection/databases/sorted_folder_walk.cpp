#include "protection/databases/sorted_folder_walk.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>

#include <algorithm>

#include "console/text.h"

void BeginSortedFolderWalk(SortedFolderWalk* walk, const char* folder, int (*accept)(const char*)) {
  walk->accept = accept;
  walk->count = walk->next = walk->error = 0;
  walk->last[0] = '\0';  // no name is empty, so this means "from the start"
  walk->more = CopyText(walk->folder, sizeof walk->folder, folder);
}

static bool Before(const SortedFolderWalk* walk, unsigned short x, unsigned short y) {
  return strcmp(walk->names[x], walk->names[y]) < 0;
}

void OfferFolderName(SortedFolderWalk* walk, const char* name) {
  // Some file systems (FUSE, network ones) hand out names longer than
  // NAME_MAX; no package's file can be one, and it would not fit its slot.
  if (strnlen(name, NAME_MAX + 1) > NAME_MAX) return;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || !walk->accept(name)) return;
  if (walk->last[0] != '\0' && strcmp(name, walk->last) <= 0) return;
  auto before = [walk](unsigned short x, unsigned short y) { return Before(walk, x, y); };
  unsigned short* order = walk->order;
  if (walk->count < kSortedBatch) {
    order[walk->count] = static_cast<unsigned short>(walk->count);
    strcpy(walk->names[walk->count], name);
    std::push_heap(order, order + ++walk->count, before);
    return;
  }
  walk->more = 1;
  if (strcmp(name, walk->names[order[0]]) >= 0) return;
  std::pop_heap(order, order + kSortedBatch, before);  // drop the largest
  strcpy(walk->names[order[kSortedBatch - 1]], name);
  std::push_heap(order, order + kSortedBatch, before);
}

// Collects the smallest kSortedBatch accepted names after walk->last, in order.
// A folder that cannot be opened is left to be tried again; one that fails
// part way is given up.
static void FillBatch(SortedFolderWalk* walk) {
  walk->count = walk->next = walk->error = 0;
  walk->more = 0;
  DIR* folder = opendir(walk->folder);
  if (folder == nullptr) {
    walk->error = errno;
    walk->more = 1;
    return;
  }
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(folder);
    if (entry == nullptr) {
      walk->error = errno;
      break;
    }
    OfferFolderName(walk, entry->d_name);
  }
  if (walk->error != 0) walk->more = 0;
  closedir(folder);
  std::sort_heap(walk->order, walk->order + walk->count,
                 [walk](unsigned short x, unsigned short y) { return Before(walk, x, y); });
}

const char* NextSortedName(SortedFolderWalk* walk) {
  if (walk->next == walk->count) {
    if (!walk->more) return nullptr;
    if (walk->count > 0) strcpy(walk->last, walk->names[walk->order[walk->count - 1]]);
    FillBatch(walk);
    if (walk->count == 0) return nullptr;
  }
  return walk->names[walk->order[walk->next++]];
}
