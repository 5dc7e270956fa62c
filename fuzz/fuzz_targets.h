// Fuzz entry points: each feeds one input to a reader of untrusted text and
// checks what comes out. The same functions serve the libFuzzer binaries
// (fuzz/*_fuzzer.cc) and the corpus replay test (fuzz/replay_main.cc).
//
// tarnwick::Error is the one expected failure, and only of the kinds that the
// function under test documents. Anything else is a finding: another
// exception (FuzzFinding for a broken invariant), a crash, a sanitizer report
// or a hang.
#ifndef TARNWICK_FUZZ_FUZZ_TARGETS_H_
#define TARNWICK_FUZZ_FUZZ_TARGETS_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// A broken invariant. Never caught by the entry points: libFuzzer reports it
// as a crash with the input, the replay driver names the corpus file.
class FuzzFinding : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// A reply body, decoded and then printed at the report width and a narrow
// one; printing must never fail.
void fuzz_json(const std::uint8_t* data, std::size_t size);

// A check file, parsed, then its filter list, description and every value of
// every section read.
void fuzz_check_file(const std::uint8_t* data, std::size_t size);

// A command line, the arguments separated by NUL bytes.
void fuzz_command_line(const std::uint8_t* data, std::size_t size);

// "FILTERS\0BODY": the filter expressions separated by ",", then a reply
// body. Without a NUL the whole input is the body and the filter list is
// empty. The result is compared with a plain restatement of the filter rules.
void fuzz_filter(const std::uint8_t* data, std::size_t size);

// "NAME\0BODY": a field name and a reply body whose value goes into a form
// after a CID field; the encoded form must decode back to the same fields.
// Without a NUL the whole input is the body and the name is "field".
void fuzz_form(const std::uint8_t* data, std::size_t size);

// "FILTERS\0BODY", framed as for fuzz_filter: filter_reply must give
// what filter_results(decode_json(body), filters) gives, the same value with
// map members in the same order, or the same failure kind and message.
void fuzz_filtered_decode(const std::uint8_t* data, std::size_t size);

// "EXPECTATION\0BODY": an expectation, parsed, then judged against the
// reply body; every finding must be selected again by its own path, list
// elements named by index and by the keys "name" and "id". Without a NUL
// the expectation is only parsed.
void fuzz_expect(const std::uint8_t* data, std::size_t size);

// "RULES\0BEFORE\0AFTER": the lines of a [compare] section, then an earlier
// result and this run's, both as reply bodies; a leading "*" makes them a
// compound check's records. Checked: the rules are read or refused as a
// check-file error; the comparison keeps its limits, its paths are
// selectors, and its reverse finds as many changes; both ways it finds what
// a plain recursive restatement of the comparison finds; a result compared
// with itself and with its --json form is unchanged.
void fuzz_compare(const std::uint8_t* data, std::size_t size);

// "CONFIG\0QUERY": the exporter's configuration, then a probe's query
// ("target=...&module=..." without decoding), read against it, or against
// a fixed configuration when it is refused. Without a NUL the query is
// "target=10.0.0.1". Checked: problems name the file and a line; an order's
// target is allowed by its auth and reads back from the address a probe
// would use; a refusal is 400 or 403 with a one-line reason.
void fuzz_exporter(const std::uint8_t* data, std::size_t size);

struct FuzzTarget {
  std::string_view name;  // also the directory of its corpus
  void (*run)(const std::uint8_t* data, std::size_t size);
};

// Every target, by name.
std::span<const FuzzTarget> fuzz_targets();

// Cuts a filter list at every "," and keeps the pieces as they are:
// filter_results also receives untrimmed expressions from callers other than
// the check reader.
std::vector<std::string> split_filter_list(std::string_view text);

// Throws FuzzFinding with message when condition is false.
void fuzz_require(bool condition, const std::string& message);

// The input as text, bytes unchanged.
inline std::string_view fuzz_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace tarnwick

#endif  // TARNWICK_FUZZ_FUZZ_TARGETS_H_
