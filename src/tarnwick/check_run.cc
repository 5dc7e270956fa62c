#include "tarnwick/check_run.h"

#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "tarnwick/check_file.h"
#include "tarnwick/curl_transport.h"
#include "tarnwick/error.h"
#include "tarnwick/form.h"
#include "tarnwick/json.h"
#include "tarnwick/secret.h"
#include "tarnwick/session.h"
#include "tarnwick/settings.h"
#include "tarnwick/text.h"

namespace tarnwick {

namespace {

constexpr std::string_view kRequestSection = "orvantis";

// One check of a chain of compound references, read and logged in, waiting
// for its requests to be sent.
struct Level {
  std::string path;  // as opened
  std::string name;  // as the referring check names it; the path for the first
  CheckFile config;
  Value cid;
  std::vector<FormField> fields;  // the section's keys in order, as text
  std::optional<std::size_t> compound_field;  // index into fields
  std::vector<std::string> filters;
};

// "(in checks/gw.cfg <- items)": which check, and through which references,
// a failure happened in.
std::string chain_context(const std::vector<Level>& levels) {
  std::string text = " (in ";
  for (std::size_t i = 0; i < levels.size(); ++i) {
    if (i > 0) text += " <- ";
    text += levels[i].name;
  }
  text += ")";
  return text;
}

// Adds the file of `next` to the files on the chain, or throws when it is
// there already. Files are told apart by identity, so a symlink or hard link
// to a check on the chain is the same check; the set keeps a long chain
// linear, and the levels only name it in the message.
void reject_cycle(std::set<FileIdentity>& on_chain,
                  const std::vector<Level>& levels, const Level& next) {
  if (on_chain.insert(next.config.identity()).second) return;
  std::string chain;
  for (const Level& l : levels) chain += l.name + " -> ";
  chain += next.name;
  throw Error(ErrorKind::kReferenceCycle,
              "checks refer to each other: " + chain);
}

// Logs in for a check already read and collects its request fields (in this
// order, so a missing section or an unreadable value fails after the login).
void prepare(Level& level, const RunSettings& settings, Transport& transport) {
  level.cid = get_orvantis_cid(settings.controller_ip, settings.username,
                               settings.password, transport);
  level.filters = read_filter_list(level.config);
  for (const std::string& key : level.config.keys(kRequestSection)) {
    std::string value = level.config.get(kRequestSection, key);
    if (is_compound_reference(value))
      level.compound_field = level.fields.size();
    level.fields.push_back({key, std::move(value)});
  }
}

// The form of one request: CID first, then the section's fields, the
// compound field (if any) holding `element`.
std::string build_form(const Level& level, const Node* element) {
  std::vector<FormField> form;
  form.reserve(level.fields.size() + 1);
  append_form_value(form, "CID", level.cid.node());
  for (std::size_t i = 0; i < level.fields.size(); ++i) {
    if (element != nullptr && level.compound_field == i) {
      append_form_value(form, level.fields[i].name, *element);
    } else {
      form.push_back(level.fields[i]);
    }
  }
  return encode_form(form);
}

Value request(const Level& level, const std::string& url, const Node* element,
              Transport& transport) {
  Reply reply = transport.post({url, build_form(level, element)});
  // Only what the filters reach is decoded: a large reply filtered down
  // takes little more memory than its body.
  return decode_json_filtered(std::move(reply.body), level.filters);
}

// The elements a compound check sends: a list's items, a map's keys, a
// text's characters (one per code point).
std::vector<Node> elements_of(const Value& results, ValueBuilder& builder) {
  const Node& node = results.node();
  std::vector<Node> elements;
  switch (node.kind) {
    case Kind::kList:
      elements.assign(node.list().begin(), node.list().end());
      break;
    case Kind::kMap:
      elements.reserve(node.size);
      for (const Member& m : node.map()) elements.push_back(m.key);
      break;
    case Kind::kText: {
      std::string_view text = node.text();
      std::size_t pos = 0;
      while (pos < text.size()) {
        std::size_t start = pos;
        char32_t c;
        if (!decode_utf8(text, pos, c, true)) pos = start + 1;
        elements.push_back(Node::text_of(text.substr(start, pos - start)));
      }
      break;
    }
    default:
      throw Error(ErrorKind::kType, std::string("cannot step through a ") +
                                        kind_name(node.kind) +
                                        " to send it element by element");
  }
  builder.share(results);
  return elements;
}

// Sends the compound check's request once per element of the referenced
// check's result and returns the records {"object", "results"}.
Value run_compound(const Level& level, const std::string& url,
                   const Value& compound_results, Transport& transport) {
  ValueBuilder builder;
  std::vector<Node> elements = elements_of(compound_results, builder);
  Node* records = builder.arena().allocate_array<Node>(elements.size());
  Node object_key = builder.text("object");
  Node results_key = builder.text("results");
  for (std::size_t i = 0; i < elements.size(); ++i) {
    Value reply = request(level, url, &elements[i], transport);
    builder.share(reply);
    Member* record = builder.arena().allocate_array<Member>(2);
    record[0] = {object_key, elements[i]};
    record[1] = {results_key, reply.node()};
    records[i] = Node::map_of({record, 2});
  }
  return builder.finish(Node::list_of({records, elements.size()}));
}

// Reads the check that the last level refers to as the next level of the
// chain, before that check's login. A file that is not there is named in the
// context of the checks before it; one that cannot be read or parsed in its
// own.
void read_next_level(std::vector<Level>& levels,
                     std::set<FileIdentity>& on_chain,
                     const std::string& config_dir) {
  const Level& level = levels.back();
  Level next;
  next.name = referenced_name(level.fields[*level.compound_field].value);
  next.path = join_check_path(config_dir, next.name);
  try {
    next.config = CheckFile::load(next.path);
  } catch (const Error& e) {
    if (e.kind() != ErrorKind::kFileNotFound) levels.push_back(std::move(next));
    throw;
  }
  reject_cycle(on_chain, levels, next);
  levels.push_back(std::move(next));
}

// Throws e again with the context of the levels.
[[noreturn]] void rethrow_in_context(const Error& e,
                                     const std::vector<Level>& levels) {
  if (e.kind() == ErrorKind::kLoginFailed ||
      e.kind() == ErrorKind::kReferenceCycle)
    throw e;
  throw Error(e.kind(), e.what() + chain_context(levels));
}

}  // namespace

Value run_check(const RunSettings& settings, const CheckFile& config,
                const std::string& config_file, Transport& transport) {
  const std::string url = controller_api_url(settings.controller_ip);
  // A chain of compound references is walked without recursion: every check
  // of the chain is read and logged in on the way down, then the innermost
  // runs and each check sends its requests on the way back up.
  std::vector<Level> levels;
  std::set<FileIdentity> on_chain;
  Level first;
  first.path = config_file;
  first.name = config_file;
  first.config = config;
  on_chain.insert(config.identity());
  levels.push_back(std::move(first));
  try {
    for (;;) {
      prepare(levels.back(), settings, transport);
      if (!levels.back().compound_field) break;
      read_next_level(levels, on_chain, settings.config_dir);
    }
    Value result = request(levels.back(), url, nullptr, transport);
    while (levels.size() > 1) {
      levels.pop_back();
      result = run_compound(levels.back(), url, result, transport);
    }
    return result;
  } catch (const Error& e) {
    rethrow_in_context(e, levels);
  }
}

Value orvantis_api(const std::string& controller_ip,
                   const std::string& username, const std::string& password,
                   const std::string& config_dir,
                   const std::string& config_file, Transport& transport) {
  // Read before the login, so a missing or rejected file fails without one.
  CheckFile config;
  try {
    config = CheckFile::load(config_file);
  } catch (const Error& e) {
    std::vector<Level> only(1);
    only[0].name = config_file;
    rethrow_in_context(e, only);
  }
  RunSettings settings{controller_ip, username, password, config_dir};
  WipedOnExit wiped(settings.password);
  return run_check(settings, config, config_file, transport);
}

Value orvantis_api(const std::string& controller_ip,
                   const std::string& username, const std::string& password,
                   const std::string& config_dir,
                   const std::string& config_file) {
  return orvantis_api(controller_ip, username, password, config_dir,
                      config_file, process_curl_transport());
}

}  // namespace tarnwick
