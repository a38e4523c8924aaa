// The package manager's record of installed files, read as the list of
// protected files on POSIX. Everything streams through fixed buffers: memory
// stays the same however many entries the database holds.
#pragma once

#include <limits.h>
#include <stddef.h>

// Reads a file line by line. A line longer than the buffer is skipped whole,
// never handed out in pieces.
struct LineReader {
  int fd;
  size_t begin, end;
  char buffer[64 * 1024];
};

// Opens path for reading; nonzero on success. A FIFO or device is refused
// rather than waited on: only regular files are read.
int OpenLineReader(LineReader* reader, const char* path);
// Points *line at the next line (without its line feed, not NUL-terminated)
// and returns nonzero; 0 at the end of the file or on a read error. The last
// line may lack its line feed.
int NextLine(LineReader* reader, const char** line, size_t* length);
void CloseLineReader(LineReader* reader);

// Walks the names in one folder in byte order while holding only a batch of
// them: each pass over the folder keeps the smallest kBatch names after the
// last one handed out.
enum { kSortedBatch = 256 };
struct SortedFolderWalk {
  char folder[PATH_MAX];
  int (*accept)(const char* name);
  int count, next, more;  // batch size, next to hand out, folder not done
  char last[NAME_MAX + 1];
  unsigned short order[kSortedBatch];
  char names[kSortedBatch][NAME_MAX + 1];
};

// accept picks the names to walk; a folder that cannot be read has none.
void BeginSortedFolderWalk(SortedFolderWalk* walk, const char* folder, int (*accept)(const char*));
// The next name in byte order, or nullptr when there are no more.
const char* NextSortedName(SortedFolderWalk* walk);

// Parses one line of a dpkg .md5sums file: 32 hex digits, two spaces and a
// non-empty path relative to "/". Writes the absolute path into out and
// returns nonzero; returns 0 for a malformed line or one whose path does not
// fit in capacity bytes.
int ParseMd5sumsLine(const char* line, size_t length, char* out, size_t capacity);

// Streams every path that the dpkg database under root records, info files in
// byte order of their names and lines in file order.
struct PackageFileWalk {
  char info_folder[PATH_MAX];
  int reading;  // reader holds an open file
  SortedFolderWalk files;
  LineReader reader;
};

void BeginPackageFileWalk(PackageFileWalk* walk, const char* root);
// Writes the next recorded path into out and returns nonzero; 0 at the end.
int NextPackageFile(PackageFileWalk* walk, char* out, size_t capacity);
void EndPackageFileWalk(PackageFileWalk* walk);

// Nonzero when the database under root records path as typed, or records a
// path that names the same file once symbolic links are followed.
int IsPackageFile(const char* root, const char* path);

// Where the shipped program looks for the databases: "/".
extern const char kPackageDatabaseRoot[];
