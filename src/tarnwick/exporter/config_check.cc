#include "tarnwick/exporter/config_check.h"

#include <memory>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/error_line.h"
#include "tarnwick/base/exit_status.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/report/report_writer.h"
#include "tarnwick/suite/dry_run.h"
#include "tarnwick/suite/suite_run.h"

namespace tarnwick {

namespace {

// The plans are not shown: only what is wrong with them.
class NoReport : public ReportWriter {
 public:
  void check_started(std::string_view,
                     const std::optional<std::string>&) override {}
  void check_finished(const CheckOutcome&) override {}
  void check_planned(const CheckPlan&) override {}
};

}  // namespace

int check_configuration(const std::string& file, ConfigFiles& files,
                        Output& out, Output& err) {
  std::vector<std::string> problems;
  const std::shared_ptr<const ExporterConfig> config =
      read_exporter_config(file, files, problems);
  for (const std::string& problem : problems)
    write_line_quietly(err, "tarnwick_exporter: " + problem + "\n");
  if (!config) return kExitFailure;
  std::size_t checks = 0;
  std::size_t wrong = 0;
  for (const auto& [name, module] : config->modules) {
    std::vector<std::string> names = module.only;
    if (names.empty()) {
      try {
        names = list_checks(module.checks);
      } catch (const Error& e) {
        write_line_quietly(err,
                           error_line(error_kind_name(e.kind()), e.what()));
        ++wrong;
        continue;
      }
      if (names.empty()) {
        write_line_quietly(
            err, error_line("warning", no_checks_warning(module.checks)));
        ++wrong;
      }
    }
    NoReport report;
    PlannedSections sections;
    sections.expect = module.expect;
    std::vector<std::string> failed;
    wrong += dry_run(module.checks, names, sections, report, err, failed);
    wrong += failed.size();
    checks += names.size();
  }
  if (wrong > 0) {
    write_line_quietly(err, "tarnwick_exporter: " + std::to_string(wrong) +
                                " problems in the check directories of " +
                                quote_text(file) + "\n");
    return kExitFailure;
  }
  write_line_quietly(
      out, file + ": " + std::to_string(config->modules.size()) +
               " modules with " + std::to_string(checks) + " checks, " +
               std::to_string(config->auths.size()) + " auths: no problems\n");
  return kExitSuccess;
}

}  // namespace tarnwick
