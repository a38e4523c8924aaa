// Helpers for tests that need files, folders and child processes.
#pragma once

#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, removed at the end.
struct TempFolder {
  TempFolder();
  ~TempFolder();
  std::string path;
};

void WriteFile(const std::string& path, const std::string& content);
void MakeFolders(const std::string& path);  // like mkdir -p

// Writes a dpkg database under root with one .md5sums file per name.
void WriteMd5sums(const std::string& root, const std::string& name, const std::string& content);

// Writes apk's database of installed packages under root.
void WriteApkDatabase(const std::string& root, const std::string& content);

// Writes one pacman package's files list under root.
void WritePacmanPackage(const std::string& root, const std::string& package, const std::string& content);

struct RunResult {
  std::string output;  // everything the program wrote to stdout
  std::string errors;  // and to stderr
  int status = -1;     // exit status, or -1 when it did not exit normally
};

// Runs program with args in folder cwd, stdout and stderr captured through
// pipes.
// as_nobody: when we are root, run it as the unprivileged user "nobody", so
// that file permissions apply.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                     bool as_nobody = false);

// What the system's md5sum says of a file: an independent digest.
std::string SystemMd5(const std::string& path);
