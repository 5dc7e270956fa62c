// The compare target: the rules of a [compare] section, then two results
// compared under them, both ways and each with itself, and held against the
// plain reference of the comparison (tests/unit/compare_reference.h).
#include <cstddef>
#include <string>
#include <string_view>

#include "fuzz/fuzz_targets.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/output.h"
#include "tarnwick/base/value.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/compare/compare_rules.h"
#include "tarnwick/compare/diff.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/json_writer.h"
#include "tarnwick/select/selector.h"
#include "tests/unit/compare_reference.h"

namespace tarnwick {

namespace {

// The rules, or none when the section is refused (as it may be, with a
// check-file error only).
CompareRules rules_of(std::string_view section) {
  try {
    return read_compare_rules(
        CheckFile::parse("f.cfg", "[compare]\n" + std::string(section)),
        "f.cfg");
  } catch (const Error& e) {
    fuzz_require(e.kind() == ErrorKind::kCheckFile,
                 std::string("rules refused with ") +
                     error_kind_name(e.kind()) + ": " + e.what());
    return CompareRules();
  }
}

std::size_t count(const Comparison& c, Change::Kind kind) {
  std::size_t n = 0;
  for (const Change& change : c.changes) n += change.kind == kind;
  return n;
}

void check_comparison(const Comparison& c, bool records) {
  fuzz_require(c.changes.size() <= kMaxChanges, "more changes than kept");
  fuzz_require(c.more_changes == 0 || c.changes.size() == kMaxChanges,
               "changes counted beyond fewer than kept");
  fuzz_require(records || c.not_compared.empty(),
               "elements not compared outside records");
  for (const Change& change : c.changes) {
    fuzz_require(
        change.before.has_value() == (change.kind != Change::Kind::kAdded),
        "before where it does not apply, or none where it does");
    fuzz_require(
        change.after.has_value() == (change.kind != Change::Kind::kRemoved),
        "after where it does not apply, or none where it does");
    try {
      fuzz_require(Selector::parse(change.path).text() == change.path,
                   "path " + change.path + " reads back otherwise");
    } catch (const Error& e) {
      throw FuzzFinding("path " + change.path + " is no selector: " + e.what());
    }
  }
}

}  // namespace

void fuzz_compare(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzz_text(data, size);
  const bool records = input.starts_with('*');
  if (records) input.remove_prefix(1);
  const std::size_t first = input.find('\0');
  if (first == std::string_view::npos) return;
  const std::size_t second = input.find('\0', first + 1);
  if (second == std::string_view::npos) return;
  const CompareRules rules = rules_of(input.substr(0, first));
  Value before;
  Value after;
  try {
    before =
        decode_json(std::string(input.substr(first + 1, second - first - 1)));
    after = decode_json(std::string(input.substr(second + 1)));
  } catch (const Error& e) {
    fuzz_require(e.kind() == ErrorKind::kInvalidReply,
                 std::string("decoding failed with ") + e.what());
    return;
  }
  CompareOptions options;
  options.records = records;
  const Comparison forth =
      compare_results(before.node(), after.node(), rules, options);
  const Comparison back =
      compare_results(after.node(), before.node(), rules, options);
  check_comparison(forth, records);
  check_comparison(back, records);
  for (const std::string& difference :
       {reference::difference_from_reference(before.node(), after.node(), rules,
                                             options, forth),
        reference::difference_from_reference(after.node(), before.node(), rules,
                                             options, back)}) {
    fuzz_require(difference.empty(),
                 "the comparison differs from the reference: " + difference);
  }
  fuzz_require(forth.changes.size() + forth.more_changes ==
                   back.changes.size() + back.more_changes,
               "a comparison and its reverse count different changes");
  if (forth.more_changes == 0) {
    fuzz_require(count(forth, Change::Kind::kAdded) ==
                         count(back, Change::Kind::kRemoved) &&
                     count(forth, Change::Kind::kRemoved) ==
                         count(back, Change::Kind::kAdded),
                 "what one way adds the other does not remove");
  }
  fuzz_require(
      compare_results(after.node(), after.node(), rules, options).unchanged(),
      "a result differs from itself");
  // As the next run will read this one's --json line.
  Output out(-1);
  write_json(after.node(), out);
  Value written = decode_json(out.take_text());
  fuzz_require(
      compare_results(written.node(), after.node(), rules, options).unchanged(),
      "a result differs from its JSON Lines form");
  // A failed element of this run is not compared, never added or removed.
  bool whole_ignored = false;
  for (const Selector& s : rules.ignore_paths)
    whole_ignored |= s.steps().empty();
  if (records && !whole_ignored && before.node().is_list() &&
      after.node().is_list() && after.node().size > 0) {
    options.failed.push_back({0, after.node().items[0]});
    const Comparison failed =
        compare_results(before.node(), after.node(), rules, options);
    check_comparison(failed, records);
    const std::string difference = reference::difference_from_reference(
        before.node(), after.node(), rules, options, failed);
    fuzz_require(difference.empty(),
                 "the comparison differs from the reference: " + difference);
    fuzz_require(!failed.not_compared.empty() || failed.more_not_compared > 0,
                 "a failed element compared");
  }
}

}  // namespace tarnwick
