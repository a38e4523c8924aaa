// Windows console: text attributes of the console behind standard output.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "console/console.h"

static ConsoleAttributes kept_attributes = kFallbackAttributes;

// Ctrl-C or Ctrl-Break in the middle of a screen: put the console's own
// colours back, then let the default handler end the process.
static BOOL WINAPI RestoreOnInterrupt(DWORD) {
  SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), kept_attributes);
  return FALSE;
}

ConsoleAttributes GetConsoleColor() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return kFallbackAttributes;
  kept_attributes = info.wAttributes;
  SetConsoleCtrlHandler(RestoreOnInterrupt, TRUE);
  return info.wAttributes;
}

void WriteOutput(const char* bytes, size_t length) { fwrite(bytes, 1, length, stdout); }

// The attributes apply to text the console receives from now on, so what the
// runtime still holds must reach it first.
void SetConsoleColor(int colour) {
  fflush(stdout);
  SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), static_cast<WORD>(colour | FOREGROUND_INTENSITY));
}

void RestoreConsoleColor(ConsoleAttributes saved) {
  fflush(stdout);
  SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), saved);
}

// As the runtime's "%S" in its default locale: characters up to U+00FF are
// written as that byte. Beyond that "%S" gives up and drops the rest of the
// message; here each such character becomes one "?" and the text goes on.
void WriteNativeText(const wchar_t* text) {
  char chunk[256];
  size_t used = 0;
  for (; *text; ++text) {
    const wchar_t c = *text;
    if (c >= 0xD800 && c <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) ++text;  // a pair: one character
    chunk[used++] = c <= 0xFF ? static_cast<char>(c) : '?';
    if (used == sizeof chunk) {
      fwrite(chunk, 1, used, stdout);
      used = 0;
    }
  }
  fwrite(chunk, 1, used, stdout);
}

// Windows keeps the raw command line; there is nothing to remember.
void RememberArguments(int, wchar_t**) {}

void PrintSaveCommand() { PrintMessage("\n %S > c:\\output.txt", GetCommandLineW()); }

int FinishRow() { return !ferror(stdout); }

int OutputStillWanted() { return fflush(stdout) == 0; }

static int failed, abandoned;

void ReportFailure(const char* what, const char* reason) {
  failed = 1;
  fflush(stdout);
  fprintf(stderr, "vorbane: %s: %s\n", what, reason);
}

void AbandonScreen(const char* what, const char* reason) {
  ReportFailure(what, reason);
  abandoned = 1;
}

int ScreenAbandoned() { return abandoned; }

int FinishOutput() {
  if (fflush(stdout) == 0 && !ferror(stdout)) return failed;
  const int error = errno;
  // The reader has gone away: the runtime says EINVAL for a pipe being
  // closed, and keeps the system's own word in _doserrno.
  const unsigned long system = _doserrno;
  if (error == EPIPE || system == ERROR_NO_DATA || system == ERROR_BROKEN_PIPE || system == ERROR_PIPE_NOT_CONNECTED)
    return failed;
  fprintf(stderr, "vorbane: write error: %s\n", strerror(error != 0 ? error : EIO));
  return 1;
}
