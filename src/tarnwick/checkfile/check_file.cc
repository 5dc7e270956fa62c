// CheckFile's public face: loading a file from disk, the lookups on a parsed
// file, and the small readers of a check's own keys. The parsing is in
// check_file_parser.cc, the expansion of references in
// check_file_references.cc.
#include "tarnwick/checkfile/check_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"
#include "tarnwick/checkfile/check_file_impl.h"

namespace tarnwick {

namespace {

using Impl = CheckFile::Impl;
using Outcome = Impl::Outcome;
using ReadResult = Impl::ReadResult;

std::string describe_errno(int error) { return errno_text(error, true); }

const Impl& empty_impl() {
  static const Impl impl;
  return impl;
}

struct FileCloser {
  int fd;
  ~FileCloser() { ::close(fd); }
};

[[noreturn]] void throw_not_regular(const std::string& path, mode_t mode) {
  const char* what = S_ISDIR(mode)    ? "a directory"
                     : S_ISFIFO(mode) ? "a FIFO"
                     : S_ISSOCK(mode) ? "a socket"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                                      : "a file of another kind";
  throw Error(ErrorKind::kFileAccess,
              "not a regular file: " + quote_text(path) + " is " + what);
}

}  // namespace

CheckFile CheckFile::parse(std::string_view path, std::string_view text) {
  auto impl = std::make_shared<Impl>();
  parse_check_file(path, text, *impl);
  CheckFile file;
  file.impl_ = std::move(impl);
  return file;
}

namespace {

[[noreturn]] void fail_to_open(const std::string& path, int error) {
  if (error == ENOENT || error == ENOTDIR) {
    throw Error(ErrorKind::kFileNotFound, "no such file: " + quote_text(path));
  }
  throw Error(ErrorKind::kFileAccess,
              "cannot open " + quote_text(path) + ": " + describe_errno(error));
}

// The examination of a path before it is opened; see check_readable.
struct stat examine(const std::string& path) {
  // A path with a NUL byte names no file; cut short at the NUL it would name
  // a different one.
  if (path.find('\0') != std::string::npos) {
    throw Error(ErrorKind::kFileNotFound, "no such file: " + quote_text(path));
  }
  // Anything but a regular file is refused before it is opened: opening a
  // device can act on it (a tape rewinds, a watchdog arms, a terminal could
  // become the controlling one).
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) fail_to_open(path, errno);
  if (!S_ISREG(info.st_mode)) throw_not_regular(path, info.st_mode);
  return info;
}

}  // namespace

void CheckFile::check_readable(const std::string& path) { examine(path); }

CheckFile CheckFile::load(const std::string& path) {
  struct stat info = examine(path);
  // O_NONBLOCK: should a FIFO have taken the file's place since, opening it
  // must not wait for a writer; fstat below then refuses it.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) fail_to_open(path, errno);
  FileCloser closer{fd};
  if (::fstat(fd, &info) != 0) {
    throw Error(ErrorKind::kFileAccess, "cannot read " + quote_text(path) +
                                            ": " + describe_errno(errno));
  }
  if (!S_ISREG(info.st_mode)) throw_not_regular(path, info.st_mode);
  std::string text;
  // One byte more than the size, so that a file read whole ends in one call
  // that returns 0 rather than in a doubling of the buffer.
  text.resize(static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)) + 1);
  std::size_t used = 0;
  for (;;) {
    if (used == text.size()) text.resize(text.size() * 2);
    ssize_t n = ::read(fd, text.data() + used, text.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error(ErrorKind::kFileAccess, "cannot read " + quote_text(path) +
                                              ": " + describe_errno(errno));
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  text.resize(used);
  CheckFile file = parse(path, text);
  file.identity_ = {static_cast<unsigned long long>(info.st_dev),
                    static_cast<unsigned long long>(info.st_ino)};
  return file;
}

const std::vector<std::string>& CheckFile::sections() const {
  return (impl_ ? *impl_ : empty_impl()).section_names;
}

bool CheckFile::has_section(std::string_view section) const {
  return (impl_ ? *impl_ : empty_impl()).find_section(section) != kNone;
}

std::vector<std::string> CheckFile::keys(std::string_view section) const {
  const Impl& impl = impl_ ? *impl_ : empty_impl();
  std::uint32_t index = impl.find_section(section);
  if (index == kNone) {
    throw Error(ErrorKind::kMissingSection,
                "no section " + quote_text(section));
  }
  const Impl::Section& own = impl.sections[index];
  std::vector<std::string> names;
  names.reserve(own.count);
  for (std::uint32_t e = own.first; e < own.first + own.count; ++e) {
    names.emplace_back(impl.name_of(e));
  }
  for (std::uint32_t e : impl.default_entries) {
    std::string_view name = impl.name_of(e);
    if (impl.find_entry(index, name) == kNone) names.emplace_back(name);
  }
  return names;
}

std::string CheckFile::get(std::string_view section,
                           std::string_view key) const {
  ReadResult result = read_value(impl_ ? *impl_ : empty_impl(), section, key);
  switch (result.outcome) {
    case Outcome::kValue:
      break;
    case Outcome::kNoSection:
      throw Error(ErrorKind::kMissingSection,
                  "no section " + quote_text(section));
    case Outcome::kNoKey:
      throw Error(
          ErrorKind::kInterpolation,
          "no key " + quote_text(key) + " in section " + quote_text(section));
    case Outcome::kUnreadable:
      throw Error(ErrorKind::kInterpolation,
                  "cannot read " + quote_text(folded(key)) + " in section " +
                      quote_text(section) + ": " + result.reason);
  }
  return std::move(result.value);
}

std::optional<std::string> CheckFile::find(std::string_view section,
                                           std::string_view key) const {
  ReadResult result = read_value(impl_ ? *impl_ : empty_impl(), section, key);
  if (result.outcome != Outcome::kValue) return std::nullopt;
  return std::move(result.value);
}

CheckFile::Outline CheckFile::outline() const {
  const Impl& impl = impl_ ? *impl_ : empty_impl();
  Outline outline;
  for (const Impl::Header& header : impl.headers)
    outline.headers.push_back({header.name, header.line});
  // Entries are kept in file order, whatever their section.
  for (std::uint32_t e = 0; e < impl.entries.size(); ++e) {
    const Impl::Entry& entry = impl.entries[e];
    outline.entries.push_back({impl.sections[entry.section].name,
                               std::string(impl.name_of(e)),
                               std::string(impl.value_of(e)),
                               entry.line,
                               {}});
  }
  for (const Impl::Continuation& c : impl.continuations)
    outline.entries[c.entry].continuations.emplace_back(c.offset, c.line);
  return outline;
}

std::size_t CheckFile::Outline::Entry::line_at(std::size_t offset) const {
  std::size_t found = line;
  for (const auto& [start, continuation_line] : continuations) {
    if (start <= offset) found = continuation_line;
  }
  return found;
}

std::size_t CheckFile::line_of(std::string_view section,
                               std::string_view key) const {
  const Impl& impl = impl_ ? *impl_ : empty_impl();
  const std::uint32_t index = impl.find_section(section);
  if (index == kNone) return 0;
  const std::uint32_t e = impl.resolve(index, folded(key));
  return e == kNone ? 0 : impl.entries[e].line;
}

std::vector<std::string> read_filter_list(const CheckFile& config) {
  std::vector<std::string> filters;
  std::optional<std::string> value = config.find("default", "filters");
  if (!value) return filters;
  std::string_view rest = *value;
  for (;;) {
    std::size_t comma = rest.find(',');
    filters.emplace_back(trim_white_space(rest.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return filters;
}

std::optional<std::string> read_description(const CheckFile& config) {
  return config.find("default", "description");
}

bool is_compound_reference(std::string_view value) {
  std::string_view t = trim_white_space(value);
  return t.starts_with("output(") && t.ends_with(")");
}

std::string referenced_name(std::string_view value) {
  if (!is_compound_reference(value)) return {};
  std::string_view t = trim_white_space(value);
  return std::string(t.substr(7, t.size() - 8));
}

std::string join_check_path(std::string_view dir, std::string_view name) {
  if (dir.empty() || name.starts_with('/')) return std::string(name);
  std::string path(dir);
  if (!path.ends_with('/')) path += '/';
  path += name;
  return path;
}

}  // namespace tarnwick
