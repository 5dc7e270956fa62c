// Reading the mappings of a YAML configuration strictly: every key known,
// none twice, every value of the type its key takes, and every problem
// named with the file and line where it stands. yaml-cpp's node API keeps
// both of two equal keys of a mapping when iterated and finds only the
// first by name, so keys are walked, never looked up.
#ifndef TARNWICK_EXPORTER_YAML_FIELDS_H_
#define TARNWICK_EXPORTER_YAML_FIELDS_H_

#include <yaml-cpp/yaml.h>

#include <chrono>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick {

// The problems found in one file, each "FILE:LINE: message".
class ConfigProblems {
 public:
  ConfigProblems(std::string file, std::vector<std::string>& list)
      : file_(std::move(file)), list_(list) {}

  // A problem at line (from 1).
  void add(int line, const std::string& message);
  // A problem where node stands.
  void add(const YAML::Node& node, const std::string& message);

  const std::string& file() const { return file_; }
  bool any() const { return !list_.empty(); }

 private:
  std::string file_;
  std::vector<std::string>& list_;
};

// The line (from 1) where node stands.
int line_of(const YAML::Node& node);

// "10s", "1m30s", "500ms", "0": a duration as Prometheus writes one, whole
// numbers with the units y, w, d, h, m, s and ms in that order, each at most
// once; nullopt when text is none.
std::optional<std::chrono::milliseconds> parse_duration(std::string_view text);

// The fields of one mapping. Reading it reports, as problems, a value that
// is no mapping, a key that is not a plain text, a key given twice and a key
// not in `known`; the getters then report a value of the wrong type or out
// of bounds and return nullopt for it, and for a key not given.
class Fields {
 public:
  // `context` begins each message ("module 'gateways': "); node is the
  // mapping, standing at the line of `key_node` when it is null.
  Fields(const YAML::Node& node, const YAML::Node& key_node,
         std::string context, ConfigProblems& problems,
         std::initializer_list<std::string_view> known);

  // The value of key, or an undefined node when it is not given.
  YAML::Node value(std::string_view key) const;
  bool has(std::string_view key) const { return value(key).IsDefined(); }
  // The line of the mapping itself.
  int line() const { return line_; }

  // A problem of this mapping (at its line) or of one key's value.
  void problem(const std::string& message) const;
  void problem(std::string_view key, const std::string& message) const;

  // A text that is not empty; with required, a missing key is a problem.
  std::optional<std::string> text(std::string_view key,
                                  bool required = false) const;
  // true or false.
  std::optional<bool> boolean(std::string_view key) const;
  // A whole number from min to max.
  std::optional<long long> whole(std::string_view key, long long min,
                                 long long max) const;
  // A duration (parse_duration) from min to max.
  std::optional<std::chrono::milliseconds> duration(
      std::string_view key, std::chrono::milliseconds min,
      std::chrono::milliseconds max) const;
  // A list of texts that are not empty, each with its line.
  std::optional<std::vector<std::pair<std::string, int>>> texts(
      std::string_view key) const;

  // The entries of the mapping in file order, keys as texts; with the
  // problems of reading it already reported.
  const std::vector<std::pair<YAML::Node, YAML::Node>>& entries() const {
    return entries_;
  }

 private:
  std::string context_;
  ConfigProblems& problems_;
  int line_ = 0;
  std::vector<std::pair<YAML::Node, YAML::Node>> entries_;
};

// Whether node is a text as written (a scalar; plain or quoted).
bool is_text(const YAML::Node& node);

// Puts problems, each "FILE:LINE: message" of `file`, in the order of their
// lines, those of one line as they came.
void sort_by_line(std::vector<std::string>& problems, std::string_view file);

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_YAML_FIELDS_H_
