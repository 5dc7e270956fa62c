#include "tarnwick/report/text_report.h"

#include <string>
#include <vector>

#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"
#include "tarnwick/report/notation.h"
#include "tarnwick/report/verdict_line.h"

namespace tarnwick {

namespace {

// "action='show'", "CID=<session id>", "name=<each element of items>".
std::string shown_field(const PlannedField& field) {
  std::string text = escape_control_characters(field.name) + "=";
  switch (field.kind) {
    case PlannedField::Kind::kText:
      return text + quote_text(field.value);
    case PlannedField::Kind::kSession:
      return text + "<session id>";
    case PlannedField::Kind::kEachElement:
      return text + "<each element of " +
             escape_control_characters(field.value) + ">";
  }
  return text;
}

// "'gateways', 'name & state'", or what no filter means.
std::string shown_filters(const std::vector<std::string>& filters) {
  if (filters.empty()) return "none, the whole reply";
  std::string text;
  for (std::size_t i = 0; i < filters.size(); ++i) {
    if (i > 0) text += ", ";
    text += quote_text(filters[i]);
  }
  return text;
}

class TextReport : public ReportWriter {
 public:
  explicit TextReport(Output& out) : out_(out) {}

  void check_started(std::string_view,
                     const std::optional<std::string>& description) override {
    if (!description) return;
    out_.write(*description);
    out_.put('\n');
    out_.flush();
  }

  void check_finished(const CheckOutcome& outcome) override {
    if (outcome.result) {
      pp(outcome.result->node(), out_);  // ends its last line
      for (const ElementFailure& failure : outcome.failed_elements)
        write_error_line(failure.error);
    } else {
      if (outcome.ends_run) return;
      write_error_line(*outcome.error);
    }
    // Judged over the records received, when some elements failed.
    const std::string note =
        outcome.result && outcome.error
            ? "partial: " + std::string(outcome.error->what())
            : std::string();
    for (const Verdict& verdict : outcome.expectations) {
      out_.write(verdict_line(verdict, note));
      out_.put('\n');
    }
    if (outcome.baseline) {
      for (const std::string& line : baseline_lines(*outcome.baseline)) {
        out_.write(line);
        out_.put('\n');
      }
    }
    out_.write("\n\n");
    out_.flush();
  }

  void check_planned(const CheckPlan& plan) override {
    for (const PlannedRequest& request : plan.requests) {
      const bool own = &request == &plan.requests.back();
      std::string line = "request " + escape_control_characters(request.check) +
                         (request.per_element ? ", once per element: " : ": ");
      for (std::size_t i = 0; i < request.fields.size(); ++i) {
        if (i > 0) line += ", ";
        line += shown_field(request.fields[i]);
      }
      if (!own) line += "; filters " + shown_filters(request.filters);
      out_.write(line);
      out_.put('\n');
    }
    const std::vector<std::string> none;
    out_.write("filters: ");
    out_.write(shown_filters(
        plan.requests.empty() ? none : plan.requests.back().filters));
    out_.put('\n');
    if (!plan.comparison.empty()) {
      out_.write(escape_control_characters("compare: " + plan.comparison));
      out_.put('\n');
    }
    for (const PlannedExpectation& e : plan.expectations) {
      out_.write(escape_control_characters("expect " + e.name + ": " + e.text));
      out_.put('\n');
    }
    out_.write("\n\n");
    out_.flush();
  }

 private:
  // "ERROR: KIND: MESSAGE", escaped as error lines are.
  void write_error_line(const Error& error) {
    out_.write("ERROR: ");
    out_.write(error_kind_name(error.kind()));
    out_.write(": ");
    out_.write(escape_control_characters(error.what()));
    out_.put('\n');
  }

  Output& out_;
};

}  // namespace

std::unique_ptr<ReportWriter> make_text_report(Output& out) {
  return std::make_unique<TextReport>(out);
}

}  // namespace tarnwick
