// The console service: colours, the banner and native-text output. Every
// screen keeps the console's colours, sets its own while it writes and puts
// the kept ones back as its last act.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "console/text.h"

// Console attribute word: bits 0-3 foreground (1 blue, 2 green, 4 red,
// 8 intensity), bits 4-7 background.
typedef uint16_t ConsoleAttributes;

// The colour numbers the screens pass to SetConsoleColor.
enum { kColourWhite = 7, kColourRed = 4, kColourGreen = 2 };
enum { kIntensity = 8, kFallbackAttributes = 15 };

// The console's current attribute word, or kFallbackAttributes when it
// cannot be read (output redirected, no console).
ConsoleAttributes GetConsoleColor();

// Shows what follows in the bright version of colour on black. Text already
// written keeps its colour. Failures are ignored.
void SetConsoleColor(int colour);

// Puts back the attribute word that GetConsoleColor returned. Failures are
// ignored.
void RestoreConsoleColor(ConsoleAttributes saved);

// Prints the three banner lines in whatever colour is in force.
void PrintBanner();

// Prints format with printf's conversions to standard output. Every screen's
// text goes out through it, WriteOutput or WriteNativeText.
void PrintText(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Writes length bytes to standard output as they stand.
void WriteOutput(const char* bytes, size_t length);

// Prints format, with the native text written in place of its one "%S".
void PrintMessage(const char* format, const NativeChar* text);

// Writes native text as it stands: the file system's bytes on POSIX; on
// Windows every character, one that the output cannot represent as "?".
void WriteNativeText(const NativeChar* text);

// Keeps the arguments so that the footer can show the command line; the
// POSIX entry calls it first, as POSIX has no raw command-line string.
void RememberArguments(int argc, NativeChar** argv);

// Prints the footer line that repeats the process's command line with
// standard output sent to a file.
void PrintSaveCommand();

// Ends a listing row: a terminal shows it at once (otherwise output stays
// buffered, for speed). Returns 0 once standard output takes no more (its
// reader has gone away, or writing failed), so that a long listing stops
// instead of hashing files nobody will read about.
int FinishRow();

// Called while the listing waits for a file to be hashed: hands what is
// buffered to standard output, so that its reader is not kept waiting, and
// returns 0 once standard output takes no more.
int OutputStillWanted();

// Says on standard error, in one line "vorbane: <what>: <reason>", what the
// tool could not do and why (strerror's text, say). The answer is then
// incomplete and the exit status 1. The screen goes on.
void ReportFailure(const char* what, const char* reason);

// The same, for a failure after which the screen cannot go on: from then on
// ScreenAbandoned() is nonzero, and the screen stops where it is, its
// closing text left out.
void AbandonScreen(const char* what, const char* reason);
int ScreenAbandoned();

// Writes what is still buffered and returns the exit status: 0, or 1 after
// a reported failure or a failed write to standard output, which it reports
// in one line on standard error. A reader that went away is no failure.
int FinishOutput();
