#include "tarnwick/report/junit_report.h"

#include <optional>
#include <vector>

#include "tarnwick/report/check_block.h"
#include "tarnwick/report/check_state.h"
#include "tarnwick/report/markup_escape.h"

namespace tarnwick {

namespace {

// One check as its test case shows it.
struct TestCase {
  std::string name;
  Clock::Duration duration{};
  CheckState state = CheckState::kWell;
  std::string error_kind;  // of a failed check
  std::string message;     // of its <failure> or <error>
  std::string details;     // the text of its <failure> or <error>
  std::string block;       // its report block, cut short
  bool ends_run = false;   // its failure ended the run
};

class JunitReport : public RunEndWriter {
 public:
  explicit JunitReport(Output& out) : out_(out) {}

  void check_started(std::string_view name,
                     const std::optional<std::string>& description) override {
    blocks_.check_started(name, description);
  }

  void check_finished(const CheckOutcome& outcome) override {
    cases_.push_back(test_case(outcome));
  }

  void run_ended(const RunEnd& end) override {
    std::optional<TestCase> run_case;
    const bool in_a_check = !cases_.empty() && cases_.back().ends_run;
    if (end.failure && !in_a_check) {
      run_case.emplace();
      run_case->name = kJunitRunCase;
      run_case->state = CheckState::kFailed;
      run_case->error_kind = end.failure->kind;
      run_case->message = end.failure->message;
      run_case->details = end.failure->kind + ": " + end.failure->message;
    }
    const std::size_t skipped = end.checks.size() > cases_.size()
                                    ? end.checks.size() - cases_.size()
                                    : 0;
    std::size_t failures = 0;
    std::size_t errors = run_case ? 1 : 0;
    for (const TestCase& c : cases_) {
      failures += c.state == CheckState::kAttention;
      errors += c.state == CheckState::kFailed;
    }
    const std::string classname = xml_escaped(end.check_dir, true);
    out_.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n");
    out_.write("  <testsuite name=\"tarnwick\" tests=\"" +
               std::to_string(cases_.size() + skipped + (run_case ? 1 : 0)) +
               "\" failures=\"" + std::to_string(failures) + "\" errors=\"" +
               std::to_string(errors) + "\" skipped=\"" +
               std::to_string(skipped) + "\" time=\"" +
               seconds_text(end.duration) + "\" timestamp=\"" +
               utc_timestamp_text(end.started) + "\" hostname=\"" +
               xml_escaped(end.controller, true) + "\">\n");
    out_.write(
        "    <properties>\n      <property name=\"exit_status\" value=\"" +
        std::to_string(end.exit_status) + "\"/>\n    </properties>\n");
    for (const TestCase& c : cases_) write_case(c, classname);
    for (std::size_t i = cases_.size(); i < cases_.size() + skipped; ++i) {
      out_.write("    <testcase name=\"" + xml_escaped(end.checks[i], true) +
                 "\" classname=\"" + classname +
                 "\" time=\"0.000\">\n      <skipped/>\n    </testcase>\n");
    }
    if (run_case) write_case(*run_case, classname);
    out_.write("  </testsuite>\n</testsuites>\n");
  }

 private:
  TestCase test_case(const CheckOutcome& outcome) {
    TestCase c;
    c.name = outcome.name;
    c.duration = outcome.duration;
    c.state = check_state(outcome);
    c.ends_run = outcome.ends_run;
    const ResultChanges changes = result_changes(outcome);
    std::vector<std::string> lines;
    if (outcome.error) {
      c.error_kind = error_kind_name(outcome.error->kind());
      c.message = outcome.error->what();
      lines.push_back(c.error_kind + ": " + c.message);
      for (const ElementFailure& f : outcome.failed_elements) {
        lines.push_back(std::string(error_kind_name(f.error.kind())) + ": " +
                        f.error.what());
      }
    } else {
      c.message = attention_summary(outcome);
    }
    for (std::string& line : unmet_lines(outcome)) lines.push_back(line);
    for (const std::string& line : changes.lines) lines.push_back(line);
    for (const std::string& line : lines) c.details += line + "\n";
    c.block = blocks_.check_finished(outcome);
    return c;
  }

  void write_case(const TestCase& c, const std::string& classname) {
    out_.write("    <testcase name=\"" + xml_escaped(c.name, true) +
               "\" classname=\"" + classname + "\" time=\"" +
               seconds_text(c.duration) + "\">\n");
    if (c.state == CheckState::kFailed) {
      out_.write("      <error type=\"" + xml_escaped(c.error_kind, true) +
                 "\" message=\"" + xml_escaped(c.message, true) + "\">" +
                 xml_escaped(c.details, false) + "</error>\n");
    } else if (c.state == CheckState::kAttention) {
      out_.write("      <failure message=\"" + xml_escaped(c.message, true) +
                 "\">" + xml_escaped(c.details, false) + "</failure>\n");
    }
    if (!c.block.empty()) {
      out_.write("      <system-out>" + xml_escaped(c.block, false) +
                 "</system-out>\n");
    }
    out_.write("    </testcase>\n");
  }

  Output& out_;
  CheckBlocks blocks_;
  std::vector<TestCase> cases_;
};

}  // namespace

std::unique_ptr<RunEndWriter> make_junit_report(Output& out) {
  return std::make_unique<JunitReport>(out);
}

}  // namespace tarnwick
