#include "tarnwick/compare/baseline.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/json/json.h"
#include "tarnwick/json/json_guide.h"

namespace tarnwick {

namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;
constexpr std::string_view kNotJson = "reply is not JSON: ";

// What the first pass builds of a line: "check" whole, and whether "result",
// "error" and "requests" are there (as empty containers when they are
// containers); everything else is checked and skipped.
class HeadGuide : public DecodeGuide {
 public:
  Demand root() const override { return Demand::part(kLine); }
  Demand item(Demand) const override { return Demand::none(); }
  Demand member(Demand map, std::string_view key) const override {
    if (map.state() != kLine) return Demand::none();
    if (key == "check" || key == "quiet") return Demand::all();
    if (key == "result" || key == "error" || key == "requests") {
      return Demand::part(kPresence);
    }
    return Demand::none();
  }

 private:
  static constexpr std::size_t kLine = 0;
  static constexpr std::size_t kPresence = 1;
};

bool is_blank_line(std::string_view text) {
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\r') return false;
  }
  return true;
}

// A value's type as JSON names it: "null", "a number", "a list".
std::string json_type(const Node& v) {
  switch (v.kind) {
    case Kind::kNull:
      return "null";
    case Kind::kFalse:
      return "false";
    case Kind::kTrue:
      return "true";
    case Kind::kWhole:
    case Kind::kReal:
      return "a number";
    case Kind::kText:
      return "a text";
    case Kind::kList:
      return "a list";
    case Kind::kMap:
      return "an object";
  }
  return "a value";
}

// line, a map.
EarlierRun earlier_run(Value line) {
  EarlierRun run;
  run.line = std::move(line);
  run.result = run.line.node().find("result");
  run.error = run.line.node().find("error");
  run.had_error = run.error != nullptr;
  return run;
}

[[noreturn]] void fail_file(const std::string& path, const std::string& what) {
  throw Error(ErrorKind::kBadBaseline, quote_text(path) + ": " + what);
}

// Reads size bytes at offset; false at a short read, errno set on an error.
bool read_at(int fd, std::uint64_t offset, std::size_t size, char* out) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n =
        pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = 0;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

Baseline::Baseline(Baseline&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      lines_(std::move(other.lines_)),
      names_(std::move(other.names_)),
      by_name_(std::move(other.by_name_)),
      kept_(std::move(other.kept_)) {}

Baseline& Baseline::operator=(Baseline&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    path_ = std::move(other.path_);
    fd_ = std::exchange(other.fd_, -1);
    lines_ = std::move(other.lines_);
    names_ = std::move(other.names_);
    by_name_ = std::move(other.by_name_);
    kept_ = std::move(other.kept_);
  }
  return *this;
}

Baseline::~Baseline() {
  if (fd_ >= 0) close(fd_);
}

Baseline Baseline::open(const std::string& path, int output_fd) {
  Baseline baseline;
  baseline.path_ = path;
  // Not blocking, so that a FIFO is refused instead of waited on.
  baseline.fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (baseline.fd_ < 0) {
    const int error = errno;
    if (error == ENOENT) {
      fail_file(path, "no such file; run once with --json to make it");
    }
    fail_file(path, errno_text(error, true));
  }
  struct stat st;
  if (fstat(baseline.fd_, &st) != 0) fail_file(path, errno_text(errno, true));
  if (S_ISDIR(st.st_mode)) fail_file(path, errno_text(EISDIR, true));
  if (!S_ISREG(st.st_mode)) {
    fail_file(path, "not a regular file; the earlier run's file is read twice");
  }
  struct stat written;
  if (output_fd >= 0 && fstat(output_fd, &written) == 0 &&
      written.st_dev == st.st_dev && written.st_ino == st.st_ino) {
    throw Error(ErrorKind::kBadBaseline,
                "standard output is " + quote_text(path) +
                    " itself; write to another file and rename it");
  }
  baseline.scan(static_cast<std::uint64_t>(st.st_size));
  return baseline;
}

void Baseline::fail_line(std::size_t number, const std::string& what) const {
  throw Error(
      ErrorKind::kBadBaseline,
      quote_text(path_) + " line " + std::to_string(number) + ": " + what);
}

// Streams the file in chunks, finding the line feeds. A line within a chunk
// is copied out of it at its exact size; a line that goes on past its chunk
// is gathered from the chunks as they are read, into a buffer reserved for
// the rest of the file (reserved pages take no memory until they are
// filled), so that a large line is copied once and never read twice. (Huge
// pages for it cost more system time than they save in a run that holds
// this run's result too.) The first line is decoded whole and kept (see
// find()); the others are checked without being built.
void Baseline::scan(std::uint64_t file_size) {
  std::string chunk(kChunk, '\0');
  std::uint64_t chunk_offset = 0;  // of chunk[0] in the file
  std::uint64_t line_start = 0;
  std::size_t number = 0;
  std::string gathered;  // a line begun in an earlier chunk, so far
  for (;;) {
    ssize_t n = read(fd_, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail_file(path_, errno_text(errno, true));
    const std::size_t got = static_cast<std::size_t>(n);
    if (got == 0) break;
    std::size_t pos = 0;  // where the line being read starts or goes on
    while (const void* found =
               std::memchr(chunk.data() + pos, '\n', got - pos)) {
      const std::size_t end = static_cast<std::size_t>(
          static_cast<const char*>(found) - chunk.data());
      std::string text;
      if (line_start >= chunk_offset) {
        text.assign(chunk.data() + pos, end - pos);
      } else {
        gathered.append(chunk.data() + pos, end - pos);
        text = std::exchange(gathered, std::string());
      }
      add_line(std::move(text), line_start, ++number);
      line_start = chunk_offset + end + 1;
      pos = end + 1;
    }
    if (pos < got) {
      if (gathered.empty() && file_size > chunk_offset + pos) {
        gathered.reserve(
            static_cast<std::size_t>(file_size - (chunk_offset + pos)));
      }
      gathered.append(chunk.data() + pos, got - pos);
    }
    chunk_offset += got;
  }
  if (line_start < chunk_offset) {
    add_line(std::move(gathered), line_start, ++number);
  }
}

void Baseline::add_line(std::string text, std::uint64_t offset,
                        std::size_t number) {
  if (is_blank_line(text)) fail_line(number, "an empty line");
  const std::uint64_t size = text.size();
  const bool keep = lines_.empty();
  Value head;
  try {
    head = keep ? decode_json(std::move(text))
                : decode_json(std::move(text), HeadGuide());
  } catch (const Error& e) {
    std::string_view what = e.what();
    if (what.starts_with(kNotJson)) what.remove_prefix(kNotJson.size());
    fail_line(number, "not JSON: " + std::string(what));
  }
  const Node& line = head.node();
  if (!line.is_map())
    fail_line(number, json_type(line) + ", not a JSON object");
  const Node* quiet = line.find("quiet");
  if (quiet != nullptr && quiet->kind == Kind::kTrue) {
    throw Error(ErrorKind::kBadBaseline,
                quote_text(path_) + " line " + std::to_string(number) +
                    " comes from a --quiet run, which leaves out checks "
                    "that are well");
  }
  const Node* check = line.find("check");
  if (check == nullptr) fail_line(number, "no 'check'");
  if (!check->is_text()) {
    fail_line(number, "'check' is " + json_type(*check) + ", not a text");
  }
  if (line.find("result") == nullptr && line.find("error") == nullptr) {
    if (line.find("requests") != nullptr) {
      fail_line(number,
                "'requests' instead of 'result' or 'error': the output of a "
                "dry run");
    }
    fail_line(number, "neither 'result' nor 'error'");
  }
  std::string name(check->text());
  by_name_[name].push_back(lines_.size());
  lines_.push_back({offset, size});
  names_.push_back(std::move(name));
  if (keep) kept_ = earlier_run(std::move(head));
}

std::size_t Baseline::count(std::string_view name) const {
  auto it = by_name_.find(name);
  return it == by_name_.end() ? 0 : it->second.size();
}

std::optional<EarlierRun> Baseline::find(std::string_view name,
                                         std::size_t n) const {
  auto it = by_name_.find(name);
  if (it == by_name_.end() || n >= it->second.size()) return std::nullopt;
  const std::size_t index = it->second[n];
  if (kept_ && index == 0) {
    EarlierRun run = std::move(*kept_);
    kept_.reset();
    return run;
  }
  kept_.reset();
  const Line& where = lines_[index];
  const std::size_t number = index + 1;
  std::string text(where.size, '\0');
  if (!read_at(fd_, where.offset, where.size, text.data())) {
    fail_line(number, errno ? errno_text(errno, true)
                            : std::string("the file changed during the run"));
  }
  Value line;
  try {
    line = decode_json(std::move(text));
  } catch (const Error&) {
    fail_line(number, "the file changed during the run");
  }
  const Node* check =
      line.node().is_map() ? line.node().find("check") : nullptr;
  if (check == nullptr || !check->is_text() || check->text() != name) {
    fail_line(number, "the file changed during the run");
  }
  EarlierRun run = earlier_run(std::move(line));
  if (run.result == nullptr && !run.had_error) {
    fail_line(number, "the file changed during the run");
  }
  return run;
}

}  // namespace tarnwick
