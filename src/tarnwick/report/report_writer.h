// Where the outcome of each check of a run goes: the report on standard
// output is one implementation (text_report.h), JSON Lines another
// (json_report.h); ForwardingReport hands every event to several.
#ifndef TARNWICK_REPORT_REPORT_WRITER_H_
#define TARNWICK_REPORT_REPORT_WRITER_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/check/check_plan.h"
#include "tarnwick/report/outcome.h"

namespace tarnwick {

class ReportWriter {
 public:
  virtual ~ReportWriter() = default;

  // The check file `name` (as the check directory lists it) has been read;
  // description is its description when it can be read. Comes before the
  // check sends anything.
  virtual void check_started(std::string_view name,
                             const std::optional<std::string>& description) = 0;

  // The check has ended: it ran, or it failed (outcome.error), after
  // check_started or without it when its file could not be read.
  virtual void check_finished(const CheckOutcome& outcome) = 0;

  // The check that started last would send what `plan` says (a dry run).
  virtual void check_planned(const CheckPlan& plan) = 0;
};

// Hands every event to each of its writers in turn, in the order given.
class ForwardingReport : public ReportWriter {
 public:
  explicit ForwardingReport(std::vector<ReportWriter*> writers)
      : writers_(std::move(writers)) {}

  void check_started(std::string_view name,
                     const std::optional<std::string>& description) override {
    for (ReportWriter* w : writers_) w->check_started(name, description);
  }
  void check_finished(const CheckOutcome& outcome) override {
    for (ReportWriter* w : writers_) w->check_finished(outcome);
  }
  void check_planned(const CheckPlan& plan) override {
    for (ReportWriter* w : writers_) w->check_planned(plan);
  }

 private:
  std::vector<ReportWriter*> writers_;
};

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_REPORT_WRITER_H_
