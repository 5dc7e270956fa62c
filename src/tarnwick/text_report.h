// The report as the operator reads it: one block per check on standard
// output.
#ifndef TARNWICK_TEXT_REPORT_H_
#define TARNWICK_TEXT_REPORT_H_

#include "tarnwick/output.h"
#include "tarnwick/report_writer.h"

namespace tarnwick {

// A block per check: its description line (when it has one), flushed before
// the check runs, so the last description written belongs to the check
// that failed; then its result in report notation and two empty lines,
// flushed. A failed check ends its block with "ERROR: KIND: MESSAGE"
// (escaped as error lines are) and two empty lines when the run goes on
// past it (with keep_going); a failure that ends the run adds nothing.
// Throws OutputError when out cannot be written.
class TextReport : public ReportWriter {
 public:
  explicit TextReport(Output& out) : out_(out) {}

  void check_started(std::string_view name,
                     const std::optional<std::string>& description) override;
  void check_finished(const Value& result) override;
  void check_failed(std::string_view name, const Error& error,
                    bool run_ends) override;

 private:
  Output& out_;
};

}  // namespace tarnwick

#endif  // TARNWICK_TEXT_REPORT_H_
