#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"
#include "tarnwick/select/operand.h"
#include "tarnwick/select/selector.h"

namespace tarnwick {

namespace {

using Step = Selector::Step;

[[noreturn]] void fail(const std::string& what) {
  throw Error(ErrorKind::kBadExpectation, what);
}

// The character at text[pos] (a whole code point where it is UTF-8), quoted.
std::string quoted_char_at(std::string_view text, std::size_t pos) {
  std::size_t end = pos;
  char32_t c;
  if (!decode_utf8(text, end, c)) end = pos + 1;
  return quote_text(text.substr(pos, end - pos));
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::vector<Step> parse() {
    if (text_.starts_with(".[")) pos_ = 1;
    while (pos_ < text_.size()) {
      if (steps_.size() == kMaxSelectorSteps) {
        fail("a selector of more than " + std::to_string(kMaxSelectorSteps) +
             " steps");
      }
      char c = text_[pos_];
      if (c == '[') {
        bracket();
      } else if (c == '.') {
        ++pos_;
        if (!starts_name()) fail("a '.' without a member name after it");
        member();
      } else if (pos_ == 0 && starts_name()) {
        member();
      } else {
        unexpected();
      }
    }
    return std::move(steps_);
  }

 private:
  bool starts_name() const {
    return pos_ < text_.size() &&
           (text_[pos_] == '"' || is_name_char(text_[pos_]));
  }

  // A bare name or a JSON string at pos_.
  std::string name() {
    if (text_[pos_] == '"') {
      std::size_t end = 0;
      std::string decoded = read_json_string(text_.substr(pos_), end);
      pos_ += end;
      return decoded;
    }
    std::size_t start = pos_;
    while (pos_ < text_.size() && is_name_char(text_[pos_])) ++pos_;
    return std::string(text_.substr(start, pos_ - start));
  }

  void member() {
    Step step;
    step.name = name();
    steps_.push_back(std::move(step));
  }

  // The character at pos_, named with what comes before it.
  [[noreturn]] void unexpected() const {
    std::string what = "unexpected " + quoted_char_at(text_, pos_);
    if (pos_ > 0) what += " after " + quote_text(text_.substr(0, pos_));
    fail(what);
  }

  void expect_close() {
    if (pos_ >= text_.size()) fail("'[' without its ']'");
    if (text_[pos_] != ']') unexpected();
    ++pos_;
  }

  void bracket() {
    const std::size_t open = pos_++;
    Step step;
    std::string_view rest = text_.substr(pos_);
    if (rest.starts_with('*')) {
      step.kind = Step::Kind::kEach;
      ++pos_;
      expect_close();
    } else if (std::size_t n = index_size(rest); n > 0) {
      step.kind = Step::Kind::kIndex;
      auto r = std::from_chars(rest.data(), rest.data() + n, step.index);
      if (r.ec != std::errc()) fail("an index too large");
      pos_ += n + 1;
    } else {
      step.kind = Step::Kind::kWhere;
      where(open, step);
    }
    step.written = std::string(text_.substr(open, pos_ - open));
    steps_.push_back(std::move(step));
  }

  // The length of "-?DIGITS" at the start of s when "]" follows, else 0.
  static std::size_t index_size(std::string_view s) {
    std::size_t n = s.starts_with('-') ? 1 : 0;
    std::size_t digits = n;
    while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9') {
      ++digits;
    }
    if (digits == n || digits >= s.size() || s[digits] != ']') return 0;
    return digits;
  }

  void where(std::size_t open, Step& step) {
    if (pos_ >= text_.size()) fail("'[' without its ']'");
    if (text_[pos_] == ']') fail("an empty '[]'");
    if (!starts_name()) unexpected();
    step.name = name();
    if (pos_ >= text_.size()) fail("'[' without its ']'");
    if (text_[pos_] == ']') {
      fail(quote_text(text_.substr(open, pos_ + 1 - open)) +
           " is neither an index, '[*]' nor '[NAME=VALUE]'");
    }
    if (text_[pos_] != '=') unexpected();
    ++pos_;
    if (pos_ < text_.size() && text_[pos_] == '"') {
      std::size_t end = 0;
      step.value.text = read_json_string(text_.substr(pos_), end);
      pos_ += end;
    } else {
      std::size_t start = pos_;
      while (pos_ < text_.size() && text_[pos_] != ']' && text_[pos_] != '=' &&
             text_[pos_] != ',') {
        ++pos_;
      }
      if (pos_ == start) {
        fail("no value after '=' in " +
             quote_text(text_.substr(open, pos_ + 1 - open)));
      }
      step.value = read_operand(text_.substr(start, pos_ - start));
    }
    expect_close();
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::vector<Step> steps_;
};

}  // namespace

Selector Selector::parse(std::string_view text) {
  Selector s;
  if (text.empty()) fail("an empty selector");
  s.text_ = std::string(text);
  if (text != ".") s.steps_ = Parser(text).parse();
  return s;
}

bool Selector::ends_in_many() const {
  return !steps_.empty() && (steps_.back().kind == Step::Kind::kEach ||
                             steps_.back().kind == Step::Kind::kWhere);
}

std::optional<std::size_t> Selector::last_list_step() const {
  for (std::size_t i = steps_.size(); i-- > 0;) {
    if (steps_[i].into_list()) return i;
  }
  return std::nullopt;
}

std::size_t Selector::common_steps(const Selector& other) const {
  std::size_t n = 0;
  while (n < steps_.size() && n < other.steps_.size()) {
    const Step& a = steps_[n];
    const Step& b = other.steps_[n];
    if (a.kind != b.kind || a.name != b.name || a.index != b.index ||
        a.written != b.written) {
      break;
    }
    ++n;
  }
  return n;
}

}  // namespace tarnwick
