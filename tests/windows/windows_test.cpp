// Runs the Windows build of Vorbane, as shipped, and compares everything it
// prints with the texts the screens must show, line ends as CR LF. The
// protected files come from a stand-in sfc.dll that CTest puts in the system
// folder before any test starts (install_standin.sh), chosen per run through
// Wine's DLL overrides: "sfc=b" is Wine's own (which protects nothing),
// "sfc=n" the stand-in.
#include <gtest/gtest.h>
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

#include <string>
#include <vector>

#include "protection/digests/md5.h"
#include "tests/screen_texts.h"

namespace {

// Wine shows the Unix file system as drive Z:.
std::wstring FromUnix(const char* path) {
  std::wstring wide = L"Z:";
  for (const char* p = path; *p; ++p) wide += *p == '/' ? L'\\' : wchar_t(static_cast<unsigned char>(*p));
  return wide;
}

const std::wstring kVorbane = FromUnix(VORBANE_EXE);
const std::wstring kPlanted = FromUnix(PLANTED_SFC_DLL);

std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// What the program writes for a path: one byte per character up to U+00FF,
// "?" for anything else.
std::string Shown(const std::wstring& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) ++i;
    out += c <= 0xFF ? char(c) : '?';
  }
  return out;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

struct Outcome {
  std::string output;
  DWORD status = 999;
  std::wstring command_line;
};

// Runs a program with the given command-line tail. sfc picks the sfc.dll:
// "b" Wine's own, "n" the stand-in, "" none at all.
Outcome Start(const std::wstring& tail, const wchar_t* sfc, const std::wstring& list = L"",
              const std::wstring& cwd = L"", const std::wstring& program = kVorbane) {
  Outcome run;
  run.command_line = L"\"" + program + L"\"" + (tail.empty() ? L"" : L" " + tail);
  SetEnvironmentVariableW(L"WINEDLLOVERRIDES", (std::wstring(L"sfc=") + sfc).c_str());
  SetEnvironmentVariableW(L"VORBANE_STANDIN_SFC", list.c_str());
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read_end, write_end;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return run;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::wstring command = run.command_line;
  PROCESS_INFORMATION process;
  const BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      cwd.empty() ? nullptr : cwd.c_str(), &startup, &process);
  CloseHandle(write_end);
  if (started) {
    char buffer[4096];
    DWORD got;
    while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) run.output.append(buffer, got);
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(read_end);
  return run;
}

std::string Md5OfFile(const std::wstring& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "(cannot read)";
  Md5 md5;
  Md5Init(&md5);
  unsigned char buffer[65536];
  DWORD got;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) Md5Update(&md5, buffer, got);
  CloseHandle(file);
  unsigned char digest[16];
  Md5Final(&md5, digest);
  char text[33];
  for (int i = 0; i < 16; ++i) snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return text;
}

// The Unix path of a file in the Wine prefix.
std::string InPrefix(const std::string& path) {
  wchar_t prefix[MAX_PATH] = L"";
  GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);
  return std::string(prefix, prefix + wcslen(prefix)) + "/" + path;
}

void WriteFileOfSize(const std::wstring& path, size_t size) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::string content(size, '\0');
  for (size_t i = 0; i < size; ++i) content[i] = char(i * 7 + i / 251);
  DWORD written = 0;
  if (size > 0) WriteFile(file, content.data(), DWORD(size), &written, nullptr);
  CloseHandle(file);
}

// A scratch folder under the temporary folder, removed with what it holds.
struct Scratch {
  Scratch() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static int count = 0;
    path = std::wstring(temp) + L"vorbane-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++count);
    CreateDirectoryW(path.c_str(), nullptr);
  }
  ~Scratch() { Remove(path); }
  static void Remove(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          Remove(folder + L"\\" + name);
        else
          DeleteFileW((folder + L"\\" + name).c_str());
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
  }
  std::wstring operator/(const std::wstring& name) const { return path + L"\\" + name; }
  std::wstring path;
};

TEST(UsageScreen, AnswersEveryCommandLineThatSelectsNoMode) {
  for (const auto& words : kUsageCommandLines) {
    std::wstring tail;
    for (const char* word : words) tail += (tail.empty() ? L"" : L" ") + (*word ? Widen(word) : L"\"\"");
    const Outcome run = Start(tail, L"b");
    EXPECT_EQ(run.output, Crlf(Usage())) << Shown(tail);
    EXPECT_EQ(run.status, 0u);
  }
  for (const wchar_t* option : {L"-p", L"-P"}) {
    const Outcome run = Start(option, L"b");
    EXPECT_EQ(run.output, Crlf(Usage() + kPathMissingError));
    EXPECT_EQ(run.status, 0u);
  }
}

TEST(ListingScreen, ShowsTheHeaderAloneWhenTheSystemProtectsNothing) {
  for (const wchar_t* sfc : {L"b", L""}) {  // Wine's own sfc.dll, and none at all
    const Outcome run = Start(L"-l", sfc);
    EXPECT_EQ(run.output, Crlf(Banner() + kListingHeader));
    EXPECT_EQ(run.status, 0u);
  }
}

TEST(ListingScreen, ListsTheProtectedFilesWithTheirDigests) {
  Scratch scratch;
  std::wstring list;
  std::string rows;
  int number = 0;
  for (size_t size : {0, 1, 9999, 10000, 10001, 20000}) {
    const std::wstring path = scratch / (L"File" + std::to_wstring(size) + L".DLL");
    WriteFileOfSize(path, size);
    list += (list.empty() ? L"" : L"|") + path;
    rows += Row(++number, Md5OfFile(path), Shown(path));
  }
  list += L"|" + (scratch / L"missing.dll") + L"|" + scratch.path;
  rows += Row(7, kPlaceholder, Shown(scratch / L"missing.dll"));
  rows += Row(8, kPlaceholder, Shown(scratch.path));
  const Outcome run = Start(L"-l", L"n", list);
  EXPECT_EQ(run.output, Crlf(Banner() + kListingHeader + rows + Footer(Shown(run.command_line), "c:\\output.txt")));
}

TEST(ListingScreen, HashesManyFilesAtOnceWithRowsInOrder) {
  // A few thousand files; a few dozen in a 32-bit build, whose every start
  // under an emulated Wine costs a minute. A file under system32 is hashed
  // by a worker thread, as the path names it even in a 32-bit process.
  const int count = sizeof(void*) == 4 ? 40 : 3000;
  Scratch scratch;
  const std::wstring system_file = L"C:\\windows\\system32\\kernel32.dll";
  const std::string system_digest = Md5OfFile(FromUnix(InPrefix("drive_c/windows/system32/kernel32.dll").c_str()));
  ASSERT_NE(system_digest, "(cannot read)") << "WINEPREFIX names the Wine prefix";
  std::wstring list;
  std::string rows;
  for (int i = 0; i < count; ++i) {
    const std::wstring path = i == count / 2 ? system_file : scratch / (L"f" + std::to_wstring(i));
    if (path != system_file) WriteFileOfSize(path, static_cast<size_t>(i) * 7919 % 70000);
    list += (list.empty() ? L"" : L"|") + path;
    rows += Row(i + 1, path == system_file ? system_digest : Md5OfFile(path), Shown(path));
  }
  const std::wstring list_file = scratch / L"list";
  const HANDLE file = CreateFileW(list_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, list.data(), DWORD(list.size() * sizeof(wchar_t)), &written, nullptr);
  CloseHandle(file);
  const Outcome run = Start(L"-l", L"n", L"@" + list_file);
  EXPECT_TRUE(run.output == Crlf(Banner() + kListingHeader + rows + Footer(Shown(run.command_line), "c:\\output.txt")))
      << run.output.substr(0, 2000);
  EXPECT_EQ(run.status, 0u);
}

TEST(ListingScreen, NumbersOnlyTheRowsThatMatchThePattern) {
  Scratch scratch;
  std::wstring list;
  for (const wchar_t* name : {L"a.txt", L"WinDir", L"b.DLL", L"c.sys", L"d.dll"}) {
    WriteFileOfSize(scratch / name, 3);
    list += (list.empty() ? L"" : L"|") + (scratch / name);
  }
  const std::string digest = Md5OfFile(scratch / L"a.txt");
  const Outcome run = Start(L"-l \".Dll\"", L"n", list);
  EXPECT_EQ(run.output,
            Crlf(Banner() + kListingHeader + Row(1, digest, Shown(scratch / L"b.DLL")) +
                 Row(2, digest, Shown(scratch / L"d.dll")) + Footer(Shown(run.command_line), "c:\\output.txt")));
  EXPECT_NE(run.output.find("-l \".Dll\" > c:\\output.txt"), std::string::npos);  // as typed, not folded

  EXPECT_EQ(Start(L"-l nothing", L"n", list).output, Crlf(Banner() + kListingHeader));
}

TEST(ListingScreen, RefusesAFileThatAnotherProcessIsWriting) {
  Scratch scratch;
  const std::wstring path = scratch / L"busy.dll";
  WriteFileOfSize(path, 100);
  const std::string digest = Md5OfFile(path);
  const std::string expected_start = Crlf(Banner() + kListingHeader);
  const HANDLE writer =
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  Outcome run = Start(L"-l", L"n", path);
  CloseHandle(writer);
  EXPECT_EQ(run.output, expected_start + Crlf(Row(1, kPlaceholder, Shown(path)) +
                                              Footer(Shown(run.command_line), "c:\\output.txt")));

  const HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  run = Start(L"-l", L"n", path);
  CloseHandle(reader);
  EXPECT_EQ(run.output,
            expected_start + Crlf(Row(1, digest, Shown(path)) + Footer(Shown(run.command_line), "c:\\output.txt")));
}

TEST(ListingScreen, HashesTheFileThePathNamesUnderWow64) {
  BOOL wow64 = FALSE;
  IsWow64Process(GetCurrentProcess(), &wow64);
  if (!wow64) GTEST_SKIP() << "not a 32-bit process on 64-bit Windows";
  const std::string native = Md5OfFile(FromUnix(InPrefix("drive_c/windows/system32/kernel32.dll").c_str()));
  const std::string wow = Md5OfFile(FromUnix(InPrefix("drive_c/windows/syswow64/kernel32.dll").c_str()));
  ASSERT_NE(native, "(cannot read)") << "WINEPREFIX names the Wine prefix";
  ASSERT_NE(native, wow);
  const std::wstring path = L"C:\\windows\\system32\\kernel32.dll";
  const Outcome run = Start(L"-l", L"n", path);
  EXPECT_NE(run.output.find(Crlf(Row(1, native, Shown(path)))), std::string::npos) << run.output;
  EXPECT_EQ(Start(L"-p " + path, L"n", path).output, Crlf(Banner() + kCheckHeader + Protected(Shown(path))));
}

TEST(ListingScreen, NeverLoadsAnSfcDllPlantedBesideItOrInTheCurrentFolder) {
  Scratch beside, current;
  const std::wstring program = beside / L"Vorbane.exe";
  ASSERT_TRUE(CopyFileW(kVorbane.c_str(), program.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(kPlanted.c_str(), (beside / L"sfc.dll").c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(kPlanted.c_str(), (current / L"sfc.dll").c_str(), FALSE));
  const std::wstring listed = current / L"listed.txt";
  WriteFileOfSize(listed, 0);
  const Outcome run = Start(L"-l", L"n", listed, current.path, program);
  EXPECT_EQ(run.output, Crlf(Banner() + kListingHeader + Row(1, "d41d8cd98f00b204e9800998ecf8427e", Shown(listed)) +
                             Footer(Shown(run.command_line), "c:\\output.txt")));
  EXPECT_EQ(run.output.find("PLANTED"), std::string::npos);
}

TEST(CheckScreen, SaysWhetherTheFileExistsAndIsProtected) {
  Scratch scratch;
  const std::wstring recorded = scratch / L"Recorded.dll", other = scratch / L"other.dll";
  const std::wstring cyrillic = scratch / L"\u0418\u043c\u044f \u00e9\U0001F600 end.dll";
  for (const std::wstring& path : {recorded, other, cyrillic, scratch / L"relative.dll"}) WriteFileOfSize(path, 1);
  const std::wstring list = recorded + L"|" + cyrillic + L"|relative.dll";
  const struct {
    std::wstring path;
    std::string message;
  } kCases[] = {
      {recorded, Protected(Shown(recorded))},
      {cyrillic, Protected(Shown(cyrillic))},
      {other, NotProtected(Shown(other))},
      {scratch.path, NotProtected(Shown(scratch.path))},
      {L"relative.dll", Protected("relative.dll")},  // handed on as typed
      {scratch / L"missing.dll", Missing(Shown(scratch / L"missing.dll"))},
      {L"", Missing("")},
      {L"*", Missing("*")},  // no wildcard expansion
  };
  for (const auto& c : kCases) {
    const Outcome run = Start(L"-P \"" + c.path + L"\"", L"n", list, scratch.path);
    EXPECT_EQ(run.output, Crlf(Banner() + kCheckHeader + c.message)) << Shown(c.path);
    EXPECT_EQ(run.status, 0u);
  }
  const std::string shown = Shown(cyrillic);  // one "?" for each character beyond U+00FF
  EXPECT_EQ(shown.substr(shown.rfind('\\')), "\\??? \xe9? end.dll");
}

std::wstring VersionString(const std::vector<char>& info, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(info.data(), key.c_str(), &value, &length)) return L"(none)";
  return static_cast<const wchar_t*>(value);
}

TEST(Executable, CarriesItsVersionAndAnAsInvokerManifest) {
  const DWORD size = GetFileVersionInfoSizeW(kVorbane.c_str(), nullptr);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(kVorbane.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010005u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010005u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000000u);
  EXPECT_EQ(VersionString(info, L"FileVersion"), L"1.5");
  EXPECT_EQ(VersionString(info, L"ProductVersion"), L"1.5");
  EXPECT_EQ(VersionString(info, L"ProductName"), L"Vorbane");
  EXPECT_EQ(VersionString(info, L"OriginalFilename"), L"Vorbane.exe");
  EXPECT_NE(VersionString(info, L"FileDescription"), L"(none)");

  const HMODULE image = LoadLibraryExW(kVorbane.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr);
  const HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr);
  const std::string manifest(static_cast<const char*>(LockResource(LoadResource(image, found))),
                             SizeofResource(image, found));
  FreeLibrary(image);
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
  EXPECT_EQ(manifest.find("Microsoft.VC90.CRT"), std::string::npos) << "names a runtime the build does not load";
}

}  // namespace
