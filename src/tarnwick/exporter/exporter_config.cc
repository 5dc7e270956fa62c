#include "tarnwick/exporter/exporter_config.h"

#include <yaml-cpp/eventhandler.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/secret.h"
#include "tarnwick/exporter/yaml_fields.h"

namespace tarnwick {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kDay{86400000};
constexpr long long kMaxInFlight = 64;  // as the command's --in-flight

// What a configuration is read with.
struct Reading {
  ConfigProblems& problems;
  ConfigFiles& files;
  std::string dir;  // of the configuration file, "" for the working one
};

// path taken from the configuration file's directory.
std::string resolve(const Reading& r, const std::string& path) {
  if (path.starts_with('/') || r.dir.empty()) return path;
  return r.dir + "/" + path;
}

// Module and auth names go into URLs and labels as they are.
bool is_good_name(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    const char lower = static_cast<char>(c | 0x20);
    return (lower >= 'a' && lower <= 'z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-' || c == '.';
  });
}

std::string what_is_wrong(const Error& e) { return e.what(); }

void read_module(const Reading& r, const std::string& name,
                 const YAML::Node& key, const YAML::Node& node,
                 ExporterConfig& config) {
  const Fields f(
      node, key, "module " + quote_text(name) + ": ", r.problems,
      {"checks", "only", "expect", "fail_http", "in_flight", "timeout",
       "probe_timeout", "min_interval", "login_per_check"});
  Module m;
  m.name = name;
  const std::optional<std::string> checks = f.text("checks", true);
  if (checks) m.checks = resolve(r, *checks);
  if (const auto only = f.texts("only")) {
    std::set<std::string, std::less<>> seen;
    for (const auto& [check, line] : *only) {
      if (check.find('/') != std::string::npos) {
        r.problems.add(line, "module " + quote_text(name) +
                                 ": only: " + quote_text(check) +
                                 " is no name in the check directory");
      } else if (!seen.insert(check).second) {
        r.problems.add(line, "module " + quote_text(name) + ": only: " +
                                 quote_text(check) + " is given twice");
      }
      m.only.push_back(check);
    }
  }
  m.expect = f.boolean("expect").value_or(false);
  m.fail_http = f.boolean("fail_http").value_or(false);
  m.login_per_check = f.boolean("login_per_check").value_or(false);
  if (const auto n = f.whole("in_flight", 1, kMaxInFlight))
    m.in_flight = static_cast<std::size_t>(*n);
  m.timeout = f.duration("timeout", milliseconds(1), kDay);
  m.probe_timeout = f.duration("probe_timeout", milliseconds(1), kDay);
  m.min_interval = f.duration("min_interval", milliseconds(0), kDay)
                       .value_or(milliseconds(0));
  if (checks) {
    try {
      r.files.check_checks(m.checks, m.only);
    } catch (const Error& e) {
      f.problem("checks", what_is_wrong(e));
    }
  }
  config.modules.emplace(name, std::move(m));
}

// The lines of a pins file: "TARGET PIN", blank lines and "#" comments.
std::vector<TargetPins> read_pins(const Reading& r, const Fields& f,
                                  const std::string& path) {
  std::string text;
  try {
    text = r.files.read_text(path);
  } catch (const Error& e) {
    f.problem("tls_pins_file", what_is_wrong(e));
    return {};
  }
  std::vector<TargetPins> pins;
  std::size_t start = 0;
  for (int line = 1; start < text.size(); ++line) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string_view s(text.data() + start, end - start);
    start = end + 1;
    if (s.ends_with('\r')) s.remove_suffix(1);
    const std::size_t first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos || s[first] == '#') continue;
    s = s.substr(first);
    const std::size_t gap = s.find_first_of(" \t");
    const std::size_t pin_at = gap == std::string_view::npos
                                   ? std::string_view::npos
                                   : s.find_first_not_of(" \t", gap);
    const std::string where = path + ":" + std::to_string(line) + ": ";
    if (pin_at == std::string_view::npos) {
      f.problem("tls_pins_file", where + "expects 'TARGET PIN'");
      continue;
    }
    std::string_view pin = s.substr(pin_at);
    while (!pin.empty() && (pin.back() == ' ' || pin.back() == '\t'))
      pin.remove_suffix(1);
    if (!is_pin_list(pin)) {
      f.problem("tls_pins_file", where + "expects a pin 'sha256//BASE64'");
      continue;
    }
    try {
      pins.push_back(
          {TargetRule::parse(s.substr(0, gap), false), std::string(pin)});
    } catch (const Error& e) {
      f.problem("tls_pins_file", where + what_is_wrong(e));
    }
  }
  return pins;
}

// tls_pin, tls_pins_file, tls_ca and insecure_skip_verify: one way of
// trusting the controller at least, and none that contradicts another.
void read_trust(const Reading& r, const Fields& f, Auth& a) {
  const std::optional<std::string> pin = f.text("tls_pin");
  const std::optional<std::string> pins_file = f.text("tls_pins_file");
  const std::optional<std::string> ca = f.text("tls_ca");
  a.insecure_skip_verify = f.boolean("insecure_skip_verify").value_or(false);
  if (pin && !is_pin_list(*pin))
    f.problem("tls_pin", "expects 'sha256//BASE64' pins joined by ';'");
  if (pin && pins_file)
    f.problem("tls_pins_file", "contradicts tls_pin: give one of them");
  if (a.insecure_skip_verify && (pin || pins_file || ca))
    f.problem("insecure_skip_verify",
              "contradicts tls_pin, tls_pins_file and tls_ca");
  if (!pin && !pins_file && !ca && !a.insecure_skip_verify) {
    f.problem(
        "no way of trusting the controller: give tls_pin, tls_pins_file, "
        "tls_ca or insecure_skip_verify: true");
  }
  if (pin) a.trust.pinned_public_keys = *pin;
  if (ca) {
    a.trust.ca_file = resolve(r, *ca);
    try {
      r.files.check_file(a.trust.ca_file);
    } catch (const Error& e) {
      f.problem("tls_ca", what_is_wrong(e));
    }
  }
  if (pins_file) a.pins_file = read_pins(r, f, resolve(r, *pins_file));
}

void read_auth(const Reading& r, const std::string& name, const YAML::Node& key,
               const YAML::Node& node, ExporterConfig& config) {
  const Fields f(node, key, "auth " + quote_text(name) + ": ", r.problems,
                 {"username", "password_file", "targets", "tls_pin",
                  "tls_pins_file", "tls_ca", "insecure_skip_verify",
                  "keep_connections", "session_max_age"});
  Auth a;
  a.name = name;
  a.username = f.text("username", true).value_or("");
  if (const auto file = f.text("password_file", true)) {
    try {
      a.password = r.files.read_secret(resolve(r, *file));
    } catch (const Error& e) {
      f.problem("password_file", what_is_wrong(e));
    }
  }
  if (const auto targets = f.texts("targets")) {
    for (const auto& [target, line] : *targets) {
      try {
        a.targets.push_back(TargetRule::parse(target));
      } catch (const Error& e) {
        r.problems.add(line, "auth " + quote_text(name) +
                                 ": targets: " + what_is_wrong(e));
      }
    }
    if (targets->empty()) f.problem("targets", "expects at least one target");
  } else if (!f.has("targets")) {
    f.problem("'targets' is missing: where may this auth be sent?");
  }
  read_trust(r, f, a);
  a.keep_connections = f.boolean("keep_connections").value_or(false);
  a.session_max_age = f.duration("session_max_age", milliseconds(1), kDay);
  config.auths.emplace(name, std::move(a));
}

// The mapping of modules or of auths by name.
template <typename ReadOne>
void read_named(const Reading& r, const Fields& top, std::string_view key,
                std::string_view what, ReadOne read_one) {
  const YAML::Node node = top.value(key);
  if (!node.IsDefined()) {
    top.problem("'" + std::string(key) + "' is missing");
    return;
  }
  const Fields named(node, node, std::string(key) + ": ", r.problems, {});
  if (node.IsMap() && named.entries().empty())
    top.problem(key, "expects at least one " + std::string(what));
  for (const auto& [name_node, value] : named.entries()) {
    const std::string& name = name_node.Scalar();
    if (!is_good_name(name)) {
      r.problems.add(name_node, std::string(what) + " " + quote_text(name) +
                                    ": a name has only letters, digits, '_', "
                                    "'-' and '.'");
      continue;
    }
    read_one(name, name_node, value);
  }
}

// Counts the documents of a YAML stream and notes where the second begins.
class DocumentCounter : public YAML::EventHandler {
 public:
  void OnDocumentStart(const YAML::Mark& mark) override {
    if (++documents_ == 1) first_ = mark;
    if (documents_ == 2) second_ = mark;
  }
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark&, YAML::anchor_t) override {}
  void OnAlias(const YAML::Mark&, YAML::anchor_t) override {}
  void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t,
                const std::string&) override {}
  void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                       YAML::EmitterStyle::value) override {}
  void OnSequenceEnd() override {}
  void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                  YAML::EmitterStyle::value) override {}
  void OnMapEnd() override {}

  // The line (from 1) where the second document begins.
  int second_line() const { return second_.is_null() ? 1 : second_.line + 1; }
  // Whether the second document begins where the first did: the parser
  // made no progress.
  bool stuck() const { return first_.pos == second_.pos; }

 private:
  int documents_ = 0;
  YAML::Mark first_ = YAML::Mark::null_mark();
  YAML::Mark second_ = YAML::Mark::null_mark();
};

// The one document of text, or nullopt with the problem noted. Documents
// are counted by the event parser, two at most: yaml-cpp's LoadAll never
// returns on some streams (a lone ","), handing out empty documents for
// ever.
std::optional<YAML::Node> load_document(const std::string& text,
                                        ConfigProblems& problems) {
  try {
    std::istringstream in(text);
    YAML::Parser parser(in);
    DocumentCounter counter;
    int documents = 0;
    while (documents < 2 && parser.HandleNextDocument(counter)) ++documents;
    if (documents == 2) {
      problems.add(counter.second_line(),
                   counter.stuck() ? "no YAML document can be read here"
                                   : "expects one YAML document");
      return std::nullopt;
    }
    YAML::Node document = YAML::Load(text);
    if (documents == 0 || document.IsNull()) {
      problems.add(1, "the configuration is empty");
      return std::nullopt;
    }
    return document;
  } catch (const YAML::Exception& e) {
    problems.add(e.mark.is_null() ? 1 : e.mark.line + 1, e.msg);
    return std::nullopt;
  }
}

}  // namespace

Auth::~Auth() { wipe_secret(password); }

std::optional<TlsTrust> Auth::trust_for(const ProbeTarget& target) const {
  if (!pins_file) return trust;
  for (const TargetPins& line : *pins_file) {
    if (line.target.allows(target)) return TlsTrust{line.pins, ""};
  }
  return std::nullopt;
}

std::shared_ptr<const ExporterConfig> parse_exporter_config(
    std::string_view text, const std::string& file, ConfigFiles& files,
    std::vector<std::string>& problems) {
  problems.clear();
  ConfigProblems found(file, problems);
  const std::size_t slash = file.rfind('/');
  const Reading r{found, files,
                  slash == std::string::npos ? "" : file.substr(0, slash)};
  const std::optional<YAML::Node> document =
      load_document(std::string(text), found);
  if (!document) return nullptr;
  auto config = std::make_shared<ExporterConfig>();
  config->file = file;
  const Fields top(*document, *document, "", found, {"modules", "auths"});
  read_named(r, top, "modules", "module",
             [&](const std::string& name, const YAML::Node& key,
                 const YAML::Node& node) {
               read_module(r, name, key, node, *config);
             });
  read_named(
      r, top, "auths", "auth",
      [&](const std::string& name, const YAML::Node& key,
          const YAML::Node& node) { read_auth(r, name, key, node, *config); });
  if (problems.empty()) return config;
  // Modules and auths are read in that order, whichever comes first.
  sort_by_line(problems, file);
  return nullptr;
}

std::optional<std::string> read_config_text(
    const std::string& path, ConfigFiles& files,
    std::vector<std::string>& problems) {
  try {
    return files.read_text(path);
  } catch (const Error& e) {
    problems.push_back(path + ": " + e.what());
    return std::nullopt;
  }
}

std::shared_ptr<const ExporterConfig> read_exporter_config(
    const std::string& path, ConfigFiles& files,
    std::vector<std::string>& problems) {
  problems.clear();
  const std::optional<std::string> text =
      read_config_text(path, files, problems);
  if (!text) return nullptr;
  return parse_exporter_config(*text, path, files, problems);
}

}  // namespace tarnwick
