#include "tarnwick/check/check_run.h"

#include <optional>
#include <utility>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/secret.h"
#include "tarnwick/base/text.h"
#include "tarnwick/check/check_chain.h"
#include "tarnwick/check/form.h"
#include "tarnwick/check/run_settings.h"
#include "tarnwick/check/session.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/filter/filter.h"
#include "tarnwick/wire/curl_transport.h"
#include "tarnwick/wire/reply_summary.h"

namespace tarnwick {

namespace {

using Level = CheckLevel;

// The first HTTP status that fails a check with --fail-http, as curl's
// --fail has it.
constexpr long kFirstHttpError = 400;

// The session id as a message could show it: its text or digits.
std::string_view cid_text(const Level& level) {
  const Node& cid = level.cid.node();
  return cid.is_text() || cid.kind == Kind::kWhole ? cid.text()
                                                   : std::string_view();
}

// A compound request's element as a trace shows it: a text quoted and cut
// short past 60 characters, a number or word as the report writes it, a
// list or map by its kind.
std::string show_element(const Node& element) {
  constexpr std::size_t kShownCharacters = 60;
  switch (element.kind) {
    case Kind::kText: {
      const std::string_view text = element.text();
      const std::size_t end = prefix_of_characters(text, kShownCharacters);
      if (end == text.size()) return quote_text(text);
      return quote_text(text.substr(0, end)) + "...";
    }
    case Kind::kWhole:
      return std::string(element.text());
    case Kind::kReal: {
      char buf[kRealBuffer];
      return std::string(real_form(element, buf));
    }
    default:
      return type_of(element);
  }
}

// Logs in for the last check of the chain, a check already read, or takes
// the run's session, then reads its request (in this order, so a missing
// section or an unreadable value fails after the login).
void prepare(CheckChain& chain, const RunSettings& settings,
             Transport& transport) {
  chain.last().cid = settings.session
                         ? *settings.session
                         : log_in(settings, chain.text(), transport);
  chain.read_request();
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

// What every request of one check shares.
struct Requests {
  const RunSettings& settings;
  const std::string url;
  Transport& transport;
};

// Sends the request of the last level (with `element` in its compound field)
// and returns the reply, decoded and filtered. A reply that is not JSON is
// named by its status, type and first bytes.
Value request(const CheckChain& chain, const Requests& requests,
              const Node* element) {
  const Level& level = chain.levels().back();
  Request r;
  r.url = requests.url;
  r.form = build_form(level, element);
  r.timeout = requests.settings.timeout;
  r.reuse_connection = requests.settings.reuse_connections;
  r.check = chain.text();
  // What traces and messages show of it, the secrets taken out.
  const auto secrets = {std::string_view(requests.settings.password),
                        cid_text(level)};
  for (const FormField& field : level.fields) {
    if (field.name == "action") r.action = scrub_secrets(field.value, secrets);
  }
  if (element != nullptr)
    r.element = scrub_secrets(show_element(*element), secrets);
  Reply reply = requests.transport.post(r);
  const std::string start(
      body_start(reply.body, {requests.settings.password, cid_text(level)}));
  if (requests.settings.fail_http && reply.status >= kFirstHttpError) {
    throw Error(
        ErrorKind::kHttpError,
        "the controller answered " +
            (r.action.empty() ? "" : "action " + quote_text(r.action) + " ") +
            "with " + describe_reply_head(reply) + ", " +
            describe_body_start(start,
                                {requests.settings.password, cid_text(level)}));
  }
  try {
    // Only what the filters reach is decoded: a large reply filtered down
    // takes little more memory than its body.
    return filter_reply(std::move(reply.body), level.filters);
  } catch (const Error& e) {
    if (e.kind() != ErrorKind::kInvalidReply) throw;
    throw e.with_message(std::string(e.what()) + " (" +
                         describe_reply_head(reply) + ", " +
                         describe_body_start(start, {requests.settings.password,
                                                     cid_text(level)}) +
                         ")");
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
      for (MemberRef m : node.map()) elements.push_back(m.key);
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

// ", element 4 of 6 'gw-04'": element i (from 0) of n as messages name it,
// shown as a trace shows it, the secrets taken out.
std::string element_context(const Requests& requests, const Level& level,
                            const Node& element, std::size_t i, std::size_t n) {
  return ", element " + std::to_string(i + 1) + " of " + std::to_string(n) +
         " " +
         scrub_secrets(
             show_element(element),
             {std::string_view(requests.settings.password), cid_text(level)});
}

// Sends the last level's request once per element of the referenced
// check's result and returns the records {"object", "results"}. With
// failed_elements, a request that fails without ending the run is noted
// there and its element has no record.
Value run_compound(CheckChain& chain, const Requests& requests,
                   const Value& compound_results,
                   std::vector<ElementFailure>* failed_elements) {
  ValueBuilder builder;
  std::vector<Node> elements = elements_of(compound_results, builder);
  Node* records = builder.arena().allocate_array<Node>(elements.size());
  std::size_t kept = 0;
  const Node record_keys[] = {builder.text("object"), builder.text("results")};
  const Shape* record = builder.shape(record_keys);
  for (std::size_t i = 0; i < elements.size(); ++i) {
    chain.set_element(element_context(requests, chain.levels().back(),
                                      elements[i], i, elements.size()));
    Value reply;
    try {
      reply = request(chain, requests, &elements[i]);
    } catch (const Error& e) {
      if (failed_elements == nullptr || e.ends_run() ||
          e.kind() == ErrorKind::kOutput)
        throw;
      failed_elements->push_back(
          {i, compound_results.child(elements[i]), chain.in_context(e)});
      continue;
    }
    builder.share(reply);
    const Node values[] = {elements[i], reply.node()};
    records[kept++] = builder.map(record, values);
  }
  chain.set_element("");
  return builder.finish(Node::list_of({records, kept}));
}

}  // namespace

Value run_check(const RunSettings& settings, const CheckFile& config,
                const std::string& config_file, Transport& transport,
                std::vector<ElementFailure>* failed_elements) {
  const Requests requests{settings, controller_api_url(settings.controller_ip),
                          transport};
  // A chain of compound references is walked without recursion: every check
  // of the chain is read and logged in on the way down, then the innermost
  // runs and each check sends its requests on the way back up.
  CheckChain chain(config, config_file);
  try {
    for (;;) {
      prepare(chain, settings, transport);
      if (!chain.refers()) break;
      chain.read_referenced(settings.config_dir);
    }
    Value result = request(chain, requests, nullptr);
    while (chain.levels().size() > 1) {
      chain.drop_last();
      // Only the check's own element requests may fail alone.
      result =
          run_compound(chain, requests, result,
                       chain.levels().size() == 1 ? failed_elements : nullptr);
    }
    return result;
  } catch (const Error& e) {
    chain.rethrow_in_context(e, false);
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
    throw e.with_message(e.what() + (" (in " + config_file + ")"));
  }
  RunSettings settings;
  settings.controller_ip = controller_ip;
  settings.username = username;
  settings.password = password;
  settings.config_dir = config_dir;
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
