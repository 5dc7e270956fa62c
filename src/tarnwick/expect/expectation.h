// Expectations: what a check file's section [expect] says the check's result
// must be, one named expectation per key.
//
//   [every] SELECTOR OP VALUE    OP: == != < <= > >= ~ !~ in, not in
//   count SELECTOR OP NUMBER     OP: == != < <= > >=
//   SELECTOR exists
//   SELECTOR absent
//
// Tokens are separated by white space; a selector (selector.h) holds none
// outside double quotes. "count" and "every" are keywords only where a
// selector follows them: "count == 3" compares the member "count". A VALUE is
// an operand (operand.h); after "in" and "not in" a list of them separated by
// commas outside double quotes; after "~" and "!~" an RE2 pattern that must
// match the whole text, "." matching line breaks too, written bare or as a
// JSON string (its escapes decoded first). The order operators and "count"
// take a JSON number.
#ifndef TARNWICK_EXPECT_EXPECTATION_H_
#define TARNWICK_EXPECT_EXPECTATION_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/select/operand.h"
#include "tarnwick/select/selector.h"

namespace re2 {
class RE2;
}

namespace tarnwick {

// The section of a check file that holds its expectations.
inline constexpr std::string_view kExpectSection = "expect";

struct Expectation {
  enum class Form : std::uint8_t {
    kCompare,  // SELECTOR OP VALUE: at least one value, every one satisfies
    kEvery,    // every SELECTOR OP VALUE: also holds when nothing is selected
    kCount,    // count SELECTOR OP NUMBER
    kExists,   // SELECTOR exists
    kAbsent,   // SELECTOR absent
  };
  enum class Op : std::uint8_t {
    kEqual,
    kNotEqual,
    kLess,
    kLessOrEqual,
    kGreater,
    kGreaterOrEqual,
    kMatches,     // ~
    kNotMatches,  // !~
    kIn,
    kNotIn,
    kNone,  // exists, absent
  };

  std::string name;      // the key, lower case as the dialect makes it
  std::string text;      // the value as read (references replaced, %% -> %)
  std::size_t line = 0;  // of its key line in the file; 0 when not from one

  Form form = Form::kCompare;
  Selector selector;
  Op op = Op::kNone;
  // The one value of ==, !=, the order operators and count; the list of in
  // and not in; the pattern of ~ and !~ (a text); none for exists, absent.
  std::vector<Operand> values;
  // The compiled pattern of ~ and !~ (shared, so that Expectation copies).
  std::shared_ptr<const re2::RE2> regex;
  // What a failure shows as expected: "== up", "in minor, warning", ">= 12",
  // "~ 7\.4\..*", "exists", "absent" (the value as written).
  std::string expected;
};

// Parses one expectation. Throws Error(kBadExpectation) with the message
// "'NAME': WHAT in 'TEXT'", possibly followed by "; HINT", e.g. "'all_up':
// unknown operator '=~' in 'gateways[*].state =~ up'". Linear in the size of
// text, apart from compiling a pattern (RE2 bounds its memory).
Expectation parse_expectation(std::string_view name, std::string_view text);

// The own keys of the section [expect] of config, in file order, each parsed
// with its line (keys that DEFAULT lends the section are not expectations);
// empty when there is no such section. Throws Error(kBadExpectation) for the
// first bad one, " (in PATH:LINE)" appended to its message; a value that
// cannot be read is a bad expectation too, and one with a stray "%" says
// "write %% for a percent sign".
std::vector<Expectation> read_expectations(const CheckFile& config,
                                           std::string_view path);

// What an expectation that reads says, when it is almost surely not what its
// writer meant, for the dry run to warn of; "" when nothing. "== up, down"
// and "!= up, down" with a bare value compare with the one text "up, down":
// "'all_up': '== up, down' compares with the one text 'up, down'; for any
// of them write 'in up, down'".
std::string expectation_warning(const Expectation& e);

// The operator as written: "==", "not in"; "" for kNone.
std::string_view op_name(Expectation::Op op);

}  // namespace tarnwick

#endif  // TARNWICK_EXPECT_EXPECTATION_H_
