// Decisions of the POSIX console, apart from the terminal they act on.
#pragma once

#include <stddef.h>

#include "console/console.h"

// Nonzero when colour sequences belong in the output: stdout is a terminal,
// TERM names one that is not "dumb", and NO_COLOR is unset or empty.
int ColourWanted(int stdout_is_terminal, const char* term, const char* no_color);

// Writes the SGR sequence that shows attributes (foreground and background
// nibbles) into out. Returns nonzero when it fitted.
int FormatAttributesAsSgr(ConsoleAttributes attributes, char* out, size_t capacity);
