#include "protection/package_db.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

const std::string kHash = "0123456789abcdefABCDEF0123456789";

TEST(Md5sumsLine, AcceptsOnlyDigestTwoSpacesAndAPath) {
  const struct {
    std::string line;
    const char* path;  // nullptr: the line is skipped
  } kCases[] = {
      {kHash + "  usr/bin/ls", "/usr/bin/ls"},
      {kHash + "  /already/absolute", "/already/absolute"},
      {kHash + "  usr/share/a file with spaces ", "/usr/share/a file with spaces "},
      {kHash + "   lead", "/ lead"},
      {kHash + " usr/bin/ls", nullptr},
      {kHash + "\tusr/bin/ls", nullptr},
      {kHash + "  ", nullptr},
      {kHash, nullptr},
      {kHash.substr(1) + "  usr/bin/ls", nullptr},
      {"g" + kHash.substr(1) + "  usr/bin/ls", nullptr},
      {kHash + "  usr/bin/l" + std::string(1, '\0') + "s", nullptr},
      {"", nullptr},
  };
  for (const auto& c : kCases) {
    char out[PATH_MAX] = "untouched";
    const int parsed = ParseMd5sumsLine(c.line.data(), c.line.size(), out, sizeof out);
    if (c.path == nullptr) {
      EXPECT_FALSE(parsed) << c.line;
    } else {
      EXPECT_TRUE(parsed) << c.line;
      EXPECT_STREQ(out, c.path);
    }
  }
}

TEST(Md5sumsLine, SkipsAPathThatWouldNotFitRatherThanCuttingIt) {
  char out[8];
  const std::string fits = kHash + "  abcdef";  // "/abcdef" and the NUL: 8 bytes
  const std::string too_long = kHash + "  abcdefg";
  EXPECT_TRUE(ParseMd5sumsLine(fits.data(), fits.size(), out, sizeof out));
  EXPECT_STREQ(out, "/abcdef");
  EXPECT_FALSE(ParseMd5sumsLine(too_long.data(), too_long.size(), out, sizeof out));
}

std::vector<std::string> ReadLines(const std::string& path) {
  static LineReader reader;
  std::vector<std::string> lines;
  if (!OpenLineReader(&reader, path.c_str())) return {"(not opened)"};
  const char* line;
  size_t length;
  while (NextLine(&reader, &line, &length)) lines.emplace_back(line, length);
  CloseLineReader(&reader);
  return lines;
}

TEST(LineReader, HandsOutWholeLinesOnly) {
  TempFolder folder;
  const std::string path = folder.path + "/lines";
  const std::string huge(200000, 'x');
  const struct {
    std::string content;
    std::vector<std::string> lines;
  } kCases[] = {
      {"", {}},
      {"one\ntwo\n", {"one", "two"}},
      {"one\ntwo", {"one", "two"}},
      {"\n\nx\r\n", {"", "", "x\r"}},
      {"a\n" + huge + "\nb", {"a", "b"}},
      {"a\n" + huge, {"a"}},
      {huge.substr(0, 65535) + "\nb", {huge.substr(0, 65535), "b"}},
  };
  for (const auto& c : kCases) {
    WriteFile(path, c.content);
    EXPECT_EQ(ReadLines(path), c.lines) << c.content.substr(0, 40);
  }
}

TEST(LineReader, RefusesWhatIsNotARegularFile) {
  TempFolder folder;
  const std::string fifo = folder.path + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, folder.path, std::string("/dev/zero"), folder.path + "/missing"})
    EXPECT_EQ(ReadLines(path), std::vector<std::string>{"(not opened)"}) << path;
}

int AcceptAll(const char*) { return 1; }
int AcceptOdd(const char* name) { return name[strlen(name) - 1] % 2; }

std::vector<std::string> WalkFolder(const std::string& folder, int (*accept)(const char*)) {
  static SortedFolderWalk walk;
  std::vector<std::string> names;
  BeginSortedFolderWalk(&walk, folder.c_str(), accept);
  while (const char* name = NextSortedName(&walk)) names.push_back(name);
  return names;
}

TEST(SortedFolderWalk, GivesEveryNameOnceInByteOrderAcrossBatches) {
  TempFolder folder;
  std::vector<std::string> names;
  for (int i = 0; i < 3 * kSortedBatch + 17; ++i) names.push_back("n" + std::to_string(i * 7919 % 100003));
  names.push_back("\xC3\xA9t\xC3\xA9");  // sorts after every ASCII name
  names.push_back("Z");
  for (const std::string& name : names) WriteFile(folder.path + "/" + name, "");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(WalkFolder(folder.path, AcceptAll), names);

  std::vector<std::string> odd;
  for (const std::string& name : names)
    if (AcceptOdd(name.c_str())) odd.push_back(name);
  EXPECT_EQ(WalkFolder(folder.path, AcceptOdd), odd);
  EXPECT_TRUE(WalkFolder(folder.path + "/missing", AcceptAll).empty());
}

std::vector<std::string> ListDatabase(const std::string& root) {
  static PackageFileWalk walk;
  std::vector<std::string> paths;
  char path[PATH_MAX];
  BeginPackageFileWalk(&walk, root.c_str());
  while (NextPackageFile(&walk, path, sizeof path)) paths.push_back(path);
  EndPackageFileWalk(&walk);
  return paths;
}

TEST(PackageFileWalk, ListsEveryRecordedPathInDatabaseOrder) {
  TempFolder root;
  WriteMd5sums(root.path, "zlib1g:amd64", kHash + "  usr/lib/libz.so.1\n");
  WriteMd5sums(root.path, "bash",
               kHash + "  bin/bash\nnot a line\n" + kHash + "  usr/share/doc/bash/README\n" + kHash + "  bin/bash\n" +
                   kHash + "  " + std::string(5000, 'p') + "\n" + kHash + "  usr/bin/last-without-feed");
  WriteMd5sums(root.path, "empty", "");
  WriteFile(root.path + "/var/lib/dpkg/info/bash.list", kHash + "  not/a/digest/file\n");
  mkdir((root.path + "/var/lib/dpkg/info/folder.md5sums").c_str(), 0755);
  mkfifo((root.path + "/var/lib/dpkg/info/fifo.md5sums").c_str(), 0600);
  const std::vector<std::string> expected = {"/bin/bash", "/usr/share/doc/bash/README", "/bin/bash",
                                             "/usr/bin/last-without-feed", "/usr/lib/libz.so.1"};
  EXPECT_EQ(ListDatabase(root.path), expected);
  EXPECT_EQ(ListDatabase(root.path + "/"), expected);
}

TEST(PackageFileWalk, FindsNothingWithoutADatabase) {
  TempFolder root;
  EXPECT_TRUE(ListDatabase(root.path).empty());
  MakeFolders(root.path + "/var/lib/dpkg/info");
  EXPECT_TRUE(ListDatabase(root.path).empty());
}

TEST(IsPackageFile, KnowsARecordedFileByAnyNameThatLeadsToIt) {
  TempFolder root;
  const std::string real = root.path + "/real";  // like /usr/bin on merged /usr
  MakeFolders(real);
  WriteFile(real + "/tool", "#!/bin/sh\n");
  WriteFile(real + "/other", "");
  symlink("real", (root.path + "/alias").c_str());  // like /bin -> usr/bin
  symlink("tool", (real + "/shortcut").c_str());    // like /bin/sh -> dash
  symlink("missing", (real + "/dangling").c_str());
  link((real + "/tool").c_str(), (real + "/hardlink").c_str());
  WriteMd5sums(root.path, "pkg", kHash + "  " + root.path.substr(1) + "/alias/tool\n" + kHash + "  /gone/file\n");

  EXPECT_TRUE(IsPackageFile(root.path.c_str(), (root.path + "/alias/tool").c_str()));  // as typed
  EXPECT_TRUE(IsPackageFile(root.path.c_str(), "/gone/file"));                         // as typed, though missing
  EXPECT_TRUE(IsPackageFile(root.path.c_str(), (real + "/tool").c_str()));
  EXPECT_TRUE(IsPackageFile(root.path.c_str(), (real + "/shortcut").c_str()));
  EXPECT_TRUE(IsPackageFile(root.path.c_str(), (real + "/../alias/./tool").c_str()));
  EXPECT_FALSE(IsPackageFile(root.path.c_str(), (real + "/other").c_str()));
  EXPECT_FALSE(IsPackageFile(root.path.c_str(), (real + "/dangling").c_str()));
  EXPECT_FALSE(IsPackageFile(root.path.c_str(), real.c_str()));
  EXPECT_FALSE(IsPackageFile(root.path.c_str(), ""));
  EXPECT_FALSE(IsPackageFile((root.path + "/nowhere").c_str(), (real + "/tool").c_str()));

  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(real.c_str()), 0);
  const int relative = IsPackageFile(root.path.c_str(), "tool");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_TRUE(relative);
}

}  // namespace
