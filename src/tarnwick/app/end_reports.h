// The reports written when a run ends (--report-junit, --report-html,
// --metrics, --nagios)
// and what the run tells them on the way.
#ifndef TARNWICK_APP_END_REPORTS_H_
#define TARNWICK_APP_END_REPORTS_H_

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "tarnwick/app/command_line.h"
#include "tarnwick/app/traced_transport.h"
#include "tarnwick/base/clock.h"
#include "tarnwick/base/output.h"
#include "tarnwick/check/run_settings.h"
#include "tarnwick/report/run_end.h"

namespace tarnwick {

// Made when the run starts (its start is timed from there). Without the
// four options it has no writers and finish() changes nothing.
class EndReports {
 public:
  // out is standard output, where the plugin's status line goes. out and
  // clock must outlive it.
  EndReports(const CommandLine& command_line, Output& out, Clock& clock);
  EndReports(const EndReports&) = delete;
  EndReports& operator=(const EndReports&) = delete;
  ~EndReports();

  // Whether any of the four options was given.
  bool any() const { return !writers_.empty(); }

  // Checks that each file can be put in place (check_file_writable); throws
  // the first Error. Called before anything is sent; files are written only
  // once it has passed.
  void check_files();

  // The writers to hand the events of the checks to.
  std::vector<ReportWriter*> writers() const;

  // Where the run's requests are counted (TracedTransport).
  Traffic& traffic() { return traffic_; }

  // The checks the run sets out to run, in order.
  void set_checks(const std::vector<std::string>& names) { checks_ = names; }

  // The run ended with exit status `status`, `failure` being what ended it
  // (null when it got to its end). Writes each file (a file that cannot be
  // written is an error line on err and makes status 1 where it was 0 or
  // 3), then the status line. Returns the process's exit status: status,
  // or with --nagios the plugin's (plugin_status). settings tells the
  // controller and check directory as far as they were fixed.
  int finish(int status, const std::exception_ptr& failure,
             const RunSettings& settings, Output& err);

 private:
  struct File {
    std::string path;
    std::string what;  // "the metrics file"
    Output text{-1};
    std::unique_ptr<RunEndWriter> writer;
  };

  std::vector<std::unique_ptr<File>> files_;
  std::unique_ptr<RunEndWriter> nagios_;
  std::vector<RunEndWriter*> writers_;
  bool files_checked_ = false;
  std::string controller_;  // as given on the command line
  std::string check_dir_;
  std::vector<std::string> checks_;
  Traffic traffic_;
  Clock& clock_;
  Clock::TimePoint start_;
  Clock::WallTime started_;
};

}  // namespace tarnwick

#endif  // TARNWICK_APP_END_REPORTS_H_
