#include "tarnwick/report/junit_report.h"

#include <time.h>

#include <optional>
#include <vector>

#include "tarnwick/base/text.h"
#include "tarnwick/report/check_state.h"
#include "tarnwick/report/text_report.h"

namespace tarnwick {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// "2024-05-01T12:00:00", in UTC.
std::string timestamp_text(Clock::WallTime t) {
  const time_t seconds = std::chrono::system_clock::to_time_t(t);
  struct tm utc;
  char text[32] = "";
  if (gmtime_r(&seconds, &utc) != nullptr)
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return text;
}

// How many bytes at the end of s start a UTF-8 sequence that is not
// complete (a block cut in the middle of a character).
std::size_t incomplete_tail(std::string_view s) {
  for (std::size_t back = 1; back <= 3 && back <= s.size(); ++back) {
    const auto b = static_cast<unsigned char>(s[s.size() - back]);
    if ((b & 0xC0) == 0x80) continue;  // a continuation byte
    const std::size_t length = b >= 0xF0   ? 4
                               : b >= 0xE0 ? 3
                               : b >= 0xC0 ? 2
                                           : 1;
    return length > back ? back : 0;
  }
  return 0;
}

// "expectations failed: up, release; result changed: 3 changes"
std::string failure_message(const std::vector<std::string>& unmet,
                            const ResultChanges& changes) {
  std::string message;
  if (!unmet.empty()) {
    message = "expectations failed: ";
    for (const std::string& name : unmet) {
      if (&name != &unmet.front()) message += ", ";
      message += name;
    }
  }
  if (changes.count > 0) {
    if (!message.empty()) message += "; ";
    message += "result changed: " + std::to_string(changes.count) +
               (changes.count == 1 ? " change" : " changes");
  }
  return message;
}

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
  explicit JunitReport(Output& out)
      : out_(out), held_(-1), text_(make_text_report(held_)) {
    held_.set_text_limit(kMaxJunitBlock);
  }

  void check_started(std::string_view name,
                     const std::optional<std::string>& description) override {
    held_.take_text();
    text_->check_started(name, description);
  }

  void check_finished(const CheckOutcome& outcome) override {
    // The block as a run that goes on would show it: with its ERROR line.
    if (outcome.ends_run) {
      CheckOutcome shown = outcome;
      shown.ends_run = false;
      text_->check_finished(shown);
    } else {
      text_->check_finished(outcome);
    }
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
               timestamp_text(end.started) + "\" hostname=\"" +
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
      c.message = failure_message(unmet_expectations(outcome), changes);
    }
    for (std::string& line : unmet_lines(outcome)) lines.push_back(line);
    for (const std::string& line : changes.lines) lines.push_back(line);
    for (const std::string& line : lines) c.details += line + "\n";
    std::size_t dropped = held_.dropped();
    c.block = held_.take_text();
    if (dropped > 0) {
      const std::size_t tail = incomplete_tail(c.block);
      c.block.resize(c.block.size() - tail);
      dropped += tail;
      c.block += "\n[cut at 64 KiB: " + counted(dropped, "more byte") +
                 " of the block " + (dropped == 1 ? "is" : "are") +
                 " not shown]\n";
    }
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
  Output held_;
  std::unique_ptr<ReportWriter> text_;
  std::vector<TestCase> cases_;
};

}  // namespace

std::string xml_escaped(std::string_view s, bool attribute) {
  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  while (pos < s.size()) {
    const char b = s[pos];
    if (static_cast<unsigned char>(b) >= 0x80) {
      const std::size_t start = pos;
      char32_t c;
      if (!decode_utf8(s, pos, c, true)) {
        out += kReplacement;
        ++pos;
      } else if ((c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF) {
        out += kReplacement;
      } else {
        out.append(s.substr(start, pos - start));
      }
      continue;
    }
    ++pos;
    switch (b) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\r':
        out += "&#13;";
        break;
      case '\t':
        out += attribute ? "&#9;" : "\t";
        break;
      case '\n':
        out += attribute ? "&#10;" : "\n";
        break;
      default:
        if (static_cast<unsigned char>(b) < 0x20) {
          out += kReplacement;
        } else {
          out += b;
        }
    }
  }
  return out;
}

std::unique_ptr<RunEndWriter> make_junit_report(Output& out) {
  return std::make_unique<JunitReport>(out);
}

}  // namespace tarnwick
