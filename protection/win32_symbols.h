// Functions looked up at run time, for DLLs without an import library and for
// calls that older systems lack.
#pragma once

#include <windows.h>

// Casts a looked-up address to its function type; through void* so that
// -Wcast-function-type stays quiet.
template <typename Function>
Function LookUp(HMODULE module, const char* name) {
  return module != nullptr ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                           : nullptr;
}

// A 32-bit process on 64-bit Windows that opens C:\Windows\System32\... is
// sent to SysWOW64 instead, and would describe another file than the one the
// row names. Redirection is turned off around opening a named path only, on
// the thread that opens it. The calls are looked up because systems without
// WOW64 lack them.
struct Wow64Redirection {
  PVOID previous;
  BOOL disabled;
};

inline Wow64Redirection DisableWow64Redirection() {
  typedef BOOL(WINAPI * Disable)(PVOID*);
  static const Disable disable = LookUp<Disable>(GetModuleHandleW(L"kernel32.dll"), "Wow64DisableWow64FsRedirection");
  Wow64Redirection redirection = {nullptr, FALSE};
  if (disable != nullptr) redirection.disabled = disable(&redirection.previous);
  return redirection;
}

inline void RevertWow64Redirection(Wow64Redirection redirection) {
  typedef BOOL(WINAPI * Revert)(PVOID);
  static const Revert revert = LookUp<Revert>(GetModuleHandleW(L"kernel32.dll"), "Wow64RevertWow64FsRedirection");
  if (redirection.disabled && revert != nullptr) revert(redirection.previous);
}
