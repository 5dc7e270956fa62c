#include "tarnwick/app/end_reports.h"

#include <new>

#include "tarnwick/base/atomic_file.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/error_line.h"
#include "tarnwick/base/exit_status.h"
#include "tarnwick/report/html_report.h"
#include "tarnwick/report/junit_report.h"
#include "tarnwick/report/metrics_report.h"
#include "tarnwick/report/nagios_report.h"

namespace tarnwick {

namespace {

// What ended the run, as its error line names it (failure_report.h).
RunFailure failure_of(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Error& e) {
    return {error_kind_name(e.kind()), e.what()};
  } catch (const std::bad_alloc&) {
    return {"internal error", "out of memory"};
  } catch (const std::exception& e) {
    return {"internal error", e.what()};
  } catch (...) {
    return {"internal error", "unknown failure"};
  }
}

}  // namespace

EndReports::EndReports(const CommandLine& command_line, Output& out,
                       Clock& clock)
    : controller_(command_line.controller_ip.value_or("")),
      check_dir_(command_line.config_dir.value_or("")),
      clock_(clock),
      start_(clock.now()),
      started_(clock.wall_time()) {
  auto add_file = [&](const std::string& path, const char* what, auto make) {
    auto file = std::make_unique<File>();
    file->path = path;
    file->what = what;
    file->writer = make(file->text);
    writers_.push_back(file->writer.get());
    files_.push_back(std::move(file));
  };
  if (command_line.report_junit)
    add_file(*command_line.report_junit, "the JUnit report", make_junit_report);
  if (command_line.report_html)
    add_file(*command_line.report_html, "the HTML report", make_html_report);
  if (command_line.metrics)
    add_file(*command_line.metrics, "the metrics file", make_metrics_report);
  if (command_line.nagios) {
    nagios_ = make_nagios_report(out);
    writers_.push_back(nagios_.get());
  }
}

EndReports::~EndReports() = default;

void EndReports::check_files() {
  for (const auto& file : files_) check_file_writable(file->path, file->what);
  files_checked_ = true;
}

std::vector<ReportWriter*> EndReports::writers() const {
  return std::vector<ReportWriter*>(writers_.begin(), writers_.end());
}

int EndReports::finish(int status, const std::exception_ptr& failure,
                       const RunSettings& settings, Output& err) {
  if (!any()) return status;
  RunEnd end;
  if (failure) end.failure = failure_of(failure);
  end.checks = checks_;
  end.controller =
      settings.controller_ip.empty() ? controller_ : settings.controller_ip;
  end.check_dir =
      settings.config_dir.empty() ? check_dir_ : settings.config_dir;
  end.requests = traffic_.requests;
  end.reply_bytes = traffic_.reply_bytes;
  end.started = started_;
  end.duration = clock_.now() - start_;
  for (const auto& file : files_) {
    if (!files_checked_) break;
    end.exit_status = status;
    try {
      file->writer->run_ended(end);
      write_file_atomically(file->path, file->text.take_text(), file->what);
    } catch (const Error& e) {
      write_line_quietly(err, error_line(error_kind_name(e.kind()), e.what()));
      if (status == kExitSuccess || status == kExitAttention)
        status = kExitFailure;
      // The reports written after it tell of it.
      if (!end.failure)
        end.failure = RunFailure{error_kind_name(e.kind()), e.what()};
    }
  }
  if (!nagios_) return status;
  end.exit_status = status;
  try {
    nagios_->run_ended(end);
  } catch (const Error&) {
    // Standard output went away: the plugin's status is unknown.
    return plugin_status(kExitBrokenPipe);
  }
  return plugin_status(status);
}

}  // namespace tarnwick
