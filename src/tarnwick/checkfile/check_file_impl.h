// The inside of CheckFile, shared by the files that make it up: the parsed
// file (CheckFile::Impl), filled by the line parser (check_file_parser.cc)
// and read, references expanded, by read_value (check_file_references.cc).
// Internal to check_file*.cc; nothing else may include it.
#ifndef TARNWICK_CHECKFILE_CHECK_FILE_IMPL_H_
#define TARNWICK_CHECKFILE_CHECK_FILE_IMPL_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tarnwick/checkfile/check_file.h"

namespace tarnwick {

inline constexpr std::string_view kDefaultSection = "DEFAULT";
inline constexpr std::uint32_t kNone = 0xFFFFFFFF;
// Section 0 of a parsed file is always DEFAULT, whether the file has one or
// not.
inline constexpr std::uint32_t kDefaultIndex = 0;

struct CheckFile::Impl {
  struct Entry {
    std::size_t name_offset = 0;
    std::size_t name_size = 0;
    std::size_t value_offset = 0;
    std::size_t value_size = 0;
    std::uint32_t section = 0;
    std::uint32_t line = 0;  // of its key line
    bool has_percent = false;
  };
  // A section header as written, DEFAULT's included, for CheckFile::outline.
  struct Header {
    std::string name;
    std::uint32_t line = 0;
  };
  // Where a continuation line starts in the value it continues.
  struct Continuation {
    std::uint32_t entry = 0;
    std::size_t offset = 0;  // in the value, after the line break
    std::uint32_t line = 0;
  };
  struct Section {
    std::string name;
    // A section other than DEFAULT occurs once, so its entries are adjacent.
    std::uint32_t first = 0;
    std::uint32_t count = 0;
  };
  // What reading the values of one section that hold a "%" has found out so
  // far; defined in check_file_references.cc.
  struct SectionExpansions;

  enum class Outcome { kValue, kNoSection, kNoKey, kUnreadable };
  struct ReadResult {
    Outcome outcome = Outcome::kValue;
    std::string value;
    std::string reason;  // kUnreadable only
  };

  // Folded key names and joined values, all entries one after the other.
  std::string pool;
  std::vector<Entry> entries;
  std::vector<Section> sections;  // [kDefaultIndex] is DEFAULT
  std::vector<std::uint32_t> default_entries;
  std::vector<Header> headers;
  std::vector<Continuation> continuations;
  std::vector<std::string> section_names;  // DEFAULT left out
  std::unordered_map<std::string, std::uint32_t>
      section_index;  // DEFAULT left out
  // Open addressing over (section, key): entry index + 1, 0 for a free slot.
  std::vector<std::uint32_t> slots;

  // Filled by read_value as values are read, one per section.
  mutable std::vector<std::unique_ptr<SectionExpansions>> expansions;

  // Both defined in check_file_references.cc, where SectionExpansions is
  // complete.
  Impl();
  ~Impl();

  std::string_view name_of(std::uint32_t e) const {
    return std::string_view(pool).substr(entries[e].name_offset,
                                         entries[e].name_size);
  }
  std::string_view value_of(std::uint32_t e) const {
    return std::string_view(pool).substr(entries[e].value_offset,
                                         entries[e].value_size);
  }

  static std::size_t hash(std::uint32_t section, std::string_view key) {
    std::size_t h = std::hash<std::string_view>{}(key);
    return h ^ (section + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2));
  }

  std::uint32_t find_entry(std::uint32_t section, std::string_view key) const {
    if (slots.empty()) return kNone;
    std::size_t mask = slots.size() - 1;
    for (std::size_t i = hash(section, key) & mask;; i = (i + 1) & mask) {
      std::uint32_t slot = slots[i];
      if (slot == 0) return kNone;
      if (entries[slot - 1].section == section && name_of(slot - 1) == key)
        return slot - 1;
    }
  }

  // The key as a section sees it: its own, else DEFAULT's.
  std::uint32_t resolve(std::uint32_t section, std::string_view key) const {
    std::uint32_t e = find_entry(section, key);
    if (e == kNone && section != kDefaultIndex)
      e = find_entry(kDefaultIndex, key);
    return e;
  }

  std::uint32_t find_section(std::string_view name) const {
    auto it = section_index.find(std::string(name));
    return it == section_index.end() ? kNone : it->second;
  }

  // Registers the last entry; the caller has made sure the key is new.
  // Defined in check_file_parser.cc, with place.
  void index_last_entry();
  void place(std::uint32_t e);
};

// Fills impl, freshly made, from the text of a check file; throws as
// CheckFile::parse says at the first faulty line.
void parse_check_file(std::string_view path, std::string_view text,
                      CheckFile::Impl& impl);

// key in lower case, as the parser stores key names and as every lookup
// must fold the key it is given.
void append_folded(std::string& out, std::string_view key);
std::string folded(std::string_view key);

// The value of key in the section named section_name, its references
// expanded, or the outcome that says why there is none. What it works out is
// kept in impl.expansions, so reads of one impl must not run concurrently.
CheckFile::Impl::ReadResult read_value(const CheckFile::Impl& impl,
                                       std::string_view section_name,
                                       std::string_view key);

}  // namespace tarnwick

#endif  // TARNWICK_CHECKFILE_CHECK_FILE_IMPL_H_
