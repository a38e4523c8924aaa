#include "protection/databases/rpm/rpm_header.h"

#include <string.h>

uint32_t LoadBig32(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

namespace {

enum { kChar = 1, kInt8 = 2, kInt16 = 3, kInt32 = 4, kStringArray = 8 };

// The tags the file list needs, in the order of the slots below.
const uint32_t kTags[] = {1027, 1029, 1030, 1037, 1116, 1117, 1118};
enum { kOldFileNames, kFileStates, kFileModes, kFileFlags, kDirIndexes, kBaseNames, kDirNames, kTagCount };

struct Entry {
  int present;
  uint32_t type, offset, count;
};

// An array of count elements of size bytes at entry's offset, all inside
// the data area, of one of the types given (the second may be 0).
int FitsArray(const Entry& entry, uint32_t type, uint32_t other_type, uint32_t size, uint32_t data_length) {
  return (entry.type == type || (other_type != 0 && entry.type == other_type)) &&
         uint64_t{entry.offset} + uint64_t{entry.count} * size <= data_length;
}

// count NUL-terminated strings from entry's offset, all inside the data.
int FitsStrings(const Entry& entry, const unsigned char* data, uint32_t data_length) {
  if (entry.type != kStringArray || entry.offset > data_length) return 0;
  const unsigned char* at = data + entry.offset;
  const unsigned char* const end = data + data_length;
  for (uint32_t i = 0; i < entry.count; ++i) {
    const void* nul = memchr(at, '\0', static_cast<size_t>(end - at));
    if (nul == nullptr) return 0;
    at = static_cast<const unsigned char*>(nul) + 1;
  }
  return 1;
}

}  // namespace

int OpenRpmHeader(RpmHeaderFiles* files, const unsigned char* header, size_t length) {
  files->count = files->next = 0;
  if (length < 8) return 0;
  const uint32_t il = LoadBig32(header), dl = LoadBig32(header + 4);
  if (il > 0xffff || dl > 0x0fffffff || length != 8 + 16 * uint64_t{il} + dl) return 0;
  const unsigned char* const data = header + 8 + 16 * size_t{il};

  Entry entries[kTagCount] = {};
  for (uint32_t i = 0; i < il; ++i) {  // a tag met again replaces the earlier entry
    const unsigned char* index = header + 8 + 16 * size_t{i};
    for (int slot = 0; slot < kTagCount; ++slot)
      if (LoadBig32(index) == kTags[slot])
        entries[slot] = {1, LoadBig32(index + 4), LoadBig32(index + 8), LoadBig32(index + 12)};
  }
  const Entry& names = entries[entries[kBaseNames].present ? kBaseNames : kOldFileNames];
  const uint32_t count = names.present ? names.count : 0;
  if (count == 0) return 1;  // a package without files

  const Entry &modes = entries[kFileModes], &flags = entries[kFileFlags], &states = entries[kFileStates];
  if (!FitsStrings(names, data, dl) || !modes.present || modes.count != count || !FitsArray(modes, kInt16, 0, 2, dl) ||
      !flags.present || flags.count != count || !FitsArray(flags, kInt32, 0, 4, dl))
    return 0;
  if (states.present && (states.count != count || !FitsArray(states, kChar, kInt8, 1, dl))) return 0;
  files->full_names = !entries[kBaseNames].present;
  if (!files->full_names) {
    const Entry &indexes = entries[kDirIndexes], &dirs = entries[kDirNames];
    if (!indexes.present || indexes.count != count || !FitsArray(indexes, kInt32, 0, 4, dl) || !dirs.present ||
        !FitsStrings(dirs, data, dl))
      return 0;
    for (uint32_t i = 0; i < count; ++i)
      if (LoadBig32(data + indexes.offset + 4 * size_t{i}) >= dirs.count) return 0;
    files->indexes = indexes.offset;
    files->dirs = files->dir_at = dirs.offset;
    files->dir_count = dirs.count;
    files->dir_index = 0;
  }
  files->data = data;
  files->modes = modes.offset;
  files->flags = flags.offset;
  files->have_states = states.present;
  files->states = states.offset;
  files->name = names.offset;
  files->count = count;
  return 1;
}

// The directory name number index, found from the cursor: files come in
// path order, so their directories mostly do too.
static const char* DirName(RpmHeaderFiles* files, uint32_t index) {
  if (index < files->dir_index) {
    files->dir_index = 0;
    files->dir_at = files->dirs;
  }
  for (; files->dir_index < index; ++files->dir_index)
    files->dir_at += static_cast<uint32_t>(strlen(reinterpret_cast<const char*>(files->data + files->dir_at))) + 1;
  return reinterpret_cast<const char*>(files->data + files->dir_at);
}

int NextRpmHeaderFile(RpmHeaderFiles* files, char* out, size_t capacity) {
  const unsigned char* const data = files->data;
  while (files->next < files->count) {
    const uint32_t i = files->next++;
    const char* name = reinterpret_cast<const char*>(data + files->name);
    const size_t name_length = strlen(name);
    files->name += static_cast<uint32_t>(name_length) + 1;

    const unsigned mode = unsigned{data[files->modes + 2 * i]} << 8 | data[files->modes + 2 * i + 1];
    const uint32_t flags = LoadBig32(data + files->flags + 4 * size_t{i});
    const int state = files->have_states ? data[files->states + i] : 0;
    const uint32_t kGhost = 1 << 6;
    if ((mode & 0170000) != 0100000 || (flags & kGhost) != 0 || state != 0) continue;

    const char* dir = files->full_names ? "" : DirName(files, LoadBig32(data + files->indexes + 4 * size_t{i}));
    const size_t dir_length = strlen(dir);
    if (dir_length + name_length >= capacity) continue;
    memcpy(out, dir, dir_length);
    memcpy(out + dir_length, name, name_length + 1);
    if (out[0] == '/') return 1;
  }
  return 0;
}
