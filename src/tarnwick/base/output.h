// Buffered output to a file descriptor, or into a string for tests.
#ifndef TARNWICK_BASE_OUTPUT_H_
#define TARNWICK_BASE_OUTPUT_H_

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "tarnwick/base/error.h"

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

  // Buffer s (or c). At most 64 KiB are kept: a write that does not fit in
  // what is left of them writes them out first, so both may throw as flush()
  // does.
  void write(std::string_view s) {
    if (s.size() < static_cast<std::size_t>(end_ - next_)) {
      std::memcpy(next_, s.data(), s.size());
      next_ += s.size();
      return;
    }
    write_past_buffer(s);
  }
  void put(char c) {
    if (next_ != end_) {
      *next_++ = c;
      return;
    }
    write_past_buffer(std::string_view(&c, 1));
  }

  // Writes out everything buffered. Throws OutputError when the file
  // descriptor cannot be written (EPIPE included; main turns that one into a
  // quiet exit). What could not be written is dropped.
  void flush();

  // The file descriptor written to; -1 for an in-memory Output.
  int fd() const { return fd_; }

  // Everything written so far, for an in-memory Output.
  const std::string& text() const { return text_; }
  // Everything written so far to an in-memory Output, which is left empty
  // (and its count of dropped bytes 0).
  std::string take_text() {
    dropped_ = 0;
    return std::exchange(text_, std::string());
  }

  // An in-memory Output keeps at most `limit` bytes of text from now on; the
  // bytes past them are counted (dropped()) instead of kept, so a report
  // cut short anyway need not hold all of a huge result.
  void set_text_limit(std::size_t limit) { text_limit_ = limit; }
  // The bytes not kept since the text was last taken.
  std::size_t dropped() const { return dropped_; }

 private:
  static constexpr std::size_t kChunk = 1 << 16;

  // The slow path of write() and put(): where the buffer is full or not yet
  // there, and every write of an in-memory Output.
  void write_past_buffer(std::string_view s);
  // Writes s to the file descriptor; throws as flush() does.
  void write_out(std::string_view s);

  int fd_;
  // kChunk bytes, from the first write on; [buffer_, next_) is pending.
  // An in-memory Output has none, so that every write takes the slow path.
  std::unique_ptr<char[]> buffer_;
  char* next_ = nullptr;
  char* end_ = nullptr;
  std::string text_;  // an in-memory Output's text
  std::size_t text_limit_ = static_cast<std::size_t>(-1);
  std::size_t dropped_ = 0;
};

}  // namespace tarnwick

#endif  // TARNWICK_BASE_OUTPUT_H_
