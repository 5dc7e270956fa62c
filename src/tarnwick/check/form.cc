#include "tarnwick/check/form.h"

#include <cstddef>
#include <span>
#include <string_view>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

bool is_kept_in_form(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '*' || c == '-' || c == '.' || c == '_';
}

void append_form_encoded(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : s) {
    if (is_kept_in_form(c)) {
      out.push_back(static_cast<char>(c));
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0f]);
    }
  }
}

// Replies may carry lone surrogate escapes, which have no UTF-8 form; the
// form body is UTF-8, so such a text cannot be sent at all.
void check_sendable(const std::string& name, std::string_view text) {
  std::size_t bad = find_invalid_utf8(text);
  if (bad == std::string_view::npos) return;
  bool surrogate = static_cast<unsigned char>(text[bad]) == 0xED &&
                   bad + 1 < text.size() &&
                   static_cast<unsigned char>(text[bad + 1]) >= 0xA0;
  throw Error(ErrorKind::kInvalidValue,
              "field " + quote_text(name) +
                  (surrogate ? " holds a lone surrogate"
                             : " holds text that is not UTF-8") +
                  " and cannot be sent");
}

std::string whole_text(std::string_view digits) {
  // A negative zero has no sign as a whole number.
  if (digits.starts_with('-') &&
      digits.find_first_not_of('0', 1) == std::string_view::npos) {
    return std::string(digits.substr(1));
  }
  return std::string(digits);
}

// Appends the fields for one value that is not a list (none for null).
void append_single(std::vector<FormField>& fields, const std::string& name,
                   const Node& value) {
  switch (value.kind) {
    case Kind::kNull:
    case Kind::kList:  // walked by the caller
      return;
    case Kind::kFalse:
      fields.push_back({name, "False"});
      return;
    case Kind::kTrue:
      fields.push_back({name, "True"});
      return;
    case Kind::kWhole:
      fields.push_back({name, whole_text(value.text())});
      return;
    case Kind::kReal: {
      char buf[kRealBuffer];
      fields.push_back({name, std::string(real_form(value, buf))});
    }
      return;
    case Kind::kText:
      check_sendable(name, value.text());
      fields.push_back({name, std::string(value.text())});
      return;
    case Kind::kMap:
      for (MemberRef m : value.map()) {
        check_sendable(name, m.name());
        fields.push_back({name, std::string(m.name())});
      }
      return;
  }
}

}  // namespace

std::string encode_form(const std::vector<FormField>& fields) {
  std::size_t size = fields.empty() ? 0 : fields.size() * 2 - 1;
  for (const FormField& field : fields) {
    for (std::string_view s :
         {std::string_view(field.name), std::string_view(field.value)}) {
      for (unsigned char c : s)
        size += (is_kept_in_form(c) || c == ' ') ? 1 : 3;
    }
  }
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out.push_back('&');
    append_form_encoded(out, fields[i].name);
    out.push_back('=');
    append_form_encoded(out, fields[i].value);
  }
  return out;
}

void append_form_value(std::vector<FormField>& fields, const std::string& name,
                       const Node& value) {
  const std::size_t size_before = fields.size();
  try {
    if (!value.is_list()) {
      append_single(fields, name, value);
      return;
    }
    // Lists nest as deep as a reply may; walk them with a stack of the items
    // still to send at each level.
    std::vector<std::span<const Node>> pending{value.list()};
    while (!pending.empty()) {
      std::span<const Node>& items = pending.back();
      if (items.empty()) {
        pending.pop_back();
        continue;
      }
      const Node& item = items.front();
      items = items.subspan(1);
      if (item.is_list()) {
        pending.push_back(item.list());  // invalidates items
      } else {
        append_single(fields, name, item);
      }
    }
  } catch (...) {
    fields.resize(size_before);
    throw;
  }
}

}  // namespace tarnwick
