// Builds rpm package headers and ndb databases for tests.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

enum : uint32_t {
  kOldFileNamesTag = 1027,
  kFileStatesTag = 1029,
  kFileModesTag = 1030,
  kFileFlagsTag = 1037,
  kDirIndexesTag = 1116,
  kBaseNamesTag = 1117,
  kDirNamesTag = 1118,
};

struct RpmTag {
  uint32_t tag, type;
  std::string data;
  uint32_t count;
};

inline std::string Word(uint32_t value, bool big_endian = true) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[big_endian ? 3 - i : i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

inline RpmTag Strings(uint32_t tag, const std::vector<std::string>& strings) {
  std::string data;
  for (const std::string& s : strings) data += s + '\0';
  return {tag, 8, data, static_cast<uint32_t>(strings.size())};
}

inline RpmTag Numbers(uint32_t tag, uint32_t type, int size, const std::vector<int>& values) {
  std::string data;
  for (int value : values) data += Word(static_cast<uint32_t>(value)).substr(4 - size);
  return {tag, type, data, static_cast<uint32_t>(values.size())};
}
inline RpmTag Chars(uint32_t tag, const std::vector<int>& values) { return Numbers(tag, 1, 1, values); }
inline RpmTag Int16s(uint32_t tag, const std::vector<int>& values) { return Numbers(tag, 3, 2, values); }
inline RpmTag Int32s(uint32_t tag, const std::vector<int>& values) { return Numbers(tag, 4, 4, values); }

// A header blob with the tags in order; trim drops bytes from the data's end.
inline std::string RpmHeader(const std::vector<RpmTag>& tags, size_t trim = 0) {
  std::string index, data;
  for (const RpmTag& t : tags) {
    while (data.size() % 4 != 0) data += '\0';
    index += Word(t.tag) + Word(t.type) + Word(static_cast<uint32_t>(data.size())) + Word(t.count);
    data += t.data;
  }
  data.resize(data.size() - trim);
  return Word(static_cast<uint32_t>(tags.size())) + Word(static_cast<uint32_t>(data.size())) + index + data;
}

// An ndb Packages.db holding headers as packages 1, 2, ... (at most 254):
// their slots in reverse order, their records in order.
inline std::string NdbFile(const std::vector<std::string>& headers) {
  const auto le = [](size_t value) { return Word(static_cast<uint32_t>(value), false); };
  std::string slots = "RpmP" + le(0) + le(1) + le(1) + le(headers.size() + 1) + std::string(12, '\0');
  std::vector<std::string> slot(254, "Slot" + std::string(12, '\0'));
  std::string records;
  for (size_t i = 0; i < headers.size(); ++i) {
    const size_t blocks = (16 + headers[i].size() + 12 + 15) / 16;
    slot[253 - i] = "Slot" + le(i + 1) + le(256 + records.size() / 16) + le(blocks);
    std::string record = "BlbS" + le(i + 1) + le(1) + le(headers[i].size()) + headers[i];
    record.resize(blocks * 16 - 12, '\0');
    records += record + le(0) + le(headers[i].size()) + "BlbE";
  }
  for (const std::string& s : slot) slots += s;
  return slots + records;
}
