#include "tarnwick/report/markup_escape.h"

#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

enum class Markup { kXmlText, kXmlAttribute, kHtml };

// Whether a code point of U+0080 and above cannot stand in the markup.
bool unfit(char32_t c, Markup markup) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF) return true;
  if (markup != Markup::kHtml) return false;
  return c <= 0x9F || (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE;
}

// The reference for an ASCII character, "" for one that stands as it is,
// kReplacement for one the markup cannot hold.
std::string_view ascii_form(char b, Markup markup) {
  switch (b) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\r':
      return markup == Markup::kHtml ? kReplacement : "&#13;";
    case '\t':
      return markup == Markup::kXmlAttribute ? "&#9;" : "";
    case '\n':
      return markup == Markup::kXmlAttribute ? "&#10;" : "";
    case '\x7f':
      return markup == Markup::kHtml ? kReplacement : "";
    default:
      return static_cast<unsigned char>(b) < 0x20 ? kReplacement : "";
  }
}

std::string escaped(std::string_view s, Markup markup) {
  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  while (pos < s.size()) {
    const char b = s[pos];
    if (static_cast<unsigned char>(b) >= 0x80) {
      const std::size_t start = pos;
      char32_t c;
      if (!decode_utf8(s, pos, c, true)) {
        out += kReplacement;
        ++pos;
      } else if (unfit(c, markup)) {
        out += kReplacement;
      } else {
        out.append(s.substr(start, pos - start));
      }
      continue;
    }
    ++pos;
    const std::string_view form = ascii_form(b, markup);
    if (form.empty()) {
      out += b;
    } else {
      out += form;
    }
  }
  return out;
}

}  // namespace

std::string xml_escaped(std::string_view s, bool attribute) {
  return escaped(s, attribute ? Markup::kXmlAttribute : Markup::kXmlText);
}

std::string html_escaped(std::string_view s) {
  return escaped(s, Markup::kHtml);
}

}  // namespace tarnwick
