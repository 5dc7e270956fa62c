#include "tarnwick/suite/suite_run.h"

#include <dirent.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/error_line.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/check/check_run.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/suite/suffix_hint.h"

namespace tarnwick {

namespace {

// Every entry name of dir but "." and "..", in the order the file system
// returns them. The listing is taken once, so later changes to the directory
// do not change what runs.
std::vector<std::string> list_directory(const std::string& dir) {
  std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dir.c_str()),
                                             ::closedir);
  if (!handle) {
    int err = errno;
    throw Error(
        err == ENOENT ? ErrorKind::kFileNotFound : ErrorKind::kFileAccess,
        "cannot list the check directory " + quote_text(dir) + ": " +
            errno_text(err));
  }
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(handle.get());
    if (entry == nullptr) {
      if (errno != 0) {
        int err = errno;
        throw Error(ErrorKind::kFileAccess, "cannot list the check directory " +
                                                quote_text(dir) + ": " +
                                                errno_text(err));
      }
      break;
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

}  // namespace

std::vector<std::string> list_checks(const std::string& config_dir) {
  std::vector<std::string> checks;
  for (std::string& name : list_directory(config_dir)) {
    if (name.ends_with(kCheckSuffix)) checks.push_back(std::move(name));
  }
  return checks;
}

void run_named_check(const RunSettings& settings, std::string_view name,
                     Transport& transport, ReportWriter& writer,
                     bool keep_going) {
  const std::string filepath = join_check_path(settings.config_dir, name);
  try {
    const CheckFile config = CheckFile::load(filepath);
    writer.check_started(name, read_description(config));
    writer.check_finished(run_check(settings, config, filepath, transport));
  } catch (const Error& e) {
    // The report cannot take the news of its own failure.
    if (e.kind() == ErrorKind::kOutput) throw;
    writer.check_failed(name, e, !keep_going || e.ends_run());
    throw;
  }
}

void run_checks(const RunSettings& settings,
                const std::vector<std::string>& names, Transport& transport,
                ReportWriter& writer, bool keep_going, Output& err,
                std::vector<std::string>& failed) {
  for (const std::string& name : names) {
    try {
      run_named_check(settings, name, transport, writer, keep_going);
    } catch (const Error& e) {
      if (!keep_going || e.ends_run()) throw;
      failed.push_back(name);
      write_line_quietly(err, error_line(error_kind_name(e.kind()), e.what()));
    }
  }
}

void run_check_suite(const RunSettings& settings, Transport& transport,
                     ReportWriter& writer) {
  for (const std::string& name : list_checks(settings.config_dir)) {
    run_named_check(settings, name, transport, writer, false);
  }
}

}  // namespace tarnwick
