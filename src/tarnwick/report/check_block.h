// The block of each check as the text report shows it, kept for the report
// files written when the run ends (JUnit's <system-out>, the page's folded
// block).
#ifndef TARNWICK_REPORT_CHECK_BLOCK_H_
#define TARNWICK_REPORT_CHECK_BLOCK_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tarnwick/base/output.h"
#include "tarnwick/report/report_writer.h"

namespace tarnwick {

// A check's block is cut past this many bytes.
inline constexpr std::size_t kMaxBlock = 64 * 1024;

// Shortens text to at most `size` bytes, never inside a UTF-8 sequence (a
// byte that is not UTF-8 counts as one); returns how many bytes it took off.
std::size_t cut_text(std::string& text, std::size_t size);

// Hands each check's events to a text report of its own and keeps what it
// writes.
class CheckBlocks {
 public:
  CheckBlocks();
  CheckBlocks(const CheckBlocks&) = delete;
  CheckBlocks& operator=(const CheckBlocks&) = delete;
  ~CheckBlocks();

  void check_started(std::string_view name,
                     const std::optional<std::string>& description);

  // The block of the check that ended, as a run that goes on past it shows
  // it: with its ERROR line also when its failure ends the run. A block
  // past kMaxBlock bytes is cut there (not inside a character) and ends
  // with "\n[cut at 64 KiB: N more bytes of the block are not shown (1 more
  // byte ... is)]\n".
  std::string check_finished(const CheckOutcome& outcome);

 private:
  Output held_;
  std::unique_ptr<ReportWriter> text_;
};

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_CHECK_BLOCK_H_
