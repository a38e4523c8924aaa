// Starts a program on this console in the given colours and writes after it,
// so that a test sees which colours the program left behind, even when a
// Ctrl-C ended it (the launcher itself lives on):
//   console_launcher <attribute word in hex> <program> [arguments...]
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include <string>

static BOOL WINAPI OutliveInterrupts(DWORD) { return TRUE; }

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  SetConsoleCtrlHandler(OutliveInterrupts, TRUE);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  SetConsoleTextAttribute(out, static_cast<WORD>(wcstoul(argv[1], nullptr, 16)));
  printf("before|");
  fflush(stdout);
  std::wstring command = L"\"" + std::wstring(argv[2]) + L"\"";
  for (int i = 3; i < argc; ++i) command += L" " + std::wstring(argv[i]);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) return 3;
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  printf("|after\n");
  fflush(stdout);
  return 0;
}
