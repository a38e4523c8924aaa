#include "tests/test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

TempFolder::TempFolder() {
  char name[] = "/tmp/vorbane-test-XXXXXX";
  EXPECT_NE(mkdtemp(name), nullptr);
  path = name;
}

TempFolder::~TempFolder() {
  const std::string command = "chmod -R u+rwx '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
  EXPECT_EQ(system(command.c_str()), 0);
}

void WriteFile(const std::string& path, const std::string& content) {
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  ASSERT_EQ(fwrite(content.data(), 1, content.size(), file), content.size());
  fclose(file);
}

void MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
    if (slash == std::string::npos) break;
  }
}

void WriteMd5sums(const std::string& root, const std::string& name, const std::string& content) {
  MakeFolders(root + "/var/lib/dpkg/info");
  WriteFile(root + "/var/lib/dpkg/info/" + name + ".md5sums", content);
}

void WriteApkDatabase(const std::string& root, const std::string& content) {
  MakeFolders(root + "/lib/apk/db");
  WriteFile(root + "/lib/apk/db/installed", content);
}

void WritePacmanPackage(const std::string& root, const std::string& package, const std::string& content) {
  MakeFolders(root + "/var/lib/pacman/local/" + package);
  WriteFile(root + "/var/lib/pacman/local/" + package + "/files", content);
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                     bool as_nobody) {
  RunResult result;
  int pipe_ends[2], error_ends[2];
  if (pipe(pipe_ends) != 0) return result;
  if (pipe(error_ends) != 0) return result;
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipe_ends[1], STDOUT_FILENO);
    dup2(error_ends[1], STDERR_FILENO);
    // Nothing but the standard streams: a test may limit the descriptors.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    if (as_nobody && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(127);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipe_ends[1]);
  close(error_ends[1]);
  char buffer[4096];
  ssize_t got;
  // What goes to stderr is a few lines: it fits the pipe while stdout is read.
  while ((got = read(pipe_ends[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<size_t>(got));
  while ((got = read(error_ends[0], buffer, sizeof buffer)) > 0) result.errors.append(buffer, static_cast<size_t>(got));
  close(pipe_ends[0]);
  close(error_ends[0]);
  int status = 0;
  waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string SystemMd5(const std::string& path) {
  const std::string command = "md5sum < '" + path + "'";
  FILE* pipe = popen(command.c_str(), "r");
  char digest[33] = {};
  if (pipe == nullptr) return "";
  if (fread(digest, 1, 32, pipe) != 32) digest[0] = '\0';
  pclose(pipe);
  return digest;
}
