// The usage line and the help of the command line.
#include "tarnwick/app/usage.h"

#include <cstddef>
#include <string>
#include <vector>

#include "tarnwick/app/command_line_options.h"

namespace tarnwick {

namespace {

// Help and usage are laid out for an 80-column terminal, less a margin.
constexpr std::size_t kTextWidth = 78;
constexpr std::size_t kHelpColumn = 24;

// Greedy word wrap of `parts` into lines that each start at column
// `indent` and end by kTextWidth.
std::vector<std::string> wrap_parts(const std::vector<std::string>& parts,
                                    std::size_t indent) {
  std::vector<std::string> lines;
  std::string line;
  std::size_t used = indent;
  for (const std::string& part : parts) {
    if (!line.empty() && used + 1 + part.size() > kTextWidth + 1) {
      lines.push_back(std::move(line));
      line.clear();
      used = indent;
    }
    if (!line.empty()) line += ' ';
    line += part;
    used += part.size() + 1;
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

// "--name PLACEHOLDER", or "--name" alone for an option without a value.
std::string invocation(const OptionSpec& o) {
  std::string text(o.name);
  if (takes_value(o)) {
    text += ' ';
    text += o.placeholder;
  }
  return text;
}

void append_help_entry(std::string& out, std::string_view invocation,
                       std::string_view help) {
  out += "  ";
  out += invocation;
  std::size_t used = 2 + invocation.size();
  if (used + 2 <= kHelpColumn) {
    out.append(kHelpColumn - used, ' ');
  } else {
    out += '\n';
    out.append(kHelpColumn, ' ');
  }
  // Help texts stay on one line each, so they read (and search) as written.
  out += help;
  out += '\n';
}

}  // namespace

std::string usage_text(std::string_view program_name) {
  const std::string prefix = "usage: ";
  std::vector<std::string> parts;
  // Built by appending: GCC 12 warns (-Wrestrict, wrongly) about
  // "[" + std::string in an optimised build.
  auto bracketed = [](std::string_view s) {
    return std::string("[").append(s).append("]");
  };
  parts.push_back(bracketed(kHelpShort));
  for (const OptionSpec& o : kOptions)
    parts.push_back(bracketed(invocation(o)));
  std::string out = prefix;
  out += program_name;
  if (prefix.size() + program_name.size() <= kTextWidth * 3 / 4) {
    // Options follow the program name, continuation lines aligned under
    // the first option.
    std::size_t indent = prefix.size() + program_name.size() + 1;
    std::vector<std::string> lines = wrap_parts(parts, indent);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i == 0) {
        out += ' ';
      } else {
        out += '\n';
        out.append(indent, ' ');
      }
      out += lines[i];
    }
  } else {
    // A long program name stands alone; options go below it.
    for (const std::string& line : wrap_parts(parts, prefix.size())) {
      out += '\n';
      out.append(prefix.size(), ' ');
      out += line;
    }
  }
  out += '\n';
  return out;
}

std::string help_text(std::string_view program_name) {
  std::string out = usage_text(program_name);
  out += '\n';
  out += kDescription;
  out += "\n\noptions:\n";
  append_help_entry(
      out, std::string(kHelpShort) + ", " + std::string(kHelpLong), kHelpHelp);
  for (const OptionSpec& o : kOptions)
    append_help_entry(out, invocation(o), o.help);
  return out;
}

std::string program_name_from(const char* argv0) {
  std::string_view path = argv0 ? argv0 : "";
  std::size_t slash = path.find_last_of('/');
  std::string_view base =
      slash == std::string_view::npos ? path : path.substr(slash + 1);
  return base.empty() ? "tarnwick" : std::string(base);
}

}  // namespace tarnwick
