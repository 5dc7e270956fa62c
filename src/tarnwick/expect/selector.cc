#include "tarnwick/expect/selector.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

using Step = Selector::Step;

[[noreturn]] void fail(const std::string& what) {
  throw Error(ErrorKind::kBadExpectation, what);
}

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool is_plain_name(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (!is_name_char(c)) return false;
  }
  return true;
}

// The character at text[pos] (a whole code point where it is UTF-8), quoted.
std::string quoted_char_at(std::string_view text, std::size_t pos) {
  std::size_t end = pos;
  char32_t c;
  if (!decode_utf8(text, end, c)) end = pos + 1;
  return quote_text(text.substr(pos, end - pos));
}

void append_escape(std::string& out, char32_t c) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 15];
}

// name as a JSON string; what is not printable is escaped, so a path never
// carries a control or format character.
std::string json_quote(std::string_view name) {
  std::string out = "\"";
  std::size_t pos = 0;
  while (pos < name.size()) {
    std::size_t start = pos;
    char32_t c;
    if (!decode_utf8(name, pos, c, true)) {
      out += name[pos++];  // not UTF-8; kept as it is
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      append_escape(out, c);
    } else if (!is_printable(c)) {
      if (c > 0xFFFF) {
        append_escape(out, 0xD800 + ((c - 0x10000) >> 10));
        append_escape(out, 0xDC00 + ((c - 0x10000) & 0x3FF));
      } else {
        append_escape(out, c);
      }
    } else {
      out.append(name, start, pos - start);
    }
  }
  out += '"';
  return out;
}

// Whether a text may stand bare as the VALUE of "[NAME=VALUE]": the parser
// reads it back as this very text (no number, true, false or null), and it
// holds nothing that ends or splits a step or an expectation.
bool is_bare_value(std::string_view text) {
  if (text.empty()) return false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t c;
    if (!decode_utf8(text, pos, c)) return false;
    if (c < 0x80 ? !(is_name_char(static_cast<char>(c)) ||
                     std::string_view("._:/@+").find(static_cast<char>(c)) !=
                         std::string_view::npos)
                 : !is_printable(c) || is_white_space(c)) {
      return false;
    }
  }
  return read_operand(text).kind == Operand::Kind::kText;
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

// The walk: one frame per step, the list indexes taken kept in indexes_ for
// the paths of what it reaches. A walker that leads others takes their
// first steps for them and hands them what it finds.
class Selector::Walker {
 public:
  Walker(const Selector& selector, SelectionVisitor* visitor)
      : selector_(selector),
        visitor_(visitor),
        indexes_(selector.steps_.size()),
        places_(selector.steps_.size()) {}

  // Makes this walker take the first `shared` steps for `followers`, whose
  // selectors have those steps alike; it reaches nothing for itself.
  void lead(std::span<Walker> followers, std::size_t shared) {
    followers_ = followers;
    shared_ = shared;
  }

  void walk(const Node& v, std::size_t step) {
    if (step == shared_) {
      for (Walker& f : followers_) f.follow(*this, step).walk(v, step);
      return;
    }
    if (is_not_found_marker(v))
      return hand_over(v, Reached::Hole::kMarker, step);
    const std::vector<Step>& steps = selector_.steps_;
    if (step == steps.size()) return hand_over(v, Reached::Hole::kNone, step);
    const Step& s = steps[step];
    if (s.kind == Step::Kind::kMember) {
      if (!v.is_map()) return hole(v, Reached::Hole::kWrongKind, step);
      const Node* child = member(v, step);
      if (child == nullptr) {
        return hole(v, Reached::Hole::kMissingMember, step);
      }
      return walk(*child, step + 1);
    }
    if (!v.is_list()) return hole(v, Reached::Hole::kWrongKind, step);
    const std::int64_t size = v.size;
    switch (s.kind) {
      case Step::Kind::kIndex: {
        std::int64_t i = s.index < 0 ? s.index + size : s.index;
        if (i < 0 || i >= size) return hole(v, Reached::Hole::kPastEnd, step);
        return item(v, static_cast<std::size_t>(i), step);
      }
      case Step::Kind::kEach:
        for (std::size_t i = 0; i < v.size; ++i) item(v, i, step);
        return;
      case Step::Kind::kWhere:
        for (std::size_t i = 0; i < v.size; ++i) {
          const Node& element = v.items[i];
          if (!element.is_map()) continue;
          const Node* m = member(element, step);
          if (m != nullptr && !is_not_found_marker(*m) && equals(*m, s.value)) {
            item(v, i, step);
          }
        }
        return;
      case Step::Kind::kMember:
        return;
    }
  }

 private:
  // Where a step's member is in the last shape of map the step was taken
  // on: the maps of a list mostly share one, so that a member is looked for
  // by its name once per shape, not once per map.
  struct Place {
    const Shape* shape = nullptr;
    std::uint32_t index = kNoPlace;
  };
  static constexpr std::uint32_t kNoPlace = 0xFFFFFFFF;

  // The member named by step `step` of the map v, or null: v.find(name).
  const Node* member(const Node& v, std::size_t step) {
    if (v.size == 0) return nullptr;
    const Shape* shape = v.members->shape;
    Place& place = places_[step];
    if (shape != place.shape) {
      const std::string& name = selector_.steps_[step].name;
      place = {shape, kNoPlace};
      for (std::uint32_t i = 0; i < shape->size; ++i) {
        if (shape->keys[i].text() == name) {
          place.index = i;
          break;
        }
      }
    }
    return place.index == kNoPlace ? nullptr : &v.members->values[place.index];
  }

  void item(const Node& list, std::size_t i, std::size_t step) {
    indexes_[step] = i;
    walk(list.items[i], step + 1);
  }

  // Takes the list indexes of the leader's first `steps` steps.
  Walker& follow(const Walker& leader, std::size_t steps) {
    for (std::size_t i = 0; i < steps; ++i) indexes_[i] = leader.indexes_[i];
    return *this;
  }

  // A hole found by step `step` on v: its path ends with that step.
  void hole(const Node& v, Reached::Hole why, std::size_t step) {
    if (visitor_ == nullptr) {
      for (Walker& f : followers_) f.follow(*this, step).hole(v, why, step);
      return;
    }
    Reached r = reached(v, why, step + 1);
    r.last_as_written_ = true;
    visitor_->reached(r);
  }

  void hand_over(const Node& v, Reached::Hole why, std::size_t steps) {
    if (visitor_ == nullptr) {
      for (Walker& f : followers_) {
        f.follow(*this, steps).hand_over(v, why, steps);
      }
      return;
    }
    visitor_->reached(reached(v, why, steps));
  }

  Reached reached(const Node& v, Reached::Hole why, std::size_t steps) const {
    Reached r;
    r.value = &v;
    r.hole = why;
    r.selector_ = &selector_;
    r.indexes_ = indexes_.data();
    r.steps_ = steps;
    return r;
  }

  const Selector& selector_;
  SelectionVisitor* visitor_;  // null for a leader
  std::vector<std::size_t> indexes_;
  std::vector<Place> places_;  // one per step
  std::span<Walker> followers_;
  static constexpr std::size_t kNoStep = static_cast<std::size_t>(-1);
  std::size_t shared_ = kNoStep;  // the steps it takes for its followers
};

void Selector::walk(const Node& root, SelectionVisitor& visitor) const {
  Walker(*this, &visitor).walk(root, 0);
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

void Selector::walk_together(const Node& root,
                             std::span<const Selector* const> selectors,
                             std::span<SelectionVisitor* const> visitors,
                             std::size_t shared) {
  if (selectors.empty()) return;
  std::vector<Walker> followers;
  followers.reserve(selectors.size());
  for (std::size_t k = 0; k < selectors.size(); ++k) {
    followers.emplace_back(*selectors[k], visitors[k]);
  }
  Walker leader(*selectors.front(), nullptr);
  leader.lead(followers, shared);
  leader.walk(root, 0);
}

std::string Reached::path_of(std::size_t steps, bool last_as_written) const {
  if (steps == 0) return ".";
  std::string out;
  const std::vector<Selector::Step>& all = selector_->steps_;
  for (std::size_t i = 0; i < steps; ++i) {
    const Selector::Step& s = all[i];
    if (s.kind == Selector::Step::Kind::kMember) {
      append_member_step(out, s.name);
    } else if (last_as_written && i + 1 == steps) {
      out += s.written;
    } else {
      append_index_step(out, indexes_[i]);
    }
  }
  return out;
}

std::string Reached::path() const { return path_of(steps_, last_as_written_); }

std::string Reached::note() const {
  auto parent = [&] {
    return steps_ == 1 ? std::string("the result") : path_of(steps_ - 1, false);
  };
  switch (hole) {
    case Hole::kMarker:
      return "marked " + quote_text(kNotFoundMarker);
    case Hole::kWrongKind:
      return parent() + " is " + type_of(*value);
    case Hole::kPastEnd:
      if (value->size == 0) return parent() + " is empty";
      return parent() + " has " + std::to_string(value->size) +
             (value->size == 1 ? " item" : " items");
    case Hole::kNone:
    case Hole::kMissingMember:
      break;
  }
  return "";
}

void append_member_step(std::string& path, std::string_view name) {
  if (is_plain_name(name)) {
    if (!path.empty()) path += '.';
    path += name;
  } else {
    path += '.';
    path += json_quote(name);
  }
}

void append_index_step(std::string& path, std::size_t index) {
  path += '[';
  path += std::to_string(index);
  path += ']';
}

bool append_where_step(std::string& path, std::string_view name,
                       const Node& v) {
  if (v.is_list() || v.is_map()) return false;
  path += '[';
  path += is_plain_name(name) ? std::string(name) : json_quote(name);
  path += '=';
  switch (v.kind) {
    case Kind::kNull:
      path += "null";
      break;
    case Kind::kFalse:
      path += "false";
      break;
    case Kind::kTrue:
      path += "true";
      break;
    case Kind::kWhole:
      path += v.text();
      break;
    case Kind::kReal: {
      char buf[kRealBuffer];
      const bool finite =
          (v.flags & Node::kRealAsText) || std::isfinite(v.real);
      path += finite ? real_form(v, buf) : std::string_view("null");
      break;
    }
    case Kind::kText:
      path += is_bare_value(v.text()) ? std::string(v.text())
                                      : json_quote(v.text());
      break;
    case Kind::kList:
    case Kind::kMap:
      break;
  }
  path += ']';
  return true;
}

}  // namespace tarnwick
