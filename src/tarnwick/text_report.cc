#include "tarnwick/text_report.h"

#include "tarnwick/notation.h"

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

void TextReport::check_failed(std::string_view, const Error&) {}

}  // namespace tarnwick
