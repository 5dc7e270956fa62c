#include "tarnwick/checkfile/check_file_warnings.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <map>
#include <utility>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

using Outline = CheckFile::Outline;

// The sections tarnwick reads (some only with an option), by their exact
// names.
constexpr std::array<std::string_view, 5> kReadSections = {
    "default", "orvantis", "DEFAULT", "expect", "compare"};
// The keys of [default] that the system reads.
constexpr std::array<std::string_view, 2> kDefaultKeys = {"description",
                                                          "filters"};

// Edits (insertions, deletions, substitutions, swaps of neighbours) between
// two short names.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(
      a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                          d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// Collects the warnings with their lines, for file order.
class Warnings {
 public:
  Warnings(const CheckFile& file, std::string_view path)
      : file_(file), path_(path) {}

  void add(std::size_t line, const std::string& what) {
    found_.emplace(
        std::make_pair(line, found_.size()),
        std::string(path_) + ":" + std::to_string(line) + ": " + what);
  }

  std::vector<std::string> lines() const {
    std::vector<std::string> lines;
    for (const auto& [at, line] : found_) lines.push_back(line);
    return lines;
  }

  const CheckFile& file() const { return file_; }

 private:
  const CheckFile& file_;
  std::string_view path_;
  std::map<std::pair<std::size_t, std::size_t>, std::string> found_;
};

// Warns of each section whose name is a near miss of one tarnwick reads;
// with `only`, of those that are near misses of these.
void check_section_names(const Outline& outline, Warnings& warnings,
                         std::span<const std::string_view> only = {}) {
  auto wanted_here = [&](std::string_view wanted) {
    return only.empty() ||
           std::find(only.begin(), only.end(), wanted) != only.end();
  };
  for (const Outline::Header& header : outline.headers) {
    if (std::find(kReadSections.begin(), kReadSections.end(), header.name) !=
        kReadSections.end())
      continue;
    const std::string near = fold_lower(trim_white_space(header.name));
    for (std::string_view wanted : kReadSections) {
      if (near == fold_lower(wanted)) {
        if (!wanted_here(wanted)) break;
        warnings.add(header.line,
                     "section " + quote_text(header.name) +
                         " is not read: section names are exact; did you "
                         "mean " +
                         quote_text(wanted) + "?");
        break;
      }
      // One slip of the finger, not two: [export] is a name of its own.
      if (wanted != "DEFAULT" && near.size() + 1 >= wanted.size() &&
          near.size() <= wanted.size() + 1 &&
          edit_distance(near, wanted) == 1) {
        if (!wanted_here(wanted)) break;
        warnings.add(header.line,
                     "section " + quote_text(header.name) +
                         " is not read; did you mean " +
                         quote_text("[" + std::string(wanted) + "]") + "?");
        break;
      }
    }
  }
}

void check_default_keys(const Outline& outline, Warnings& warnings) {
  for (const Outline::Entry& entry : outline.entries) {
    if (entry.section != "default") continue;
    if (std::find(kDefaultKeys.begin(), kDefaultKeys.end(), entry.key) !=
        kDefaultKeys.end())
      continue;
    for (std::string_view wanted : kDefaultKeys) {
      if (entry.key.size() < 4 || edit_distance(entry.key, wanted) > 2)
        continue;
      warnings.add(entry.line, "key " + quote_text(entry.key) +
                                   " of [default] is not read; did you mean " +
                                   quote_text(wanted) + "?");
      break;
    }
  }
}

// description and filters: unreadable, or for filters an empty expression.
void check_default_values(Warnings& warnings) {
  const CheckFile& file = warnings.file();
  for (std::string_view key : kDefaultKeys) {
    const std::size_t line = file.line_of("default", key);
    if (line == 0) continue;
    try {
      file.get("default", key);
    } catch (const Error& e) {
      warnings.add(line, std::string(e.what()) + ", so it is " +
                             (key == "filters" ? "left out: the check runs "
                                                 "without filters"
                                               : "left out of the report"));
      continue;
    }
    if (key != "filters") continue;
    const std::vector<std::string> filters = read_filter_list(file);
    for (std::size_t i = 0; i < filters.size(); ++i) {
      if (!filters[i].empty()) continue;
      warnings.add(line, "filter expression " + std::to_string(i + 1) + " of " +
                             std::to_string(filters.size()) +
                             " is empty: it looks up the empty key");
    }
  }
}

void check_comment_marks(const Outline& outline, Warnings& warnings) {
  for (const Outline::Entry& entry : outline.entries) {
    if (entry.section != "default" && entry.section != "orvantis" &&
        entry.section != "DEFAULT")
      continue;
    for (std::size_t at = 1; at < entry.value.size(); ++at) {
      const char c = entry.value[at];
      const char before = entry.value[at - 1];
      if ((c != '#' && c != ';') || (before != ' ' && before != '\t')) continue;
      warnings.add(entry.line_at(at),
                   quote_text(std::string(1, c)) + " in the value of " +
                       quote_text(entry.key) +
                       " is no comment: it is part of the value");
      break;
    }
  }
}

void check_action(const Outline& outline, Warnings& warnings) {
  const CheckFile& file = warnings.file();
  if (!file.has_section("orvantis") || file.line_of("orvantis", "action") > 0)
    return;
  for (const Outline::Header& header : outline.headers) {
    if (header.name == "orvantis") {
      warnings.add(header.line,
                   "section 'orvantis' has no 'action': the request names no "
                   "action");
    }
  }
}

}  // namespace

std::vector<std::string> check_file_warnings(const CheckFile& file,
                                             std::string_view path) {
  const Outline outline = file.outline();
  Warnings warnings(file, path);
  check_section_names(outline, warnings);
  check_default_keys(outline, warnings);
  check_default_values(warnings);
  check_comment_marks(outline, warnings);
  check_action(outline, warnings);
  return warnings.lines();
}

std::vector<std::string> misspelled_section_warnings(
    const CheckFile& file, std::string_view path,
    std::span<const std::string_view> sections) {
  Warnings warnings(file, path);
  check_section_names(file.outline(), warnings, sections);
  return warnings.lines();
}

}  // namespace tarnwick
