#include "tarnwick/compare/compare_rules.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"
#include "tarnwick/select/operand.h"

namespace tarnwick {

namespace {

constexpr std::string_view kKey = "key";
constexpr std::string_view kIgnore = "ignore";

// What is wrong with a value, thrown within this file; read_compare_rules
// adds the file, the line and the key.
struct Bad {
  std::string what;
};

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// The items of value between commas outside double quotes (in quotes a
// backslash takes the next byte along), each trimmed. Throws Bad for an
// empty item.
std::vector<std::string_view> split_items(std::string_view value,
                                          std::string_view empty_item) {
  std::vector<std::string_view> items;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t pos = 0;; ++pos) {
    if (pos < value.size()) {
      const char c = value[pos];
      if (quoted) {
        if (c == '\\') {
          ++pos;
        } else if (c == '"') {
          quoted = false;
        }
        continue;
      }
      if (c == '"') quoted = true;
      if (c != ',') continue;
    }
    // An unterminated quote runs to the end; its item says what is wrong.
    const std::size_t end = std::min(pos, value.size());
    std::string_view item = trim_white_space(value.substr(start, end - start));
    if (item.empty()) {
      throw Bad{std::string(empty_item) + " in " + quote_text(value)};
    }
    items.push_back(item);
    if (end == value.size()) return items;
    start = pos + 1;
  }
}

// A member name as written in `key`: bare, or a JSON string.
std::string read_name(std::string_view item) {
  if (item.starts_with('"')) {
    std::size_t end = 0;
    std::string name;
    try {
      name = read_json_string(item, end);
    } catch (const Error& e) {
      throw Bad{e.what() + std::string(" in ") + quote_text(item)};
    }
    if (end != item.size()) {
      throw Bad{"unexpected " + quote_text(item.substr(end)) +
                " after the JSON string " + quote_text(item.substr(0, end))};
    }
    return name;
  }
  for (char c : item) {
    if (!is_name_char(c)) {
      std::string quoted = "\"";
      for (char d : item) {
        if (d == '"' || d == '\\') quoted += '\\';
        quoted += d;
      }
      throw Bad{quote_text(item) +
                " is no bare member name; write it as a JSON string: " +
                quoted + "\""};
    }
  }
  return std::string(item);
}

void read_key(std::string_view value, CompareRules& rules) {
  if (trim_white_space(value).empty()) throw Bad{"no member name"};
  for (std::string_view item : split_items(value, "an empty member name")) {
    rules.key.push_back(read_name(item));
  }
}

void read_ignore(std::string_view value, CompareRules& rules) {
  if (trim_white_space(value).empty()) throw Bad{"nothing to ignore"};
  for (std::string_view item : split_items(value, "an empty item")) {
    Selector selector;
    try {
      selector = Selector::parse(item);
    } catch (const Error& e) {
      throw Bad{"bad selector " + quote_text(item) + ": " + e.what()};
    }
    rules.ignore.emplace_back(item);
    // A bare name, or one written as a JSON string, without the "." that
    // ties it to the top.
    const std::vector<Selector::Step>& steps = selector.steps();
    if (!item.starts_with('.') && steps.size() == 1 &&
        steps[0].kind == Selector::Step::Kind::kMember) {
      rules.ignore_names.push_back(steps[0].name);
    } else {
      rules.ignore_paths.push_back(std::move(selector));
    }
  }
}

std::string quoted_list(const std::vector<std::string>& items,
                        std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += separator;
    out += quote_text(items[i]);
  }
  return out;
}

}  // namespace

CompareRules read_compare_rules(const CheckFile& config,
                                std::string_view path) {
  CompareRules rules;
  if (!config.has_section(kCompareSection)) return rules;
  for (const CheckFile::Outline::Entry& entry : config.outline().entries) {
    if (entry.section != kCompareSection) continue;
    const std::string where =
        std::string(path) + ":" + std::to_string(entry.line) + ": ";
    if (entry.key != kKey && entry.key != kIgnore) {
      throw Error(ErrorKind::kCheckFile,
                  where + "unknown key " + quote_text(entry.key) +
                      " in section " + quote_text(kCompareSection) +
                      "; its keys are 'key' and 'ignore'");
    }
    std::string value;
    try {
      value = config.get(kCompareSection, entry.key);
    } catch (const Error& e) {
      throw Error(ErrorKind::kCheckFile, where + e.what());
    }
    try {
      if (entry.key == kKey) {
        read_key(value, rules);
      } else {
        read_ignore(value, rules);
      }
    } catch (const Bad& bad) {
      throw Error(ErrorKind::kCheckFile,
                  where + quote_text(entry.key) + " in section " +
                      quote_text(kCompareSection) + ": " + bad.what);
    }
  }
  return rules;
}

std::string describe_compare_rules(const CompareRules& rules) {
  std::string out = rules.key.empty()
                        ? "compare lists by position"
                        : "compare by key " + quoted_list(rules.key, " or ");
  if (!rules.ignore.empty())
    out += "; ignore " + quoted_list(rules.ignore, ", ");
  return out;
}

}  // namespace tarnwick
