#include "tarnwick/expect/expectation.h"

#include <re2/re2.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/json_string.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

using Form = Expectation::Form;
using Op = Expectation::Op;

constexpr char kNameHint[] = "write NAME = EXPECTATION";
constexpr char kBlanksHint[] = "put blanks around the operator";
constexpr char kCommentHint[] =
    "a comment takes a line of its own, and a value that holds one is "
    "written as a JSON string";

// What is wrong with an expectation, thrown within this file; the message
// is put together by parse_expectation.
struct Bad {
  std::string problem;
  std::string hint;
};

// The size of the white-space character at s[pos], or 0.
std::size_t blank_at(std::string_view s, std::size_t pos) {
  std::size_t end = pos;
  char32_t c;
  if (!decode_utf8(s, end, c) || !is_white_space(c)) return 0;
  return end - pos;
}

bool starts_selector(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.' ||
         c == '"' || c == '[';
}

// Calls visit(pos) for each byte position of s outside double quotes (a
// backslash inside quotes escapes the next byte), until visit returns true;
// returns that position, or npos.
template <typename Visit>
std::size_t find_outside_quotes(std::string_view s, Visit visit) {
  bool quoted = false;
  for (std::size_t pos = 0; pos < s.size(); ++pos) {
    char c = s[pos];
    if (quoted) {
      if (c == '\\') {
        ++pos;
      } else if (c == '"') {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (visit(pos)) {
      return pos;
    }
  }
  return std::string_view::npos;
}

// Whether a selector that failed holds an operator outside its brackets:
// "state==up", written without blanks.
bool holds_operator(std::string_view selector) {
  int depth = 0;
  return find_outside_quotes(selector, [&](std::size_t pos) {
           char c = selector[pos];
           if (c == '[') ++depth;
           if (c == ']') --depth;
           return depth <= 0 &&
                  (c == '=' || c == '<' || c == '>' || c == '~' || c == '!');
         }) != std::string_view::npos;
}

// Whether a name looks like the start of an expectation, as when a line
// "state == up" is read as the key "state" with the value "= up".
bool looks_like_expectation(std::string_view name) {
  return name.find_first_of("[].\"!<>~=*") != std::string_view::npos;
}

Op op_of(std::string_view word) {
  if (word == "==") return Op::kEqual;
  if (word == "!=") return Op::kNotEqual;
  if (word == "<") return Op::kLess;
  if (word == "<=") return Op::kLessOrEqual;
  if (word == ">") return Op::kGreater;
  if (word == ">=") return Op::kGreaterOrEqual;
  if (word == "~") return Op::kMatches;
  if (word == "!~") return Op::kNotMatches;
  if (word == "in") return Op::kIn;
  return Op::kNone;
}

bool is_order(Op op) {
  return op == Op::kLess || op == Op::kLessOrEqual || op == Op::kGreater ||
         op == Op::kGreaterOrEqual;
}

Operand operand(std::string_view s) {
  try {
    return read_operand(s);
  } catch (const Error& e) {
    throw Bad{e.what(), {}};
  }
}

// Reads the text of one expectation, trimmed and not empty.
class Reader {
 public:
  explicit Reader(std::string_view body) : body_(body) {}

  // With keywords, a leading "count" or "every" is one when what follows
  // starts like a selector.
  void read(Expectation& e, bool keywords) {
    std::string_view first = token();
    if (!starts_selector(first[0])) throw Bad{"no selector", kNameHint};
    std::string_view selector = first;
    if (keywords && (first == "count" || first == "every")) {
      std::size_t before = pos_;
      std::string_view next = token();
      if (!next.empty() && starts_selector(next[0])) {
        e.form = first == "count" ? Form::kCount : Form::kEvery;
        selector = next;
      } else {
        pos_ = before;
      }
    }
    e.selector = read_selector(selector, pos_);
    std::string_view word = token();
    if (word.empty()) {
      throw Bad{"no operator after " + quote_text(selector), kNameHint};
    }
    if (word.starts_with('#') || word.starts_with(';')) {
      throw Bad{quote_text(word.substr(0, 1)) + " where an operator belongs",
                kCommentHint};
    }
    if (word == "exists" || word == "absent") return read_end(e, word);
    e.op = op_of(word);
    std::string written(word);
    if (word == "not") {
      if (token() != "in") throw Bad{"'not' without 'in' after it", {}};
      e.op = Op::kNotIn;
      written = "not in";
    }
    if (e.op == Op::kNone) {
      throw Bad{"unknown operator " + quote_text(word),
                word == "=" ? "compare with '=='" : ""};
    }
    read_value(e, written, trim_white_space(body_.substr(pos_)));
  }

 private:
  // The next token, blanks before it skipped; empty at the end.
  std::string_view token() {
    while (pos_ < body_.size()) {
      std::size_t n = blank_at(body_, pos_);
      if (n == 0) break;
      pos_ += n;
    }
    std::string_view rest = body_.substr(pos_);
    std::size_t end = find_outside_quotes(
        rest, [&](std::size_t i) { return blank_at(rest, i) > 0; });
    if (end == std::string_view::npos) end = rest.size();
    pos_ += end;
    return rest.substr(0, end);
  }

  // The selector s, which ends at body_[end].
  Selector read_selector(std::string_view s, std::size_t end) const {
    try {
      return Selector::parse(s);
    } catch (const Error& e) {
      if (holds_operator(s)) throw Bad{e.what(), std::string(kBlanksHint)};
      throw Bad{e.what(), blank_in_step_hint(s, end)};
    }
  }

  // For a selector cut at a blank inside a step ("[name=São" of
  // "[name=São Paulo].x == 1"), how to write the step: with its value in
  // double quotes, when it is "[NAME=VALUE]"; "" for any other fault.
  std::string blank_in_step_hint(std::string_view s, std::size_t end) const {
    int depth = 0;
    std::size_t open = std::string_view::npos;
    find_outside_quotes(s, [&](std::size_t pos) {
      if (s[pos] == '[' && depth++ == 0) open = pos;
      if (s[pos] == ']') --depth;
      return false;
    });
    if (depth <= 0 || end == body_.size() || blank_at(body_, end) == 0) {
      return "";
    }
    const std::size_t start = end - s.size() + open;
    const std::size_t close = body_.find(']', end);
    if (close == std::string_view::npos) return "";
    const std::size_t equals = body_.find('=', start);
    if (equals > close)
      return "a selector holds no blank outside double quotes";
    std::string step(body_.substr(start, equals + 1 - start));
    append_json_string(
        step, trim_white_space(body_.substr(equals + 1, close - equals - 1)),
        JsonEscapes::kMessage);
    return "a blank in a step is written in double quotes: " + step + "]";
  }

  void read_end(Expectation& e, std::string_view word) {
    if (e.form != Form::kCompare) {
      throw Bad{quote_text(e.form == Form::kCount ? "count" : "every") +
                    " before " + quote_text(word),
                {}};
    }
    e.form = word == "exists" ? Form::kExists : Form::kAbsent;
    e.expected = std::string(word);
    std::string_view rest = trim_white_space(body_.substr(pos_));
    if (rest.starts_with('#') || rest.starts_with(';')) {
      throw Bad{quote_text(rest.substr(0, 1)) + " after " + quote_text(word),
                kCommentHint};
    }
    if (!rest.empty()) {
      throw Bad{"unexpected " + quote_text(rest) + " after " + quote_text(word),
                {}};
    }
  }

  static void check_comment(std::string_view value) {
    std::size_t at = find_outside_quotes(value, [&](std::size_t pos) {
      std::size_t n = blank_at(value, pos);
      return n > 0 && pos + n < value.size() &&
             (value[pos + n] == '#' || value[pos + n] == ';');
    });
    if (at == std::string_view::npos) return;
    std::size_t n = blank_at(value, at);
    throw Bad{quote_text(value.substr(at, n + 1)) + " inside a value",
              kCommentHint};
  }

  void read_value(Expectation& e, const std::string& op,
                  std::string_view value) {
    if (value.empty()) throw Bad{"no value after " + quote_text(op), {}};
    check_comment(value);
    e.expected = op + " " + std::string(value);
    if (e.form == Form::kCount) return read_count(e, op, value);
    switch (e.op) {
      case Op::kMatches:
      case Op::kNotMatches:
        return read_pattern(e, value);
      case Op::kIn:
      case Op::kNotIn:
        return read_list(e, op, value);
      default:
        break;
    }
    e.values.push_back(operand(value));
    if (is_order(e.op) && e.values.back().kind != Operand::Kind::kNumber) {
      throw Bad{quote_text(op) + " needs a number, not " + quote_text(value),
                {}};
    }
  }

  static void read_count(Expectation& e, const std::string& op,
                         std::string_view value) {
    if (!e.selector.ends_in_many()) {
      throw Bad{
          "'count' needs a selector that ends in '[*]' or "
          "'[NAME=VALUE]', not " +
              quote_text(e.selector.text()),
          {}};
    }
    if (e.op != Op::kEqual && e.op != Op::kNotEqual && !is_order(e.op)) {
      throw Bad{
          "'count' compares with ==, !=, <, <=, > or >=, not " + quote_text(op),
          {}};
    }
    e.values.push_back(operand(value));
    if (e.values.back().kind != Operand::Kind::kNumber) {
      throw Bad{"'count' needs a number, not " + quote_text(value), {}};
    }
  }

  static void read_pattern(Expectation& e, std::string_view value) {
    Operand pattern;
    pattern.text =
        value.starts_with('"') ? operand(value).text : std::string(value);
    RE2::Options options;
    options.set_dot_nl(true);
    options.set_log_errors(false);
    auto regex = std::make_shared<const RE2>(pattern.text, options);
    if (!regex->ok()) {
      // RE2 quotes a piece of the pattern as it is, line breaks and all.
      throw Bad{"bad regular expression " + quote_text(pattern.text) + ": " +
                    escape_control_characters(regex->error()),
                {}};
    }
    e.values.push_back(std::move(pattern));
    e.regex = std::move(regex);
  }

  static void read_list(Expectation& e, const std::string& op,
                        std::string_view value) {
    for (;;) {
      std::size_t comma = find_outside_quotes(
          value, [&](std::size_t pos) { return value[pos] == ','; });
      std::string_view item = trim_white_space(value.substr(0, comma));
      if (item.empty()) {
        throw Bad{"an empty value in the list after " + quote_text(op), {}};
      }
      e.values.push_back(operand(item));
      if (comma == std::string_view::npos) return;
      value.remove_prefix(comma + 1);
    }
  }

  std::string_view body_;
  std::size_t pos_ = 0;
};

// "count in 1, 2" and "every exists" compare the members "count" and
// "every": when the reading with keywords fails, the one without is tried
// (where no keyword was taken it fails the same way), and the first failure
// stands when both fail.
void read_body(Expectation& e, std::string_view body) {
  const Expectation fresh = e;
  try {
    Reader(body).read(e, true);
  } catch (const Bad& with_keyword) {
    e = fresh;
    try {
      Reader(body).read(e, false);
    } catch (const Bad&) {
      throw with_keyword;
    }
  }
}

// Lines like those CheckFile reads: a "%" that starts neither "%%" nor a
// reference "%(name)s".
bool has_stray_percent(std::string_view raw) {
  for (std::size_t pos = raw.find('%'); pos != std::string_view::npos;
       pos = raw.find('%', pos)) {
    if (raw.substr(pos + 1).starts_with('%')) {
      pos += 2;
      continue;
    }
    std::size_t close = raw.substr(pos + 1).starts_with('(')
                            ? raw.find(')', pos + 2)
                            : std::string_view::npos;
    if (close == std::string_view::npos || close == pos + 2 ||
        close + 1 >= raw.size() || raw[close + 1] != 's') {
      return true;
    }
    pos = close + 2;
  }
  return false;
}

}  // namespace

std::string_view op_name(Expectation::Op op) {
  switch (op) {
    case Op::kEqual:
      return "==";
    case Op::kNotEqual:
      return "!=";
    case Op::kLess:
      return "<";
    case Op::kLessOrEqual:
      return "<=";
    case Op::kGreater:
      return ">";
    case Op::kGreaterOrEqual:
      return ">=";
    case Op::kMatches:
      return "~";
    case Op::kNotMatches:
      return "!~";
    case Op::kIn:
      return "in";
    case Op::kNotIn:
      return "not in";
    case Op::kNone:
      break;
  }
  return "";
}

Expectation parse_expectation(std::string_view name, std::string_view text) {
  Expectation e;
  e.name = std::string(name);
  e.text = std::string(text);
  std::string_view body = trim_white_space(text);
  try {
    if (body.empty()) throw Bad{"no expectation", kNameHint};
    read_body(e, body);
  } catch (const Bad& bad) {
    std::string_view hint = bad.hint;
    if (hint.empty() && looks_like_expectation(name)) hint = kNameHint;
    std::string message = quote_text(name) + ": " + bad.problem;
    if (!body.empty()) message += " in " + quote_text(text);
    if (!hint.empty()) message += "; " + std::string(hint);
    throw Error(ErrorKind::kBadExpectation, message);
  }
  return e;
}

std::vector<Expectation> read_expectations(const CheckFile& config,
                                           std::string_view path) {
  std::vector<Expectation> expectations;
  if (!config.has_section(kExpectSection)) return expectations;
  for (const CheckFile::Outline::Entry& entry : config.outline().entries) {
    if (entry.section != kExpectSection) continue;
    const std::string where =
        " (in " + std::string(path) + ":" + std::to_string(entry.line) + ")";
    std::string text;
    try {
      text = config.get(kExpectSection, entry.key);
    } catch (const Error& e) {
      if (e.kind() != ErrorKind::kInterpolation) throw;
      std::string message = quote_text(entry.key) + ": ";
      if (has_stray_percent(entry.value)) {
        message += "a stray '%' in " + quote_text(entry.value) +
                   "; write %% for a percent sign";
      } else {
        message += e.what();
      }
      throw Error(ErrorKind::kBadExpectation, message + where);
    }
    try {
      expectations.push_back(parse_expectation(entry.key, text));
    } catch (const Error& e) {
      throw e.with_message(e.what() + where);
    }
    expectations.back().line = entry.line;
  }
  return expectations;
}

std::string expectation_warning(const Expectation& e) {
  if (e.op != Op::kEqual && e.op != Op::kNotEqual) return "";
  if (e.form != Form::kCompare && e.form != Form::kEvery) return "";
  const std::string_view op = op_name(e.op);
  const std::string_view value =
      std::string_view(e.expected).substr(op.size() + 1);
  if (value.starts_with('"') || value.find(',') == std::string_view::npos) {
    return "";
  }
  const bool equal = e.op == Op::kEqual;
  return quote_text(e.name) + ": " + quote_text(e.expected) +
         " compares with the one text " + quote_text(value) + "; for " +
         (equal ? "any" : "none") + " of them write " +
         quote_text((equal ? "in " : "not in ") + std::string(value));
}

}  // namespace tarnwick
