#include "tarnwick/json_report.h"

#include "tarnwick/json_writer.h"

namespace tarnwick {

void JsonReport::open_line(std::string_view name,
                           const std::optional<std::string>& description,
                           std::string_view key) {
  out_.write("{\"check\": ");
  write_json_string(name, out_);
  out_.write(", \"description\": ");
  if (description) {
    write_json_string(*description, out_);
  } else {
    out_.write("null");
  }
  out_.write(", \"");
  out_.write(key);
  out_.write("\": ");
}

void JsonReport::check_started(std::string_view name,
                               const std::optional<std::string>& description) {
  name_ = name;
  description_ = description;
}

void JsonReport::check_finished(const Value& result) {
  open_line(name_, description_, "result");
  write_json(result.node(), out_);
  out_.write("}\n");
  out_.flush();
  name_.clear();
  description_.reset();
}

void JsonReport::check_failed(std::string_view name, const Error& error, bool) {
  // A check whose file could not be read never started.
  if (name != name_) description_.reset();
  open_line(name, description_, "error");
  out_.write("{\"kind\": ");
  write_json_string(error_kind_name(error.kind()), out_);
  out_.write(", \"message\": ");
  write_json_string(error.what(), out_);
  out_.write("}}\n");
  out_.flush();
  name_.clear();
  description_.reset();
}

}  // namespace tarnwick
