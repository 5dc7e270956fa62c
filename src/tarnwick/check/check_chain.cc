#include "tarnwick/check/check_chain.h"

#include <utility>

namespace tarnwick {

CheckChain::CheckChain(const CheckFile& first, const std::string& path) {
  CheckLevel level;
  level.path = path;
  level.name = path;
  level.config = first;
  on_chain_.insert(first.identity());
  levels_.push_back(std::move(level));
}

void CheckChain::read_request() {
  CheckLevel& level = levels_.back();
  level.filters = read_filter_list(level.config);
  for (const std::string& key : level.config.keys(kRequestSection)) {
    reading_line_ = level.config.line_of(kRequestSection, key);
    std::string value = level.config.get(kRequestSection, key);
    if (is_compound_reference(value))
      level.compound_field = level.fields.size();
    level.fields.push_back({key, std::move(value)});
  }
  reading_line_ = 0;
}

void CheckChain::read_referenced(const std::string& config_dir) {
  const CheckLevel& level = levels_.back();
  const FormField& field = level.fields[*level.compound_field];
  reading_line_ = level.config.line_of(kRequestSection, field.name);
  CheckLevel next;
  next.name = referenced_name(field.value);
  next.path = join_check_path(config_dir, next.name);
  try {
    next.config = CheckFile::load(next.path);
  } catch (const Error& e) {
    // A file that is there but cannot be read or parsed is named as a check
    // of the chain; one that is not there, from the check that names it.
    if (e.kind() != ErrorKind::kFileNotFound) {
      levels_.push_back(std::move(next));
      reading_line_ = 0;
    }
    throw;
  }
  if (!on_chain_.insert(next.config.identity()).second) {
    std::string chain;
    for (const CheckLevel& l : levels_) chain += l.name + " -> ";
    chain += next.name;
    throw Error(ErrorKind::kReferenceCycle,
                "checks refer to each other: " + chain);
  }
  levels_.push_back(std::move(next));
  reading_line_ = 0;
}

Error CheckChain::in_context(const Error& e) const {
  return e.with_message(e.what() + (" (in " + text()) + element_ + ")");
}

std::string CheckChain::text() const {
  std::string text;
  for (std::size_t i = 0; i < levels_.size(); ++i) {
    if (i > 0) text += " <- ";
    text += levels_[i].name;
  }
  return text;
}

void CheckChain::rethrow_in_context(const Error& e, bool with_line) const {
  if (e.kind() == ErrorKind::kOutput) throw;
  if (e.kind() == ErrorKind::kReferenceCycle && !(with_line && reading_line_))
    throw;
  std::string context = " (in " + text();
  if (with_line && reading_line_ > 0)
    context += ":" + std::to_string(reading_line_);
  throw e.with_message(e.what() + context + element_ + ")");
}

}  // namespace tarnwick
