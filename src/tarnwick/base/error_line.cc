#include "tarnwick/base/error_line.h"

#include "tarnwick/base/error.h"
#include "tarnwick/base/text.h"

namespace tarnwick {

std::string error_line(std::string_view kind, std::string_view message) {
  std::string line = "tarnwick: ";
  line += kind;
  line += ": ";
  line += escape_control_characters(message);
  line += '\n';
  return line;
}

void write_line_quietly(Output& err, std::string_view line) {
  try {
    err.write(line);
    err.flush();
  } catch (const Error&) {
    // Nowhere left to report it.
  }
}

}  // namespace tarnwick
