// Where the outcome of each check of a run goes: the report on standard
// output is one implementation (text_report.h).
#ifndef TARNWICK_REPORT_REPORT_WRITER_H_
#define TARNWICK_REPORT_REPORT_WRITER_H_

#include <optional>
#include <string>
#include <string_view>

#include "tarnwick/base/error.h"
#include "tarnwick/base/value.h"
#include "tarnwick/check/check_plan.h"

namespace tarnwick {

class ReportWriter {
 public:
  virtual ~ReportWriter() = default;

  // The check file `name` (as the check directory lists it) has been read;
  // description is its description when it can be read. Comes before the
  // check sends anything.
  virtual void check_started(std::string_view name,
                             const std::optional<std::string>& description) = 0;

  // The check that started last returned `result`.
  virtual void check_finished(const Value& result) = 0;

  // The check that started last would send what `plan` says (a dry run).
  virtual void check_planned(const CheckPlan& plan) = 0;

  // The check `name` failed with `error`: after check_started, or without it
  // when its file could not be read. run_ends says whether the run ends
  // with it, or goes on with the next check.
  virtual void check_failed(std::string_view name, const Error& error,
                            bool run_ends) = 0;
};

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_REPORT_WRITER_H_
