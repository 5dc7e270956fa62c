#include "tarnwick/check/check_run.h"

#include <algorithm>
#include <cstddef>
#include <map>
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
#include "tarnwick/wire/reply_summary.h"

namespace tarnwick {

namespace {

using Level = CheckLevel;

// The first HTTP status that fails a check with --fail-http, as curl's
// --fail has it.
constexpr long kFirstHttpError = 400;

// A compound request's element as a trace shows it: a text quoted and cut
// short past 60 characters, a number or word as the report writes it, a
// list or map by its kind; the secrets taken out.
std::string show_element(const Node& element, const Scrubber& secrets) {
  constexpr std::size_t kShownCharacters = 60;
  switch (element.kind) {
    case Kind::kText: {
      const std::string_view text = element.text();
      const std::size_t end = prefix_of_characters(text, kShownCharacters);
      if (end == text.size()) return quote_text(secrets.scrub(text));
      return quote_text(secrets.scrub_cut(text.substr(0, end))) + "...";
    }
    case Kind::kWhole:
      return secrets.scrub(element.text());
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
  CheckLevel& level = chain.last();
  level.cid = settings.session ? *settings.session
                               : log_in(settings, chain.text(), transport);
  level.secrets = Scrubber({settings.password, session_text(level.cid)});
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

// The action of `level`'s request as traces and messages show it, the
// secrets taken out; "" for none.
std::string shown_action(const Level& level) {
  std::string action;
  for (const FormField& field : level.fields) {
    if (field.name == "action") action = level.secrets.scrub(field.value);
  }
  return action;
}

// The request of the last level, with `element` in its compound field.
Request make_request(const CheckChain& chain, const Requests& requests,
                     const Node* element) {
  const Level& level = chain.levels().back();
  Request r;
  r.url = requests.url;
  r.form = build_form(level, element);
  r.check = chain.text();
  r.action = shown_action(level);
  if (element != nullptr) r.element = show_element(*element, level.secrets);
  return r;
}

// The reply to a request of `level` for `action` (as shown), decoded and
// filtered. A reply that is not JSON is named by its status, type and first
// bytes.
Value take_reply(const Level& level, const Requests& requests,
                 const std::string& action, Reply reply) {
  const Scrubber& secrets = level.secrets;
  const BodyStart start = body_start(reply.body, secrets);
  if (requests.settings.fail_http && reply.status >= kFirstHttpError) {
    throw Error(
        ErrorKind::kHttpError,
        "the controller answered " +
            (action.empty() ? "" : "action " + quote_text(action) + " ") +
            "with " + describe_reply_head(reply) + ", " +
            describe_body_start(start, secrets));
  }
  try {
    // Only what the filters reach is decoded: a large reply filtered down
    // takes little more memory than its body.
    return filter_reply(std::move(reply.body), level.filters);
  } catch (const Error& e) {
    if (e.kind() != ErrorKind::kInvalidReply) throw;
    throw e.with_message(std::string(e.what()) + " (" +
                         describe_reply_head(reply) + ", " +
                         describe_body_start(start, secrets) + ")");
  }
}

// Sends the request of the last level (with `element` in its compound field)
// and returns the reply, decoded and filtered.
Value request(const CheckChain& chain, const Requests& requests,
              const Node* element) {
  const Request r = make_request(chain, requests, element);
  return take_reply(chain.levels().back(), requests, r.action,
                    requests.transport.post(r));
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
std::string element_context(const Level& level, const Node& element,
                            std::size_t i, std::size_t n) {
  return ", element " + std::to_string(i + 1) + " of " + std::to_string(n) +
         " " + show_element(element, level.secrets);
}

// Whether a failed element request ends its check even when failures of
// element requests are noted: it ends the run, or the report cannot be
// written.
bool ends_check(const Error& e) {
  return e.ends_run() || e.kind() == ErrorKind::kOutput;
}

// The element requests of one fan-out as a batch: each reply is decoded and
// filtered as soon as it is in, becoming its element's record in records;
// each failure is kept for its element. Past a failure that ends the check
// (any failure, unless they are noted), no request is wanted.
class FanOut : public RequestBatch {
 public:
  FanOut(const CheckChain& chain, const Requests& requests,
         const std::vector<Node>& elements, ValueBuilder& builder,
         Node* records, bool noted)
      : chain_(chain),
        requests_(requests),
        elements_(elements),
        builder_(builder),
        records_(records),
        noted_(noted),
        action_(shown_action(chain.levels().back())),
        wanted_(elements.size()) {
    const Node keys[] = {builder.text("object"), builder.text("results")};
    record_ = builder.shape(keys);
  }

  std::size_t wanted() override { return wanted_; }

  Request request(std::size_t index) override {
    return make_request(chain_, requests_, &elements_[index]);
  }

  void received(std::size_t index, Reply reply) override {
    Value value;
    try {
      value = take_reply(chain_.levels().back(), requests_, action_,
                         std::move(reply));
    } catch (const Error& e) {
      failed(index, e);
      return;
    }
    builder_.share(value);
    const Node values[] = {elements_[index], value.node()};
    records_[index] = builder_.map(record_, values);
  }

  void failed(std::size_t index, const Error& error) override {
    failures_.emplace(index, error);
    if (!noted_ || ends_check(error)) wanted_ = std::min(wanted_, index + 1);
  }

  // The failed requests by element, from 0.
  const std::map<std::size_t, Error>& failures() const { return failures_; }

 private:
  const CheckChain& chain_;
  const Requests& requests_;
  const std::vector<Node>& elements_;
  ValueBuilder& builder_;
  Node* records_;
  const Shape* record_;
  const bool noted_;
  const std::string action_;
  std::size_t wanted_;
  std::map<std::size_t, Error> failures_;
};

// Sends the last level's request once per element of the result of the
// check it refers to as `referenced`, up to settings.in_flight side by side,
// and returns the records {"object", "results"} in element order. A result
// that is the not-found marker is no data: Error(kMissingKey) before any
// element request, whatever failed_elements. The outcome is the one
// the requests would come to one after another: the first failure in
// element order that is not noted ends the check (the requests after it may
// have been sent, none is sent after it ends); with failed_elements, the
// others are noted there and their elements have no record.
Value run_compound(CheckChain& chain, const Requests& requests,
                   const Value& compound_results, std::string_view referenced,
                   std::vector<ElementFailure>* failed_elements) {
  if (is_not_found_marker(compound_results.node())) {
    throw Error(ErrorKind::kMissingKey, "the referenced check " +
                                            quote_text(referenced) +
                                            " found nothing (its result is " +
                                            std::string(kNotFoundMarker) + ")");
  }
  ValueBuilder builder;
  std::vector<Node> elements = elements_of(compound_results, builder);
  Node* records = builder.arena().allocate_array<Node>(elements.size());
  FanOut fan_out(chain, requests, elements, builder, records,
                 failed_elements != nullptr);
  requests.transport.post_many(fan_out, requests.settings.in_flight);
  std::size_t kept = 0;
  auto failure = fan_out.failures().begin();
  for (std::size_t i = 0; i < fan_out.wanted(); ++i) {
    if (failure == fan_out.failures().end() || failure->first != i) {
      records[kept++] = records[i];
      continue;
    }
    const Error& e = (failure++)->second;
    chain.set_element(element_context(chain.levels().back(), elements[i], i,
                                      elements.size()));
    if (failed_elements == nullptr || ends_check(e)) throw e;
    failed_elements->push_back(
        {i, compound_results.child(elements[i]), chain.in_context(e)});
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
      const std::string referenced = chain.last().name;
      chain.drop_last();
      // Only the check's own element requests may fail alone.
      result =
          run_compound(chain, requests, result, referenced,
                       chain.levels().size() == 1 ? failed_elements : nullptr);
    }
    return result;
  } catch (const Cancelled&) {
    throw;
  } catch (const Error& e) {
    chain.rethrow_in_context(e, false);
  }
}

}  // namespace tarnwick
