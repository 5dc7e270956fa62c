#include "tarnwick/exporter/yaml_fields.h"

#include <algorithm>
#include <charconv>
#include <map>

#include "tarnwick/base/literal.h"

namespace tarnwick {

namespace {

// A plain scalar (not quoted): where true, false and numbers are read.
bool is_plain(const YAML::Node& node) {
  return node.IsScalar() && node.Tag() == "?";
}

std::string quoted_key(std::string_view key) {
  return "'" + std::string(key) + "'";
}

}  // namespace

void ConfigProblems::add(int line, const std::string& message) {
  list_.push_back(file_ + ":" + std::to_string(line) + ": " + message);
}

void ConfigProblems::add(const YAML::Node& node, const std::string& message) {
  add(line_of(node), message);
}

int line_of(const YAML::Node& node) {
  const YAML::Mark mark = node.Mark();
  return mark.is_null() ? 1 : mark.line + 1;
}

bool is_text(const YAML::Node& node) { return node.IsScalar(); }

std::optional<std::chrono::milliseconds> parse_duration(std::string_view text) {
  if (text == "0") return std::chrono::milliseconds(0);
  struct Unit {
    std::string_view name;
    long long ms;
  };
  static constexpr Unit kUnits[] = {{"y", 365LL * 86400000},
                                    {"w", 7LL * 86400000},
                                    {"d", 86400000},
                                    {"h", 3600000},
                                    {"m", 60000},
                                    {"s", 1000},
                                    {"ms", 1}};
  constexpr long long kLimit = 100LL * 365 * 86400000;  // a century
  long long total = 0;
  std::size_t next_unit = 0;
  std::size_t pos = 0;
  if (text.empty()) return std::nullopt;
  while (pos < text.size()) {
    long long n = 0;
    const char* begin = text.data() + pos;
    const auto [stop, error] =
        std::from_chars(begin, text.data() + text.size(), n);
    if (error != std::errc() || stop == begin || *begin == '-' || *begin == '+')
      return std::nullopt;
    pos = static_cast<std::size_t>(stop - text.data());
    std::size_t unit = next_unit;
    // The longest unit name that stands here, among those still allowed.
    std::size_t found = std::size(kUnits);
    for (; unit < std::size(kUnits); ++unit) {
      const std::string_view name = kUnits[unit].name;
      if (text.substr(pos, name.size()) != name) continue;
      // "m" is "ms" when an "s" follows.
      if (name == "m" && text.substr(pos, 2) == "ms") continue;
      found = unit;
      break;
    }
    if (found == std::size(kUnits)) return std::nullopt;
    if (n > kLimit / kUnits[found].ms) return std::nullopt;
    total += n * kUnits[found].ms;
    if (total > kLimit) return std::nullopt;
    pos += kUnits[found].name.size();
    next_unit = found + 1;
  }
  return std::chrono::milliseconds(total);
}

Fields::Fields(const YAML::Node& node, const YAML::Node& key_node,
               std::string context, ConfigProblems& problems,
               std::initializer_list<std::string_view> known)
    : context_(std::move(context)),
      problems_(problems),
      line_(line_of(node.IsNull() ? key_node : node)) {
  if (!node.IsMap()) {
    problem("expects a mapping of keys to values");
    return;
  }
  std::map<std::string, int, std::less<>> seen;
  for (auto it = node.begin(); it != node.end(); ++it) {
    // Copies: the iterator hands out a pair that lives for one expression.
    const YAML::Node key = it->first;
    const YAML::Node value = it->second;
    if (!is_plain(key) && !(key.IsScalar() && key.Tag() == "!")) {
      problems_.add(key, context_ + "a key must be a text");
      continue;
    }
    const std::string& name = key.Scalar();
    const auto [first, inserted] = seen.emplace(name, line_of(key));
    if (!inserted) {
      problems_.add(key, context_ + "duplicate key " + quote_text(name) +
                             " (first on line " +
                             std::to_string(first->second) + ")");
      continue;
    }
    if (known.size() > 0 &&
        std::find(known.begin(), known.end(), name) == known.end()) {
      std::string message = context_ + "unknown key " + quote_text(name);
      if (name == "password")
        message += " (a password comes only from a password_file)";
      problems_.add(key, message);
      continue;
    }
    entries_.emplace_back(key, value);
  }
}

YAML::Node Fields::value(std::string_view key) const {
  for (const auto& [k, v] : entries_) {
    if (k.Scalar() == key) return v;
  }
  return YAML::Node(YAML::NodeType::Undefined);
}

void Fields::problem(const std::string& message) const {
  problems_.add(line_, context_ + message);
}

void Fields::problem(std::string_view key, const std::string& message) const {
  const YAML::Node v = value(key);
  const int line = v.IsDefined() && !v.IsNull() ? line_of(v) : [&] {
    for (const auto& [k, unused] : entries_) {
      if (k.Scalar() == key) return line_of(k);
    }
    return line_;
  }();
  problems_.add(line, context_ + std::string(key) + ": " + message);
}

std::optional<std::string> Fields::text(std::string_view key,
                                        bool required) const {
  const YAML::Node v = value(key);
  if (!v.IsDefined()) {
    if (required) problem(quoted_key(key) + " is missing");
    return std::nullopt;
  }
  if (!is_text(v) || v.Scalar().empty()) {
    problem(key, "expects a text that is not empty");
    return std::nullopt;
  }
  return v.Scalar();
}

std::optional<bool> Fields::boolean(std::string_view key) const {
  const YAML::Node v = value(key);
  if (!v.IsDefined()) return std::nullopt;
  if (is_plain(v) && (v.Scalar() == "true" || v.Scalar() == "false"))
    return v.Scalar() == "true";
  problem(key, "expects true or false");
  return std::nullopt;
}

std::optional<long long> Fields::whole(std::string_view key, long long min,
                                       long long max) const {
  const YAML::Node v = value(key);
  if (!v.IsDefined()) return std::nullopt;
  long long n = 0;
  if (is_plain(v)) {
    const std::string& s = v.Scalar();
    const auto [stop, error] =
        std::from_chars(s.data(), s.data() + s.size(), n);
    if (error == std::errc() && stop == s.data() + s.size() && n >= min &&
        n <= max)
      return n;
  }
  problem(key, "expects a whole number from " + std::to_string(min) + " to " +
                   std::to_string(max));
  return std::nullopt;
}

std::optional<std::chrono::milliseconds> Fields::duration(
    std::string_view key, std::chrono::milliseconds min,
    std::chrono::milliseconds max) const {
  const YAML::Node v = value(key);
  if (!v.IsDefined()) return std::nullopt;
  std::optional<std::chrono::milliseconds> d;
  if (is_plain(v)) d = parse_duration(v.Scalar());
  if (!d) {
    problem(key, "expects a duration such as 10s, 1m30s or 500ms");
    return std::nullopt;
  }
  if (*d < min || *d > max) {
    problem(key, min.count() == 0 ? "expects a duration of at most a day"
                                  : "expects a duration above 0 and of at "
                                    "most a day");
    return std::nullopt;
  }
  return d;
}

std::optional<std::vector<std::pair<std::string, int>>> Fields::texts(
    std::string_view key) const {
  const YAML::Node v = value(key);
  if (!v.IsDefined()) return std::nullopt;
  if (!v.IsSequence()) {
    problem(key, "expects a list");
    return std::nullopt;
  }
  std::vector<std::pair<std::string, int>> list;
  bool good = true;
  for (const YAML::Node& item : v) {
    if (!is_text(item) || item.Scalar().empty()) {
      problems_.add(
          item.IsNull() ? line_of(v) : line_of(item),
          context_ + std::string(key) + ": expects texts that are not empty");
      good = false;
      continue;
    }
    list.emplace_back(item.Scalar(), line_of(item));
  }
  if (!good) return std::nullopt;
  return list;
}

void sort_by_line(std::vector<std::string>& problems, std::string_view file) {
  auto line_of = [&](const std::string& problem) {
    int line = 0;
    if (problem.size() > file.size())
      std::from_chars(problem.data() + file.size() + 1,
                      problem.data() + problem.size(), line);
    return line;
  };
  std::stable_sort(problems.begin(), problems.end(),
                   [&](const std::string& a, const std::string& b) {
                     return line_of(a) < line_of(b);
                   });
}

}  // namespace tarnwick
