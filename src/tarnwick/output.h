// Buffered output to a file descriptor, or into a string for tests.
#ifndef TARNWICK_OUTPUT_H_
#define TARNWICK_OUTPUT_H_

#include <string>
#include <string_view>

namespace tarnwick {

class Output {
 public:
  // Writes to fd; fd -1 keeps everything in memory (see text()).
  explicit Output(int fd) : fd_(fd) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output();

  void write(std::string_view s) {
    buffer_.append(s);
    if (buffer_.size() >= kChunk) drain();
  }
  void put(char c) {
    buffer_.push_back(c);
    if (buffer_.size() >= kChunk) drain();
  }

  // Writes out everything buffered. Throws Error(kOutput) when the file
  // descriptor cannot be written (EPIPE included; the launcher turns that one
  // into a quiet exit).
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
