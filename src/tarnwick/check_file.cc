#include "tarnwick/check_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tarnwick/error.h"
#include "tarnwick/notation.h"
#include "tarnwick/text.h"

namespace tarnwick {

namespace {

constexpr std::string_view kDefaultSection = "DEFAULT";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::uint32_t kNone = 0xFFFFFFFF;
// Section 0 of a parsed file is always DEFAULT, whether the file has one or
// not.
constexpr std::uint32_t kDefaultIndex = 0;

// One piece of an expanded value: text of the pool, or the expansion of
// another key (child != kNone).
struct Piece {
  std::size_t offset = 0;
  std::size_t size = 0;
  std::uint32_t child = kNone;
};

// What reading one value that holds a "%" has found out. Once `done`, the
// outcome is fixed for its section: either `reason` names why the value is
// unreadable, or `pieces` say how to build it.
struct Expansion {
  bool active = false;  // on the walk's current path
  bool done = false;
  bool has_reference = false;
  int reason = -1;  // index into SectionExpansions::reasons
  int height = 1;   // values holding a "%" on the longest chain from here
  std::size_t size = 0;
  std::vector<Piece> pieces;
};

struct SectionExpansions {
  // Keyed by entry index; only values that hold a "%" get one.
  std::unordered_map<std::uint32_t, Expansion> values;
  std::vector<std::string> reasons;
};

std::string_view trim_right(std::string_view s) {
  std::string_view t = trim_white_space(s);
  if (t.empty()) return s.substr(0, 0);
  return s.substr(0, static_cast<std::size_t>(t.data() - s.data()) + t.size());
}

std::string_view trim_left(std::string_view s) {
  std::string_view t = trim_white_space(s);
  if (t.empty()) return s.substr(s.size());
  return s.substr(static_cast<std::size_t>(t.data() - s.data()));
}

// Keys are nearly always ASCII; skip the Unicode tables for them.
void append_folded(std::string& out, std::string_view key) {
  bool ascii = std::all_of(key.begin(), key.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x80;
  });
  if (!ascii) {
    out += fold_lower(key);
    return;
  }
  for (char c : key)
    out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string folded(std::string_view key) {
  std::string out;
  append_folded(out, key);
  return out;
}

std::string describe_errno(int error) {
  std::string reason = std::generic_category().message(error);
  if (!reason.empty() && reason[0] >= 'A' && reason[0] <= 'Z')
    reason[0] += 'a' - 'A';
  return reason;
}

}  // namespace

struct CheckFile::Impl {
  struct Entry {
    std::size_t name_offset = 0;
    std::size_t name_size = 0;
    std::size_t value_offset = 0;
    std::size_t value_size = 0;
    std::uint32_t section = 0;
    bool has_percent = false;
  };
  struct Section {
    std::string name;
    // A section other than DEFAULT occurs once, so its entries are adjacent.
    std::uint32_t first = 0;
    std::uint32_t count = 0;
  };

  // Folded key names and joined values, all entries one after the other.
  std::string pool;
  std::vector<Entry> entries;
  std::vector<Section> sections;  // [kDefaultIndex] is DEFAULT
  std::vector<std::uint32_t> default_entries;
  std::vector<std::string> section_names;  // DEFAULT left out
  std::unordered_map<std::string, std::uint32_t>
      section_index;  // DEFAULT left out
  // Open addressing over (section, key): entry index + 1, 0 for a free slot.
  std::vector<std::uint32_t> slots;

  mutable std::mutex mutex;
  mutable std::vector<std::unique_ptr<SectionExpansions>> expansions;

  Impl() { sections.push_back(Section{std::string(kDefaultSection), 0, 0}); }

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

  void place(std::uint32_t e) {
    std::size_t mask = slots.size() - 1;
    std::size_t i = hash(entries[e].section, name_of(e)) & mask;
    while (slots[i] != 0) i = (i + 1) & mask;
    slots[i] = e + 1;
  }

  // Registers the last entry; the caller has made sure the key is new.
  void index_last_entry() {
    if (entries.size() * 2 > slots.size()) {
      slots.assign(std::max<std::size_t>(16, slots.size() * 2), 0);
      for (std::uint32_t e = 0; e + 1 < entries.size(); ++e) place(e);
    }
    place(static_cast<std::uint32_t>(entries.size() - 1));
  }

  std::uint32_t find_section(std::string_view name) const {
    auto it = section_index.find(std::string(name));
    return it == section_index.end() ? kNone : it->second;
  }
};

namespace {

using Impl = CheckFile::Impl;

// Reads a check file line by line into an Impl; throws at the first faulty
// line.
class Parser {
 public:
  Parser(std::string_view path, Impl& impl) : path_(path), impl_(impl) {}

  void parse(std::string_view text) {
    if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom)
      text.remove_prefix(kUtf8Bom.size());
    impl_.pool.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
      std::size_t end = text.find_first_of("\r\n", pos);
      if (end == std::string_view::npos) end = text.size();
      ++line_number_;
      parse_line(text.substr(pos, end - pos));
      pos = end + 1;
      if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n')
        ++pos;
    }
    close_value();
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw Error(
        ErrorKind::kCheckFile,
        std::string(path_) + ":" + std::to_string(line_number_) + ": " + what);
  }

  void parse_line(std::string_view line) {
    if (find_invalid_utf8(line) != std::string_view::npos)
      fail("invalid UTF-8");
    std::string_view content = trim_white_space(line);
    if (content.empty()) {
      // Blank lines only count when a continuation line follows them.
      if (in_value_) ++pending_blank_lines_;
      return;
    }
    if (content[0] == '#' || content[0] == ';') return;
    std::size_t indent = count_code_points(
        line.substr(0, static_cast<std::size_t>(content.data() - line.data())));
    if (in_value_ && indent > key_indent_) {
      impl_.pool.append(pending_blank_lines_ + 1, '\n');
      impl_.pool.append(content);
      pending_blank_lines_ = 0;
      return;
    }
    close_value();
    key_indent_ = indent;
    if (content[0] == '[') {
      std::size_t close = content.find(']');
      if (close != std::string_view::npos) {
        open_section(content.substr(1, close - 1));
        return;
      }
    }
    std::size_t delimiter = content.find_first_of("=:");
    if (delimiter == std::string_view::npos) {
      fail(
          "parse error: a line that is neither a section header nor a key "
          "line");
    }
    std::string_view key = trim_right(content.substr(0, delimiter));
    if (key.empty()) fail("parse error: a key line without a key");
    if (section_ == kNone)
      fail("missing section header before the key " + quote_text(key));
    add_entry(key, trim_left(content.substr(delimiter + 1)));
  }

  void open_section(std::string_view name) {
    if (name == kDefaultSection) {
      section_ = kDefaultIndex;
      return;
    }
    std::string owned(name);
    auto [it, added] = impl_.section_index.emplace(
        owned, static_cast<std::uint32_t>(impl_.sections.size()));
    if (!added) fail("duplicate section " + quote_text(name));
    section_ = it->second;
    impl_.sections.push_back(Impl::Section{
        owned, static_cast<std::uint32_t>(impl_.entries.size()), 0});
    impl_.section_names.push_back(std::move(owned));
  }

  void add_entry(std::string_view key, std::string_view value) {
    Impl::Entry entry;
    entry.section = section_;
    entry.name_offset = impl_.pool.size();
    append_folded(impl_.pool, key);
    entry.name_size = impl_.pool.size() - entry.name_offset;
    std::string_view name =
        std::string_view(impl_.pool).substr(entry.name_offset);
    if (impl_.find_entry(section_, name) != kNone) {
      fail("duplicate key " + quote_text(name) + " in section " +
           quote_text(impl_.sections[section_].name));
    }
    entry.value_offset = impl_.pool.size();
    impl_.pool.append(value);
    impl_.entries.push_back(entry);
    impl_.index_last_entry();
    if (section_ == kDefaultIndex) {
      impl_.default_entries.push_back(
          static_cast<std::uint32_t>(impl_.entries.size() - 1));
    }
    ++impl_.sections[section_].count;
    in_value_ = true;
    pending_blank_lines_ = 0;
  }

  // Ends the value that continuation lines may still extend. Blank lines
  // after its last piece are not part of it, and every piece is trimmed, so
  // the joined value has no trailing white space to drop.
  void close_value() {
    if (!in_value_) return;
    Impl::Entry& entry = impl_.entries.back();
    entry.value_size = impl_.pool.size() - entry.value_offset;
    entry.has_percent =
        std::string_view(impl_.pool).substr(entry.value_offset).find('%') !=
        std::string_view::npos;
    in_value_ = false;
    pending_blank_lines_ = 0;
  }

  std::string_view path_;
  Impl& impl_;
  std::size_t line_number_ = 0;
  std::uint32_t section_ = kNone;
  bool in_value_ = false;  // the last key line's value may go on
  std::size_t key_indent_ = 0;
  std::size_t pending_blank_lines_ = 0;
};

// Works out, for one section, which values holding a "%" can be read, how
// deep their references go and how large they grow. Each value is scanned
// once per section however often it is referenced, and the walk keeps its
// own stack, so neither wide nor long reference graphs cost more than the
// size of the values involved.
class Analyzer {
 public:
  Analyzer(const Impl& impl, std::uint32_t section, SectionExpansions& out)
      : impl_(impl), section_(section), out_(out) {}

  void analyze(std::uint32_t top) {
    if (out_.values[top].done) return;
    enter(top);
    while (!stack_.empty()) step();
  }

 private:
  struct Frame {
    std::uint32_t entry;
    std::size_t pos;
    Expansion* state;
  };

  void enter(std::uint32_t e) {
    Expansion& state = out_.values[e];  // element addresses survive rehashing
    state.active = true;
    stack_.push_back(Frame{e, 0, &state});
  }

  void add_text(Expansion& state, std::size_t offset, std::size_t size) {
    if (size == 0) return;
    state.size += size;
    if (!state.pieces.empty()) {
      Piece& last = state.pieces.back();
      if (last.child == kNone && last.offset + last.size == offset) {
        last.size += size;
        return;
      }
    }
    state.pieces.push_back(Piece{offset, size, kNone});
  }

  void fail(std::string reason) {
    out_.reasons.push_back(std::move(reason));
    fail_with(static_cast<int>(out_.reasons.size() - 1));
  }

  // Marks every value on the path unreadable: each refers to the next.
  void fail_with(int index) {
    for (Frame& frame : stack_) {
      frame.state->active = false;
      frame.state->done = true;
      frame.state->reason = index;
      frame.state->pieces.clear();
      frame.state->pieces.shrink_to_fit();
    }
    stack_.clear();
  }

  // False when the value grew past a limit (and the walk was abandoned).
  bool within_limits(const Expansion& state) {
    if (state.height > kMaxReferenceDepth) {
      fail("references nested deeper than " +
           std::to_string(kMaxReferenceDepth) + " levels");
      return false;
    }
    if (state.has_reference && state.size > kMaxExpandedValue) {
      fail("the expanded value exceeds " +
           std::to_string(kMaxExpandedValue >> 20) + " MiB");
      return false;
    }
    return true;
  }

  // Takes in a readable child; false when that made the parent unreadable.
  bool add_child(Expansion& parent, std::uint32_t child,
                 const Expansion& child_state) {
    parent.height = std::max(parent.height, child_state.height + 1);
    parent.size += child_state.size;
    if (child_state.size > 0) parent.pieces.push_back(Piece{0, 0, child});
    return within_limits(parent);
  }

  void finish_top_frame() {
    Frame frame = stack_.back();
    stack_.pop_back();
    frame.state->active = false;
    frame.state->done = true;
    if (!stack_.empty())
      add_child(*stack_.back().state, frame.entry, *frame.state);
  }

  // Scans the top frame's value up to its end or to a reference into a value
  // not yet analyzed.
  void step() {
    Frame& frame = stack_.back();
    Expansion& state = *frame.state;
    std::string_view raw = impl_.value_of(frame.entry);
    std::size_t base = impl_.entries[frame.entry].value_offset;
    while (frame.pos < raw.size()) {
      std::size_t percent = raw.find('%', frame.pos);
      if (percent == std::string_view::npos) {
        add_text(state, base + frame.pos, raw.size() - frame.pos);
        frame.pos = raw.size();
        break;
      }
      add_text(state, base + frame.pos, percent - frame.pos);
      std::string_view after = raw.substr(percent + 1);
      if (after.starts_with('%')) {
        add_text(state, base + percent, 1);
        frame.pos = percent + 2;
        continue;
      }
      std::size_t close = after.starts_with('(') ? raw.find(')', percent + 2)
                                                 : std::string_view::npos;
      if (close == std::string_view::npos || close == percent + 2 ||
          close + 1 >= raw.size() || raw[close + 1] != 's') {
        fail("a '%' in the value of " + quote_text(impl_.name_of(frame.entry)) +
             " starts neither '%%' nor a reference '%(name)s'");
        return;
      }
      std::string_view name = raw.substr(percent + 2, close - percent - 2);
      std::uint32_t child = impl_.resolve(section_, folded(name));
      if (child == kNone) {
        fail("the value of " + quote_text(impl_.name_of(frame.entry)) +
             " refers to the missing key " + quote_text(name));
        return;
      }
      frame.pos = close + 2;
      state.has_reference = true;
      const Impl::Entry& target = impl_.entries[child];
      if (!target.has_percent) {
        // A value without "%" goes in as it stands and takes no level.
        add_text(state, target.value_offset, target.value_size);
        if (!within_limits(state)) return;
        continue;
      }
      Expansion& child_state = out_.values[child];
      if (child_state.active) {
        fail("the references of " + quote_text(impl_.name_of(child)) +
             " lead back to it");
        return;
      }
      if (!child_state.done) {
        enter(child);  // invalidates `frame`
        return;
      }
      if (child_state.reason >= 0) {
        fail_with(child_state.reason);
        return;
      }
      if (!add_child(state, child, child_state)) return;
    }
    if (!within_limits(state)) return;
    finish_top_frame();
  }

  const Impl& impl_;
  std::uint32_t section_;
  SectionExpansions& out_;
  std::vector<Frame> stack_;
};

enum class Outcome { kValue, kNoSection, kNoKey, kUnreadable };

struct ReadResult {
  Outcome outcome = Outcome::kValue;
  std::string value;
  std::string reason;  // kUnreadable only
};

const Impl& empty_impl() {
  static const Impl impl;
  return impl;
}

ReadResult read_value(const Impl& impl, std::string_view section_name,
                      std::string_view key) {
  ReadResult result;
  std::uint32_t section = impl.find_section(section_name);
  if (section == kNone) {
    result.outcome = Outcome::kNoSection;
    return result;
  }
  std::uint32_t entry = impl.resolve(section, folded(key));
  if (entry == kNone) {
    result.outcome = Outcome::kNoKey;
    return result;
  }
  if (!impl.entries[entry].has_percent) {
    result.value = std::string(impl.value_of(entry));
    return result;
  }

  std::lock_guard<std::mutex> lock(impl.mutex);
  if (impl.expansions.size() < impl.sections.size())
    impl.expansions.resize(impl.sections.size());
  std::unique_ptr<SectionExpansions>& cache = impl.expansions[section];
  if (!cache) cache = std::make_unique<SectionExpansions>();
  Analyzer(impl, section, *cache).analyze(entry);
  const Expansion& top = cache->values.at(entry);
  if (top.reason >= 0) {
    result.outcome = Outcome::kUnreadable;
    result.reason = cache->reasons[static_cast<std::size_t>(top.reason)];
    return result;
  }

  // Every child piece has a non-empty expansion, so building costs no more
  // than the size of the result.
  std::string& out = result.value;
  out.reserve(top.size);
  struct Frame {
    const Expansion* state;
    std::size_t next;
  };
  std::vector<Frame> stack{{&top, 0}};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.state->pieces.size()) {
      stack.pop_back();
      continue;
    }
    const Piece& piece = frame.state->pieces[frame.next++];
    if (piece.child == kNone) {
      out.append(impl.pool, piece.offset, piece.size);
    } else {
      stack.push_back(Frame{&cache->values.at(piece.child), 0});
    }
  }
  return result;
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
  Parser(path, *impl).parse(text);
  CheckFile file;
  file.impl_ = std::move(impl);
  return file;
}

CheckFile CheckFile::load(const std::string& path) {
  // A path with a NUL byte names no file; cut short at the NUL it would name
  // a different one.
  if (path.find('\0') != std::string::npos) {
    throw Error(ErrorKind::kFileNotFound, "no such file: " + quote_text(path));
  }
  auto fail_to_open = [&path](int error) {
    if (error == ENOENT || error == ENOTDIR) {
      throw Error(ErrorKind::kFileNotFound,
                  "no such file: " + quote_text(path));
    }
    throw Error(ErrorKind::kFileAccess, "cannot open " + quote_text(path) +
                                            ": " + describe_errno(error));
  };
  // Anything but a regular file is refused before it is opened: opening a
  // device can act on it (a tape rewinds, a watchdog arms, a terminal could
  // become the controlling one).
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) fail_to_open(errno);
  if (!S_ISREG(info.st_mode)) throw_not_regular(path, info.st_mode);
  // O_NONBLOCK: should a FIFO have taken the file's place since, opening it
  // must not wait for a writer; fstat below then refuses it.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) fail_to_open(errno);
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
  return parse(path, text);
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
