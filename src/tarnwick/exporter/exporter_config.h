// The exporter's configuration: modules (what a probe runs) and auths (with
// what it logs in, where it may go and how it trusts the controller), read
// from YAML and checked whole when read, never when a probe first needs it.
#ifndef TARNWICK_EXPORTER_EXPORTER_CONFIG_H_
#define TARNWICK_EXPORTER_EXPORTER_CONFIG_H_

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/exporter/target.h"
#include "tarnwick/wire/tls_trust.h"

namespace tarnwick {

struct Module {
  std::string name;
  // The check directory, relative paths taken from the configuration
  // file's directory.
  std::string checks;
  // The checks to run, in order (as --only); empty, all of the directory.
  std::vector<std::string> only;
  bool expect = false;     // judge [expect] sections (--expect)
  bool fail_http = false;  // --fail-http
  // Element requests in flight at once (--in-flight, which implies kept
  // connections); 1 and unset, one at a time over connections of their own.
  std::optional<std::size_t> in_flight;
  // The bound on each wait of a request (--timeout).
  std::optional<std::chrono::milliseconds> timeout;
  // The bound on the whole probe.
  std::optional<std::chrono::milliseconds> probe_timeout;
  // A probe of the same target, module and auth within this time of the
  // last one's end gets the last one's answer; 0, never.
  std::chrono::milliseconds min_interval{0};
  // Each check logs in for itself instead of the probe logging in once.
  bool login_per_check = false;
};

// A line of a tls_pins_file: the pins of one target.
struct TargetPins {
  TargetRule target;
  std::string pins;  // "sha256//..." joined by ';'
};

struct Auth {
  Auth() = default;
  Auth(Auth&&) = default;
  Auth& operator=(Auth&&) = default;
  ~Auth();

  std::string name;
  std::string username;
  std::string password;  // wiped with the auth
  // Where the auth may be sent.
  std::vector<TargetRule> targets;
  // tls_pin and tls_ca.
  TlsTrust trust;
  // The lines of tls_pins_file, when one is given.
  std::optional<std::vector<TargetPins>> pins_file;
  bool insecure_skip_verify = false;
  // Probes of a target leave their connections open for its next probe.
  bool keep_connections = false;
  // Set, the session of a login is kept for the probes of the same target
  // that follow until it is this old (exporter/session_cache.h).
  std::optional<std::chrono::milliseconds> session_max_age;

  // How a probe of target trusts the controller; nullopt when the pins
  // file gives no pin for target (the target is refused).
  std::optional<TlsTrust> trust_for(const ProbeTarget& target) const;
};

struct ExporterConfig {
  std::string file;  // as given
  std::map<std::string, Module, std::less<>> modules;
  std::map<std::string, Auth, std::less<>> auths;
};

// The files a configuration names, behind an interface so that tests and
// the fuzzer can stand in for the file system.
class ConfigFiles {
 public:
  virtual ~ConfigFiles() = default;
  // read_secret_file (base/secret_file.h).
  virtual std::string read_secret(const std::string& path) = 0;
  // A whole text file (a pins file). Throws Error.
  virtual std::string read_text(const std::string& path) = 0;
  // That path is a file that can be read (a CA file). Throws Error.
  virtual void check_file(const std::string& path) = 0;
  // That dir is a check directory that can be listed, and each of `only`
  // a check in it that can be read; returns how many checks run. Throws
  // Error.
  virtual std::size_t check_checks(const std::string& dir,
                                   const std::vector<std::string>& only) = 0;
};

// The real file system.
class RealConfigFiles : public ConfigFiles {
 public:
  std::string read_secret(const std::string& path) override;
  std::string read_text(const std::string& path) override;
  void check_file(const std::string& path) override;
  std::size_t check_checks(const std::string& dir,
                           const std::vector<std::string>& only) override;
};

// The largest configuration file read.
inline constexpr std::size_t kMaxConfigBytes = 1 << 20;

// Parses `text`, the configuration file `file` (paths in it are taken from
// that file's directory). Every problem found goes to `problems` as
// "FILE:LINE: message", each in the order of the file; the configuration is
// returned only when there is none.
std::shared_ptr<const ExporterConfig> parse_exporter_config(
    std::string_view text, const std::string& file, ConfigFiles& files,
    std::vector<std::string>& problems);

// The text of the configuration file at path (the exporter's, or its web
// configuration), or nullopt with the problem "PATH: message" added.
std::optional<std::string> read_config_text(const std::string& path,
                                            ConfigFiles& files,
                                            std::vector<std::string>& problems);

// Reads the file at path and parses it as above; a file that cannot be read
// or is over kMaxConfigBytes is a problem "FILE: message".
std::shared_ptr<const ExporterConfig> read_exporter_config(
    const std::string& path, ConfigFiles& files,
    std::vector<std::string>& problems);

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_EXPORTER_CONFIG_H_
