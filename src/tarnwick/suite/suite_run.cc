#include "tarnwick/suite/suite_run.h"

#include <dirent.h>

#include <cerrno>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/error_line.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"
#include "tarnwick/check/check_run.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/compare/compare_rules.h"
#include "tarnwick/expect/expectation.h"
#include "tarnwick/expect/judge.h"
#include "tarnwick/suite/baseline_check.h"
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

std::vector<std::string> near_miss_checks(const std::string& config_dir) {
  std::vector<std::string> near;
  for (std::string& name : list_directory(config_dir)) {
    if (name.ends_with(kCheckSuffix)) continue;
    if (fold_lower(name).find(kCheckSuffix) != std::string::npos)
      near.push_back(std::move(name));
  }
  return near;
}

namespace {

// A failure that is not the check's: the report cannot take the news of its
// own failure, and a cancelled run ends before the check does. Either ends
// the run before the check is finished.
bool passes_through(const Error& e) {
  return e.kind() == ErrorKind::kOutput ||
         dynamic_cast<const Cancelled*>(&e) != nullptr;
}

// The outcome of a check that failed with e: no result, its expectations
// not judged. Returns e (the exception being handled) when it ends the
// run, else null.
std::exception_ptr fail_check(const Suite& suite, const Error& e,
                              const std::vector<Expectation>& expectations,
                              CheckOutcome& outcome) {
  outcome.expectations.clear();
  for (const Expectation& expectation : expectations)
    outcome.expectations.push_back(not_judged(expectation));
  outcome.error = e;
  outcome.result.reset();
  outcome.failed_elements.clear();
  outcome.ends_run = !suite.keep_going || e.ends_run();
  return outcome.ends_run ? std::current_exception() : nullptr;
}

}  // namespace

CheckOutcome run_named_check(const Suite& suite, std::string_view name,
                             std::size_t run_index) {
  const std::string filepath = join_check_path(suite.settings.config_dir, name);
  const Clock::TimePoint start = suite.clock.now();
  CheckOutcome outcome;
  outcome.name = name;
  std::vector<Expectation> expectations;
  CompareRules rules;
  bool records = false;
  std::exception_ptr ending;
  // Runs a step of the check; a failure fails the check. Returns whether
  // the step went through.
  const auto attempt = [&](const auto& step) {
    try {
      step();
      return true;
    } catch (const Error& e) {
      if (passes_through(e)) throw;
      ending = fail_check(suite, e, expectations, outcome);
      return false;
    }
  };
  attempt([&] {
    const CheckFile config = CheckFile::load(filepath);
    outcome.description = read_description(config);
    suite.writer.check_started(name, outcome.description);
    // Bad expectations fail the check before its login.
    if (suite.expect) expectations = read_expectations(config, filepath);
    if (suite.baseline) {
      rules = read_compare_rules(config, filepath);
      records = refers_to_a_check(config);
    }
    outcome.result =
        run_check(suite.settings, config, filepath, suite.transport,
                  suite.keep_going ? &outcome.failed_elements : nullptr);
    if (!outcome.failed_elements.empty()) {
      const std::size_t elements =
          outcome.result->node().size + outcome.failed_elements.size();
      outcome.error =
          Error(ErrorKind::kPartial,
                std::to_string(outcome.failed_elements.size()) + " of " +
                    std::to_string(elements) + " elements failed");
    }
    outcome.expectations = judge_all(expectations, outcome.result->node());
  });
  if (suite.baseline) {
    // A failed check is not compared, which its comparison notes; a
    // comparison that fails fails the check, and is noted so in turn.
    const auto compare = [&] {
      compare_with_baseline(*suite.baseline, run_index, rules, records, outcome,
                            suite.err);
    };
    if (!attempt(compare)) compare();
  }
  outcome.duration = suite.clock.now() - start;
  suite.writer.check_finished(outcome);
  if (ending) std::rethrow_exception(ending);
  return outcome;
}

void run_checks(const Suite& suite, const std::vector<std::string>& names,
                SuiteTally& tally) {
  tally.checks = names.size();
  for (const std::string& name : names) {
    if (suite.cancellation != nullptr) suite.cancellation->throw_if_cancelled();
    // What ends the run passes through.
    const CheckOutcome outcome =
        run_named_check(suite, name, tally.runs[name]++);
    tally.note(outcome);
    if (!outcome.failed()) continue;
    tally.failed.push_back(name);
    // Partial results: the check ran, but some of its elements failed.
    if (!outcome.result) {
      write_line_quietly(suite.err,
                         error_line(error_kind_name(outcome.error->kind()),
                                    outcome.error->what()));
    }
    for (const ElementFailure& failure : outcome.failed_elements) {
      write_line_quietly(suite.err,
                         error_line(error_kind_name(failure.error.kind()),
                                    failure.error.what()));
    }
  }
}

}  // namespace tarnwick
