// POSIX console: a terminal has no readable attribute word, so colours are
// ANSI sequences written through stdout itself (each lands exactly between
// the texts it separates) and restoring resets the terminal's own colours.
// When stdout is not a colour terminal, nothing but the screens' text goes out.
#include "console/console_posix.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "console/console.h"

int ColourWanted(int stdout_is_terminal, const char* term, const char* no_color) {
  if (!stdout_is_terminal) return 0;
  if (term == nullptr || term[0] == '\0' || strcmp(term, "dumb") == 0) return 0;
  return no_color == nullptr || no_color[0] == '\0';
}

// Attribute bits run blue, green, red; ANSI colour indexes run red, green, blue.
static int AnsiIndex(unsigned bits) { return (bits & 4 ? 1 : 0) | (bits & 2) | (bits & 1 ? 4 : 0); }

int FormatAttributesAsSgr(ConsoleAttributes attributes, char* out, size_t capacity) {
  const unsigned foreground = attributes & 0xF;
  const unsigned background = (attributes >> 4) & 0xF;
  const int fg = (foreground & kIntensity ? 90 : 30) + AnsiIndex(foreground);
  const int bg = (background & kIntensity ? 100 : 40) + AnsiIndex(background);
  const int length = snprintf(out, capacity, "\033[%d;%dm", fg, bg);
  return length > 0 && static_cast<size_t>(length) < capacity;
}

static int ColourOn() {
  static int decided = -1;
  if (decided < 0) decided = ColourWanted(isatty(STDOUT_FILENO), getenv("TERM"), getenv("NO_COLOR"));
  return decided;
}

ConsoleAttributes GetConsoleColor() { return kFallbackAttributes; }

void SetConsoleColor(int colour) {
  char sequence[16];
  if (ColourOn() &&
      FormatAttributesAsSgr(static_cast<ConsoleAttributes>(colour | kIntensity), sequence, sizeof sequence))
    fputs(sequence, stdout);
}

void RestoreConsoleColor(ConsoleAttributes) {
  if (ColourOn()) fputs("\033[0m", stdout);
}

void WriteNativeText(const NativeChar* text) { fputs(text, stdout); }

static int saved_argc;
static char** saved_argv;
// The listing folds its pattern in place, yet the footer shows it as typed.
// A footer follows only a row that matched, which takes a pattern shorter
// than a path, so copies of the first arguments that fit a path are enough.
static char copies[3][PATH_MAX];
static const char* originals[3];

void RememberArguments(int argc, char** argv) {
  saved_argc = argc;
  saved_argv = argv;
  for (int i = 0; i < argc && i < 3; ++i) originals[i] = CopyText(copies[i], PATH_MAX, argv[i]) ? copies[i] : argv[i];
}

// Writes word so that a POSIX shell reads it back unchanged: bare when it is
// made of characters no shell treats specially, otherwise in single quotes.
static void WriteShellWord(const char* word) {
  static const char kPlain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-+=%@:,./";
  int bare = word[0] != '\0';
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(word); *p && bare; ++p)
    bare = *p >= 0x80 || strchr(kPlain, *p) != nullptr;
  if (bare) {
    fputs(word, stdout);
    return;
  }
  putchar('\'');
  for (const char* p = word; *p; ++p) {
    if (*p == '\'')
      fputs("'\\''", stdout);
    else
      putchar(*p);
  }
  putchar('\'');
}

void PrintSaveCommand() {
  fputs("\n ", stdout);
  for (int i = 0; i < saved_argc; ++i) {
    if (i > 0) putchar(' ');
    WriteShellWord(i < 3 ? originals[i] : saved_argv[i]);
  }
  // "> c:\output.txt" would make a file named "c:output.txt" in a POSIX shell.
  fputs(" > output.txt", stdout);
}

int OutputClosed() {
  if (!ferror(stdout)) return 0;
  errno = 0;
  fflush(stdout);
  return errno == EPIPE;
}
