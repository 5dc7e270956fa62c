#include "tarnwick/suite/suite_run.h"

#include <dirent.h>

#include <cerrno>
#include <exception>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/error_line.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"
#include "tarnwick/check/check_run.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/checkfile/check_file_warnings.h"
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

// Warns of the sections of config meant as those the run reads but named
// otherwise, once per file.
void warn_of_misspelled_sections(const Suite& suite, const CheckFile& config,
                                 const std::string& path,
                                 std::set<FileIdentity>& warned) {
  std::vector<std::string_view> sections;
  if (suite.expect) sections.push_back("expect");
  if (suite.baseline != nullptr) sections.push_back("compare");
  if (sections.empty() || !warned.insert(config.identity()).second) return;
  for (const std::string& warning :
       misspelled_section_warnings(config, path, sections))
    write_line_quietly(suite.err, error_line("warning", warning));
}

// How the paths of a check's findings name list elements: by the key of its
// section [compare] (read here also without --baseline, when a bad section
// is left to --baseline and --dry-run to report), else by "name"; the
// records of a compound check by "object", indexed with the failed
// elements in their places, as its --json line prints them.
ElementNames element_names(const CheckFile& config, const std::string& path,
                           const CompareRules* rules,
                           const std::vector<ElementFailure>& failed) {
  ElementNames names;
  if (rules != nullptr) {
    names.keys = rules->key;
  } else if (config.has_section(kCompareSection)) {
    try {
      names.keys = read_compare_rules(config, path).key;
    } catch (const Error&) {
    }
  }
  if (names.keys.empty()) names.keys = {"name"};
  names.records = refers_to_a_check(config);
  for (const ElementFailure& f : failed) names.failed.push_back(f.index);
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
                             std::size_t run_index,
                             std::set<FileIdentity>& warned) {
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
    warn_of_misspelled_sections(suite, config, filepath, warned);
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
                    counted(elements, "element") + " failed");
    }
    if (!expectations.empty()) {
      outcome.expectations = judge_all(
          expectations, outcome.result->node(),
          element_names(config, filepath, suite.baseline ? &rules : nullptr,
                        outcome.failed_elements));
    }
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
  std::set<FileIdentity> warned;
  for (const std::string& name : names) {
    if (suite.cancellation != nullptr) suite.cancellation->throw_if_cancelled();
    // What ends the run passes through.
    const CheckOutcome outcome =
        run_named_check(suite, name, tally.runs[name]++, warned);
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
