// The form target: a reply value put into a form field, then the whole form
// encoded and decoded back.
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_targets.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/text.h"
#include "tarnwick/base/value.h"
#include "tarnwick/check/form.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/notation.h"

namespace tarnwick {

namespace {

// The field values a value should give, by the form rules; false when some
// text cannot be sent.
bool expected_values(const Node& value, std::vector<std::string>& out) {
  std::vector<const Node*> pending{&value};
  while (!pending.empty()) {
    const Node& v = *pending.back();
    pending.pop_back();
    switch (v.kind) {
      case Kind::kNull:
        break;
      case Kind::kFalse:
        out.push_back("False");
        break;
      case Kind::kTrue:
        out.push_back("True");
        break;
      case Kind::kWhole:
        out.emplace_back(v.text() == "-0" ? "0" : v.text());
        break;
      case Kind::kReal:
        out.push_back(format_real(v.number()));
        break;
      case Kind::kText:
        if (find_invalid_utf8(v.text()) != std::string::npos) return false;
        out.emplace_back(v.text());
        break;
      case Kind::kMap:
        for (MemberRef m : v.map()) {
          if (find_invalid_utf8(m.name()) != std::string::npos) return false;
          out.emplace_back(m.name());
        }
        break;
      case Kind::kList:
        // Pushed in reverse so the first item comes off first.
        for (std::size_t i = v.size; i > 0; --i)
          pending.push_back(&v.items[i - 1]);
        break;
    }
  }
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string decode_component(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out.push_back(' ');
    } else if (s[i] == '%') {
      fuzz_require(i + 2 < s.size(), "cut percent escape in form");
      int hi = hex_digit(s[i + 1]);
      int lo = hex_digit(s[i + 2]);
      fuzz_require(hi >= 0 && lo >= 0, "bad percent escape in form");
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// The fields of an encoded form; every byte must be one the form keeps.
std::vector<FormField> decode_form(std::string_view form) {
  for (char c : form) {
    bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                (c >= '0' && c <= '9') ||
                std::string_view("*-._+%&=").find(c) != std::string_view::npos;
    fuzz_require(kept, "form holds an unencoded byte");
  }
  std::vector<FormField> fields;
  for (;;) {
    std::size_t amp = form.find('&');
    std::string_view pair = form.substr(0, amp);
    std::size_t eq = pair.find('=');
    fuzz_require(eq != std::string_view::npos, "form field without \"=\"");
    fields.push_back({decode_component(pair.substr(0, eq)),
                      decode_component(pair.substr(eq + 1))});
    if (amp == std::string_view::npos) return fields;
    form.remove_prefix(amp + 1);
  }
}

bool same_fields(const std::vector<FormField>& a,
                 const std::vector<FormField>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].value != b[i].value) return false;
  }
  return true;
}

}  // namespace

void fuzz_form(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzz_text(data, size);
  std::string name = "field";
  std::size_t nul = input.find('\0');
  if (nul != std::string_view::npos) {
    name = input.substr(0, nul);
    input.remove_prefix(nul + 1);
  }
  Value value;
  try {
    value = decode_json(std::string(input));
  } catch (const Error&) {
    return;
  }

  const std::vector<FormField> before{{"CID", "session-1"}};
  std::vector<FormField> fields = before;
  std::vector<std::string> expected;
  const bool sendable = expected_values(value.node(), expected);
  try {
    append_form_value(fields, name, value.node());
  } catch (const Error& e) {
    fuzz_require(e.kind() == ErrorKind::kInvalidValue,
                 std::string("append_form_value failed with ") +
                     error_kind_name(e.kind()));
    fuzz_require(!sendable, "append_form_value refused a sendable value");
    fuzz_require(same_fields(fields, before),
                 "append_form_value changed the fields before failing");
    return;
  }
  fuzz_require(sendable, "append_form_value sent a text that is not UTF-8");
  std::vector<FormField> want = before;
  for (std::string& v : expected) want.push_back({name, std::move(v)});
  fuzz_require(same_fields(fields, want),
               "append_form_value gave other fields than the form rules");

  fuzz_require(same_fields(decode_form(encode_form(fields)), fields),
               "encoded form does not decode to its fields");
}

}  // namespace tarnwick
