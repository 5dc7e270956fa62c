// A check and the chain of compound references it starts, read the way a run
// reads them: each file once, its request fields in key order, the check it
// refers to found through the check directory, a file already on the chain
// refused. Shared by check execution (check_run.cc), which logs in between
// the steps, and the dry run (dry_run.cc), which sends nothing.
#ifndef TARNWICK_CHECK_CHECK_CHAIN_H_
#define TARNWICK_CHECK_CHECK_CHAIN_H_

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/scrub.h"
#include "tarnwick/base/value.h"
#include "tarnwick/check/form.h"
#include "tarnwick/checkfile/check_file.h"

namespace tarnwick {

// The section whose keys are the fields of a check's request.
inline constexpr std::string_view kRequestSection = "orvantis";

// One check of a chain.
struct CheckLevel {
  std::string path;  // as opened
  std::string name;  // as the referring check names it; the path for the first
  CheckFile config;
  Value cid;                      // its session, once logged in
  Scrubber secrets;               // the password and cid, once logged in
  std::vector<FormField> fields;  // the section's keys in order, as text
  std::optional<std::size_t> compound_field;  // index into fields
  std::vector<std::string> filters;
};

class CheckChain {
 public:
  // A chain of one check, read from path.
  CheckChain(const CheckFile& first, const std::string& path);

  const std::vector<CheckLevel>& levels() const { return levels_; }
  CheckLevel& last() { return levels_.back(); }
  // Takes the last check off the chain, once it is done.
  void drop_last() { levels_.pop_back(); }

  // Reads the filter list and the request fields of the last check. Throws
  // Error(kMissingSection) without its request section, Error(kInterpolation)
  // naming a value that cannot be read.
  void read_request();

  // Whether the last check refers to another one.
  bool refers() const { return levels_.back().compound_field.has_value(); }

  // Reads the check that the last one refers to (through config_dir) as the
  // next one of the chain. Throws as CheckFile::load does, a missing file
  // named in the context of the checks before it, and Error(kReferenceCycle)
  // naming the chain for a file that is on it already (the same file by
  // identity, so through a link too).
  void read_referenced(const std::string& config_dir);

  // "checks/gw.cfg <- items": the last check and the references that led
  // to it.
  std::string text() const;

  // The element whose request the last check is sending, as messages name
  // it: ", element 4 of 6 'gw-04'"; "" between element requests.
  void set_element(std::string text) { element_ = std::move(text); }

  // Throws e, the exception being handled, again with " (in CHAIN)" added
  // (" (in CHAIN, element 4 of 6 'gw-04')" during an element request);
  // with_line names the line of the last check's entry that was being read
  // when it failed ("(in a.cfg:7)"), where there is one. A cycle names its
  // chain already (it gets only a line), and a failure to write the report
  // is not about the check (and keeps its type, which tells a closed pipe):
  // both pass unchanged otherwise.
  [[noreturn]] void rethrow_in_context(const Error& e, bool with_line) const;

  // e with its context added as rethrow_in_context adds it, for a failure
  // that is noted rather than thrown.
  Error in_context(const Error& e) const;

 private:
  std::vector<CheckLevel> levels_;
  // The identities of the files on the chain: a set keeps a long chain
  // linear; the levels only name it in the message.
  std::set<FileIdentity> on_chain_;
  // The line of the last check's entry being read, 0 for none.
  std::size_t reading_line_ = 0;
  std::string element_;
};

}  // namespace tarnwick

#endif  // TARNWICK_CHECK_CHECK_CHAIN_H_
