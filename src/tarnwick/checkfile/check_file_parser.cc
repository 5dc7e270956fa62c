// The line parser of check files: reads the text line by line into a
// CheckFile::Impl, folding key names and joining continuation lines.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"
#include "tarnwick/checkfile/check_file_impl.h"

namespace tarnwick {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

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
      const Impl::Entry& entry = impl_.entries.back();
      impl_.continuations.push_back(
          {static_cast<std::uint32_t>(impl_.entries.size() - 1),
           impl_.pool.size() - entry.value_offset,
           static_cast<std::uint32_t>(line_number_)});
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
    impl_.headers.push_back(
        {std::string(name), static_cast<std::uint32_t>(line_number_)});
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
    entry.line = static_cast<std::uint32_t>(line_number_);
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

}  // namespace

void parse_check_file(std::string_view path, std::string_view text,
                      CheckFile::Impl& impl) {
  Parser(path, impl).parse(text);
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

void CheckFile::Impl::place(std::uint32_t e) {
  std::size_t mask = slots.size() - 1;
  std::size_t i = hash(entries[e].section, name_of(e)) & mask;
  while (slots[i] != 0) i = (i + 1) & mask;
  slots[i] = e + 1;
}

void CheckFile::Impl::index_last_entry() {
  if (entries.size() * 2 > slots.size()) {
    slots.assign(std::max<std::size_t>(16, slots.size() * 2), 0);
    for (std::uint32_t e = 0; e + 1 < entries.size(); ++e) place(e);
  }
  place(static_cast<std::uint32_t>(entries.size() - 1));
}

}  // namespace tarnwick
