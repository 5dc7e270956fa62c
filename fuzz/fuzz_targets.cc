#include "fuzz/fuzz_targets.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tarnwick/app/command_line.h"
#include "tarnwick/app/usage.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/output.h"
#include "tarnwick/base/text.h"
#include "tarnwick/base/value.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/checkfile/check_file_warnings.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/notation.h"

namespace tarnwick {

namespace {

// Wide enough that every value fits on one line.
constexpr std::size_t kUnlimitedWidth = std::size_t{1} << 40;
// Narrow widths, taken from the input size so that every width up to this
// one meets many inputs, break most containers and texts across lines.
constexpr std::size_t kMaxNarrowWidth = 40;

void require_kind(const Error& e, ErrorKind expected, const std::string& what) {
  fuzz_require(e.kind() == expected,
               what + " failed with " + error_kind_name(e.kind()) +
                   " instead of " + error_kind_name(expected) + ": " +
                   e.what());
}

std::string print(const Node& v, std::size_t width) {
  try {
    return pformat(v, width);
  } catch (const Error& e) {
    throw FuzzFinding("pformat at width " + std::to_string(width) + " threw " +
                      error_kind_name(e.kind()) + ": " + e.what());
  }
}

void check_printed(const std::string& out, std::size_t width) {
  const std::string where = " at width " + std::to_string(width);
  fuzz_require(out.ends_with('\n'), "printed value lacks its line end" + where);
  fuzz_require(find_invalid_utf8(out) == std::string::npos,
               "printed value is not UTF-8" + where);
}

// Every listed key of a section reads the same through get and find, and
// get fails only on the value itself.
void read_section(const CheckFile& config, const std::string& section) {
  std::vector<std::string> keys = config.keys(section);
  std::set<std::string> seen;
  for (const std::string& key : keys) {
    fuzz_require(
        seen.insert(key).second,
        "key " + quote_text(key) + " listed twice in " + quote_text(section));
    fuzz_require(fold_lower(key) == key,
                 "key " + quote_text(key) + " is not in lower case");
    std::optional<std::string> found = config.find(section, key);
    std::optional<std::string> got;
    try {
      got = config.get(section, key);
    } catch (const Error& e) {
      require_kind(e, ErrorKind::kInterpolation, "get of a listed key");
    }
    fuzz_require(found == got, "find and get disagree on " + quote_text(key) +
                                   " in " + quote_text(section));
    if (!got) continue;
    if (is_compound_reference(*got)) {
      std::string name = referenced_name(*got);
      fuzz_require(got->find(name) != std::string::npos,
                   "referenced name is not part of its value");
      join_check_path("/checks", name);
    } else {
      fuzz_require(referenced_name(*got).empty(),
                   "plain value names a referenced file");
    }
  }
}

// The command line split at NUL bytes; no input at all is no argument.
std::vector<std::string> split_arguments(std::string_view text) {
  std::vector<std::string> args;
  if (text.empty()) return args;
  for (;;) {
    std::size_t nul = text.find('\0');
    args.emplace_back(text.substr(0, nul));
    if (nul == std::string_view::npos) return args;
    text.remove_prefix(nul + 1);
  }
}

// A stored value must come from the command line: an argument of its own or
// the part after the "=" of an attached one.
bool is_given(const std::vector<std::string>& args, const std::string& value) {
  for (const std::string& arg : args) {
    if (arg == value) return true;
    std::size_t eq = arg.find('=');
    if (eq != std::string::npos &&
        arg.compare(eq + 1, std::string::npos, value) == 0) {
      return true;
    }
  }
  return false;
}

// Values that an error message must not repeat: positional arguments and
// attached values made of letters, digits and at least one "#", a character
// no message has of its own. Messages quote option names, so a value that
// some quoted name on the line holds does not count.
std::vector<std::string> secret_values(const std::vector<std::string>& args) {
  std::vector<std::string> names;
  std::vector<std::string> secrets;
  for (const std::string& arg : args) {
    if (arg.starts_with('-')) {
      std::size_t eq = arg.find('=');
      names.push_back(quote_text(arg.substr(0, eq)));
      if (eq != std::string::npos) secrets.push_back(arg.substr(eq + 1));
    } else {
      secrets.push_back(arg);
    }
  }
  std::erase_if(secrets, [&](const std::string& s) {
    if (s.find('#') == std::string::npos) return true;
    for (char c : s) {
      bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                   (c >= '0' && c <= '9');
      if (!alnum && c != '#') return true;
    }
    return std::any_of(names.begin(), names.end(), [&](const std::string& n) {
      return n.find(s) != std::string::npos;
    });
  });
  return secrets;
}

constexpr FuzzTarget kTargets[] = {
    {"json", fuzz_json},
    {"check_file", fuzz_check_file},
    {"command_line", fuzz_command_line},
    {"filter", fuzz_filter},
    {"form", fuzz_form},
    {"filtered_decode", fuzz_filtered_decode},
    {"expect", fuzz_expect},
    {"compare", fuzz_compare},
    {"exporter", fuzz_exporter},
};

}  // namespace

void fuzz_require(bool condition, const std::string& message) {
  if (!condition) throw FuzzFinding(message);
}

std::span<const FuzzTarget> fuzz_targets() { return kTargets; }

std::vector<std::string> split_filter_list(std::string_view text) {
  std::vector<std::string> filters;
  for (;;) {
    std::size_t comma = text.find(',');
    filters.emplace_back(text.substr(0, comma));
    if (comma == std::string_view::npos) return filters;
    text.remove_prefix(comma + 1);
  }
}

void fuzz_json(const std::uint8_t* data, std::size_t size) {
  Value value;
  try {
    value = decode_json(std::string(fuzz_text(data, size)));
  } catch (const Error& e) {
    require_kind(e, ErrorKind::kInvalidReply, "decode_json");
    return;
  }
  const std::string one_line = print(value.node(), kUnlimitedWidth);
  check_printed(one_line, kUnlimitedWidth);
  fuzz_require(std::count(one_line.begin(), one_line.end(), '\n') == 1,
               "value broken across lines where everything fits");

  const std::string report = print(value.node(), kReportWidth);
  check_printed(report, kReportWidth);
  // The line end does not count towards the width.
  if (count_code_points(one_line) <= kReportWidth + 1) {
    fuzz_require(report == one_line,
                 "value that fits the report width is "
                 "broken across lines");
  }
  // A report of one line is the one-line form itself.
  if (std::count(report.begin(), report.end(), '\n') == 1) {
    fuzz_require(report == one_line,
                 "single report line differs from the "
                 "one-line form");
  }
  const std::size_t narrow_width = 1 + size % kMaxNarrowWidth;
  const std::string narrow = print(value.node(), narrow_width);
  check_printed(narrow, narrow_width);

  Output out(-1);
  pp(value.node(), out, narrow_width);
  fuzz_require(out.text() == narrow, "pp and pformat differ");
}

void fuzz_check_file(const std::uint8_t* data, std::size_t size) {
  std::optional<CheckFile> config;
  try {
    config = CheckFile::parse("fuzz.cfg", fuzz_text(data, size));
  } catch (const Error& e) {
    require_kind(e, ErrorKind::kCheckFile, "CheckFile::parse");
    return;
  }
  // Neither may fail: a missing or unreadable value means no filters and no
  // description.
  read_filter_list(*config);
  read_description(*config);

  for (const std::string& section : config->sections()) {
    fuzz_require(config->has_section(section),
                 "listed section " + quote_text(section) + " not found");
    read_section(*config, section);
  }
  if (!config->has_section("orvantis")) {
    try {
      config->keys("orvantis");
      throw FuzzFinding("keys of a missing section did not fail");
    } catch (const Error& e) {
      require_kind(e, ErrorKind::kMissingSection, "keys of a missing section");
    }
  }
  // The dry run's look at the file never fails, and names lines that exist.
  const std::size_t lines = 1 + static_cast<std::size_t>(std::count_if(
                                    data, data + size, [](std::uint8_t b) {
                                      return b == '\n' || b == '\r';
                                    }));
  for (const std::string& warning : check_file_warnings(*config, "f")) {
    const std::size_t line = std::stoul(warning.substr(2));
    fuzz_require(line >= 1 && line <= lines,
                 "warning at a line the file does not have: " + warning);
  }
}

void fuzz_command_line(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> args = split_arguments(fuzz_text(data, size));
  CommandLine line;
  try {
    line = parse_command_line(args);
  } catch (const Error& e) {
    throw FuzzFinding(std::string("parse_command_line threw ") +
                      error_kind_name(e.kind()) + ": " + e.what());
  }
  switch (line.outcome) {
    case CommandLine::Outcome::kRun:
      for (const std::optional<std::string>* value :
           {&line.controller_ip, &line.username, &line.password,
            &line.config_dir}) {
        if (*value) {
          fuzz_require(is_given(args, **value),
                       "stored value " + quote_text(**value) +
                           " is not on the command line");
        }
      }
      break;
    case CommandLine::Outcome::kHelp:
    case CommandLine::Outcome::kVersion:
      break;
    case CommandLine::Outcome::kError:
      fuzz_require(!line.error.empty(), "parse error without a message");
      fuzz_require(line.error.find('\n') == std::string::npos,
                   "parse error message spans lines");
      for (const std::string& secret : secret_values(args)) {
        fuzz_require(line.error.find(secret) == std::string::npos,
                     "parse error repeats the value " + quote_text(secret));
      }
      break;
  }
  const std::string program =
      program_name_from(args.empty() ? nullptr : args.front().c_str());
  fuzz_require(!program.empty(), "empty program name");
  usage_text(program);
  help_text(program);
}

}  // namespace tarnwick
