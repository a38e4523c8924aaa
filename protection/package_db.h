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

// The package databases Vorbane reads, in the order they are listed.
enum DatabaseFormat { kDpkgMd5sums, kApkInstalled, kPacmanFiles, kDatabaseFormatCount };

// What a parser keeps from one line to the next within one database file.
struct ParserState {
  int in_list;           // apk: a folder is set in this record; pacman: inside %FILES%
  size_t folder_length;  // apk: the current folder, relative to "/"
  char folder[PATH_MAX];
};

void ResetParser(ParserState* state);

// Parses one line (without its line feed) of a database file. When the line
// names a recorded file, writes its absolute path into out and returns
// nonzero. Returns 0 for every other line: malformed ones, ones that only
// change the state, and entries whose path does not fit in capacity bytes
// (skipped whole, never cut).
//   dpkg .md5sums: 32 hex digits, two spaces, a path relative to "/".
//   apk installed: "F:folder" sets the folder, "R:file" names a file in it;
//     a blank line ends the record and its folder.
//   pacman files: the lines between "%FILES%" and a blank line or the next
//     "%SECTION%" are paths relative to "/"; those ending in "/" are folders.
int ParseDatabaseLine(DatabaseFormat format, ParserState* state, const char* line, size_t length, char* out,
                      size_t capacity);

// Reads lines from reader until one names a recorded file, as above; 0 at the
// end of the file.
int NextRecordedPath(DatabaseFormat format, ParserState* state, LineReader* reader, char* out, size_t capacity);

// Streams every path that the package databases under root record: dpkg
// (info files in byte order), then apk, then pacman (packages in byte order),
// each in its own order. A database that is missing or unreadable adds none.
struct PackageFileWalk {
  char root[PATH_MAX];
  int format;   // the database being read
  int started;  // the database's folder walk or file has been begun
  int reading;  // reader holds an open file
  SortedFolderWalk files;
  LineReader reader;
  ParserState parser;
};

void BeginPackageFileWalk(PackageFileWalk* walk, const char* root);
// Writes the next recorded path into out and returns nonzero; 0 at the end.
int NextPackageFile(PackageFileWalk* walk, char* out, size_t capacity);
void EndPackageFileWalk(PackageFileWalk* walk);

// Nonzero when a database under root records path as typed, or records a
// path that names the same file once symbolic links are followed.
int IsPackageFile(const char* root, const char* path);

// Where the shipped program looks for the databases: "/".
extern const char kPackageDatabaseRoot[];
