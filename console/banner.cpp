#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "console/console.h"
#include "vorbane_config.h"

void PrintText(const char* format, ...) {
  char text[512];
  va_list arguments, again;
  va_start(arguments, format);
  va_copy(again, arguments);
  const int length = vsnprintf(text, sizeof text, format, arguments);
  if (length > 0 && static_cast<size_t>(length) < sizeof text) {
    WriteOutput(text, static_cast<size_t>(length));
  } else if (length > 0) {  // only a banner text set at build time gets this long
    char* longer = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (longer != nullptr) {
      vsnprintf(longer, static_cast<size_t>(length) + 1, format, again);
      WriteOutput(longer, static_cast<size_t>(length));
      free(longer);
    }
  }
  va_end(again);
  va_end(arguments);
}

void PrintBanner() {
  PrintText("\n Vorbane [Version %s]", kVersionText);
  PrintText("\n\t by %s", kAuthorCredit);
  PrintText("\n\n For latest version, please visit %s", kWebAddress);
}

void PrintMessage(const char* format, const NativeChar* text) {
  const char* marker = strstr(format, "%S");
  WriteOutput(format, static_cast<size_t>(marker - format));
  WriteNativeText(text);
  WriteOutput(marker + 2, strlen(marker + 2));
}
