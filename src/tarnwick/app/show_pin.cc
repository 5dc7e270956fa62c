#include "tarnwick/app/show_pin.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnwick/base/text.h"
#include "tarnwick/report/json_writer.h"

namespace tarnwick {

void write_certificate(const TlsCertificate& certificate, bool json,
                       Output& out) {
  const std::pair<std::string_view, const std::string*> texts[] = {
      {"pin", &certificate.pin},
      {"subject", &certificate.subject},
      {"issuer", &certificate.issuer},
      {"not_before", &certificate.not_before},
      {"not_after", &certificate.not_after},
  };
  const char* separator = json ? "{" : "";
  const auto write_name = [&](std::string_view name) {
    out.write(separator);
    if (json) {
      write_json_string(name, out);
      out.write(": ");
      separator = ", ";
    } else {
      out.write(name);
      out.write(": ");
    }
  };
  const auto write_text = [&](std::string_view name, const std::string& text) {
    write_name(name);
    if (json) {
      write_json_string(text, out);
    } else {
      out.write(escape_control_characters(text));
      out.put('\n');
    }
  };
  for (const auto& [name, text] : texts) write_text(name, *text);
  if (json) {
    write_name("subject_alt_names");
    out.put('[');
    for (std::size_t i = 0; i < certificate.alt_names.size(); ++i) {
      if (i > 0) out.write(", ");
      write_json_string(certificate.alt_names[i], out);
    }
    out.put(']');
  } else {
    write_text("subject_alt_names", join_with_commas(certificate.alt_names));
  }
  write_text("sha256_fingerprint", certificate.sha256_fingerprint);
  if (json) out.write("}\n");
}

}  // namespace tarnwick
