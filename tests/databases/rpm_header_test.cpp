#include "protection/databases/rpm/rpm_header.h"

#include <gtest/gtest.h>
#include <limits.h>

#include <string>
#include <vector>

#include "tests/databases/rpm_test_support.h"

namespace {

using Paths = std::vector<std::string>;

Paths ListHeader(const std::string& header, size_t capacity = PATH_MAX) {
  RpmHeaderFiles files;
  Paths paths;
  if (!OpenRpmHeader(&files, reinterpret_cast<const unsigned char*>(header.data()), header.size()))
    return {"(refused)"};
  std::vector<char> out(capacity + 1);
  while (NextRpmHeaderFile(&files, out.data(), capacity)) paths.push_back(out.data());
  return paths;
}

const int kFile = 0100644, kDir = 040755, kLink = 0120777;

// Three files in two folders, the last back in the first.
std::vector<RpmTag> ThreeFiles() {
  return {Strings(kDirNamesTag, {"/a/", "/b/"}), Strings(kBaseNamesTag, {"x", "y", "z"}),
          Int32s(kDirIndexesTag, {0, 1, 0}),     Int16s(kFileModesTag, {kFile, kFile, kFile}),
          Int32s(kFileFlagsTag, {0, 0, 0}),      Chars(kFileStatesTag, {0, 0, 0})};
}

std::vector<RpmTag> With(std::vector<RpmTag> tags, const RpmTag& extra) {
  tags.push_back(extra);
  return tags;
}

TEST(RpmHeader, ListsInstalledRegularFilesInHeaderOrder) {
  const Paths all = {"/a/x", "/b/y", "/a/z"};
  const struct {
    const char* what;
    std::string header;
    Paths paths;
  } kCases[] = {
      {"plain", RpmHeader(ThreeFiles()), all},
      {"a later entry replaces an earlier one",
       RpmHeader(With(ThreeFiles(), Strings(kBaseNamesTag, {"p", "q", "r"}))),
       {"/a/p", "/b/q", "/a/r"}},
      {"without states",
       RpmHeader({Strings(kDirNamesTag, {"/a/", "/b/"}), Strings(kBaseNamesTag, {"x", "y", "z"}),
                  Int32s(kDirIndexesTag, {0, 1, 0}), Int16s(kFileModesTag, {kFile, kFile, kFile}),
                  Int32s(kFileFlagsTag, {0, 0, 0})}),
       all},
      {"not regular, ghost, or not installed normally",
       RpmHeader({Strings(kDirNamesTag, {"/d/"}), Strings(kBaseNamesTag, {"dir", "link", "ghost", "1", "2", "3", "ok"}),
                  Int32s(kDirIndexesTag, {0, 0, 0, 0, 0, 0, 0}),
                  Int16s(kFileModesTag, {kDir, kLink, kFile, kFile, kFile, kFile, kFile}),
                  Int32s(kFileFlagsTag, {0, 0, 1 << 6, 0, 0, 0, 1 | 2 | 1 << 4 | 1 << 7}),
                  Chars(kFileStatesTag, {0, 0, 0, 1, 2, 3, 0})}),
       {"/d/ok"}},
      {"full names",
       RpmHeader({Strings(kOldFileNamesTag, {"/o/1", "/o/2"}), Int16s(kFileModesTag, {kFile, kFile}),
                  Int32s(kFileFlagsTag, {0, 0})}),
       {"/o/1", "/o/2"}},
      {"more folders than files (relocated)",
       RpmHeader({Strings(kDirNamesTag, {"/a/", "/b/", "/srv/"}), Strings(kBaseNamesTag, {"x"}),
                  Int32s(kDirIndexesTag, {2}), Int16s(kFileModesTag, {kFile}), Int32s(kFileFlagsTag, {0})}),
       {"/srv/x"}},
      {"relative and empty paths",
       RpmHeader({Strings(kOldFileNamesTag, {"rel", "", "/abs"}), Int16s(kFileModesTag, {kFile, kFile, kFile}),
                  Int32s(kFileFlagsTag, {0, 0, 0})}),
       {"/abs"}},
      {"no files", RpmHeader({Strings(1000, {"name"})}), {}},
      {"folder index out of range", RpmHeader(With(ThreeFiles(), Int32s(kDirIndexesTag, {0, 2, 0}))), {"(refused)"}},
      {"arrays of unequal length", RpmHeader(With(ThreeFiles(), Int16s(kFileModesTag, {kFile, kFile}))), {"(refused)"}},
      {"states of unequal length", RpmHeader(With(ThreeFiles(), Chars(kFileStatesTag, {0}))), {"(refused)"}},
      {"modes of the wrong type",
       RpmHeader(With(ThreeFiles(), Int32s(kFileModesTag, {kFile, kFile, kFile}))),
       {"(refused)"}},
      {"no modes", RpmHeader({Strings(kOldFileNamesTag, {"/o"}), Int32s(kFileFlagsTag, {0})}), {"(refused)"}},
      {"no folder indexes",
       RpmHeader({Strings(kDirNamesTag, {"/a/"}), Strings(kBaseNamesTag, {"x"}), Int16s(kFileModesTag, {kFile}),
                  Int32s(kFileFlagsTag, {0})}),
       {"(refused)"}},
      {"a string running past the data",
       RpmHeader({Int16s(kFileModesTag, {kFile}), Int32s(kFileFlagsTag, {0}), Strings(kOldFileNamesTag, {"/o"})}, 1),
       {"(refused)"}},
      {"an array running past the data",
       RpmHeader(With(ThreeFiles(), {kFileFlagsTag, 4, "", 0xffffff})),
       {"(refused)"}},
      {"data longer than its count", RpmHeader(ThreeFiles()) + "x", {"(refused)"}},
      {"too short", std::string(7, '\0'), {"(refused)"}},
      {"too many entries", std::string("\x00\x01\x00\x00\0\0\0\0", 8) + std::string(16 << 16, '\0'), {"(refused)"}},
  };
  for (const auto& c : kCases) EXPECT_EQ(ListHeader(c.header), c.paths) << c.what;
}

TEST(RpmHeader, SkipsAPathThatDoesNotFitRatherThanCuttingIt) {
  EXPECT_EQ(ListHeader(RpmHeader(ThreeFiles()), 5), (Paths{"/a/x", "/b/y", "/a/z"}));
  EXPECT_EQ(ListHeader(RpmHeader(ThreeFiles()), 4), Paths{});
}

}  // namespace
