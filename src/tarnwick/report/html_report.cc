#include "tarnwick/report/html_report.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/exit_status.h"
#include "tarnwick/report/check_block.h"
#include "tarnwick/report/check_state.h"
#include "tarnwick/report/html_style.h"
#include "tarnwick/report/markup_escape.h"
#include "tarnwick/report/verdict_line.h"

namespace tarnwick {

namespace {

enum class RowState { kWell, kAttention, kFailed, kNotRun };

// How a state shows: its words, its symbol (beside the words, never
// instead of them) and its class in the style sheet.
struct StateShown {
  std::string_view words;
  std::string_view symbol;
  std::string_view css;
};

StateShown shown(RowState state) {
  switch (state) {
    case RowState::kWell:
      return {"well", "\u2713", "well"};
    case RowState::kAttention:
      return {"needs attention", "\u26A0\uFE0E", "attention"};
    case RowState::kFailed:
      return {"failed", "\u2717", "failed"};
    case RowState::kNotRun:
      break;
  }
  return {"not run", "\u2013", "notrun"};
}

std::string_view exit_meaning(int status) {
  switch (status) {
    case kExitSuccess:
      return "all well";
    case kExitFailure:
      return "a failure";
    case kExitUsage:
      return "a command line refused";
    case kExitAttention:
      return "the checks ran, something needs attention";
    case kExitInterrupted:
      return "interrupted (SIGINT)";
    case kExitBrokenPipe:
      return "the reader of standard output went away";
    case kExitTerminated:
      return "terminated (SIGTERM)";
    default:
      return "";
  }
}

// A verdict line and whether it holds (unset: not judged).
struct VerdictShown {
  std::optional<bool> holds;
  std::string line;
};

// One check as its row shows it.
struct Row {
  std::string name;
  std::optional<std::string> description;
  RowState state = RowState::kWell;
  Clock::Duration duration{};
  std::string error_kind;                   // of a failed check
  std::string error;                        // its message
  std::vector<std::string> element_errors;  // "KIND: MESSAGE" each
  std::vector<VerdictShown> verdicts;
  std::vector<std::string> comparison;  // baseline_lines
  std::string look;                     // what the list of what needs a
                                        // look says of it
  std::string block;
  bool ends_run = false;
};

std::string symbol_span(const StateShown& s) {
  return "<span class=\"sym\" aria-hidden=\"true\">" + std::string(s.symbol) +
         "</span>";
}

std::string badge(RowState state) {
  const StateShown s = shown(state);
  return "<span class=\"badge " + std::string(s.css) + "\">" + symbol_span(s) +
         " " + std::string(s.words) + "</span>";
}

// "42.5%": d as a share of longest, in tenths of a percent.
std::string bar_width(Clock::Duration d, Clock::Duration longest) {
  using std::chrono::microseconds;
  const auto whole = std::chrono::duration_cast<microseconds>(longest).count();
  const auto part = std::chrono::duration_cast<microseconds>(d).count();
  const long long tenths = whole <= 0 || part <= 0 ? 0 : part * 1000 / whole;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + "%";
}

class HtmlReport : public RunEndWriter {
 public:
  explicit HtmlReport(Output& out) : out_(out) {}

  void check_started(std::string_view name,
                     const std::optional<std::string>& description) override {
    blocks_.check_started(name, description);
  }

  void check_finished(const CheckOutcome& outcome) override {
    Row row;
    row.name = outcome.name;
    row.description = outcome.description;
    row.duration = outcome.duration;
    row.ends_run = outcome.ends_run;
    switch (check_state(outcome)) {
      case CheckState::kWell:
        row.state = RowState::kWell;
        break;
      case CheckState::kAttention:
        row.state = RowState::kAttention;
        row.look = attention_summary(outcome);
        break;
      case CheckState::kFailed:
        row.state = RowState::kFailed;
        break;
    }
    if (outcome.error) {
      row.error_kind = error_kind_name(outcome.error->kind());
      row.error = outcome.error->what();
      row.look = row.error_kind + ": " + row.error;
      for (const ElementFailure& f : outcome.failed_elements) {
        row.element_errors.push_back(
            std::string(error_kind_name(f.error.kind())) + ": " +
            f.error.what());
      }
    }
    const std::string note = outcome.result && outcome.error
                                 ? "partial: " + row.error
                                 : std::string();
    for (const Verdict& v : outcome.expectations)
      row.verdicts.push_back({v.holds, verdict_line(v, note)});
    if (outcome.baseline) row.comparison = baseline_lines(*outcome.baseline);
    row.block = blocks_.check_finished(outcome);
    rows_.push_back(std::move(row));
  }

  void run_ended(const RunEnd& end) override {
    const bool in_a_check = !rows_.empty() && rows_.back().ends_run;
    if (end.failure && !in_a_check) run_failure_ = end.failure;
    for (std::size_t i = rows_.size(); i < end.checks.size(); ++i) {
      Row row;
      row.name = end.checks[i];
      row.state = RowState::kNotRun;
      rows_.push_back(std::move(row));
    }
    fit_blocks();
    write_head(end);
    write_header(end);
    write("<main>\n");
    write_look();
    write_table();
    write("</main>\n</body>\n</html>\n");
  }

 private:
  void write(std::string_view s) { out_.write(s); }

  std::size_t count(RowState state) const {
    std::size_t n = 0;
    for (const Row& row : rows_) n += row.state == state;
    return n;
  }

  // Cuts the blocks to kMaxHtmlBlocks bytes in all: those of the checks
  // that failed or need attention first.
  void fit_blocks() {
    std::size_t left = kMaxHtmlBlocks;
    auto fit = [&left](Row& row) {
      const std::size_t cut = cut_text(row.block, left);
      left -= row.block.size();
      if (cut == 0) return;
      row.block += "\n[cut: the page shows at most 4 MiB of report blocks; " +
                   std::to_string(cut) +
                   " more bytes of this block are not shown]\n";
    };
    for (Row& row : rows_) {
      if (row.state == RowState::kFailed || row.state == RowState::kAttention)
        fit(row);
    }
    for (Row& row : rows_) {
      if (row.state == RowState::kWell) fit(row);
    }
  }

  void write_head(const RunEnd& end) {
    write(
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta "
        "charset=\"utf-8\">\n<meta http-equiv=\"Content-Security-Policy\" "
        "content=\"default-src 'none'; style-src 'unsafe-inline'\">\n<meta "
        "name=\"referrer\" content=\"no-referrer\">\n<meta name=\"viewport\" "
        "content=\"width=device-width, initial-scale=1\">\n");
    write("<title>tarnwick report: " + html_escaped(end.controller) + ", " +
          utc_timestamp_text(end.started) + "Z</title>\n<style>\n");
    write(kHtmlStyle);
    write("</style>\n</head>\n<body>\n");
  }

  void write_header(const RunEnd& end) {
    const RowState outcome = end.exit_status == kExitSuccess ? RowState::kWell
                             : end.exit_status == kExitAttention
                                 ? RowState::kAttention
                                 : RowState::kFailed;
    const std::string started = utc_timestamp_text(end.started) + "Z";
    const std::string_view meaning = exit_meaning(end.exit_status);
    write("<header>\n<h1>tarnwick report <span class=\"controller\">" +
          html_escaped(end.controller) + "</span></h1>\n");
    write("<p class=\"outcome " + std::string(shown(outcome).css) + "\">" +
          symbol_span(shown(outcome)) + " Exit status " +
          std::to_string(end.exit_status) +
          (meaning.empty() ? "" : ": " + std::string(meaning)) + "</p>\n");
    auto fact = [this](std::string_view term, const std::string& value) {
      write("<div><dt>" + std::string(term) + "</dt><dd>" + value +
            "</dd></div>\n");
    };
    write("<dl class=\"facts\">\n");
    fact("Controller", html_escaped(end.controller));
    fact("Check directory", html_escaped(end.check_dir));
    fact("Started (UTC)",
         "<time datetime=\"" + started + "\">" + started + "</time>");
    fact("Duration", seconds_text(end.duration) + " s");
    fact("Requests", std::to_string(end.requests));
    write("</dl>\n<ul class=\"counts\" aria-label=\"Checks by state\">\n");
    for (const RowState state : {RowState::kWell, RowState::kAttention,
                                 RowState::kFailed, RowState::kNotRun}) {
      const std::size_t n = count(state);
      if (state == RowState::kNotRun && n == 0) continue;
      const StateShown s = shown(state);
      std::string words(s.words);
      if (state == RowState::kAttention && n != 1) words = "need attention";
      write("<li class=\"" + std::string(s.css) + "\">" + symbol_span(s) +
            " <strong>" + std::to_string(n) + "</strong> " + words + "</li>\n");
    }
    write("</ul>\n</header>\n");
  }

  // What needs a look: the run's own failure, the checks that failed, then
  // those that need attention.
  void write_look() {
    write(
        "<section aria-labelledby=\"look\">\n<h2 id=\"look\">Needs a "
        "look</h2>\n");
    std::string items;
    if (run_failure_) {
      items += "<li class=\"failed\">" + badge(RowState::kFailed) +
               " the run: <span class=\"why\">" +
               html_escaped(run_failure_->kind + ": " + run_failure_->message) +
               "</span></li>\n";
    }
    for (const RowState state : {RowState::kFailed, RowState::kAttention}) {
      for (std::size_t i = 0; i < rows_.size(); ++i) {
        const Row& row = rows_[i];
        if (row.state != state) continue;
        items += "<li class=\"" + std::string(shown(state).css) + "\">" +
                 badge(state) + " <a href=\"#check-" + std::to_string(i + 1) +
                 "\">" + html_escaped(row.name) + "</a>: <span class=\"why\">" +
                 html_escaped(row.look) + "</span></li>\n";
      }
    }
    const std::size_t not_run = count(RowState::kNotRun);
    if (not_run > 0) {
      items += "<li class=\"notrun\">" + badge(RowState::kNotRun) + " " +
               std::to_string(not_run) + (not_run == 1 ? " check" : " checks") +
               ": the run ended before " + (not_run == 1 ? "it" : "them") +
               "</li>\n";
    }
    if (items.empty()) {
      write("<p class=\"nothing\">Nothing: " +
            std::string(rows_.empty() ? "no check ran."
                                      : "every check is "
                                        "well.") +
            "</p>\n");
    } else {
      write("<ul class=\"look\">\n" + items + "</ul>\n");
    }
    write("</section>\n");
  }

  void write_table() {
    write(
        "<section aria-labelledby=\"checks\">\n<h2 id=\"checks\">Checks in "
        "run order</h2>\n<table aria-labelledby=\"checks\">\n<thead><tr><th "
        "scope=\"col\" class=\"num\">#</th><th scope=\"col\">Check</th><th "
        "scope=\"col\">State</th><th scope=\"col\">Duration</th><th "
        "scope=\"col\">Details</th></tr></thead>\n<tbody>\n");
    Clock::Duration longest{};
    for (const Row& row : rows_) longest = std::max(longest, row.duration);
    for (std::size_t i = 0; i < rows_.size(); ++i)
      write_row(rows_[i], i + 1, longest);
    write("</tbody>\n</table>\n</section>\n");
  }

  void write_row(const Row& row, std::size_t number, Clock::Duration longest) {
    const std::string n = std::to_string(number);
    write("<tr id=\"check-" + n + "\" class=\"" +
          std::string(shown(row.state).css) + "\">\n<td class=\"num\">" + n +
          "</td>\n<th scope=\"row\">" + html_escaped(row.name) +
          "</th>\n<td class=\"state\">" + badge(row.state) +
          "</td>\n<td class=\"dur\">");
    if (row.state != RowState::kNotRun) {
      write(seconds_text(row.duration) +
            " s<span class=\"track\" aria-hidden=\"true\"><span "
            "class=\"bar\" style=\"width:" +
            bar_width(row.duration, longest) + "\"></span></span>");
    }
    write("</td>\n<td class=\"details\">");
    write_details(row);
    write("</td>\n</tr>\n");
  }

  void write_details(const Row& row) {
    if (row.state == RowState::kNotRun) {
      write("<p class=\"note\">The run ended before this check.</p>");
      return;
    }
    if (row.description)
      write("<p class=\"desc\">" + html_escaped(*row.description) + "</p>\n");
    if (!row.error_kind.empty()) {
      write("<p class=\"error\"><strong>" + html_escaped(row.error_kind) +
            "</strong>: " + html_escaped(row.error) + "</p>\n");
      if (row.ends_run)
        write("<p class=\"note\">This failure ended the run.</p>\n");
    }
    if (!row.element_errors.empty()) {
      write("<ul class=\"lines error\">\n");
      for (const std::string& e : row.element_errors)
        write("<li>" + html_escaped(e) + "</li>\n");
      write("</ul>\n");
    }
    if (!row.verdicts.empty()) {
      write("<ul class=\"lines verdicts\">\n");
      for (const VerdictShown& v : row.verdicts) {
        const RowState s = !v.holds   ? RowState::kNotRun
                           : *v.holds ? RowState::kWell
                                      : RowState::kFailed;
        write("<li class=\"" + std::string(shown(s).css) + "\">" +
              symbol_span(shown(s)) + " " + html_escaped(v.line) + "</li>\n");
      }
      write("</ul>\n");
    }
    if (!row.comparison.empty()) {
      write("<ul class=\"lines comparison\">\n");
      for (const std::string& line : row.comparison)
        write("<li>" + html_escaped(line) + "</li>\n");
      write("</ul>\n");
    }
    // Without the empty lines that end a block of the text report; the
    // parser drops the line end right after <pre>, not the block's first.
    std::string_view block = row.block;
    while (!block.empty() && block.back() == '\n') block.remove_suffix(1);
    if (!block.empty()) {
      write("<details><summary>Report block</summary><pre>\n" +
            html_escaped(block) + "</pre></details>\n");
    }
  }

  Output& out_;
  CheckBlocks blocks_;
  std::vector<Row> rows_;
  std::optional<RunFailure> run_failure_;
};

}  // namespace

std::unique_ptr<RunEndWriter> make_html_report(Output& out) {
  return std::make_unique<HtmlReport>(out);
}

}  // namespace tarnwick
