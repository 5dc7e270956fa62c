#include "tarnwick/check_run.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "tarnwick/check_file.h"
#include "tarnwick/error.h"
#include "tarnwick/filter.h"
#include "tarnwick/form.h"
#include "tarnwick/json.h"
#include "tarnwick/literal.h"
#include "tarnwick/text.h"

namespace tarnwick {

namespace {

constexpr std::string_view kRequestSection = "orvantis";

// One check of a chain of compound references, read and logged in, waiting
// for its requests to be sent.
struct Level {
  std::string path;  // as opened
  std::string name;  // as the referring check names it; the path for the first
  dev_t device = 0;
  ino_t inode = 0;
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

// The identity of a file on a chain of references. Files are told apart by
// device and inode, so a symlink or hard link to a check on the chain is the
// same check.
using FileId = std::pair<dev_t, ino_t>;

// Stats the file a level names. Fails like CheckFile::load for a path that
// names no file: a NUL byte would make stat() look at a shorter path, and so
// at another file.
void identify(Level& level) {
  if (level.path.find('\0') != std::string::npos) {
    throw Error(ErrorKind::kFileNotFound,
                "no such file: " + quote_text(level.path));
  }
  struct stat st;
  if (::stat(level.path.c_str(), &st) != 0) {
    int err = errno;
    if (err == ENOENT || err == ENOTDIR) {
      throw Error(ErrorKind::kFileNotFound,
                  "no such file: " + quote_text(level.path));
    }
    throw Error(
        ErrorKind::kFileAccess,
        "cannot read " + quote_text(level.path) + ": " + std::strerror(err));
  }
  level.device = st.st_dev;
  level.inode = st.st_ino;
}

// Adds next to the files on the chain, or throws when it is there already.
// The set keeps a long chain linear; the levels only name it in the message.
void reject_cycle(std::set<FileId>& on_chain, const std::vector<Level>& levels,
                  const Level& next) {
  if (on_chain.insert({next.device, next.inode}).second) return;
  std::string chain;
  for (const Level& l : levels) chain += l.name + " -> ";
  chain += next.name;
  throw Error(ErrorKind::kReferenceCycle,
              "checks refer to each other: " + chain);
}

// Reads the check file, logs in and collects its request fields (in this
// order, so a missing file fails before its login).
void prepare(Level& level, const std::string& controller_ip,
             const std::string& username, const std::string& password,
             Transport& transport) {
  CheckFile config = CheckFile::load(level.path);
  level.cid = get_orvantis_cid(controller_ip, username, password, transport);
  level.filters = read_filter_list(config);
  for (const std::string& key : config.keys(kRequestSection)) {
    std::string value = config.get(kRequestSection, key);
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
  // Only what the filters reach is decoded: a large reply filtered down
  // takes little more memory than its body.
  return filter_reply(transport.post(url, build_form(level, element)),
                      level.filters);
}

const char* kind_noun(Kind kind) {
  switch (kind) {
    case Kind::kNull:
      return "None";
    case Kind::kFalse:
    case Kind::kTrue:
      return "boolean";
    case Kind::kWhole:
    case Kind::kReal:
      return "number";
    default:
      return "value";
  }
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
                                        kind_noun(node.kind) +
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

}  // namespace

Value orvantis_api(const std::string& controller_ip,
                   const std::string& username, const std::string& password,
                   const std::string& config_dir,
                   const std::string& config_file, Transport& transport) {
  const std::string url = controller_api_url(controller_ip);
  // A chain of compound references is walked without recursion: every check
  // of the chain is read and logged in on the way down, then the innermost
  // runs and each check sends its requests on the way back up.
  std::vector<Level> levels;
  std::set<FileId> on_chain;
  Level first;
  first.path = config_file;
  first.name = config_file;
  levels.push_back(std::move(first));
  try {
    for (;;) {
      Level& level = levels.back();
      prepare(level, controller_ip, username, password, transport);
      if (!level.compound_field) break;
      Level next;
      next.name = referenced_name(level.fields[*level.compound_field].value);
      next.path = join_check_path(config_dir, next.name);
      if (levels.size() == 1) {
        identify(levels.front());
        on_chain.insert({levels.front().device, levels.front().inode});
      }
      identify(next);
      reject_cycle(on_chain, levels, next);
      levels.push_back(std::move(next));
    }
    Value result = request(levels.back(), url, nullptr, transport);
    while (levels.size() > 1) {
      levels.pop_back();
      result = run_compound(levels.back(), url, result, transport);
    }
    return result;
  } catch (const Error& e) {
    if (e.kind() == ErrorKind::kLoginFailed ||
        e.kind() == ErrorKind::kReferenceCycle)
      throw;
    throw Error(e.kind(), e.what() + chain_context(levels));
  }
}

}  // namespace tarnwick
