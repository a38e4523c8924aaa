// Windows console: text attributes of the console behind standard output.
#include <stdio.h>
#include <windows.h>

#include "console/console.h"

ConsoleAttributes GetConsoleColor() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return kFallbackAttributes;
  return info.wAttributes;
}

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

// A failed write is ignored here, as the console runtime does.
int OutputClosed() { return 0; }
