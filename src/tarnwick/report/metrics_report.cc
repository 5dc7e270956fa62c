#include "tarnwick/report/metrics_report.h"

#include <chrono>
#include <map>
#include <optional>
#include <vector>

#include "tarnwick/base/text.h"
#include "tarnwick/report/check_state.h"

namespace tarnwick {

namespace {

// What the metrics keep of one check.
struct CheckSeries {
  std::string name;
  CheckState state = CheckState::kWell;
  Clock::Duration duration{};
  // Judged expectations: name and whether it holds.
  std::vector<std::pair<std::string, bool>> expectations;
  std::optional<std::size_t> changes;  // set when compared
  std::string labels;                  // check, controller, run
};

struct Family {
  std::string_view name;
  std::string_view help;
};

constexpr Family kStatus{"tarnwick_check_status",
                         "How the check ended: 0 all well, 1 an expectation "
                         "does not hold or the result changed, 2 it failed."};
constexpr Family kHolds{"tarnwick_expectation_holds",
                        "Whether the expectation holds (1) or not (0); an "
                        "expectation not judged has no sample."};
constexpr Family kChanges{
    "tarnwick_check_changes",
    "Changes in the check's result since the earlier run it was compared "
    "with."};
constexpr Family kDuration{"tarnwick_check_duration_seconds",
                           "How long the check took."};
constexpr Family kChecks{"tarnwick_run_checks",
                         "The checks the run set out to run."};
constexpr Family kFailed{"tarnwick_run_checks_failed",
                         "The checks of the run that failed."};
constexpr Family kRunDuration{"tarnwick_run_duration_seconds",
                              "How long the run took."};
constexpr Family kRequests{"tarnwick_run_requests",
                           "The requests the run sent, failed ones included."};
constexpr Family kBytes{"tarnwick_run_reply_bytes",
                        "The bytes of the reply bodies the run received, as "
                        "they arrived."};
constexpr Family kExitStatus{"tarnwick_run_exit_status",
                             "The exit status of the run: 0 all well, 1 a "
                             "failure, 3 something needs attention."};
constexpr Family kTimestamp{"tarnwick_run_timestamp_seconds",
                            "When the run started, in seconds since the "
                            "epoch."};

class MetricsReport : public RunEndWriter {
 public:
  MetricsReport(Output& out, bool controller_label)
      : out_(out), controller_label_(controller_label) {}

  void check_started(std::string_view,
                     const std::optional<std::string>&) override {}

  void check_finished(const CheckOutcome& outcome) override {
    CheckSeries c;
    c.name = outcome.name;
    c.state = check_state(outcome);
    c.duration = outcome.duration;
    for (const Verdict& v : outcome.expectations) {
      if (v.holds) c.expectations.emplace_back(v.name, *v.holds);
    }
    const ResultChanges changes = result_changes(outcome);
    if (changes.compared) c.changes = changes.count;
    checks_.push_back(std::move(c));
  }

  void run_ended(const RunEnd& end) override {
    const std::string controller =
        controller_label_ ? "controller=\"" + label_value(end.controller) + "\""
                          : std::string();
    label_checks(end, controller);
    std::size_t failed = 0;
    for (const CheckSeries& c : checks_)
      failed += c.state == CheckState::kFailed;

    family(kStatus, [&](const CheckSeries& c) {
      sample(kStatus, c.labels, std::to_string(static_cast<int>(c.state)));
    });
    family(kHolds, [&](const CheckSeries& c) {
      for (const auto& [name, holds] : c.expectations) {
        sample(kHolds, c.labels + ",expectation=\"" + label_value(name) + "\"",
               holds ? "1" : "0");
      }
    });
    family(kChanges, [&](const CheckSeries& c) {
      if (c.changes) sample(kChanges, c.labels, std::to_string(*c.changes));
    });
    family(kDuration, [&](const CheckSeries& c) {
      sample(kDuration, c.labels, seconds_text(c.duration));
    });
    run_sample(kChecks, controller, std::to_string(end.checks.size()));
    run_sample(kFailed, controller, std::to_string(failed));
    run_sample(kRunDuration, controller, seconds_text(end.duration));
    run_sample(kRequests, controller, std::to_string(end.requests));
    run_sample(kBytes, controller, std::to_string(end.reply_bytes));
    run_sample(kExitStatus, controller, std::to_string(end.exit_status));
    run_sample(kTimestamp, controller,
               seconds_text(end.started.time_since_epoch()));
  }

 private:
  // The labels of each check's series: a run number where the run set out
  // to run the check more than once.
  void label_checks(const RunEnd& end, const std::string& controller) {
    std::map<std::string, std::size_t> planned;
    for (const std::string& name : end.checks) ++planned[name];
    std::map<std::string, std::size_t> runs;
    for (CheckSeries& c : checks_) {
      c.labels = "check=\"" + label_value(c.name) + "\"";
      if (!controller.empty()) c.labels += "," + controller;
      const std::size_t run = ++runs[c.name];
      if (planned[c.name] > 1)
        c.labels += ",run=\"" + std::to_string(run) + "\"";
    }
  }

  // The family's samples, by `samples` for each check, after its HELP and
  // TYPE lines; nothing when it has none.
  template <typename Samples>
  void family(const Family& f, const Samples& samples) {
    const std::size_t start = body_.size();
    for (const CheckSeries& c : checks_) samples(c);
    if (body_.size() == start) return;
    std::string lines = header(f);
    lines += body_.substr(start);
    body_.resize(start);
    out_.write(lines);
  }

  void sample(const Family& f, const std::string& labels,
              const std::string& value) {
    body_ += std::string(f.name) + "{" + labels + "} " + value + "\n";
  }

  void run_sample(const Family& f, const std::string& labels,
                  const std::string& value) {
    std::string line = header(f) + std::string(f.name);
    if (!labels.empty()) line += "{" + labels + "}";
    out_.write(line + " " + value + "\n");
  }

  static std::string header(const Family& f) {
    return "# HELP " + std::string(f.name) + " " + std::string(f.help) +
           "\n# TYPE " + std::string(f.name) + " gauge\n";
  }

  Output& out_;
  const bool controller_label_;
  std::vector<CheckSeries> checks_;
  std::string body_;  // samples of the family being written
};

}  // namespace

std::string label_value(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  while (pos < s.size()) {
    const char b = s[pos];
    if (static_cast<unsigned char>(b) >= 0x80) {
      const std::size_t start = pos;
      char32_t c;
      if (decode_utf8(s, pos, c)) {
        out.append(s.substr(start, pos - start));
      } else {
        out += "\xEF\xBF\xBD";  // U+FFFD
        ++pos;
      }
      continue;
    }
    ++pos;
    if (b == '\\') {
      out += "\\\\";
    } else if (b == '"') {
      out += "\\\"";
    } else if (b == '\n') {
      out += "\\n";
    } else {
      out += b;
    }
  }
  return out;
}

std::unique_ptr<RunEndWriter> make_metrics_report(Output& out) {
  return std::make_unique<MetricsReport>(out, true);
}

std::unique_ptr<RunEndWriter> make_scrape_metrics_report(Output& out) {
  return std::make_unique<MetricsReport>(out, false);
}

}  // namespace tarnwick
