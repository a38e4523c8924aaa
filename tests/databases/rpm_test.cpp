// rpm's databases against rpm's own answer, on fixtures that rpmbuild and
// rpm made (tests/rpm/make_fixtures.sh).
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "protection/databases/package_db.h"
#include "protection/databases/rpm/rpm_packages.h"
#include "tests/databases/rpm_test_support.h"
#include "tests/screen_texts.h"
#include "tests/test_support.h"

namespace {

using Paths = std::vector<std::string>;
const std::string kFixtures = VORBANE_RPM_FIXTURES;
const std::string kFixtureProgram = VORBANE_FIXTURE_PROGRAM;
const std::string kSqlite = kFixtures + "/root/var/lib/rpm/rpmdb.sqlite";

std::string ReadWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

// The exported headers and rpm's answer, by package name.
struct Packages {
  std::map<std::string, std::string> headers;
  std::vector<std::pair<std::string, std::string>> files;  // package, path
  std::vector<std::string> AllHeaders() const;
};

const Packages& Fixture() {
  static Packages packages;
  if (!packages.headers.empty()) return packages;
  const std::string exported = ReadWhole(kFixtures + "/headers");
  std::istringstream names(ReadWhole(kFixtures + "/names"));
  std::string name;
  for (size_t at = 0; at + 16 <= exported.size() && std::getline(names, name);) {
    const auto word = [&](size_t offset) {
      const auto* p = reinterpret_cast<const unsigned char*>(exported.data() + offset);
      return size_t{p[0]} << 24 | size_t{p[1]} << 16 | size_t{p[2]} << 8 | p[3];
    };
    const size_t size = 8 + 16 * word(at + 8) + word(at + 12);
    packages.headers[name] = exported.substr(at + 8, size);  // without the 8-byte lead
    at += 8 + size;
  }
  std::istringstream expected(ReadWhole(kFixtures + "/expected"));
  for (std::string line; std::getline(expected, line);)
    packages.files.emplace_back(line.substr(0, line.find('\t')), line.substr(line.find('\t') + 1));
  return packages;
}

// Headers in package-number order, as the names file gives them.
std::vector<std::string> Packages::AllHeaders() const {
  std::vector<std::string> all;
  std::istringstream names(ReadWhole(kFixtures + "/names"));
  for (std::string name; std::getline(names, name);) all.push_back(headers.at(name));
  return all;
}

// rpm's answer for the packages named (all when none are).
Paths Expected(const std::set<std::string>& packages = {}) {
  Paths paths;
  for (const auto& file : Fixture().files)
    if (packages.empty() || packages.count(file.first)) paths.push_back(file.second);
  return paths;
}

Paths ListRoot(const std::string& root) {
  static PackageFileWalk walk;
  Paths paths;
  char path[PATH_MAX];
  BeginPackageFileWalk(&walk, root.c_str(), nullptr, 1);
  while (NextPackageFile(&walk, path, sizeof path)) paths.push_back(path);
  EndPackageFileWalk(&walk);
  return paths;
}

void Place(const std::string& root, const std::string& folder, const std::string& file, const std::string& content) {
  MakeFolders(root + "/" + folder);
  WriteFile(root + "/" + folder + "/" + file, content);
}

std::string Ndb(const std::vector<std::string>& names) {
  std::vector<std::string> headers;
  for (const std::string& name : names) headers.push_back(Fixture().headers.at(name));
  return NdbFile(headers);
}

// One package's header in a file, its data length made wrong.
std::string BreakHeader(std::string file, const std::string& package) {
  const std::string& header = Fixture().headers.at(package);
  const size_t at = file.find(header.substr(0, 24));
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos) file[at + 4] ^= 0x40;
  return file;
}

struct Backend {
  const char* file;
  std::string content;
};

std::vector<Backend> EveryBackend() {
  return {{"rpmdb.sqlite", ReadWhole(kSqlite)},
          {"Packages.db", NdbFile(Fixture().AllHeaders())},
          {"Packages", ReadWhole(kFixtures + "/bdb-le/Packages")},
          {"Packages", ReadWhole(kFixtures + "/bdb-be/Packages")},
          {"Packages", ReadWhole(kFixtures + "/bdb-v7/Packages")}};
}

TEST(RpmDatabase, EveryBackendListsWhatRpmItselfReports) {
  ASSERT_EQ(Expected().size(), 403u) << "the fixtures are not as expected";
  for (const Backend& backend : EveryBackend()) {
    TempFolder root;
    Place(root.path, "usr/lib/sysimage/rpm", backend.file, backend.content);
    EXPECT_EQ(ListRoot(root.path), Expected()) << backend.file;
  }
}

TEST(RpmDatabase, ListsTheGoodPackagesOfABrokenFile) {
  std::map<std::string, std::string> package_of;
  for (const auto& file : Fixture().files) package_of[file.second] = file.first;
  for (const Backend& backend : EveryBackend()) {
    const struct {
      const char* what;
      std::string content;
      bool any_whole_packages;  // else exactly paths
      Paths paths;
    } kCases[] = {
        {"one bad header",
         backend.file[0] == 'r' ? ReadWhole(kFixtures + "/bad-blob.sqlite") : BreakHeader(backend.content, "beta"),
         false, Expected({"alpha", "alpha-many", "alpha-empty"})},
        {"cut short", backend.content.substr(0, backend.content.size() - 1000), true, {}},
        {"garbage", std::string(backend.content.size(), '\x5a'), false, {}},
    };
    for (const auto& c : kCases) {
      TempFolder root;
      Place(root.path, "var/lib/rpm", backend.file, c.content);
      const Paths listed = ListRoot(root.path);
      std::set<std::string> packages = {"(none)"};
      for (const std::string& path : listed) packages.insert(package_of[path]);
      EXPECT_EQ(listed, c.any_whole_packages ? Expected(packages) : c.paths) << backend.file << ": " << c.what;
    }
  }
}

TEST(RpmDatabase, ReadsEachFolderOnceInOrderAndOnlyItsFirstFilePresent) {
  TempFolder three;
  Place(three.path, "usr/lib/sysimage/rpm", "Packages.db", Ndb({"beta"}));
  Place(three.path, "var/lib/rpm", "Packages.db", Ndb({"alpha"}));
  Place(three.path, "usr/share/rpm", "Packages", ReadWhole(kFixtures + "/bdb-le/Packages"));
  Paths expected = Expected({"beta"});  // and each path once: a later folder's repeats are left out
  for (const auto& more : {Expected({"alpha"}), Expected()})
    for (const std::string& path : more)
      if (std::find(expected.begin(), expected.end(), path) == expected.end()) expected.push_back(path);
  EXPECT_EQ(ListRoot(three.path), expected);

  TempFolder linked;  // like Fedora: /var/lib/rpm -> ../../usr/lib/sysimage/rpm, a converted database
  Place(linked.path, "usr/lib/sysimage/rpm", "rpmdb.sqlite", ReadWhole(kSqlite));
  Place(linked.path, "usr/lib/sysimage/rpm", "Packages.db", Ndb({"beta"}));
  Place(linked.path, "usr/lib/sysimage/rpm", "Packages", "stale");
  MakeFolders(linked.path + "/var/lib");
  ASSERT_EQ(symlink("../../usr/lib/sysimage/rpm", (linked.path + "/var/lib/rpm").c_str()), 0);
  EXPECT_EQ(ListRoot(linked.path), Expected());

  TempFolder broken;  // the first file present is read even when it is unreadable
  Place(broken.path, "var/lib/rpm", "rpmdb.sqlite", "not a database");
  Place(broken.path, "var/lib/rpm", "Packages.db", Ndb({"beta"}));
  EXPECT_EQ(ListRoot(broken.path), Paths{});
}

TEST(RpmDatabase, AddsNothingWithoutTheSqliteLibrary) {
  RpmSqlite sqlite;
  EXPECT_FALSE(OpenSqlitePackages(&sqlite, kSqlite.c_str(), "libvorbane-no-such-library.so.0"));
  ASSERT_TRUE(OpenSqlitePackages(&sqlite, kSqlite.c_str(), "libsqlite3.so.0"));
  CloseSqlitePackages(&sqlite);
}

TEST(RpmDatabase, IsReadByAUserWhoCannotWriteItsFolder) {
  const std::string database = ReadWhole(kSqlite);
  ASSERT_EQ(database.substr(18, 2), "\x02\x02") << "a WAL database needs a shared-memory file to be read";
  TempFolder root;
  chmod(root.path.c_str(), 0755);
  const std::string program = root.path + "/vorbane";
  ASSERT_EQ(system(("cp '" + kFixtureProgram + "' '" + program + "'").c_str()), 0);
  Place(root.path, "var/lib/rpm", "rpmdb.sqlite", database);
  // f1, f10 to f19 and f100 to f199, in the header's order
  const std::string output = RunProgram(program, {"-l", "/many/f1"}, root.path, true).output;
  const size_t last = output.find("\n   111. [MD5:");
  ASSERT_NE(last, std::string::npos) << output;
  EXPECT_EQ(output.find(kFixtures + "/files/many/f199 "), last + 48);
  EXPECT_EQ(output.find("\n   112. "), std::string::npos);
}

TEST(RpmDatabase, ComesAfterDpkgAndBeforePortage) {
  TempFolder root;
  Place(root.path, "var/db/pkg/app-misc/tool-1", "CONTENTS", "obj /from/portage 0123 1\n");
  Place(root.path, "var/lib/rpm", "Packages.db", Ndb({"beta"}));
  WriteMd5sums(root.path, "tool", "00112233445566778899aabbccddeeff  from/dpkg\n");
  Paths expected = {"/from/dpkg"};
  for (const std::string& path : Expected({"beta"})) expected.push_back(path);
  expected.push_back("/from/portage");
  EXPECT_EQ(ListRoot(root.path), expected);
}

TEST(RpmListing, ShowsRowsAndAnswersTheCheck) {
  TempFolder root;
  Place(root.path, "usr/lib/sysimage/rpm", "rpmdb.sqlite", ReadWhole(kSqlite));
  const std::string spaced = kFixtures + "/files/with space";
  EXPECT_EQ(RunProgram(kFixtureProgram, {"-l", "WITH space"}, root.path).output,
            Banner() + kListingHeader + Row(1, SystemMd5(spaced), spaced) +
                Footer(kFixtureProgram + " -l 'WITH space'", "output.txt"));
  const struct {
    std::string path, answer;
  } kChecks[] = {
      {spaced, Protected(spaced)},
      {kFixtures + "/names", NotProtected(kFixtures + "/names")},
      {kFixtures + "/files/README", Missing(kFixtures + "/files/README")},  // an excluded %doc
  };
  for (const auto& c : kChecks)
    EXPECT_EQ(RunProgram(kFixtureProgram, {"-p", c.path}, root.path).output, Banner() + kCheckHeader + c.answer);
}

}  // namespace
