// The filtered_decode target: filter_reply against decoding in full
// and filtering afterwards. Both must give the same value, map members in the
// same order, or fail with the same kind and message.
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_targets.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/value.h"
#include "tarnwick/filter/filter.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/notation.h"

namespace tarnwick {

namespace {

struct Outcome {
  std::optional<Value> value;
  std::optional<ErrorKind> kind;
  std::string message;
};

template <typename Decode>
Outcome run(Decode decode) {
  Outcome outcome;
  try {
    outcome.value = decode();
  } catch (const Error& e) {
    outcome.kind = e.kind();
    outcome.message = e.what();
  }
  return outcome;
}

std::string describe(const Outcome& o) {
  if (o.kind) {
    return std::string("error ") + error_kind_name(*o.kind) + " (" + o.message +
           ")";
  }
  return pformat(o.value->node());
}

bool same_outcome(const Outcome& a, const Outcome& b) {
  if (a.kind || b.kind) return a.kind == b.kind && a.message == b.message;
  return same_value(a.value->node(), b.value->node());
}

}  // namespace

void fuzz_filtered_decode(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzz_text(data, size);
  std::vector<std::string> filters;
  std::size_t nul = input.find('\0');
  if (nul != std::string_view::npos) {
    filters = split_filter_list(input.substr(0, nul));
    input.remove_prefix(nul + 1);
  }
  const std::string body(input);

  const Outcome expected =
      run([&] { return filter_results(decode_json(body), filters); });
  const Outcome actual = run([&] { return filter_reply(body, filters); });
  if (actual.kind) {
    fuzz_require(*actual.kind == ErrorKind::kInvalidReply ||
                     *actual.kind == ErrorKind::kMissingKey ||
                     *actual.kind == ErrorKind::kType,
                 std::string("filter_reply failed with ") +
                     error_kind_name(*actual.kind));
  }
  if (!same_outcome(actual, expected)) {
    throw FuzzFinding("filter_reply gave " + describe(actual) +
                      ", decode_json and filter_results give " +
                      describe(expected));
  }
}

}  // namespace tarnwick
