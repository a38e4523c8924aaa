// The pieces every package database reader shares, and the readers
// themselves. Each reader streams the absolute paths its database records,
// one at a time, through fixed buffers (rpm's also through one header
// buffer, as large as the largest header). A database that is not there is
// no error; one that is there but cannot be read is reported through the
// walk's hooks, and the reader goes on with what it can read. A record that
// fails a check is passed over.
#pragma once

#include <limits.h>
#include <stddef.h>

#include "protection/databases/line_reader.h"
#include "protection/databases/sorted_folder_walk.h"

struct PackageDatabase;

// What a line parser keeps from one line to the next within one file.
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
typedef int (*LineParser)(ParserState* state, const char* line, size_t length, char* out, size_t capacity);

// dpkg .md5sums: 32 hex digits, two spaces, a path relative to "/".
int ParseMd5sumsLine(ParserState* state, const char* line, size_t length, char* out, size_t capacity);
// apk installed: "F:folder" sets the folder, "R:file" names a file in it; a
// blank line ends the record and its folder.
int ParseApkLine(ParserState* state, const char* line, size_t length, char* out, size_t capacity);
// pacman files: the lines between "%FILES%" and a blank line or the next
// "%SECTION%" are paths relative to "/"; those ending in "/" are folders.
int ParsePacmanLine(ParserState* state, const char* line, size_t length, char* out, size_t capacity);
// Portage CONTENTS: "obj <path> <digest> <mtime>"; the path may hold spaces,
// so the digest and the decimal mtime are split off from the right.
int ParsePortageLine(ParserState* state, const char* line, size_t length, char* out, size_t capacity);

// parse, after refusing a line that holds a NUL (no C path could carry it).
int ParseDatabaseLine(LineParser parse, ParserState* state, const char* line, size_t length, char* out,
                      size_t capacity);
// Reads lines from reader until one names a recorded file; 0 at the end.
int NextRecordedPath(LineParser parse, ParserState* state, LineReader* reader, char* out, size_t capacity);

// What a walk reports to whoever runs it, and asks of it.
struct DatabaseHooks {
  // A database file or folder that is there could not be opened or read;
  // error is errno. Returns nonzero when the reader should try again (a
  // descriptor has been freed for it), 0 when it should go on without it.
  int (*failed)(void* owner, const char* path, int error);
  // Anything else that leaves the answer incomplete: "<what>: <reason>".
  void (*said)(void* owner, const char* what, const char* reason);
  void* owner;
};

// One database being read. Reset before its reader's first call.
struct DatabaseCursor {
  const PackageDatabase* database;
  const char* root;
  const DatabaseHooks* hooks;  // may be null: failures are then passed over
  int stage;                   // the reader's own progress
  int reading;                 // lines holds an open file
  SortedFolderWalk outer, inner;
  LineReader lines;
  ParserState parser;
  void* own;  // what a reader allocated for itself; its end frees it
};

enum { kMaxDatabaseLocations = 3 };
struct PackageDatabase {
  // Writes the next recorded path into out and returns nonzero; 0 when the
  // database has no more.
  int (*next)(DatabaseCursor* cursor, char* out, size_t capacity);
  // Releases whatever next holds; may be called at any point.
  void (*end)(DatabaseCursor* cursor);
  // Where the database lives, relative to the root; how several are used is
  // the reader's rule.
  const char* locations[kMaxDatabaseLocations];
};

void ResetDatabaseCursor(DatabaseCursor* cursor, const PackageDatabase* database, const char* root,
                         const DatabaseHooks* hooks);
// After a failure to open or read path (error: errno, 0 for a file that is
// not a regular one): nonzero when the caller should try again. Nothing
// there is no failure; anything else goes to the hooks.
int TryAgain(DatabaseCursor* cursor, const char* path, int error);
// Opens path into cursor->lines, through TryAgain; nonzero on success.
int OpenDatabaseLines(DatabaseCursor* cursor, const char* path);
// The next name of a folder being walked, through TryAgain when the folder
// cannot be read; nullptr when there are no more.
const char* NextFolderName(DatabaseCursor* cursor, SortedFolderWalk* walk);
// The root joined with the database's location number index; 0 when there
// is no such location or the path does not fit in PATH_MAX.
int LocationPath(const DatabaseCursor* cursor, int index, char out[PATH_MAX]);
// Joins folder and name with one slash; nonzero when the result fits.
int JoinPath(char* out, size_t capacity, const char* folder, const char* name);
// Writes the absolute path of name in folder (both relative to "/", either
// may be empty) into out, with one slash between the parts and none
// doubled; 0 when it does not fit.
int AbsolutePath(const char* folder, size_t folder_length, const char* name, size_t name_length, char* out,
                 size_t capacity);

// A database of text files: open_next opens its next file into
// cursor->lines (0 when none is left), parse reads each line.
int NextTextPath(DatabaseCursor* cursor, int (*open_next)(DatabaseCursor*), LineParser parse, char* out,
                 size_t capacity);
void EndTextDatabase(DatabaseCursor* cursor);

// The readers, each in its own file.
int NextDpkgPath(DatabaseCursor* cursor, char* out, size_t capacity);
void EndDpkgDatabase(DatabaseCursor* cursor);
int NextApkPath(DatabaseCursor* cursor, char* out, size_t capacity);
int NextPacmanPath(DatabaseCursor* cursor, char* out, size_t capacity);
int NextRpmPath(DatabaseCursor* cursor, char* out, size_t capacity);
void EndRpmDatabase(DatabaseCursor* cursor);
int NextPortagePath(DatabaseCursor* cursor, char* out, size_t capacity);
