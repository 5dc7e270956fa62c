#include "tarnwick/report/verdict_line.h"

#include <limits>

#include "tarnwick/base/text.h"
#include "tarnwick/report/notation.h"

namespace tarnwick {

std::string one_line(const Node& v, std::size_t max) {
  std::string text = pformat(v, std::numeric_limits<std::size_t>::max());
  text.pop_back();  // its line end
  const std::size_t end = prefix_of_characters(text, max);
  if (end == text.size()) return text;
  text.resize(end);
  return text + "...";
}

std::string verdict_line(const Verdict& verdict, std::string_view note) {
  std::string line = "expect " + verdict.name + ": ";
  if (!verdict.holds.has_value()) {
    line += "not judged: the check failed";
  } else if (*verdict.holds) {
    line += "holds";
  } else {
    line += "FAILS: ";
    for (std::size_t i = 0; i < verdict.found.size(); ++i) {
      const Finding& f = verdict.found[i];
      if (i > 0) line += ", ";
      // Containers that are not there are named after one prefix.
      if (f.nothing_to_look_in &&
          (i == 0 || !verdict.found[i - 1].nothing_to_look_in))
        line += "nothing to look in: ";
      line += f.path + " is " + (f.value ? one_line(*f.value) : "absent");
      if (!f.note.empty()) line += ", " + f.note;
    }
    if (verdict.more_found > 0)
      line += " and " + std::to_string(verdict.more_found) + " more";
    if (verdict.found.empty()) line += verdict.reason;
    line += " (expected " + verdict.expected + ")";
  }
  if (!note.empty()) {
    line += " (";
    line += note;
    line += ')';
  }
  return escape_control_characters(line);
}

std::vector<std::string> baseline_lines(const BaselineOutcome& baseline) {
  if (!baseline.compared) return {"baseline: " + baseline.note};
  const Comparison& c = baseline.comparison;
  std::vector<std::string> lines;
  for (const Change& change : c.changes) {
    switch (change.kind) {
      case Change::Kind::kChanged:
        lines.push_back("changed " + change.path + ": " +
                        one_line(*change.before) + " -> " +
                        one_line(*change.after));
        break;
      case Change::Kind::kAdded:
        lines.push_back("added " + change.path + ": " +
                        one_line(*change.after));
        break;
      case Change::Kind::kRemoved:
        lines.push_back("removed " + change.path + ": " +
                        one_line(*change.before));
        break;
    }
  }
  if (c.more_changes > 0)
    lines.push_back("and " + counted(c.more_changes, "more change"));
  for (const std::string& path : c.not_compared)
    lines.push_back("not compared " + path + ": the element failed");
  if (c.more_not_compared > 0) {
    lines.push_back("and " + counted(c.more_not_compared, "more element") +
                    " not compared");
  }
  if (c.unchanged()) lines.insert(lines.begin(), "baseline: unchanged");
  for (std::string& line : lines) line = escape_control_characters(line);
  return lines;
}

}  // namespace tarnwick
