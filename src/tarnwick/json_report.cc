#include "tarnwick/json_report.h"

#include <optional>
#include <string>

#include "tarnwick/json_writer.h"

namespace tarnwick {

namespace {

class JsonReport : public ReportWriter {
 public:
  explicit JsonReport(Output& out) : out_(out) {}

  void check_started(std::string_view name,
                     const std::optional<std::string>& description) override {
    name_ = name;
    description_ = description;
  }

  void check_finished(const Value& result) override {
    open_line(name_, "result");
    write_json(result.node(), out_);
    close_line();
  }

  void check_failed(std::string_view name, const Error& error, bool) override {
    // A check whose file could not be read never started.
    if (name != name_) description_.reset();
    open_line(name, "error");
    out_.write("{\"kind\": ");
    write_json_string(error_kind_name(error.kind()), out_);
    out_.write(", \"message\": ");
    write_json_string(error.what(), out_);
    out_.put('}');
    close_line();
  }

 private:
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

  void close_line() {
    out_.write("}\n");
    out_.flush();
    name_.clear();
    description_.reset();
  }

  Output& out_;
  // Of the check that started last, until its line is written.
  std::string name_;
  std::optional<std::string> description_;
};

}  // namespace

std::unique_ptr<ReportWriter> make_json_report(Output& out) {
  return std::make_unique<JsonReport>(out);
}

}  // namespace tarnwick
