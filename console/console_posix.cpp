// POSIX console: a terminal has no readable attribute word, so colours are
// ANSI sequences written through stdout itself (each lands exactly between
// the texts it separates) and restoring resets the terminal's own colours.
// When stdout is not a colour terminal, nothing but the screens' text goes out.
// Output goes through one buffer of our own and write(2), so that no byte is
// dropped on a non-blocking descriptor and every failure is seen.
#include "console/console_posix.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char pending[8192];
static size_t pending_length;
static int write_error;  // errno of the write that failed; EPIPE once the reader has gone

// Writes out what is pending. A descriptor that another process made
// non-blocking is waited on, never changed: its flags are shared.
static void Drain() {
  for (size_t done = 0; done < pending_length && write_error == 0;) {
    const ssize_t wrote = write(STDOUT_FILENO, pending + done, pending_length - done);
    if (wrote > 0) {
      done += static_cast<size_t>(wrote);
    } else if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd output = {STDOUT_FILENO, POLLOUT, 0};
      poll(&output, 1, -1);
    } else if (wrote == 0 || errno != EINTR) {
      write_error = wrote < 0 ? errno : EIO;
    }
  }
  pending_length = 0;
}

void WriteOutput(const char* bytes, size_t length) {
  while (length > 0 && write_error == 0) {
    if (pending_length == sizeof pending) Drain();
    const size_t room = sizeof pending - pending_length;
    const size_t part = length < room ? length : room;
    memcpy(pending + pending_length, bytes, part);
    pending_length += part;
    bytes += part;
    length -= part;
  }
}

static int OnTerminal() {
  static int decided = -1;
  if (decided < 0) decided = isatty(STDOUT_FILENO);
  return decided;
}

int FinishRow() {
  if (OnTerminal()) Drain();
  return write_error == 0;
}

int OutputStillWanted() {
  Drain();
  // A pipe whose reader has gone shows an error without being written to:
  // end as a write would, by SIGPIPE unless it is ignored.
  struct pollfd output = {STDOUT_FILENO, 0, 0};
  if (write_error == 0 && poll(&output, 1, 0) == 1 && (output.revents & POLLERR) != 0) {
    write_error = EPIPE;
    raise(SIGPIPE);
  }
  return write_error == 0;
}

static void WriteText(const char* text) { WriteOutput(text, strlen(text)); }

static const char kReset[] = "\033[0m";
static char current_colour[16];  // the sequence in force, or "" for the terminal's own
static int failed, abandoned;

static int ColourOn();
static size_t PlainRun(const char* text);

// One line on standard error, in the terminal's own colours; a path in it
// cannot repaint the terminal either.
static void SayOnStandardError(const char* what, const char* reason) {
  char line[PATH_MAX + 256];
  size_t length = 0;
  const int mask = isatty(STDERR_FILENO);
  const char* const parts[] = {"vorbane: ", what, ": ", reason};
  for (const char* part : parts) {
    for (const char* at = part; *at && length < sizeof line - 1;) {
      const size_t run = mask ? PlainRun(at) : strlen(at);
      const size_t take = run < sizeof line - 1 - length ? run : sizeof line - 1 - length;
      memcpy(line + length, at, take);
      length += take;
      at += take;
      if (take == run && *at && length < sizeof line - 1) {
        line[length++] = '?';
        ++at;
      }
    }
  }
  line[length++] = '\n';
  if (ColourOn()) {
    WriteText(kReset);
    Drain();
  }
  const ssize_t ignored = write(STDERR_FILENO, line, length);
  (void)ignored;
  if (ColourOn()) WriteText(current_colour);
}

void ReportFailure(const char* what, int error) {
  failed = 1;
  SayOnStandardError(what, strerror(error));
}

void AbandonScreen(const char* what, int error) {
  ReportFailure(what, error);
  abandoned = 1;
}

int ScreenAbandoned() { return abandoned; }

int FinishOutput() {
  Drain();
  if (write_error != 0 && write_error != EPIPE) {
    SayOnStandardError("write error", strerror(write_error));
    return 1;
  }
  return failed;
}

// A listing stopped by a signal leaves the terminal in its colours: put the
// user's back, then die of the same signal so that the exit status says so.
static void ResetColoursAndDie(int signal_number) {
  const ssize_t ignored = write(STDOUT_FILENO, kReset, sizeof kReset - 1);
  (void)ignored;
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

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
  if (decided < 0) {
    decided = ColourWanted(OnTerminal(), getenv("TERM"), getenv("NO_COLOR"));
    // A signal the parent set to be ignored (nohup, a background job) stays so.
    static const int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    struct sigaction action = {}, before;
    action.sa_handler = ResetColoursAndDie;
    for (int signal_number : kInterruptions)
      if (decided && sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
        sigaction(signal_number, &action, nullptr);
  }
  return decided;
}

ConsoleAttributes GetConsoleColor() { return kFallbackAttributes; }

void SetConsoleColor(int colour) {
  if (ColourOn() &&
      FormatAttributesAsSgr(static_cast<ConsoleAttributes>(colour | kIntensity), current_colour, sizeof current_colour))
    WriteText(current_colour);
}

void RestoreConsoleColor(ConsoleAttributes) {
  current_colour[0] = '\0';
  if (ColourOn()) WriteText(kReset);
}

// A path may hold any byte but "/" and NUL. On a terminal, control
// characters would repaint or reprogram it, so each shows as "?" (as ls
// does); redirected output names the file exactly. The length of text
// before its first control character:
static size_t PlainRun(const char* text) {
  size_t length = 0;
  while (text[length] != '\0' && !((text[length] >= 0x01 && text[length] <= 0x1F) || text[length] == 0x7F)) ++length;
  return length;
}

void WriteNativeText(const NativeChar* text) {
  if (!OnTerminal()) {
    WriteText(text);
    return;
  }
  for (const char* run = text; *run;) {
    const size_t length = PlainRun(run);
    WriteOutput(run, length);
    run += length;
    if (*run != '\0') {
      WriteOutput("?", 1);
      ++run;
    }
  }
}

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
    WriteText(word);
    return;
  }
  WriteText("'");
  for (const char* p = word; *p; ++p) WriteOutput(*p == '\'' ? "'\\''" : p, *p == '\'' ? 4 : 1);
  WriteText("'");
}

void PrintSaveCommand() {
  WriteText("\n ");
  for (int i = 0; i < saved_argc; ++i) {
    if (i > 0) WriteText(" ");
    WriteShellWord(i < 3 ? originals[i] : saved_argv[i]);
  }
  // "> c:\output.txt" would make a file named "c:output.txt" in a POSIX shell.
  WriteText(" > output.txt");
}
