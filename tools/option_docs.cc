// Makes the parts of the documentation that list the command's options from
// the option table (src/tarnwick/app/command_line_options.h), which also
// drives the parser and --help, so that the three never disagree. Run by the
// build:
//
//   option_docs manual IN.md OUT.md     the manual with its synopsis and
//                                       option list filled in
//   option_docs page IN.md OUT.md       another page's Markdown made safe
//                                       for go-md2man (tables, "." lines)
//   option_docs completion IN OUT       the bash completion with the option
//                                       names filled in
//   option_docs roff IN OUT             go-md2man's page with the lines of
//                                       its literal blocks made safe
//   option_docs rows                    the table, one row a line:
//                                       NAMES<TAB>VALUE<TAB>SUMMARY
//
// In the manual, the line "<!-- synopsis: ... -->" becomes the synopsis, and
// in the section "# OPTIONS" every option of the table gets an entry (its
// names, value name and summary) followed by the paragraphs of the block
// "### --NAME" written for it; a block for a name the table lacks is an
// error. Other whole-line HTML comments are left out of the output.
//
// go-md2man makes poor tables (cells that overrun the line) and copies a
// text line that begins with "." or "'" as it is, which roff then reads as
// a request. So the manual's tables become tagged paragraphs (the first
// cell the tag, the others the text), as man pages list such things, a text
// line that begins so is joined to the line before it (the same paragraph
// to Markdown), and in the page made from it a literal line that begins so
// gets roff's zero-width "\&" in front.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/app/command_line_options.h"

namespace tarnwick {
namespace {

// One row of what the documentation lists: help, then the table.
struct Row {
  std::string short_name;  // "-h" for help, else empty
  std::string_view name;
  std::string_view placeholder;
  std::string_view summary;
};

std::vector<Row> rows() {
  std::vector<Row> all;
  all.push_back({std::string(kHelpShort), kHelpLong, "", kHelpHelp});
  for (const OptionSpec& o : kOptions)
    all.push_back({"", o.name, o.placeholder, o.help});
  return all;
}

// Markdown text that reads as written: no emphasis, links or code spans.
std::string escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (std::string_view("\\`*_[]<>#").find(c) != std::string_view::npos)
      out += '\\';
    out += c;
  }
  return out;
}

std::string entry_heading(const Row& row) {
  std::string heading = "### ";
  if (!row.short_name.empty())
    heading += "**" + escaped(row.short_name) + "**, ";
  heading += "**" + escaped(row.name) + "**";
  if (!row.placeholder.empty())
    heading += " *" + escaped(row.placeholder) + "*";
  return heading;
}

std::string synopsis() {
  std::string line = "**tarnwick** [**" + std::string(kHelpShort) + "**]";
  for (const OptionSpec& o : kOptions) {
    line += " [**" + escaped(o.name) + "**";
    if (takes_value(o)) line += " *" + escaped(o.placeholder) + "*";
    line += "]";
  }
  std::string once;
  for (const OptionSpec& o : kOptions) {
    if (acts_at_once(o)) once += "\n\n**tarnwick** **" + escaped(o.name) + "**";
  }
  return line + once + "\n";
}

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

bool is_comment_line(std::string_view line) {
  return starts_with(line, "<!--");
}

struct Failure {
  std::string message;
};

// Lines of `in`, whole-line HTML comments (which may span lines) left out,
// except the synopsis marker.
std::vector<std::string> read_lines(std::istream& in) {
  std::vector<std::string> lines;
  std::string line;
  bool in_comment = false;
  while (std::getline(in, line)) {
    if (!in_comment && is_comment_line(line) &&
        !starts_with(line, "<!-- synopsis")) {
      in_comment = line.find("-->") == std::string::npos;
      continue;
    }
    if (in_comment) {
      in_comment = line.find("-->") == std::string::npos;
      continue;
    }
    lines.push_back(line);
  }
  return lines;
}

// The cells of a table row "| a | b \\| c |", "\\|" read as "|".
std::vector<std::string> table_cells(std::string_view row) {
  std::vector<std::string> cells;
  std::string cell;
  for (std::size_t i = 1; i < row.size(); ++i) {
    if (row[i] == '\\' && i + 1 < row.size() && row[i + 1] == '|') {
      cell += '|';
      ++i;
    } else if (row[i] == '|') {
      const std::size_t first = cell.find_first_not_of(' ');
      const std::size_t last = cell.find_last_not_of(' ');
      cells.push_back(first == std::string::npos
                          ? ""
                          : cell.substr(first, last - first + 1));
      cell.clear();
    } else {
      cell += row[i];
    }
  }
  return cells;
}

// A table (header, rule, rows) as tagged paragraphs: the first cell the tag;
// the second the text, or with more columns each "HEADER: CELL".
std::string tagged_paragraphs(const std::vector<std::string>& table) {
  const std::vector<std::string> header = table_cells(table[0]);
  std::string out;
  for (std::size_t r = 2; r < table.size(); ++r) {
    const std::vector<std::string> cells = table_cells(table[r]);
    if (cells.size() != header.size())
      throw Failure{"a table row with " + std::to_string(cells.size()) +
                    " cells under " + std::to_string(header.size()) +
                    " headers: " + table[r]};
    std::string text;
    for (std::size_t c = 1; c < cells.size(); ++c) {
      if (c > 1) text += "; ";
      if (cells.size() > 2) text += header[c] + ": ";
      text += cells[c];
    }
    out += cells[0] + "\n:   " + text + "\n\n";
  }
  return out;
}

bool begins_request_like(std::string_view line) {
  const std::size_t first = line.find_first_not_of(' ');
  return first != std::string_view::npos &&
         (line[first] == '.' || line[first] == '\'');
}

// Tables made tagged paragraphs, and text lines that roff would read as a
// request joined to the line before them.
std::string for_roff(const std::string& markdown) {
  std::istringstream in(markdown);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::string out;
  bool in_code = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (starts_with(line, "```")) in_code = !in_code;
    if (!in_code && starts_with(line, "|") && i + 1 < lines.size() &&
        starts_with(lines[i + 1], "|---")) {
      std::vector<std::string> table;
      while (i < lines.size() && starts_with(lines[i], "|"))
        table.push_back(lines[i++]);
      out += tagged_paragraphs(table);
      --i;
      continue;
    }
    if (!in_code && begins_request_like(line)) {
      if (out.size() < 2 || out.ends_with("\n\n"))
        throw Failure{"a paragraph begins with '.' or \"'\": " + line};
      out.back() = ' ';
      out += line.substr(line.find_first_not_of(' ')) + "\n";
      continue;
    }
    out += line + "\n";
  }
  return out;
}

// go-md2man's page, each line of a literal block (.nf to .fi) that begins
// with "." or "'" made to print as it is.
std::string safe_roff(std::istream& in) {
  std::string out;
  bool literal = false;
  for (std::string line; std::getline(in, line);) {
    if (line == ".nf" || line == ".fi") {
      literal = line == ".nf";
    } else if (literal && !line.empty() &&
               (line[0] == '.' || line[0] == '\'')) {
      out += "\\&";
    }
    out += line + "\n";
  }
  return out;
}

std::string make_manual(std::istream& in) {
  const std::vector<std::string> lines = read_lines(in);
  std::string out;
  std::size_t i = 0;
  bool filled_options = false;
  bool filled_synopsis = false;
  while (i < lines.size()) {
    const std::string& line = lines[i];
    if (starts_with(line, "<!-- synopsis")) {
      out += synopsis();
      filled_synopsis = true;
      ++i;
      continue;
    }
    if (line != "# OPTIONS") {
      out += line + "\n";
      ++i;
      continue;
    }
    // The section: its opening text as written, then one entry per row.
    out += line + "\n";
    ++i;
    while (i < lines.size() && !starts_with(lines[i], "#"))
      out += lines[i++] + "\n";
    std::map<std::string, std::string, std::less<>> blocks;
    bool in_code = false;
    while (i < lines.size() && (in_code || !starts_with(lines[i], "# "))) {
      if (!starts_with(lines[i], "### --"))
        throw Failure{"in OPTIONS, expected '### --NAME', not '" + lines[i] +
                      "'"};
      const std::string name = lines[i].substr(4);
      std::string& block = blocks[name];
      ++i;
      while (i < lines.size() && (in_code || (!starts_with(lines[i], "### ") &&
                                              !starts_with(lines[i], "# ")))) {
        if (starts_with(lines[i], "```")) in_code = !in_code;
        block += lines[i++] + "\n";
      }
    }
    for (const Row& row : rows()) {
      out += entry_heading(row) + "\n\n" + escaped(row.summary) + "\n\n";
      if (auto found = blocks.find(row.name); found != blocks.end()) {
        out += found->second;
        blocks.erase(found);
      }
    }
    if (!blocks.empty())
      throw Failure{"OPTIONS has a block for '" + blocks.begin()->first +
                    "', which the option table does not have"};
    filled_options = true;
  }
  if (!filled_synopsis) throw Failure{"no '<!-- synopsis' line"};
  if (!filled_options) throw Failure{"no section '# OPTIONS'"};
  return for_roff(out);
}

std::string make_page(std::istream& in) {
  std::ostringstream whole;
  whole << in.rdbuf();
  return for_roff(whole.str());
}

void replace_all(std::string& text, std::string_view token,
                 const std::string& by) {
  for (std::size_t at = text.find(token); at != std::string::npos;
       at = text.find(token, at + by.size()))
    text.replace(at, token.size(), by);
}

std::string make_completion(std::istream& in) {
  std::ostringstream whole;
  whole << in.rdbuf();
  std::string text = whole.str();
  std::string names;
  std::string value_names;
  for (const Row& row : rows()) {
    names += (names.empty() ? "" : "\n  ") + std::string(row.name);
    if (!row.placeholder.empty())
      value_names +=
          (value_names.empty() ? "" : "\n  ") + std::string(row.name);
  }
  if (text.find("@TARNWICK_OPTIONS@") == std::string::npos ||
      text.find("@TARNWICK_VALUE_OPTIONS@") == std::string::npos)
    throw Failure{"no @TARNWICK_OPTIONS@ or @TARNWICK_VALUE_OPTIONS@"};
  replace_all(text, "@TARNWICK_OPTIONS@", names);
  replace_all(text, "@TARNWICK_VALUE_OPTIONS@", value_names);
  return text;
}

std::string make_rows() {
  std::string out;
  for (const Row& row : rows()) {
    out += row.short_name.empty() ? "" : row.short_name + ",";
    out += std::string(row.name) + "\t" + std::string(row.placeholder) + "\t" +
           std::string(row.summary) + "\n";
  }
  return out;
}

int run(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "rows" && argc == 2) {
    std::cout << make_rows();
    return std::cout.flush() ? 0 : 1;
  }
  if ((mode != "manual" && mode != "page" && mode != "completion" &&
       mode != "roff") ||
      argc != 4) {
    std::cerr
        << "usage: option_docs manual|page|completion|roff IN OUT | rows\n";
    return 2;
  }
  std::ifstream in(argv[2]);
  if (!in) throw Failure{std::string("cannot read ") + argv[2]};
  const std::string text = mode == "manual"       ? make_manual(in)
                           : mode == "page"       ? make_page(in)
                           : mode == "completion" ? make_completion(in)
                                                  : safe_roff(in);
  std::ofstream out(argv[3], std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw Failure{std::string("cannot write ") + argv[3]};
  return 0;
}

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) {
  try {
    return tarnwick::run(argc, argv);
  } catch (const tarnwick::Failure& f) {
    std::cerr << "option_docs: " << (argc > 2 ? argv[2] : "") << ": "
              << f.message << "\n";
    return 1;
  }
}
