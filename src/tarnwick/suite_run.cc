#include "tarnwick/suite_run.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tarnwick/check_file.h"
#include "tarnwick/error.h"
#include "tarnwick/notation.h"

namespace tarnwick {

namespace {

constexpr std::string_view kCheckSuffix = ".cfg";

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
            std::strerror(err));
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
                                                std::strerror(err));
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

void run_check_suite(const RunSettings& settings, Output& out,
                     Transport& transport) {
  for (const std::string& name : list_directory(settings.config_dir)) {
    if (!name.ends_with(kCheckSuffix)) continue;
    std::string filepath = settings.config_dir;
    if (!filepath.ends_with('/')) filepath += '/';
    filepath += name;

    if (auto description = read_description(CheckFile::load(filepath))) {
      out.write(*description);
      out.put('\n');
      out.flush();
    }
    Value result = orvantis_api(settings.controller_ip, settings.username,
                                settings.password, settings.config_dir,
                                filepath, transport);
    pp(result.node(), out);
    out.write("\n\n");
    out.flush();
  }
}

}  // namespace tarnwick
