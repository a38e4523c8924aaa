#include "cli/vorbane.h"

#include <stdio.h>

#include "console/console.h"
#include "protection/protection.h"

void ShowUsage() {
  const ConsoleAttributes saved = GetConsoleColor();
  SetConsoleColor(kColourWhite);
  PrintBanner();
  SetConsoleColor(kColourGreen);
  PrintText("\n\n\t Usage: ");
  PrintText("\n\n\t\t Vorbane [ -l [pattern] ] [ -p <filepath> ] ");
  PrintText("\n\n\t\t -l [pattern]   List all system file protected through SFC");
  PrintText("\n\t\t                which matches the string pattern (optional)");
  PrintText("\n\t\t -p <filepath>  Verify if the file is protected by SFC");
  PrintText("\n\n\t Example: ");
  PrintText("\n\n\t\t //List all the protected files having text 'win'");
  PrintText("\n\t\t vorbane -l win");
  PrintText("\n\n\t\t //List all the protected dll files");
  PrintText("\n\t\t vorbane -l .dll");
  PrintText("\n\n\t\t //Check if the file is protected by SFC");
  PrintText("\n\t\t vorbane -p \"c:\\windows\\system32\\kernel32.dll\" \n\n");
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
    PrintText("\n\n Error : Please specify the file path with -p option\n");
  } else {
    CheckFileProtection(argv[2]);
  }
  return FinishOutput();
}
