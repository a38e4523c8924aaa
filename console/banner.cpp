#include <stdio.h>
#include <string.h>

#include "console/console.h"
#include "vorbane_config.h"

void PrintBanner() {
  printf("\n Vorbane [Version %s]", kVersionText);
  printf("\n\t by %s", kAuthorCredit);
  printf("\n\n For latest version, please visit %s", kWebAddress);
}

void PrintMessage(const char* format, const NativeChar* text) {
  const char* marker = strstr(format, "%S");
  fwrite(format, 1, static_cast<size_t>(marker - format), stdout);
  WriteNativeText(text);
  fputs(marker + 2, stdout);
}
