// What the command line shows of itself: the usage line and the help.
#ifndef TARNWICK_APP_USAGE_H_
#define TARNWICK_APP_USAGE_H_

#include <string>
#include <string_view>

namespace tarnwick {

// The usage line (wrapped for an 80-column terminal), with its line end:
// help, the four settings, then the options beyond them.
std::string usage_text(std::string_view program_name);

// The whole help: usage, description and the options with their help texts.
std::string help_text(std::string_view program_name);

// The program name shown in usage and help: the last component of argv[0],
// "tarnwick" when there is none.
std::string program_name_from(const char* argv0);

}  // namespace tarnwick

#endif  // TARNWICK_APP_USAGE_H_
