// The expect target: an expectation parsed, then judged against a reply, and
// every finding selected again by its own path, with list elements named by
// index and by key.
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_targets.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/value.h"
#include "tarnwick/expect/expectation.h"
#include "tarnwick/expect/judge.h"
#include "tarnwick/json/json.h"

namespace tarnwick {

namespace {

Expectation parse_or_find(std::string_view name, const std::string& text) {
  try {
    return parse_expectation(name, text);
  } catch (const Error& e) {
    throw FuzzFinding("a selector or expectation that tarnwick wrote, " +
                      quote_text(text) + ", does not parse: " + e.what());
  }
}

// The same node of the result: the same kind and size, and the same pointer
// (or double) in it.
bool same_node(const Node& a, const Node& b) {
  return a.kind == b.kind && a.size == b.size &&
         std::memcmp(&a.chars, &b.chars, sizeof a.chars) == 0;
}

// A finding's path selects it again: the same value (the same node of the
// result), or a hole with the same note.
void check_finding(const Finding& f, const Node& result,
                   const ElementNames& names) {
  const std::string what = "finding " + quote_text(f.path);
  Verdict again =
      judge(parse_or_find("path", f.path + (f.value ? " absent" : " exists")),
            result, names);
  fuzz_require(again.found.size() == 1, what + " is not selected again");
  const Finding& g = again.found.front();
  fuzz_require(g.path == f.path, what + " is found again as " + g.path);
  if (f.value) {
    fuzz_require(
        again.selected == 1 && g.value && same_node(*g.value, *f.value),
        what + " selects another value");
  } else {
    fuzz_require(!g.value && g.note == f.note,
                 what + " is not the same hole again");
  }
}

void check_verdict(const Expectation& e, const Verdict& v, const Node& result,
                   const ElementNames& names) {
  fuzz_require(v.holds.has_value(), "a judged expectation without a verdict");
  fuzz_require(v.name == e.name && v.text == e.text && v.expected == e.expected,
               "a verdict that names another expectation");
  fuzz_require(v.found.size() <= kMaxFindings, "too many findings kept");
  fuzz_require(v.more_found == 0 || v.found.size() == kMaxFindings,
               "findings counted beyond the kept ones before those are full");
  if (*v.holds) {
    fuzz_require(v.found.empty() && v.more_found == 0 && v.reason.empty(),
                 "an expectation that holds with findings or a reason");
  } else {
    fuzz_require(!v.found.empty() || !v.reason.empty(),
                 "an expectation that fails without saying why");
  }
  for (const Finding& f : v.found) check_finding(f, result, names);

  // Every form selects the same values.
  Verdict exists =
      judge(parse_or_find("exists", e.selector.text() + " exists"), result);
  fuzz_require(exists.selected == v.selected,
               "the forms of one selector select different values");
}

}  // namespace

void fuzz_expect(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzz_text(data, size);
  std::size_t nul = input.find('\0');
  const std::string text(input.substr(0, nul));
  Expectation e;
  try {
    e = parse_expectation("fuzz", text);
  } catch (const Error& err) {
    const std::string message = err.what();
    fuzz_require(err.kind() == ErrorKind::kBadExpectation,
                 std::string("parse_expectation failed with ") +
                     error_kind_name(err.kind()) + ": " + message);
    fuzz_require(message.starts_with("'fuzz': ") &&
                     message.find('\n') == std::string::npos,
                 "a bad expectation's message " + quote_text(message) +
                     " does not start with its name on one line");
    return;
  }
  fuzz_require(!not_judged(e).holds, "an expectation judged unjudged");
  fuzz_require(parse_or_find("again", e.text).expected == e.expected,
               "an expectation reads differently the second time");
  if (nul == std::string_view::npos) return;
  Value result;
  try {
    result = decode_json(std::string(input.substr(nul + 1)));
  } catch (const Error&) {
    return;
  }
  check_verdict(e, judge(e, result.node()), result.node(), ElementNames());
  ElementNames names;
  names.keys = {"name", "id"};
  check_verdict(e, judge(e, result.node(), names), result.node(), names);
}

}  // namespace tarnwick
