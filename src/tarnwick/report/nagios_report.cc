#include "tarnwick/report/nagios_report.h"

#include <string_view>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/exit_status.h"
#include "tarnwick/base/text.h"
#include "tarnwick/report/check_state.h"

namespace tarnwick {

namespace {

constexpr std::size_t kMaxNames = 10;
constexpr std::size_t kMaxDetails = 20;

constexpr const char* kStateNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// One line, escaped, with no "|" left to start the performance data.
std::string plugin_text(std::string_view s) {
  std::string text;
  for (const char c : escape_control_characters(s)) {
    if (c == '|') {
      text += "\\x7c";
    } else {
      text += c;
    }
  }
  return text;
}

// "a.cfg, b.cfg", the first kMaxNames, then "and N more".
std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size() && i < kMaxNames; ++i) {
    if (i > 0) text += ", ";
    text += names[i];
  }
  if (names.size() > kMaxNames)
    text += " and " + std::to_string(names.size() - kMaxNames) + " more";
  return text;
}

std::string checks_text(std::size_t n) { return counted(n, "check"); }

// What ended the run, "KIND: MESSAGE"; an interruption by what interrupted
// it, "interrupted by SIGTERM while waiting for ...".
std::string failure_text(const RunFailure& failure) {
  constexpr std::string_view kStoppedBy = "stopped by ";
  if (failure.kind == error_kind_name(ErrorKind::kInterrupted) &&
      failure.message.starts_with(kStoppedBy))
    return "interrupted by " + failure.message.substr(kStoppedBy.size());
  return failure.kind + ": " + failure.message;
}

class NagiosReport : public RunEndWriter {
 public:
  explicit NagiosReport(Output& out) : out_(out) {}

  void check_started(std::string_view,
                     const std::optional<std::string>&) override {}

  void check_finished(const CheckOutcome& outcome) override {
    const std::string prefix = outcome.name + ": ";
    ++finished_;
    ended_in_check_ = outcome.ends_run;
    if (outcome.failed()) {
      failed_.push_back(outcome.name);
      details_.push_back(prefix +
                         "ERROR: " + error_kind_name(outcome.error->kind()) +
                         ": " + outcome.error->what());
      for (const ElementFailure& f : outcome.failed_elements) {
        details_.push_back(prefix +
                           "ERROR: " + error_kind_name(f.error.kind()) + ": " +
                           f.error.what());
      }
    }
    const std::vector<std::string> unmet = unmet_expectations(outcome);
    if (!unmet.empty()) {
      unmet_count_ += unmet.size();
      std::string names;
      for (const std::string& name : unmet)
        names += (names.empty() ? "" : ", ") + name;
      unmet_.push_back(outcome.name + " (" + names + ")");
      for (const std::string& line : unmet_lines(outcome))
        details_.push_back(prefix + line);
    }
    const ResultChanges changes = result_changes(outcome);
    if (changes.count > 0) {
      changed_.push_back(outcome.name);
      for (const std::string& line : changes.lines)
        details_.push_back(prefix + line);
    }
  }

  void run_ended(const RunEnd& end) override {
    const std::size_t checks = end.checks.size();
    const int state = plugin_status(end.exit_status);
    std::vector<std::string> parts;
    // A check's failure is named with the check, in the long text.
    if (end.failure && !ended_in_check_)
      parts.push_back(failure_text(*end.failure));
    if (!failed_.empty()) {
      parts.push_back("checks failed: " + std::to_string(failed_.size()) +
                      " of " + std::to_string(checks) + ": " + listed(failed_));
    }
    if (checks > finished_)
      parts.push_back(checks_text(checks - finished_) + " not run");
    if (!unmet_.empty()) {
      parts.push_back("expectations failed: " + std::to_string(unmet_count_) +
                      " in " + std::to_string(unmet_.size()) + " of " +
                      checks_text(checks) + ": " + listed(unmet_));
    }
    if (!changed_.empty()) {
      parts.push_back("results changed: " + std::to_string(changed_.size()) +
                      " of " + checks_text(checks) + ": " + listed(changed_));
    }
    std::string summary;
    for (const std::string& part : parts)
      summary += (summary.empty() ? "" : "; ") + part;
    if (summary.empty()) {
      summary = state == 0 ? checks_text(checks) + ", all well"
                           : "exit status " + std::to_string(end.exit_status);
    }
    std::string text = "TARNWICK " + std::string(kStateNames[state]) + " - " +
                       plugin_text(summary) +
                       " | checks=" + std::to_string(checks) +
                       " failed=" + std::to_string(failed_.size()) +
                       " expectations_failed=" + std::to_string(unmet_count_) +
                       " changed=" + std::to_string(changed_.size()) +
                       " time=" + seconds_text(end.duration) + "s\n";
    for (std::size_t i = 0; i < details_.size() && i < kMaxDetails; ++i)
      text += plugin_text(details_[i]) + "\n";
    if (details_.size() > kMaxDetails)
      text +=
          "and " + std::to_string(details_.size() - kMaxDetails) + " more\n";
    out_.write(text);
    out_.flush();
  }

 private:
  Output& out_;
  std::size_t finished_ = 0;          // checks that ran or failed
  bool ended_in_check_ = false;       // the last one's failure ended the run
  std::vector<std::string> failed_;   // names of the failed checks
  std::vector<std::string> unmet_;    // "a.cfg (up, release)"
  std::size_t unmet_count_ = 0;       // expectations that do not hold
  std::vector<std::string> changed_;  // names of the changed checks
  std::vector<std::string> details_;  // the long text, unescaped
};

}  // namespace

int plugin_status(int exit_status) {
  switch (exit_status) {
    case kExitSuccess:
      return 0;
    case kExitAttention:
      return 1;
    case kExitFailure:
      return 2;
    default:
      return 3;
  }
}

std::string plugin_unknown_line(std::string_view text) {
  return "TARNWICK UNKNOWN - " + plugin_text(text) + "\n";
}

std::unique_ptr<RunEndWriter> make_nagios_report(Output& out) {
  return std::make_unique<NagiosReport>(out);
}

}  // namespace tarnwick
