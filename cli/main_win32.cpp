#include <stdio.h>
#include <windows.h>

#include "cli/vorbane.h"

// MinGW's runtime would expand wildcards in the arguments; the program takes
// them as typed. (MSVC's runtime expands only when linked with setargv.obj.)
extern "C" {
int _dowildcard = 0;
}

int wmain(int argc, wchar_t** argv) {
  // Output that is not a console (a file, a pipe, NUL) goes in large pieces:
  // the runtime would write a character device such as NUL piece by piece,
  // a system call each.
  DWORD mode;
  if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  return RunVorbane(argc, argv);
}
