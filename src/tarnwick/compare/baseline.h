// The file of an earlier run: the standard output of a run with --json (with
// or without --keep-going), one JSON object per line, read to compare this
// run's results with.
//
// It is read in two passes so that memory holds one earlier result at a time:
// the first checks every line and notes where each check's line is; each
// line is then read and decoded again when its check is compared. The first
// line alone is kept from the first pass until a line is asked for, as a
// run's first check is mostly the file's first and one check is a common
// run: it is then not decoded twice.
#ifndef TARNWICK_COMPARE_BASELINE_H_
#define TARNWICK_COMPARE_BASELINE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/value.h"

namespace tarnwick {

// One line of the earlier run, decoded.
struct EarlierRun {
  Value line;                    // the whole object
  const Node* result = nullptr;  // its "result", or null
  const Node* error = nullptr;   // its "error", or null
  // Whether the check failed then. A compound check that lost some elements
  // has both a result (holding a record {"object", "error"} for each element
  // lost) and an error.
  bool had_error = false;
};

class Baseline {
 public:
  // Reads and checks the whole file at path. Lines end at line feeds only
  // (a carriage return before one is white space to JSON); a last line
  // without its line feed is a line too. Every line must be a JSON object
  // with a text "check" and a "result", an "error" or both (a compound
  // check that lost some elements under --keep-going). Throws
  // Error(kBadBaseline) for a file that is not such a file:
  //   'PATH': no such file; run once with --json to make it
  //   'PATH': permission denied            (and other errno texts)
  //   'PATH': not a regular file; the earlier run's file is read twice
  //   'PATH' line N: not JSON: unexpected 'x' at byte 17
  //   'PATH' line N: an empty line
  //   'PATH' line N: a list, not a JSON object
  //   'PATH' line N: no 'check'
  //   'PATH' line N: 'check' is a number, not a text
  //   'PATH' line N: 'requests' instead of 'result' or 'error': the output
  //     of a dry run
  //   'PATH' line N: neither 'result' nor 'error'
  //   'PATH' line N comes from a --quiet run, which leaves out checks that
  //     are well   (a line with "quiet": true)
  //   standard output is 'PATH' itself; write to another file and rename it
  //     (output_fd, standard output's descriptor, is the same file: the
  //     shell emptied it before the run began, and the run would write over
  //     what it reads)
  // The file stays open until the Baseline is destroyed. Linear in the size
  // of the file; memory holds the first line's value and one more line.
  static Baseline open(const std::string& path, int output_fd = -1);

  Baseline(Baseline&& other) noexcept;
  Baseline& operator=(Baseline&& other) noexcept;
  Baseline(const Baseline&) = delete;
  Baseline& operator=(const Baseline&) = delete;
  ~Baseline();

  const std::string& path() const { return path_; }

  // The n-th line (from 0) whose check is `name`, read from the file again
  // and decoded; nullopt when the file has no more than n such lines. The
  // first line comes from the first pass the first time it is asked for;
  // asking for another line drops it, so that memory never holds two
  // earlier results. Call it when this run's result is there. Throws
  // Error(kBadBaseline) "'PATH' line N: ..." when the line cannot be read
  // again or is no longer what the first pass found (the file changed).
  std::optional<EarlierRun> find(std::string_view name, std::size_t n) const;

  // How many lines have the check `name`.
  std::size_t count(std::string_view name) const;

  // The check names of the lines, in file order, each as often as it
  // appears: the checks of the earlier run that this run may not have run.
  const std::vector<std::string>& check_names() const { return names_; }

 private:
  struct Line {
    std::uint64_t offset;
    std::uint64_t size;  // without its line feed
  };

  Baseline() = default;
  void scan(std::uint64_t file_size);
  void add_line(std::string text, std::uint64_t offset, std::size_t number);
  [[noreturn]] void fail_line(std::size_t number,
                              const std::string& what) const;

  std::string path_;
  int fd_ = -1;
  std::vector<Line> lines_;
  std::vector<std::string> names_;  // of each line
  // The lines of each check name, in order.
  std::map<std::string, std::vector<std::size_t>, std::less<>> by_name_;
  // The first line, decoded by the first pass, until a line is asked for.
  mutable std::optional<EarlierRun> kept_;
};

}  // namespace tarnwick

#endif  // TARNWICK_COMPARE_BASELINE_H_
