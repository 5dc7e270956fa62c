// The hint for a check named without its suffix: an operator who names a
// check (--only NAME) may leave ".cfg" off.
#ifndef TARNWICK_SUITE_SUFFIX_HINT_H_
#define TARNWICK_SUITE_SUFFIX_HINT_H_

#include <string>
#include <string_view>

#include "tarnwick/base/error.h"

namespace tarnwick {

// The suffix of the entries of a check directory that run as checks.
inline constexpr std::string_view kCheckSuffix = ".cfg";

// Rethrows e, the error being handled that reading the entry `name` of
// config_dir gave, with "; did you mean 'NAME.cfg'?" added when it says the
// entry is missing (Error(kFileNotFound)) while NAME.cfg is a regular file
// there. Call it only from a handler of e.
[[noreturn]] void rethrow_with_suffix_hint(const Error& e,
                                           const std::string& config_dir,
                                           std::string_view name);

}  // namespace tarnwick

#endif  // TARNWICK_SUITE_SUFFIX_HINT_H_
