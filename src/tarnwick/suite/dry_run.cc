#include "tarnwick/suite/dry_run.h"

#include <set>
#include <utility>

#include "tarnwick/base/error.h"
#include "tarnwick/base/error_line.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/check/check_chain.h"
#include "tarnwick/checkfile/check_file_warnings.h"
#include "tarnwick/compare/compare_rules.h"
#include "tarnwick/expect/expectation.h"
#include "tarnwick/suite/suffix_hint.h"
#include "tarnwick/suite/suite_run.h"

namespace tarnwick {

namespace {

// The request of one check of the chain, as a run would send it.
PlannedRequest plan_request(const CheckLevel& level, std::string check,
                            bool per_element) {
  PlannedRequest request;
  request.check = std::move(check);
  request.per_element = per_element;
  request.filters = level.filters;
  request.fields.push_back({"CID", "", PlannedField::Kind::kSession});
  for (std::size_t i = 0; i < level.fields.size(); ++i) {
    const FormField& field = level.fields[i];
    if (level.compound_field == i) {
      request.fields.push_back({field.name, referenced_name(field.value),
                                PlannedField::Kind::kEachElement});
    } else {
      request.fields.push_back(
          {field.name, field.value, PlannedField::Kind::kText});
    }
  }
  return request;
}

// Writes the warnings of a file the first time it is met.
class WarnOnce {
 public:
  explicit WarnOnce(Output& err) : err_(err) {}

  void file(const CheckFile& config, const std::string& path) {
    if (!warned_.insert(config.identity()).second) return;
    for (const std::string& warning : check_file_warnings(config, path)) {
      write_line_quietly(err_, error_line("warning", warning));
      ++count_;
    }
  }

  // The warnings of a file's expectations, the first time they are met.
  void expectations(const CheckFile& config, const std::string& path,
                    const std::vector<Expectation>& expectations) {
    if (!expectations_warned_.insert(config.identity()).second) return;
    for (const Expectation& e : expectations) {
      const std::string warning = expectation_warning(e);
      if (warning.empty()) continue;
      std::string line = path;
      line += ":" + std::to_string(e.line) + ": ";
      line += warning;
      write_line_quietly(err_, error_line("warning", line));
      ++count_;
    }
  }

  std::size_t count() const { return count_; }

 private:
  Output& err_;
  std::size_t count_ = 0;
  std::set<FileIdentity> warned_;
  std::set<FileIdentity> expectations_warned_;
};

CheckPlan plan(const CheckFile& config, const std::string& config_file,
               const std::string& name, const std::string& config_dir,
               WarnOnce* warn) {
  CheckChain chain(config, config_file);
  try {
    for (;;) {
      chain.read_request();
      if (!chain.refers()) break;
      chain.read_referenced(config_dir);
      if (warn != nullptr) warn->file(chain.last().config, chain.last().path);
    }
  } catch (const Error& e) {
    chain.rethrow_in_context(e, true);
  }
  // The innermost check sends first, once; each check that refers to it
  // then once per element of its result.
  CheckPlan plan;
  const std::vector<CheckLevel>& levels = chain.levels();
  for (std::size_t i = levels.size(); i-- > 0;) {
    plan.requests.push_back(plan_request(
        levels[i], i == 0 ? name : levels[i].name, i + 1 < levels.size()));
  }
  return plan;
}

// The check `name` of the run, read from path: a name the operator may have
// given without its suffix.
CheckFile load_named(const std::string& config_dir, const std::string& name,
                     const std::string& path) {
  try {
    return CheckFile::load(path);
  } catch (const Error& e) {
    rethrow_with_suffix_hint(e, config_dir, name);
  }
}

}  // namespace

CheckPlan plan_check(const CheckFile& config, const std::string& config_file,
                     const std::string& name, const std::string& config_dir) {
  return plan(config, config_file, name, config_dir, nullptr);
}

std::size_t dry_run(const std::string& config_dir,
                    const std::vector<std::string>& names,
                    const PlannedSections& sections, ReportWriter& writer,
                    Output& err, std::vector<std::string>& failed) {
  WarnOnce warn(err);
  for (const std::string& name : names) {
    const std::string path = join_check_path(config_dir, name);
    try {
      const CheckFile config = load_named(config_dir, name, path);
      warn.file(config, path);
      writer.check_started(name, read_description(config));
      CheckPlan planned = plan(config, path, name, config_dir, &warn);
      if (sections.expect || (sections.all && config.has_section("expect"))) {
        const std::vector<Expectation> expectations =
            read_expectations(config, path);
        for (const Expectation& e : expectations) {
          if (sections.expect) planned.expectations.push_back({e.name, e.text});
        }
        if (sections.expect) warn.expectations(config, path, expectations);
      }
      if (sections.compare || (sections.all && config.has_section("compare"))) {
        const CompareRules rules = read_compare_rules(config, path);
        if (sections.compare) {
          planned.comparison = describe_compare_rules(rules);
          if (planned.requests.size() > 1)
            planned.comparison += "; records by 'object'";
        }
      }
      writer.check_planned(planned);
    } catch (const Error& e) {
      if (e.kind() == ErrorKind::kOutput) throw;
      CheckOutcome outcome;
      outcome.name = name;
      outcome.error = e;
      writer.check_finished(outcome);
      write_line_quietly(err, error_line(error_kind_name(e.kind()), e.what()));
      failed.push_back(name);
    }
  }
  return warn.count();
}

std::string no_checks_warning(const std::string& config_dir) {
  std::string warning = "no check files in " + quote_text(config_dir) +
                        " (entries ending in .cfg)";
  const std::vector<std::string> near = near_miss_checks(config_dir);
  for (std::size_t i = 0; i < near.size(); ++i)
    warning += (i == 0 ? "; near misses: " : ", ") + quote_text(near[i]);
  return warning;
}

}  // namespace tarnwick
