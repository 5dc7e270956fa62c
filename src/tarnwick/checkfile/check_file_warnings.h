// The traps of the check-file dialect: what a file says that the reader
// accepts, but that is almost surely not what its writer meant.
#ifndef TARNWICK_CHECKFILE_CHECK_FILE_WARNINGS_H_
#define TARNWICK_CHECKFILE_CHECK_FILE_WARNINGS_H_

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/checkfile/check_file.h"

namespace tarnwick {

// One line per trap, "PATH:LINE: ..." (path names the file), in file order:
// - a section whose name differs from "default", "orvantis" or "DEFAULT"
//   only in letter case or surrounding blanks, so that it is not read;
// - a key of [default] that is a near miss of "filters" or "description";
// - "description" or "filters" that cannot be read (a stray "%"), so that it
//   is silently dropped;
// - an empty filter expression, which looks up the empty key;
// - " #" or " ;" inside a value of [default], [orvantis] or [DEFAULT]: no
//   comment, but part of the value that is sent or looked up;
// - an [orvantis] section without "action".
// None of them changes how the file is read.
std::vector<std::string> check_file_warnings(const CheckFile& file,
                                             std::string_view path);

// The warnings of check_file_warnings about sections named almost as one of
// `sections` ("expect", "compare"): what a run that reads those sections
// says of a file, since a misspelled one is silently not read.
std::vector<std::string> misspelled_section_warnings(
    const CheckFile& file, std::string_view path,
    std::span<const std::string_view> sections);

}  // namespace tarnwick

#endif  // TARNWICK_CHECKFILE_CHECK_FILE_WARNINGS_H_
