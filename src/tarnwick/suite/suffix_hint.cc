#include "tarnwick/suite/suffix_hint.h"

#include <sys/stat.h>

#include "tarnwick/base/literal.h"
#include "tarnwick/checkfile/check_file.h"

namespace tarnwick {

void rethrow_with_suffix_hint(const Error& e, const std::string& config_dir,
                              std::string_view name) {
  if (e.kind() != ErrorKind::kFileNotFound) throw;
  const std::string with_suffix = std::string(name) + std::string(kCheckSuffix);
  struct stat info;
  if (::stat(join_check_path(config_dir, with_suffix).c_str(), &info) != 0 ||
      !S_ISREG(info.st_mode))
    throw;
  throw e.with_message(std::string(e.what()) + "; did you mean " +
                       quote_text(with_suffix) + "?");
}

}  // namespace tarnwick
