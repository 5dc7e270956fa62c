#include "tarnwick/expect/judge.h"

#include <re2/re2.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"
#include "tarnwick/select/decimal.h"
#include "tarnwick/select/operand.h"
#include "tarnwick/select/selector.h"

namespace tarnwick {

namespace {

using Form = Expectation::Form;
using Op = Expectation::Op;

bool order_holds(Op op, int c) {
  switch (op) {
    case Op::kEqual:
      return c == 0;
    case Op::kNotEqual:
      return c != 0;
    case Op::kLess:
      return c < 0;
    case Op::kLessOrEqual:
      return c <= 0;
    case Op::kGreater:
      return c > 0;
    case Op::kGreaterOrEqual:
      return c >= 0;
    default:
      return false;
  }
}

// Whether v matches the pattern of e as a whole: a text as it is, a number as
// written (a whole number's digits, a real's report form); nullopt for what
// is no text (NaN included).
std::optional<bool> matches(const Expectation& e, const Node& v) {
  char buf[kRealBuffer];
  std::string_view s;
  switch (v.kind) {
    case Kind::kText:
    case Kind::kWhole:
      s = v.text();
      break;
    case Kind::kReal:
      if (is_nan(v)) return std::nullopt;  // null, as for equality
      s = real_form(v, buf);
      break;
    default:
      return std::nullopt;
  }
  return RE2::FullMatch(s, *e.regex);
}

// How a real that is infinite compares with any finite number, or 0.
int infinity_sign(const Node& v) {
  if (v.kind != Kind::kReal || (v.flags & Node::kRealAsText)) return 0;
  double x = v.number();
  return std::isinf(x) ? (x > 0 ? 1 : -1) : 0;
}

// Whether the value v satisfies the operator of e, whose number (for an order
// operator) is `limit`; `note` says why not when the value itself does not
// show it.
bool satisfies(const Expectation& e, const Decimal& limit, const Node& v,
               const char*& note) {
  if (v.is_list() || v.is_map()) return false;
  auto equals_one = [&](const Operand& o) { return equals(v, o); };
  // The report shows NaN as nan, the JSON Lines form as null: it is judged
  // as null, which a failure says.
  if (is_nan(v)) note = "NaN counts as null";
  switch (e.op) {
    case Op::kEqual:
      return equals(v, e.values.front());
    case Op::kNotEqual:
      return !equals(v, e.values.front());
    case Op::kIn:
      return std::any_of(e.values.begin(), e.values.end(), equals_one);
    case Op::kNotIn:
      return std::none_of(e.values.begin(), e.values.end(), equals_one);
    case Op::kMatches:
    case Op::kNotMatches: {
      std::optional<bool> m = matches(e, v);
      if (!m) {
        note = "not a text";
        return false;
      }
      return *m == (e.op == Op::kMatches);
    }
    case Op::kNone:
      return true;
    default:
      break;
  }
  if (int sign = infinity_sign(v)) return order_holds(e.op, sign);
  char buf[kDecimalBuffer];
  std::optional<Decimal> d = decimal_of(v, buf);
  if (!d) {
    note = "not a number";
    return false;
  }
  return order_holds(e.op, compare(*d, limit));
}

// For a text that fails == or in while it prints as one of the values: both
// with their escapes, "escaped: 'Zu\u0308rich' is not 'Z\u00fcrich'".
std::string alike_note(const Expectation& e, const Node& v) {
  if (!v.is_text() || (e.op != Op::kEqual && e.op != Op::kIn)) return "";
  for (const Operand& o : e.values) {
    if (looks_alike(v.text(), o.text)) {
      return "escaped: " + quote_text_ascii(v.text()) + " is not " +
             quote_text_ascii(o.text);
    }
  }
  return "";
}

// For a value that ~ finds a match in but not a whole one: "the whole text
// must match; 7\.4.* would".
std::string partial_match_note(const Expectation& e, const Node& v) {
  if (e.op != Op::kMatches) return "";
  char buf[kRealBuffer];
  std::string_view s;
  if (v.kind == Kind::kText || v.kind == Kind::kWhole) {
    s = v.text();
  } else if (v.kind == Kind::kReal && !is_nan(v)) {
    s = real_form(v, buf);
  } else {
    return "";
  }
  re2::StringPiece match;
  if (!e.regex->Match(s, 0, s.size(), RE2::UNANCHORED, &match, 1)) return "";
  const std::string& pattern = e.values.front().text;
  std::string whole =
      pattern.find('|') == std::string::npos ? pattern : "(?:" + pattern + ")";
  if (match.data() != s.data()) whole = ".*" + whole;
  if (match.data() + match.size() != s.data() + s.size()) whole += ".*";
  return "the whole text must match; " + whole + " would";
}

// What a kept finding's value shows too little of, or "".
std::string hint(const Expectation& e, const Node& v) {
  std::string note = alike_note(e, v);
  return note.empty() ? partial_match_note(e, v) : note;
}

bool is_order(Expectation::Op op) {
  return op == Op::kLess || op == Op::kLessOrEqual || op == Op::kGreater ||
         op == Op::kGreaterOrEqual;
}

class Judge : public SelectionVisitor {
 public:
  // The number of an order operator is read once, not for every value.
  Judge(const Expectation& e, Verdict& verdict, const ElementNames& names)
      : e_(e),
        verdict_(verdict),
        names_(names),
        limit_(is_order(e.op) ? e.values.front().number() : Decimal()),
        looks_into_(e.form == Form::kAbsent || e.form == Form::kCount ||
                            e.form == Form::kEvery
                        ? e.selector.last_list_step()
                        : std::nullopt) {}

  void reached(const Reached& r) override {
    if (r.is_hole()) {
      if (is_container_hole(r)) {
        add(r, nullptr, true);
      } else if (e_.form != Form::kAbsent && e_.form != Form::kCount) {
        add(r, nullptr);
      }
      return;
    }
    ++verdict_.selected;
    switch (e_.form) {
      case Form::kExists:
      case Form::kCount:
        return;
      case Form::kAbsent:
        return add(r, "");
      case Form::kCompare:
      case Form::kEvery:
        break;
    }
    const char* note = "";
    if (!satisfies(e_, limit_, *r.value, note)) add(r, note);
  }

 private:
  // Whether the hole r is where a container to look into should be: found
  // by a step up to the last step into a list, but for an index past the
  // end of that last list, which is what absent looks for.
  bool is_container_hole(const Reached& r) const {
    if (!looks_into_) return false;
    const std::size_t last = *looks_into_;
    return r.step() < last ||
           (r.step() == last && r.hole != Reached::Hole::kPastEnd);
  }

  // An offending value with its note, or a hole (note null: the hole's own).
  // Paths and notes are only made for the findings kept.
  void add(const Reached& r, const char* note, bool container = false) {
    if (verdict_.found.size() == kMaxFindings) {
      ++verdict_.more_found;
      return;
    }
    Finding f;
    f.path = r.path(names_);
    f.nothing_to_look_in = container;
    if (r.is_hole()) {
      f.note = r.note(names_);
    } else {
      f.value = *r.value;
      f.note = *note != '\0' ? std::string(note) : hint(e_, *r.value);
    }
    verdict_.found.push_back(std::move(f));
  }

  const Expectation& e_;
  Verdict& verdict_;
  const ElementNames& names_;
  const Decimal limit_;  // its views point into e_
  // For absent, count and every: the step into the last list they look in.
  const std::optional<std::size_t> looks_into_;
};

// The steps of s up to its first [*] or [NAME=VALUE], that one included; 0
// when it has none.
std::size_t steps_into_list(const Selector& s) {
  const std::vector<Selector::Step>& steps = s.steps();
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].kind == Selector::Step::Kind::kEach ||
        steps[i].kind == Selector::Step::Kind::kWhere) {
      return i + 1;
    }
  }
  return 0;
}

void decide(const Expectation& e, Verdict& v) {
  const bool clean = v.found.empty() && v.more_found == 0;
  switch (e.form) {
    case Form::kCompare:
    case Form::kExists:
      v.holds = clean && v.selected > 0;
      if (clean && v.selected == 0) {
        v.reason = "nothing selected by " + quote_text(e.selector.text());
      }
      return;
    case Form::kEvery:
      v.holds = clean;
      return;
    case Form::kAbsent:
      v.holds = clean;  // a value selected is a finding
      return;
    case Form::kCount: {
      char buf[24];
      std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v.selected);
      std::string_view count(buf, static_cast<std::size_t>(r.ptr - buf));
      // Findings are containers that are not there.
      v.holds = clean && order_holds(e.op, compare(*read_decimal(count),
                                                   e.values.front().number()));
      if (clean && !*v.holds) {
        v.reason = "count of " + quote_text(e.selector.text()) + " is " +
                   std::string(count);
      }
      return;
    }
  }
}

}  // namespace

Verdict not_judged(const Expectation& e) {
  Verdict v;
  v.name = e.name;
  v.text = e.text;
  v.expected = e.expected;
  return v;
}

Verdict judge(const Expectation& e, const Node& result,
              const ElementNames& names) {
  Verdict v = not_judged(e);
  Judge visitor(e, v, names);
  e.selector.walk(result, visitor);
  decide(e, v);
  return v;
}

std::vector<Verdict> judge_all(const std::vector<Expectation>& expectations,
                               const Node& result, const ElementNames& names) {
  const std::size_t n = expectations.size();
  std::vector<Verdict> verdicts;
  verdicts.reserve(n);
  std::vector<Judge> judges;
  judges.reserve(n);
  for (const Expectation& e : expectations) {
    verdicts.push_back(not_judged(e));
    judges.emplace_back(e, verdicts.back(), names);
  }
  std::vector<bool> walked(n, false);
  std::vector<const Selector*> selectors;
  std::vector<SelectionVisitor*> visitors;
  for (std::size_t i = 0; i < n; ++i) {
    if (walked[i]) continue;
    const Selector& first = expectations[i].selector;
    const std::size_t shared = steps_into_list(first);
    selectors.assign(1, &first);
    visitors.assign(1, &judges[i]);
    for (std::size_t j = i + 1; shared > 0 && j < n; ++j) {
      if (!walked[j] &&
          expectations[j].selector.common_steps(first) >= shared) {
        walked[j] = true;
        selectors.push_back(&expectations[j].selector);
        visitors.push_back(&judges[j]);
      }
    }
    Selector::walk_together(result, selectors, visitors, shared);
  }
  for (std::size_t i = 0; i < n; ++i) decide(expectations[i], verdicts[i]);
  return verdicts;
}

}  // namespace tarnwick
