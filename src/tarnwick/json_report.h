// The report as programs read it (--json): JSON Lines, one object per check.
#ifndef TARNWICK_JSON_REPORT_H_
#define TARNWICK_JSON_REPORT_H_

#include <optional>
#include <string>

#include "tarnwick/output.h"
#include "tarnwick/report_writer.h"

namespace tarnwick {

// One line per check, written and flushed when the check ends:
//   {"check": "a.cfg", "description": "Gateways", "result": VALUE}
//   {"check": "a.cfg", "description": null,
//    "error": {"kind": "missing key", "message": "..."}}
// "description" is null when the check has none (or its file could not be
// read); VALUE is the result in write_json's mapping. A line cut short (an
// interruption, a closed pipe) lacks its line end. Throws OutputError when
// out cannot be written.
class JsonReport : public ReportWriter {
 public:
  explicit JsonReport(Output& out) : out_(out) {}

  void check_started(std::string_view name,
                     const std::optional<std::string>& description) override;
  void check_finished(const Value& result) override;
  void check_failed(std::string_view name, const Error& error,
                    bool run_ends) override;

 private:
  // Writes the line's start, up to the key of what follows.
  void open_line(std::string_view name,
                 const std::optional<std::string>& description,
                 std::string_view key);

  Output& out_;
  std::string name_;
  std::optional<std::string> description_;
};

}  // namespace tarnwick

#endif  // TARNWICK_JSON_REPORT_H_
