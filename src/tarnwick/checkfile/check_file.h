// The check-file reader: INI-style check files in tarnwick's dialect.
#ifndef TARNWICK_CHECKFILE_CHECK_FILE_H_
#define TARNWICK_CHECKFILE_CHECK_FILE_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick {

// References nest at most this deep when a value is read: the value read is
// level 1, and each referenced value that holds a "%" one level more.
inline constexpr int kMaxReferenceDepth = 10;
// A value that grows larger than this through its references is unreadable.
// The limit is checked before anything is built, so a small file cannot make
// a read take exponential time or memory. Values without references are
// never refused for their size.
inline constexpr std::size_t kMaxExpandedValue = std::size_t{16} << 20;

// Which file a check file was read from: its device and inode, so that a
// symbolic or hard link to a file is the same file.
struct FileIdentity {
  unsigned long long device = 0;
  unsigned long long inode = 0;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
  friend auto operator<=>(const FileIdentity&, const FileIdentity&) = default;
};

class CheckFile {
 public:
  // Parses the text of a check file (UTF-8; a leading byte-order mark is
  // skipped; LF, CR LF and a lone CR end a line); `path` only names the file
  // in messages. Throws Error(kCheckFile) "PATH:LINE: KIND ..." for the first
  // faulty line of a rejected file, KIND being one of "missing section
  // header", "parse error" (no "=" or ":", or an empty key), "duplicate
  // section", "duplicate key" and "invalid UTF-8". Linear time.
  static CheckFile parse(std::string_view path, std::string_view text);

  // Reads and parses the file at path. Throws Error(kFileNotFound) naming
  // the path when it does not exist, Error(kFileAccess) naming it when it
  // cannot be read or is not a regular file (a FIFO, a device, a directory:
  // none of them is waited on).
  static CheckFile load(const std::string& path);

  // Examines path as load() does before it opens it, and throws as load()
  // does for a path that names no regular file; nothing is opened.
  static void check_readable(const std::string& path);

  // The file load() read; all zeros for a text given to parse().
  const FileIdentity& identity() const { return identity_; }

  // Section names in file order, DEFAULT left out: DEFAULT only lends its
  // keys to the other sections and cannot be read itself.
  const std::vector<std::string>& sections() const;
  bool has_section(std::string_view section) const;

  // The keys of a section in lower case: its own in file order, then those it
  // inherits from DEFAULT. Throws Error(kMissingSection) naming the section.
  std::vector<std::string> keys(std::string_view section) const;

  // The value of a key (looked up in lower case, DEFAULT's when the section
  // lacks it), references expanded. Throws Error(kMissingSection) naming the
  // section, Error(kInterpolation) naming the key for a missing key or a value
  // that cannot be expanded (a stray "%", a reference to a missing key,
  // references nested too deep or in a cycle, kMaxExpandedValue exceeded).
  std::string get(std::string_view section, std::string_view key) const;

  // The value, or nullopt when the section or key is missing or the value
  // cannot be expanded.
  std::optional<std::string> find(std::string_view section,
                                  std::string_view key) const;

  // How the file is written, for tools that look at it line by line: the
  // section headers and the key lines in file order, with their lines
  // (counted from 1), keys in lower case, values as written (references not
  // expanded, continuation lines joined).
  struct Outline {
    struct Header {
      std::string name;
      std::size_t line = 0;
    };
    struct Entry {
      std::string section;
      std::string key;
      std::string value;
      std::size_t line = 0;
      // Where each continuation line starts in value, and its line.
      std::vector<std::pair<std::size_t, std::size_t>> continuations;

      // The line that holds value[offset].
      std::size_t line_at(std::size_t offset) const;
    };
    std::vector<Header> headers;
    std::vector<Entry> entries;
  };
  Outline outline() const;

  // The line of the key line that key (looked up in lower case) has in
  // section, or that DEFAULT lends it; 0 when there is none.
  std::size_t line_of(std::string_view section, std::string_view key) const;

  struct Impl;

 private:
  std::shared_ptr<const Impl> impl_;
  FileIdentity identity_;
};

// The filter list of a check: default/filters cut at "," with each piece
// trimmed; empty when the value is missing or unreadable.
std::vector<std::string> read_filter_list(const CheckFile& config);

// The description of a check, or nullopt when it cannot be read.
std::optional<std::string> read_description(const CheckFile& config);

// Whether a value, trimmed, has the form "output(NAME)".
bool is_compound_reference(std::string_view value);

// NAME of a compound reference, taken unchanged; empty for a value that is no
// compound reference.
std::string referenced_name(std::string_view value);

// dir and name joined with one "/" (none added when dir ends with one); an
// absolute name stands alone.
std::string join_check_path(std::string_view dir, std::string_view name);

}  // namespace tarnwick

#endif  // TARNWICK_CHECKFILE_CHECK_FILE_H_
