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
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// ---- Output ----

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

static void WriteText(const char* text) { WriteOutput(text, strlen(text)); }

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

// ---- Colours ----

static const char kReset[] = "\033[0m";

// The sequence of the colour in force, for the signal handlers too: written
// into the slot not in use, then switched to, so that a handler never reads
// half of one. -1: the terminal's own colours.
static char colour_sequences[2][16];
static volatile sig_atomic_t colour_in_force = -1;

static void WriteColourInForce(int (*write_all)(const char*, size_t)) {
  const int slot = colour_in_force;
  if (slot >= 0) write_all(colour_sequences[slot], strlen(colour_sequences[slot]));
}

static int WriteNow(const char* bytes, size_t length) {
  return write(STDOUT_FILENO, bytes, length) == static_cast<ssize_t>(length);
}

static int Buffer(const char* bytes, size_t length) {
  WriteOutput(bytes, length);
  return 1;
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

// A listing stopped by a signal leaves the terminal in its colours: put the
// user's back, then die of the same signal so that the exit status says so.
static void ResetColoursAndDie(int signal_number) {
  WriteNow(kReset, sizeof kReset - 1);
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

static void HandleSignals(const int* signals, int count, void (*handler)(int), int flags) {
  struct sigaction action = {}, before;
  action.sa_handler = handler;
  action.sa_flags = flags;
  // A signal the parent set to be ignored (nohup, a background job) stays so.
  for (int i = 0; i < count; ++i)
    if (sigaction(signals[i], nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
      sigaction(signals[i], &action, nullptr);
}

// Ctrl-Z (or a background job touching the terminal) stops the listing:
// the terminal gets its own colours for the shell meanwhile, and the
// screen's colour again once the listing is continued, as ls does.
static void StopInTheTerminalsColours(int signal_number) {
  const int saved_errno = errno;
  WriteNow(kReset, sizeof kReset - 1);
  signal(signal_number, SIG_DFL);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr);
  raise(signal_number);  // stops here until continued
  const int signals[] = {signal_number};
  HandleSignals(signals, 1, StopInTheTerminalsColours, SA_RESTART);
  WriteColourInForce(WriteNow);
  errno = saved_errno;
}

static int ColourOn() {
  static int decided = -1;
  if (decided < 0) {
    decided = ColourWanted(OnTerminal(), getenv("TERM"), getenv("NO_COLOR"));
    static const int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    static const int kStops[] = {SIGTSTP, SIGTTIN, SIGTTOU};
    if (decided) {
      HandleSignals(kInterruptions, 4, ResetColoursAndDie, 0);
      HandleSignals(kStops, 3, StopInTheTerminalsColours, SA_RESTART);
    }
  }
  return decided;
}

ConsoleAttributes GetConsoleColor() { return kFallbackAttributes; }

void SetConsoleColor(int colour) {
  if (!ColourOn()) return;
  const int slot = colour_in_force == 0 ? 1 : 0;
  if (!FormatAttributesAsSgr(static_cast<ConsoleAttributes>(colour | kIntensity), colour_sequences[slot],
                             sizeof colour_sequences[slot]))
    return;
  colour_in_force = slot;
  WriteColourInForce(Buffer);
}

void RestoreConsoleColor(ConsoleAttributes) {
  colour_in_force = -1;
  if (ColourOn()) WriteText(kReset);
}

// ---- Text shown on a terminal ----

// The length of the valid UTF-8 sequence at text, or 0.
static size_t Utf8Length(const unsigned char* text) {
  const unsigned char c = text[0];
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // no overlong forms
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (text[1] < low || text[1] > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (text[i] < 0x80 || text[i] > 0xBF) return 0;
  return length;
}

// A path may hold any byte but "/" and NUL. On a terminal, control
// characters would repaint or reprogram it, so each shows as "?" (as ls
// does): C0 controls and DEL, a lone byte 0x80-0x9F (which some terminals
// take as a C1 control: 0x9B as CSI) and U+0080-U+009F encoded in UTF-8.
// Any other text, valid UTF-8 above all, shows as it stands. Returns how
// many bytes at text show as they stand, and in *masked how many bytes
// after them show as one "?" (0 at the end of the text).
static size_t ShownRun(const char* text, size_t* masked) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  size_t at = 0;
  for (;;) {
    const unsigned char c = bytes[at];
    *masked = 0;
    if (c == 0) return at;
    *masked = 1;
    if (c < 0x20 || c == 0x7F) return at;
    if (c < 0x80) {
      ++at;
      continue;
    }
    const size_t length = Utf8Length(bytes + at);
    if (length == 2 && c == 0xC2 && bytes[at + 1] <= 0x9F) {
      *masked = 2;
      return at;
    }
    if (length == 0 && c <= 0x9F) return at;
    at += length > 0 ? length : 1;
  }
}

// Writes text through write_all, masked as ShownRun says.
static void WriteShown(const char* text, int (*write_all)(const char*, size_t)) {
  for (;;) {
    size_t masked;
    const size_t run = ShownRun(text, &masked);
    write_all(text, run);
    if (masked == 0) return;
    write_all("?", 1);
    text += run + masked;
  }
}

void WriteNativeText(const NativeChar* text) {
  if (OnTerminal())
    WriteShown(text, Buffer);
  else
    WriteText(text);
}

// ---- Failures ----

static int failed, abandoned;

static int WriteError(const char* bytes, size_t length) {
  return write(STDERR_FILENO, bytes, length) == static_cast<ssize_t>(length);
}

// One line on standard error, in the terminal's own colours; a path in it
// cannot repaint the terminal either.
static void SayOnStandardError(const char* what, const char* reason) {
  if (ColourOn()) {
    WriteText(kReset);
    Drain();
  }
  char line[PATH_MAX + 256];
  snprintf(line, sizeof line, "vorbane: %s: %s", what, reason);
  if (isatty(STDERR_FILENO))
    WriteShown(line, WriteError);
  else
    WriteError(line, strlen(line));
  WriteError("\n", 1);
  if (ColourOn()) WriteColourInForce(Buffer);
}

void ReportFailure(const char* what, const char* reason) {
  failed = 1;
  SayOnStandardError(what, reason);
}

void AbandonScreen(const char* what, const char* reason) {
  ReportFailure(what, reason);
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

// ---- The footer's command line ----

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
// On a terminal it is masked as a path is: it is shown, not pasted back.
static void WriteShellWord(const char* word) {
  static const char kPlain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-+=%@:,./";
  int bare = word[0] != '\0';
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(word); *p && bare; ++p)
    bare = *p >= 0x80 || strchr(kPlain, *p) != nullptr;
  static char quoted[4 * PATH_MAX + 3];
  size_t length = 0;
  if (!bare) quoted[length++] = '\'';
  for (const char* p = word; *p && length + 6 < sizeof quoted; ++p) {
    const char* part = !bare && *p == '\'' ? "'\\''" : p;
    const size_t size = part == p ? 1 : 4;
    memcpy(quoted + length, part, size);
    length += size;
  }
  if (!bare) quoted[length++] = '\'';
  quoted[length] = '\0';
  WriteNativeText(quoted);
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
