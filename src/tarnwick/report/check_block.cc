#include "tarnwick/report/check_block.h"

#include "tarnwick/base/text.h"
#include "tarnwick/report/text_report.h"

namespace tarnwick {

namespace {

// How many bytes at the end of s start a UTF-8 sequence that is not
// complete (a text cut in the middle of a character).
std::size_t incomplete_tail(std::string_view s) {
  for (std::size_t back = 1; back <= 3 && back <= s.size(); ++back) {
    const auto b = static_cast<unsigned char>(s[s.size() - back]);
    if ((b & 0xC0) == 0x80) continue;  // a continuation byte
    const std::size_t length = b >= 0xF0   ? 4
                               : b >= 0xE0 ? 3
                               : b >= 0xC0 ? 2
                                           : 1;
    return length > back ? back : 0;
  }
  return 0;
}

}  // namespace

std::size_t cut_text(std::string& text, std::size_t size) {
  if (text.size() <= size) return 0;
  const std::size_t before = text.size();
  text.resize(size);
  text.resize(size - incomplete_tail(text));
  return before - text.size();
}

CheckBlocks::CheckBlocks() : held_(-1), text_(make_text_report(held_)) {
  held_.set_text_limit(kMaxBlock);
}

CheckBlocks::~CheckBlocks() = default;

void CheckBlocks::check_started(std::string_view name,
                                const std::optional<std::string>& description) {
  held_.take_text();
  text_->check_started(name, description);
}

std::string CheckBlocks::check_finished(const CheckOutcome& outcome) {
  if (outcome.ends_run) {
    CheckOutcome shown = outcome;
    shown.ends_run = false;
    text_->check_finished(shown);
  } else {
    text_->check_finished(outcome);
  }
  std::size_t dropped = held_.dropped();
  std::string block = held_.take_text();
  if (dropped > 0) {
    const std::size_t tail = incomplete_tail(block);
    block.resize(block.size() - tail);
    dropped += tail;
    block += "\n[cut at 64 KiB: " + counted(dropped, "more byte") +
             " of the block " + (dropped == 1 ? "is" : "are") + " not shown]\n";
  }
  return block;
}

}  // namespace tarnwick
