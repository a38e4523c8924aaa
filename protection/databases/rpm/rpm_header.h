// The installed files an rpm package header records. A header is stored the
// same way by every rpm database: big-endian counts il and dl, il index
// entries of 16 bytes, then dl bytes of data.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The largest header the format allows: 0xffff entries, 0x0fffffff bytes.
const size_t kMaxRpmHeader = 8 + 16 * size_t{0xffff} + 0x0fffffff;

// Where the file list lies in one header's data area, and how far it has
// been read.
struct RpmHeaderFiles {
  const unsigned char* data;
  uint32_t count, next;                    // files recorded, next to look at
  uint32_t modes, flags, states, indexes;  // per-file arrays
  int have_states, full_names;             // FILESTATES present; OLDFILENAMES in use
  uint32_t name;                           // the next file's name (base or full)
  uint32_t dirs, dir_count;                // DIRNAMES
  uint32_t dir_index, dir_at;              // a cursor into DIRNAMES
};

// Checks every count, offset, string and index that the file list uses and
// prepares to read it; 0 when the header fails a check (then it lists
// nothing). The header must stay in place while its files are read.
int OpenRpmHeader(RpmHeaderFiles* files, const unsigned char* header, size_t length);
// Writes the next installed regular file's path into out and returns
// nonzero; 0 when no file is left. Directories, links, devices, %ghost files
// and files not installed normally are passed over, and so is a path that is
// not absolute or does not fit in capacity.
int NextRpmHeaderFile(RpmHeaderFiles* files, char* out, size_t capacity);

uint32_t LoadBig32(const unsigned char* bytes);
