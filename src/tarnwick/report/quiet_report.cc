#include "tarnwick/report/quiet_report.h"

namespace tarnwick {

namespace {

class QuietReport : public ReportWriter {
 public:
  QuietReport(
      Output& out,
      const std::function<std::unique_ptr<ReportWriter>(Output&)>& make_writer)
      : out_(out), held_(-1), writer_(make_writer(held_)) {}

  void check_started(std::string_view name,
                     const std::optional<std::string>& description) override {
    // What an earlier check left (a plan) is not wanted.
    held_.take_text();
    writer_->check_started(name, description);
  }

  void check_finished(const CheckOutcome& outcome) override {
    writer_->check_finished(outcome);
    std::string part = held_.take_text();
    if (!outcome.failed() && !outcome.needs_attention()) return;
    out_.write(part);
    out_.flush();
  }

  void check_planned(const CheckPlan& plan) override {
    writer_->check_planned(plan);
  }

 private:
  Output& out_;
  Output held_;
  std::unique_ptr<ReportWriter> writer_;
};

}  // namespace

std::unique_ptr<ReportWriter> make_quiet_report(
    Output& out,
    const std::function<std::unique_ptr<ReportWriter>(Output&)>& make_writer) {
  return std::make_unique<QuietReport>(out, make_writer);
}

}  // namespace tarnwick
