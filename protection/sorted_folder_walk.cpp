#include "protection/sorted_folder_walk.h"

#include <dirent.h>
#include <string.h>

#include <algorithm>

#include "console/text.h"

void BeginSortedFolderWalk(SortedFolderWalk* walk, const char* folder, int (*accept)(const char*)) {
  walk->accept = accept;
  walk->count = walk->next = 0;
  walk->last[0] = '\0';  // no name is empty, so this means "from the start"
  walk->more = CopyText(walk->folder, sizeof walk->folder, folder);
}

// Collects the smallest kSortedBatch accepted names after walk->last, in order.
static void FillBatch(SortedFolderWalk* walk) {
  walk->count = walk->next = 0;
  walk->more = 0;
  DIR* folder = opendir(walk->folder);
  if (folder == nullptr) return;
  auto names = walk->names;
  auto before = [names](unsigned short x, unsigned short y) { return strcmp(names[x], names[y]) < 0; };
  unsigned short* order = walk->order;
  while (const struct dirent* entry = readdir(folder)) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || !walk->accept(name)) continue;
    if (walk->last[0] != '\0' && strcmp(name, walk->last) <= 0) continue;
    if (walk->count < kSortedBatch) {
      order[walk->count] = static_cast<unsigned short>(walk->count);
      strcpy(names[walk->count], name);  // d_name holds at most NAME_MAX bytes
      std::push_heap(order, order + ++walk->count, before);
    } else if (strcmp(name, names[order[0]]) < 0) {
      std::pop_heap(order, order + kSortedBatch, before);  // drop the largest
      strcpy(names[order[kSortedBatch - 1]], name);
      std::push_heap(order, order + kSortedBatch, before);
      walk->more = 1;
    } else {
      walk->more = 1;
    }
  }
  closedir(folder);
  std::sort_heap(order, order + walk->count, before);
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
