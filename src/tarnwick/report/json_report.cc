#include "tarnwick/report/json_report.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tarnwick/report/json_writer.h"

namespace tarnwick {

namespace {

class JsonReport : public ReportWriter {
 public:
  JsonReport(Output& out, bool quiet) : out_(out), quiet_(quiet) {}

  void check_started(std::string_view name,
                     const std::optional<std::string>& description) override {
    name_ = name;
    description_ = description;
  }

  void check_finished(const CheckOutcome& outcome) override {
    // A check whose file could not be read never started.
    if (outcome.name != name_) description_.reset();
    if (!outcome.result) {
      open_line(outcome.name, "error");
      write_error(*outcome.error);
    } else if (outcome.failed_elements.empty()) {
      open_line(outcome.name, "result");
      write_json(outcome.result->node(), out_);
    } else {
      open_line(outcome.name, "result");
      write_partial(outcome);
      out_.write(", \"error\": ");
      write_error(*outcome.error);
    }
    if (!outcome.expectations.empty()) {
      out_.write(", \"expectations\": ");
      write_verdicts(outcome.expectations);
    }
    if (outcome.baseline) write_comparison(*outcome.baseline);
    close_line();
  }

  void check_planned(const CheckPlan& plan) override {
    open_line(name_, "requests");
    out_.put('[');
    for (const PlannedRequest& request : plan.requests) {
      if (&request != &plan.requests.front()) out_.write(", ");
      out_.write("{\"check\": ");
      write_json_string(request.check, out_);
      out_.write(", \"fields\": [");
      for (const PlannedField& field : request.fields) {
        if (&field != &request.fields.front()) out_.write(", ");
        write_field(field);
      }
      out_.write("], \"filters\": ");
      write_strings(request.filters);
      out_.write(", \"once_per_element\": ");
      out_.write(request.per_element ? "true}" : "false}");
    }
    out_.write("], \"filters\": ");
    write_strings(plan.requests.empty() ? std::vector<std::string>()
                                        : plan.requests.back().filters);
    if (!plan.comparison.empty()) {
      out_.write(", \"compare\": ");
      write_json_string(plan.comparison, out_);
    }
    if (!plan.expectations.empty()) {
      out_.write(", \"expectations\": [");
      for (const PlannedExpectation& e : plan.expectations) {
        if (&e != &plan.expectations.front()) out_.write(", ");
        out_.write("{\"name\": ");
        write_json_string(e.name, out_);
        out_.write(", \"expect\": ");
        write_json_string(e.text, out_);
        out_.put('}');
      }
      out_.put(']');
    }
    close_line();
  }

 private:
  // {"kind": "missing key", "message": "..."}
  void write_error(const Error& error) {
    out_.write("{\"kind\": ");
    write_json_string(error_kind_name(error.kind()), out_);
    out_.write(", \"message\": ");
    write_json_string(error.what(), out_);
    out_.put('}');
  }

  // The records of a compound check that lost some elements, each failed
  // element in its place as {"object": ELEMENT, "error": {...}}.
  void write_partial(const CheckOutcome& outcome) {
    const std::span<const Node> records = outcome.result->node().list();
    auto failure = outcome.failed_elements.begin();
    auto record = records.begin();
    out_.put('[');
    for (std::size_t i = 0; i < records.size() + outcome.failed_elements.size();
         ++i) {
      if (i > 0) out_.write(", ");
      if (failure != outcome.failed_elements.end() && failure->index == i) {
        out_.write("{\"object\": ");
        write_json(failure->element.node(), out_);
        out_.write(", \"error\": ");
        write_error(failure->error);
        out_.put('}');
        ++failure;
      } else {
        write_json(*record++, out_);
      }
    }
    out_.put(']');
  }

  // [{"name", "expect", "holds", "selected", "found": [{"path", "value"}]}]
  void write_verdicts(const std::vector<Verdict>& verdicts) {
    out_.put('[');
    for (const Verdict& v : verdicts) {
      if (&v != &verdicts.front()) out_.write(", ");
      out_.write("{\"name\": ");
      write_json_string(v.name, out_);
      out_.write(", \"expect\": ");
      write_json_string(v.text, out_);
      out_.write(", \"holds\": ");
      out_.write(!v.holds ? "null" : *v.holds ? "true" : "false");
      out_.write(", \"selected\": ");
      out_.write(std::to_string(v.selected));
      out_.write(", \"found\": [");
      for (const Finding& f : v.found) {
        if (&f != &v.found.front()) out_.write(", ");
        out_.write("{\"path\": ");
        write_json_string(f.path, out_);
        if (f.value) {
          out_.write(", \"value\": ");
          write_json(*f.value, out_);
        }
        out_.put('}');
      }
      out_.write("]}");
    }
    out_.put(']');
  }

  // , "changes": [{"change", "path", "before", "after"}], "compared": BOOL
  void write_comparison(const BaselineOutcome& baseline) {
    out_.write(", \"changes\": [");
    for (const Change& c : baseline.comparison.changes) {
      if (&c != &baseline.comparison.changes.front()) out_.write(", ");
      out_.write("{\"change\": ");
      out_.write(c.kind == Change::Kind::kChanged ? "\"changed\""
                 : c.kind == Change::Kind::kAdded ? "\"added\""
                                                  : "\"removed\"");
      out_.write(", \"path\": ");
      write_json_string(c.path, out_);
      if (c.before) {
        out_.write(", \"before\": ");
        write_json(*c.before, out_);
      }
      if (c.after) {
        out_.write(", \"after\": ");
        write_json(*c.after, out_);
      }
      out_.put('}');
    }
    out_.put(']');
    if (baseline.comparison.more_changes > 0) {
      out_.write(", \"more_changes\": ");
      out_.write(std::to_string(baseline.comparison.more_changes));
    }
    out_.write(", \"compared\": ");
    out_.write(baseline.compared ? "true" : "false");
  }

  // The line up to the value under `key`.
  void open_line(std::string_view name, std::string_view key) {
    out_.write("{\"check\": ");
    write_json_string(name, out_);
    out_.write(", \"description\": ");
    if (description_) {
      write_json_string(*description_, out_);
    } else {
      out_.write("null");
    }
    out_.write(", \"");
    out_.write(key);
    out_.write("\": ");
  }

  // ["NAME", VALUE]: a text as a string, a placeholder as an object.
  void write_field(const PlannedField& field) {
    out_.put('[');
    write_json_string(field.name, out_);
    out_.write(", ");
    switch (field.kind) {
      case PlannedField::Kind::kText:
        write_json_string(field.value, out_);
        break;
      case PlannedField::Kind::kSession:
        out_.write("{\"session\": true}");
        break;
      case PlannedField::Kind::kEachElement:
        out_.write("{\"each_element_of\": ");
        write_json_string(field.value, out_);
        out_.put('}');
        break;
    }
    out_.put(']');
  }

  void write_strings(const std::vector<std::string>& texts) {
    out_.put('[');
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (i > 0) out_.write(", ");
      write_json_string(texts[i], out_);
    }
    out_.put(']');
  }

  void close_line() {
    if (quiet_) out_.write(", \"quiet\": true");
    out_.write("}\n");
    out_.flush();
    name_.clear();
    description_.reset();
  }

  Output& out_;
  const bool quiet_;
  // Of the check that started last, until its line is written.
  std::string name_;
  std::optional<std::string> description_;
};

}  // namespace

std::unique_ptr<ReportWriter> make_json_report(Output& out, bool quiet) {
  return std::make_unique<JsonReport>(out, quiet);
}

}  // namespace tarnwick
