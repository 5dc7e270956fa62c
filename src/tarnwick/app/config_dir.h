// The default check directory: "config" beside the running executable.
#ifndef TARNWICK_APP_CONFIG_DIR_H_
#define TARNWICK_APP_CONFIG_DIR_H_

#include <string>
#include <string_view>

namespace tarnwick {

// The path "config" beside module_path, built as text: the directory part of
// module_path (up to its last slash, trailing slashes dropped unless only
// slashes remain) joined with "config". A path without a slash gives the
// relative "config"; "/tarnwick" gives "/config". Nothing is resolved.
std::string config_dir_beside(std::string_view module_path);

// Returns path unchanged when it names a directory, following symbolic
// links. Anything else (missing, not a directory, a dangling link, a path
// that cannot be examined) throws Error(kFileNotFound) with the message
// "Default config directory not found: " followed by path.
std::string require_default_config_dir(const std::string& path);

// The path of the running executable, symbolic links resolved (from
// /proc/self/exe), so a link to the executable finds its real home. Throws
// Error(kFileNotFound) when it cannot be read.
std::string own_executable_path();

// require_default_config_dir(config_dir_beside(own_executable_path())),
// examined afresh on every call.
std::string get_default_config_dir();

}  // namespace tarnwick

#endif  // TARNWICK_APP_CONFIG_DIR_H_
