// Files a run writes whole at its end (reports for other tools), replaced
// in one step so that a reader never sees part of one.
#ifndef TARNWICK_BASE_ATOMIC_FILE_H_
#define TARNWICK_BASE_ATOMIC_FILE_H_

#include <string>
#include <string_view>

namespace tarnwick {

// Checks, before a run sends anything, that write_file_atomically can put a
// file at path: its directory ("." for a bare name) is a directory the
// process may create files in, and path is not a directory. `what` names
// the file in messages ("the metrics file"). Throws Error(kFileNotFound)
// when the directory does not exist, Error(kFileAccess) otherwise.
void check_file_writable(const std::string& path, std::string_view what);

// Replaces the file at path with content: content goes to a new file in
// path's directory (".NAME.PID-N.tmp", so its name never ends as path's
// does, and a collector reading "*.prom" or "*.xml" ignores it), is flushed
// to disk and renamed over path; a reader sees the file before or after,
// never a part. The file gets mode 0666 less the umask, as any file the
// process creates. On failure the new file is removed, path is left as it
// was, and Error(kFileAccess) names path and the cause.
void write_file_atomically(const std::string& path, std::string_view content,
                           std::string_view what);

}  // namespace tarnwick

#endif  // TARNWICK_BASE_ATOMIC_FILE_H_
