#include "cli/vorbane.h"

#include <stdio.h>

#include "console/console.h"
#include "protection/protection.h"

void ShowUsage() {
  const ConsoleAttributes saved = GetConsoleColor();
  SetConsoleColor(kColourWhite);
  PrintBanner();
  SetConsoleColor(kColourGreen);
  printf("\n\n\t Usage: ");
  printf("\n\n\t\t Vorbane [ -l [pattern] ] [ -p <filepath> ] ");
  printf("\n\n\t\t -l [pattern]   List all system file protected through SFC");
  printf("\n\t\t                which matches the string pattern (optional)");
  printf("\n\t\t -p <filepath>  Verify if the file is protected by SFC");
  printf("\n\n\t Example: ");
  printf("\n\n\t\t //List all the protected files having text 'win'");
  printf("\n\t\t vorbane -l win");
  printf("\n\n\t\t //List all the protected dll files");
  printf("\n\t\t vorbane -l .dll");
  printf("\n\n\t\t //Check if the file is protected by SFC");
  printf("\n\t\t vorbane -p \"c:\\windows\\system32\\kernel32.dll\" \n\n");
  RestoreConsoleColor(saved);
}

int RunVorbane(int argc, NativeChar** argv) {
  if (argc < 2 || argc > 3) {
    ShowUsage();
  } else if (EqualsIgnoringAsciiCase(argv[1], "-l")) {
    ListProtectedFiles(argc == 3 ? argv[2] : nullptr);
  } else if (!EqualsIgnoringAsciiCase(argv[1], "-p")) {
    ShowUsage();
  } else if (argc == 2) {
    ShowUsage();
    printf("\n\n Error : Please specify the file path with -p option\n");
  } else {
    CheckFileProtection(argv[2]);
  }
  return 0;
}
