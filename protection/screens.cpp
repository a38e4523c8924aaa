#include <stdio.h>
#include <string.h>

#include "console/console.h"
#include "protection/digests/digest_engine.h"
#include "protection/files.h"
#include "protection/protection.h"
#include "protection/service.h"

void ListProtectedFiles(NativeChar* pattern) {
  int rows = 0;
  const ConsoleAttributes saved = GetConsoleColor();
  if (pattern != nullptr) LowerAsciiInPlace(pattern);
  PROTECTED_FILE_DATA data;
  memset(&data, 0, sizeof data);
  data.FileNumber = 0;

  SetConsoleColor(kColourWhite);
  PrintBanner();
  SetConsoleColor(kColourRed);
  PrintText("\n\n List of protected files\n");
  PrintText(" ..........................\n");
  SetConsoleColor(kColourGreen);

  // Files go to the hasher as the walk finds them, ahead of the rows; each
  // row is printed as soon as it and every row before it are done.
  BeginDigests();
  int walking = 1;
  for (;;) {
    while (walking && DigestRoom()) {
      walking = GetNextProtectedFile(&data);
      if (!walking) break;
      if (pattern != nullptr) {
        NativeChar lower[kNativePathCapacity];
        CopyText(lower, kNativePathCapacity, data.FileName);
        LowerAsciiInPlace(lower);
        if (FindText(lower, pattern) == nullptr) continue;
      }
      GiveFile(data.FileName);
    }
    NativeChar path[kNativePathCapacity];
    char digest[33];
    if (!TakeDigest(path, digest, OutputStillWanted)) break;
    ++rows;
    PrintText("\n %5d. [MD5:%s] ", rows, digest);
    PrintMessage("%S ", path);
    if (!FinishRow()) break;
  }
  EndDigests();

  if (rows > 0 && !ScreenAbandoned()) {
    SetConsoleColor(kColourWhite);
    PrintText("\n\n .......................................................");
    PrintText("\n For storing the result to file, type following command");
    PrintSaveCommand();
    PrintText("\n .......................................................\n\n");
  }
  RestoreConsoleColor(saved);
}

void CheckFileProtection(const NativeChar* path) {
  const ConsoleAttributes saved = GetConsoleColor();
  SetConsoleColor(kColourWhite);
  PrintBanner();
  SetConsoleColor(kColourGreen);
  PrintText("\n\n Verifying the SFC protection\n");
  PrintText(" ................................\n");
  SetConsoleColor(kColourRed);
  if (!FileExists(path))
    PrintMessage("\n Specified file ['%S'] does not exist\n", path);
  else if (IsFileProtected(path))
    PrintMessage("\n '%S' is protected by SFC\n", path);
  else
    PrintMessage("\n '%S' is NOT protected by SFC\n", path);
  RestoreConsoleColor(saved);
}
