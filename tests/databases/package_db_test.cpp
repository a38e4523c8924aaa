#include "protection/databases/package_db.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <set>
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
    ParserState state;
    ResetParser(&state);
    const int parsed = ParseDatabaseLine(ParseMd5sumsLine, &state, c.line.data(), c.line.size(), out, sizeof out);
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
  ParserState state;
  ResetParser(&state);
  const std::string fits = kHash + "  abcdef";  // "/abcdef" and the NUL: 8 bytes
  const std::string too_long = kHash + "  abcdefg";
  EXPECT_TRUE(ParseDatabaseLine(ParseMd5sumsLine, &state, fits.data(), fits.size(), out, sizeof out));
  EXPECT_STREQ(out, "/abcdef");
  EXPECT_FALSE(ParseDatabaseLine(ParseMd5sumsLine, &state, too_long.data(), too_long.size(), out, sizeof out));
}

// Every path the parser finds in text, split into lines as the reader does.
std::vector<std::string> ParseText(LineParser format, const std::string& text) {
  ParserState state;
  ResetParser(&state);
  std::vector<std::string> paths;
  char out[PATH_MAX];
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (ParseDatabaseLine(format, &state, text.data() + at, end - at, out, sizeof out)) paths.push_back(out);
    at = end + 1;
  }
  return paths;
}

using Paths = std::vector<std::string>;
const std::string kLong(5000, 'p');

TEST(ApkDatabase, NamesEachFileInItsRecordsFolder) {
  const struct {
    std::string text;
    Paths paths;
  } kCases[] = {
      {"C:Q1abc=\nP:busybox\nV:1.36\nF:bin\nR:busybox\na:0:0:755\nZ:Q1xyz=\nR:sh\nF:etc\nR:passwd\n\n"
       "P:zlib\nF:usr/lib\nR:libz.so.1\n",
       {"/bin/busybox", "/bin/sh", "/etc/passwd", "/usr/lib/libz.so.1"}},
      {"R:before-any-folder\nF:a\nR:b\n", {"/a/b"}},
      {"F:a\nR:b\n\nR:folder-gone\n", {"/a/b"}},
      {"F:a\n\nR:after-blank\n\n\n", {}},
      {"F:\nR:top\n", {"/top"}},
      {"F:a/\nR:b\n", {"/a/b"}},
      {"F:a\r\nR:b\r\nR:c\r\n", {"/a/b", "/a/c"}},
      {"F:a\nR:no-final-feed", {"/a/no-final-feed"}},
      {"F:a\nR:" + kLong + "\nR:after\n", {"/a/after"}},
      {"F:" + kLong + "\nR:x\n\nF:b\nR:y", {"/b/y"}},
      {"F:a\nR:\nRb\n:R\nX:c\nr:d\n", {}},
  };
  for (const auto& c : kCases) EXPECT_EQ(ParseText(ParseApkLine, c.text), c.paths) << c.text.substr(0, 60);
}

TEST(PacmanDatabase, ListsTheFilesSectionWithoutFolders) {
  const struct {
    std::string text;
    Paths paths;
  } kCases[] = {
      {"%FILES%\nusr/\nusr/bin/\nusr/bin/ls\nusr/share/man/man1/ls.1.gz\n\n%BACKUP%\netc/x\tabc\n",
       {"/usr/bin/ls", "/usr/share/man/man1/ls.1.gz"}},
      {"%NAME%\nfoo\n%FILES%\na\n%MD5SUM%\nb\n", {"/a"}},
      {"before\n%FILES%\nb", {"/b"}},
      {"%FILES%\r\na\r\nb/\r\n", {"/a"}},
      {"%FILES%\n" + kLong + "\nafter\n", {"/after"}},
      {"%FILES%\na\n\nnot-in-section\n", {"/a"}},
      {"%FILES%\n%\nb\n", {}},
      {"%FILES %\na\n%files%\nb\n", {}},
  };
  for (const auto& c : kCases) EXPECT_EQ(ParseText(ParsePacmanLine, c.text), c.paths) << c.text.substr(0, 60);
}

TEST(PortageContents, ListsObjLinesTakingDigestAndTimeFromTheRight) {
  const struct {
    std::string text;
    Paths paths;
  } kCases[] = {
      {"dir /usr\ndir /usr/bin\nobj /usr/bin/ls 0123456789abcdef0123456789abcdef 1700000000\n", {"/usr/bin/ls"}},
      {"obj /a path/with  spaces d41d 12\nobj /x -> y d 1\nobj relative d 1",
       {"/a path/with  spaces", "/x -> y", "/relative"}},
      {"obj /crlf d 1\r\nobj /tab\tin path d 1\n", {"/crlf", "/tab\tin path"}},
      {"sym /usr/lib/x -> y 1\nfif /run/f\ndev /dev/x\nOBJ /x d 1\nobj\n", {}},
      {"obj /no-time d41d\nobj /bad-time d41d 12a\nobj /trailing d41d 12 \nobj  d41d 12\nobj /x  12\n"
       "obj /tab d\t41 12\nobj d 12\n",
       {}},
      {"obj /" + kLong + " d 1\nobj /after d 1\n", {"/after"}},
  };
  for (const auto& c : kCases) EXPECT_EQ(ParseText(ParsePortageLine, c.text), c.paths) << c.text.substr(0, 60);
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

TEST(SortedFolderWalk, SkipsANameTooLongForItsSlot) {
  static SortedFolderWalk walk;
  BeginSortedFolderWalk(&walk, "/", AcceptAll);
  const std::string longest(NAME_MAX, 'y'), too_long(NAME_MAX + 1, 'x');
  for (const std::string& name : {std::string("b"), too_long, std::string("a"), longest})
    OfferFolderName(&walk, name.c_str());
  std::vector<std::string> kept;
  for (int i = 0; i < walk.count; ++i) kept.push_back(walk.names[i]);
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<std::string>{"a", "b", longest}));
}

std::vector<std::string> ListDatabase(const std::string& root, const DatabaseHooks* hooks = nullptr) {
  static PackageFileWalk walk;
  std::vector<std::string> paths;
  char path[PATH_MAX];
  BeginPackageFileWalk(&walk, root.c_str(), hooks, 1);
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
  const std::vector<std::string> expected = {"/bin/bash", "/usr/share/doc/bash/README", "/usr/bin/last-without-feed",
                                             "/usr/lib/libz.so.1"};
  EXPECT_EQ(ListDatabase(root.path), expected);
  EXPECT_EQ(ListDatabase(root.path + "/"), expected);
}

TEST(PackageFileWalk, ReadsApkFromLibOrElseUsrLib) {
  TempFolder root;
  MakeFolders(root.path + "/usr/lib/apk/db");
  WriteFile(root.path + "/usr/lib/apk/db/installed", "F:usr\nR:newer\n");
  EXPECT_EQ(ListDatabase(root.path), Paths{"/usr/newer"});
  WriteApkDatabase(root.path, "F:lib\nR:older\n");
  EXPECT_EQ(ListDatabase(root.path), Paths{"/lib/older"});
}

TEST(PackageFileWalk, ReadsPacmanPackagesInByteOrder) {
  TempFolder root;
  WritePacmanPackage(root.path, "zlib-1.3-1", "%FILES%\nusr/lib/libz.so\n");
  WritePacmanPackage(root.path, "bash-5.2-2", "%NAME%\nbash\n\n%FILES%\nusr/\nusr/bin/bash\n");
  MakeFolders(root.path + "/var/lib/pacman/local/no-files-1-1");
  WriteFile(root.path + "/var/lib/pacman/local/ALPM_DB_VERSION", "9\n");
  EXPECT_EQ(ListDatabase(root.path), (Paths{"/usr/bin/bash", "/usr/lib/libz.so"}));
}

TEST(PackageFileWalk, ReadsPortageCategoriesAndPackagesInByteOrder) {
  TempFolder root;
  const std::string db = root.path + "/var/db/pkg/";
  for (const char* package : {"sys-libs/zlib-1.3", "app-shells/bash-5.2", "app-shells/-MERGING-bash-5.3",
                              "app-shells/.hidden-1", "app-shells/lost+found", ".cat/x-1", "lost+found/y-1"}) {
    MakeFolders(db + package);
    WriteFile(db + package + "/CONTENTS", std::string("obj /") + package + " d 1\n");
  }
  MakeFolders(db + "app-shells/no-contents-1");
  EXPECT_EQ(ListDatabase(root.path), (Paths{"/app-shells/bash-5.2", "/sys-libs/zlib-1.3"}));
}

TEST(PackageFileWalk, ListsEveryDatabasePresentDpkgThenApkThenPacman) {
  TempFolder root;
  WritePacmanPackage(root.path, "p-1-1", "%FILES%\nfrom/pacman\n");
  WriteApkDatabase(root.path, "F:from\nR:apk\n");
  WriteMd5sums(root.path, "d", kHash + "  from/dpkg\n");
  EXPECT_EQ(ListDatabase(root.path), (Paths{"/from/dpkg", "/from/apk", "/from/pacman"}));
}

TEST(PackageFileWalk, AnEmptyDpkgFolderDoesNotHideTheNativeDatabase) {
  TempFolder root;
  MakeFolders(root.path + "/var/lib/dpkg/info");
  WritePacmanPackage(root.path, "p-1-1", "%FILES%\nusr/bin/tool\n");
  EXPECT_EQ(ListDatabase(root.path), Paths{"/usr/bin/tool"});
}

TEST(PackageFileWalk, FindsNothingWithoutADatabase) {
  TempFolder root;
  EXPECT_TRUE(ListDatabase(root.path).empty());
  MakeFolders(root.path + "/var/lib/dpkg/info");
  EXPECT_TRUE(ListDatabase(root.path).empty());
}

using Failures = std::vector<std::pair<std::string, int>>;
// What a walk said of the databases it could not read, or read whole.
struct Heard {
  Failures failed;
  std::vector<std::string> said;
};
int NoteFailure(void* heard, const char* path, int error) {
  static_cast<Heard*>(heard)->failed.emplace_back(path, error);
  return 0;
}
void NoteSaid(void* heard, const char* what, const char* reason) {
  static_cast<Heard*>(heard)->said.push_back(std::string(what) + ": " + reason);
}

TEST(PackageFileWalk, SaysWhichDatabaseCannotBeReadAndListsTheRest) {
  // /proc/self/mem is a regular file whose every read fails (EIO), even for
  // root; a database that is not there is no failure.
  const struct {
    const char* where;
    int error;
  } kCases[] = {
      {"var/lib/dpkg/info/broken.md5sums", EIO},
      {"lib/apk/db/installed", EIO},
      {"var/lib/pacman/local/broken-1-1/files", EIO},
      {"var/db/pkg/app-misc/broken-1/CONTENTS", EIO},
      {"var/lib/rpm/rpmdb.sqlite", EIO},
      {"var/lib/rpm/Packages.db", EIO},
      {"var/lib/rpm/Packages", EIO},
      {"var/lib/pacman/local/ALPM_DB_VERSION", 0},
  };
  for (const auto& c : kCases) {
    TempFolder root;
    WriteMd5sums(root.path, "good", kHash + "  from/dpkg\n");
    const std::string broken = root.path + "/" + c.where;
    MakeFolders(broken.substr(0, broken.rfind('/')));
    ASSERT_EQ(symlink("/proc/self/mem", broken.c_str()), 0);
    Heard heard;
    const DatabaseHooks hooks = {NoteFailure, NoteSaid, &heard};
    EXPECT_EQ(ListDatabase(root.path, &hooks), Paths{"/from/dpkg"}) << c.where;
    const Failures expected = c.error != 0 ? Failures{{broken, c.error}} : Failures{};
    EXPECT_EQ(heard.failed, expected) << c.where;
  }
}

TEST(PackageFileWalk, UsesDiversionsUpToAFaultAndSaysWhere) {
  const std::string good = "/a\n/a.diverted\nother\n";
  const struct {
    std::string diversions;
    Paths paths;
    std::string said;  // after the file's path
  } kCases[] = {
      {good, {"/a.diverted", "/b"}, ""},
      {good + "/b\n/b.local\n:\n", {"/a.diverted", "/b.local"}, ""},
      {good + "/b\n/b.local\n", {"/a.diverted", "/b"}, ": line 6: missing: the file ends within a diversion"},
      {good + "b\n/b.local\n:\n", {"/a.diverted", "/b"}, ": line 4: not an absolute path"},
      {good + "/b\n/" + std::string(PATH_MAX, 'x') + "\n:\n", {"/a.diverted", "/b"}, ": line 5: longer than a path"},
      {good + "/b\n/" + std::string(70000, 'x') + "\n:\n", {"/a.diverted", "/b"}, ": line 5: longer than a path"},
      {"/a\n/a.diverted\n\n", {"/a", "/b"}, ": line 3: no package named"},
      {"", {"/a", "/b"}, ""},
  };
  for (const auto& c : kCases) {
    TempFolder root;
    WriteMd5sums(root.path, "tool:amd64", kHash + "  a\n" + kHash + "  b\n");
    WriteFile(root.path + "/var/lib/dpkg/diversions", c.diversions);
    Heard heard;
    const DatabaseHooks hooks = {NoteFailure, NoteSaid, &heard};
    EXPECT_EQ(ListDatabase(root.path, &hooks), c.paths) << c.diversions.substr(0, 60);
    const std::vector<std::string> said =
        c.said.empty() ? std::vector<std::string>{}
                       : std::vector<std::string>{root.path + "/var/lib/dpkg/diversions" + c.said};
    EXPECT_EQ(heard.said, said) << c.diversions.substr(0, 60);
  }
}

TEST(PackageFileWalk, HandsOutEachPathOnceHoweverManyThereAre) {
  TempFolder root;
  std::string lines;
  for (int i = 0; i < 100000; ++i) lines += kHash + "  f/" + std::to_string(i * 7919 % 100000) + "\n";
  WriteMd5sums(root.path, "a", lines);
  WriteMd5sums(root.path, "b", lines + kHash + "  f/new\n");
  const Paths paths = ListDatabase(root.path);
  ASSERT_EQ(paths.size(), 100001u);
  EXPECT_EQ(paths.back(), "/f/new");
  EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), paths.size());
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
  MakeFolders(root.path + "/elsewhere");
  link((real + "/tool").c_str(), (root.path + "/elsewhere/tool").c_str());  // the same inode, named alike
  WriteMd5sums(root.path, "pkg", kHash + "  " + root.path.substr(1) + "/alias/tool\n" + kHash + "  /gone/file\n");

  EXPECT_TRUE(IsPackageFile(root.path.c_str(), (root.path + "/alias/tool").c_str(), nullptr));  // as typed
  EXPECT_TRUE(IsPackageFile(root.path.c_str(), "/gone/file", nullptr));  // as typed, though missing
  EXPECT_TRUE(IsPackageFile(root.path.c_str(), (real + "/tool").c_str(), nullptr));
  EXPECT_TRUE(IsPackageFile(root.path.c_str(), (real + "/shortcut").c_str(), nullptr));
  EXPECT_TRUE(IsPackageFile(root.path.c_str(), (real + "/../alias/./tool").c_str(), nullptr));
  EXPECT_FALSE(IsPackageFile(root.path.c_str(), (real + "/other").c_str(), nullptr));
  EXPECT_FALSE(IsPackageFile(root.path.c_str(), (real + "/dangling").c_str(), nullptr));
  EXPECT_FALSE(IsPackageFile(root.path.c_str(), (real + "/hardlink").c_str(), nullptr));
  EXPECT_FALSE(IsPackageFile(root.path.c_str(), (root.path + "/elsewhere/tool").c_str(), nullptr));
  EXPECT_FALSE(IsPackageFile(root.path.c_str(), real.c_str(), nullptr));
  EXPECT_FALSE(IsPackageFile(root.path.c_str(), "", nullptr));
  EXPECT_FALSE(IsPackageFile((root.path + "/nowhere").c_str(), (real + "/tool").c_str(), nullptr));
  EXPECT_FALSE(IsPackageFile(root.path.c_str(), (real + "/other").c_str(), nullptr));
  WritePacmanPackage(root.path, "p-1-1", "%FILES%\n" + real.substr(1) + "/other\n");
  EXPECT_TRUE(IsPackageFile(root.path.c_str(), (real + "/other").c_str(), nullptr));

  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(real.c_str()), 0);
  const int relative = IsPackageFile(root.path.c_str(), "tool", nullptr);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_TRUE(relative);
}

}  // namespace
