#include "tarnwick/text_report.h"

#include "tarnwick/notation.h"
#include "tarnwick/text.h"

namespace tarnwick {

namespace {

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

  void check_finished(const Value& result) override {
    pp(result.node(), out_);
    out_.write("\n\n");
    out_.flush();
  }

  void check_failed(std::string_view, const Error& error,
                    bool run_ends) override {
    if (run_ends) return;
    out_.write("ERROR: ");
    out_.write(error_kind_name(error.kind()));
    out_.write(": ");
    out_.write(escape_control_characters(error.what()));
    out_.write("\n\n\n");
    out_.flush();
  }

 private:
  Output& out_;
};

}  // namespace

std::unique_ptr<ReportWriter> make_text_report(Output& out) {
  return std::make_unique<TextReport>(out);
}

}  // namespace tarnwick
