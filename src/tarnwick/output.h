// Buffered output to a file descriptor, or into a string for tests.
#ifndef TARNWICK_OUTPUT_H_
#define TARNWICK_OUTPUT_H_

#include <string>
#include <string_view>

#include "tarnwick/error.h"

namespace tarnwick {

// Error(kOutput) with the errno of the write that failed, so a reader that
// went away (EPIPE) can be told from a full disk.
class OutputError : public Error {
 public:
  OutputError(int error_number, const std::string& message)
      : Error(ErrorKind::kOutput, message), error_number_(error_number) {}

  int error_number() const { return error_number_; }

 private:
  int error_number_;
};

// Writes all of s to fd, going on after interruptions and short writes.
// Returns 0, or the errno of the write that failed.
int write_all(int fd, std::string_view s);

class Output {
 public:
  // Writes to fd; fd -1 keeps everything in memory (see text()).
  explicit Output(int fd) : fd_(fd) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output();

  // Buffer s (or c). Once 64 KiB are buffered they are written out, so both
  // may throw as flush() does.
  void write(std::string_view s) {
    buffer_.append(s);
    if (buffer_.size() >= kChunk) drain();
  }
  void put(char c) {
    buffer_.push_back(c);
    if (buffer_.size() >= kChunk) drain();
  }

  // Writes out everything buffered. Throws OutputError when the file
  // descriptor cannot be written (EPIPE included; main turns that one into a
  // quiet exit). What could not be written is dropped.
  void flush();

  // Everything written so far, for an in-memory Output.
  const std::string& text() const { return buffer_; }

 private:
  static constexpr std::size_t kChunk = 1 << 16;
  void drain() {
    if (fd_ >= 0) flush();
  }

  int fd_;
  std::string buffer_;
};

}  // namespace tarnwick

#endif  // TARNWICK_OUTPUT_H_
