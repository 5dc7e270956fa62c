#include "tarnwick/text_report.h"

#include "tarnwick/notation.h"
#include "tarnwick/text.h"

namespace tarnwick {

void TextReport::check_started(std::string_view,
                               const std::optional<std::string>& description) {
  if (!description) return;
  out_.write(*description);
  out_.put('\n');
  out_.flush();
}

void TextReport::check_finished(const Value& result) {
  pp(result.node(), out_);
  out_.write("\n\n");
  out_.flush();
}

void TextReport::check_failed(std::string_view, const Error& error,
                              bool run_ends) {
  if (run_ends) return;
  out_.write("ERROR: ");
  out_.write(error_kind_name(error.kind()));
  out_.write(": ");
  out_.write(escape_control_characters(error.what()));
  out_.write("\n\n\n");
  out_.flush();
}

}  // namespace tarnwick
