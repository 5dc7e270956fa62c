// Check execution: one check file against the controller.
#ifndef TARNWICK_CHECK_CHECK_RUN_H_
#define TARNWICK_CHECK_CHECK_RUN_H_

#include <cstddef>
#include <string>
#include <vector>

#include "tarnwick/base/element_failure.h"
#include "tarnwick/base/value.h"
#include "tarnwick/wire/transport.h"

namespace tarnwick {

class CheckFile;
struct RunSettings;

// Runs a check already read from config_file (the file is not read again)
// and returns its result: the filtered reply, or for a compound check the
// list of records {"object", "results"}. Logs in anew for this check; a
// compound check first runs the check it refers to (found through
// settings.config_dir). Every failure is thrown as an Error; a failed login
// as Error(kLoginFailed); a cancellation (Cancelled) passes unchanged. With
// settings.session set,
// the check and every check it refers to use that session instead of
// logging in. The element requests of each compound check of the chain go
// through Transport::post_many, settings.in_flight at a time, and come to
// what they would come to one after another: the records in element order,
// and the first failure in element order is the one that fails the check.
// With failed_elements, a failure of one of the check's own element
// requests that does not end the run is noted there, in element order, and
// the check's result holds the records of the other elements; a failure of
// a check it refers to still fails it wholly.
Value run_check(const RunSettings& settings, const CheckFile& config,
                const std::string& config_file, Transport& transport,
                std::vector<ElementFailure>* failed_elements = nullptr);

}  // namespace tarnwick

#endif  // TARNWICK_CHECK_CHECK_RUN_H_
