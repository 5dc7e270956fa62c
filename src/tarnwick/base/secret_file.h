// Secrets read from files: the password from a file that only its owner may
// read, so that it never stands on a command line or in the environment.
#ifndef TARNWICK_BASE_SECRET_FILE_H_
#define TARNWICK_BASE_SECRET_FILE_H_

#include <string>

namespace tarnwick {

// Returns the first line of the file at `path`, without its line end (a
// carriage return before the newline is dropped too). The file is opened
// once and judged by what was opened: a regular file whose mode lets other
// users read or write it is refused, Error(kFileAccess) "'PATH' can be read
// by other users (mode 0644); chmod 600 it" ("written" for o+w alone); a
// pipe or character device (/dev/fd/N, process substitution) is fine, and
// is not read past the first line. Throws Error(kFileNotFound) "no such
// file: 'PATH'", Error(kFileAccess) for a file that cannot be opened or
// read, a directory, a first line past 64 KiB, and "'PATH' holds no
// password on its first line" for an empty first line. The copies made
// while reading are wiped.
std::string read_secret_file(const std::string& path);

}  // namespace tarnwick

#endif  // TARNWICK_BASE_SECRET_FILE_H_
