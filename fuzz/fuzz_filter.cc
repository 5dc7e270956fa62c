// The filter target: filter_results against a plain restatement of the
// filter rules, one expression at a time, with nothing shared but the value
// types.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_targets.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/text.h"
#include "tarnwick/base/value.h"
#include "tarnwick/filter/filter.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/notation.h"

namespace tarnwick {

namespace {

// White space off both ends, walking code points from each end.
std::string reference_trim(std::string_view s) {
  std::size_t begin = 0;
  std::size_t end = 0;  // after the last code point that is no white space
  bool seen_text = false;
  for (std::size_t pos = 0; pos < s.size();) {
    std::size_t start = pos;
    char32_t c = 0;
    if (!decode_utf8(s, pos, c)) return std::string(s);  // caller checked
    if (!is_white_space(c)) {
      if (!seen_text) begin = start;
      seen_text = true;
      end = pos;
    }
  }
  return seen_text ? std::string(s.substr(begin, end - begin)) : std::string();
}

std::vector<std::string> reference_keys(const std::string& expression) {
  std::vector<std::string> keys;
  std::size_t start = 0;
  for (;;) {
    std::size_t amp = expression.find('&', start);
    keys.push_back(reference_trim(
        std::string_view(expression).substr(start, amp - start)));
    if (amp == std::string::npos) return keys;
    start = amp + 1;
  }
}

const Node* member(const Node& map, const std::string& key) {
  for (MemberRef m : map.map()) {
    if (m.name() == key) return &m.value;
  }
  return nullptr;
}

// A new map of the distinct keys in order of first appearance.
Node pick(ValueBuilder& b, const Node& map,
          const std::vector<std::string>& keys) {
  std::vector<std::string> distinct;
  for (const std::string& key : keys) {
    if (std::find(distinct.begin(), distinct.end(), key) == distinct.end()) {
      distinct.push_back(key);
    }
  }
  std::vector<Member> members;
  for (const std::string& key : distinct) {
    const Node* found = member(map, key);
    members.push_back({b.text(key), found ? *found : b.text(kNotFoundMarker)});
  }
  return b.map(members);
}

Value reference_filter(const Value& results,
                       const std::vector<std::string>& filters) {
  if (filters.empty()) return results;
  ValueBuilder b;
  b.share(results);
  Node current = results.node();
  for (const std::string& expression : filters) {
    const std::vector<std::string> keys = reference_keys(expression);
    if (current.is_list()) {
      std::vector<Node> items;
      for (const Node& element : current.list()) {
        if (!element.is_map()) throw Error(ErrorKind::kType, "not a map");
        if (keys.size() > 1) {
          items.push_back(pick(b, element, keys));
          continue;
        }
        const Node* found = member(element, keys.front());
        if (!found) throw Error(ErrorKind::kMissingKey, keys.front());
        items.push_back(*found);
      }
      current = b.list(items);
    } else if (current.is_map()) {
      if (keys.size() > 1) {
        current = pick(b, current, keys);
      } else {
        // The expression as given, untrimmed.
        const Node* found = member(current, expression);
        current = found ? *found : b.text(kNotFoundMarker);
      }
    } else {
      return Value();
    }
  }
  return b.finish(current);
}

struct Outcome {
  std::optional<Value> value;
  std::optional<ErrorKind> error;
};

template <typename Filter>
Outcome run(Filter filter, const Value& results,
            const std::vector<std::string>& filters) {
  Outcome outcome;
  try {
    outcome.value = filter(results, filters);
  } catch (const Error& e) {
    outcome.error = e.kind();
  }
  return outcome;
}

std::string describe(const Outcome& o) {
  if (o.error) return std::string("error ") + error_kind_name(*o.error);
  return pformat(o.value->node());
}

}  // namespace

void fuzz_filter(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzz_text(data, size);
  std::vector<std::string> filters;
  std::size_t nul = input.find('\0');
  if (nul != std::string_view::npos) {
    filters = split_filter_list(input.substr(0, nul));
    input.remove_prefix(nul + 1);
  }
  Value results;
  try {
    results = decode_json(std::string(input));
  } catch (const Error&) {
    return;
  }
  const std::string before = pformat(results.node());

  Outcome actual = run(filter_results, results, filters);
  if (actual.error) {
    fuzz_require(*actual.error == ErrorKind::kMissingKey ||
                     *actual.error == ErrorKind::kType,
                 std::string("filter_results failed with ") +
                     error_kind_name(*actual.error));
  } else {
    pformat(actual.value->node());
  }
  fuzz_require(pformat(results.node()) == before,
               "filter_results changed its input");

  // The restatement trims whole code points only.
  for (const std::string& expression : filters) {
    if (find_invalid_utf8(expression) != std::string::npos) return;
  }
  Outcome expected = run(reference_filter, results, filters);
  bool same = actual.error || expected.error
                  ? actual.error == expected.error
                  : same_value(actual.value->node(), expected.value->node());
  if (!same) {
    throw FuzzFinding("filter_results gave " + describe(actual) +
                      ", the rules give " + describe(expected));
  }
}

}  // namespace tarnwick
