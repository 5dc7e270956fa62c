#include "tarnwick/base/scrub.h"

#include <string.h>

#include <algorithm>

#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

// A piece of a secret shorter than this is left at the edge of a cut quote:
// it tells next to nothing, and hiding it would hide ordinary words.
constexpr std::size_t kShortestPiece = 4;

constexpr char kHex[] = "0123456789abcdef";

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool is_continuation_byte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::size_t characters_in(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(),
                    [](char c) { return !is_continuation_byte(c); }));
}

// The bytes of the character that starts at text[at] (one for a byte that
// is not UTF-8).
std::size_t character_size(std::string_view text, std::size_t at) {
  std::size_t end = at + 1;
  while (end < text.size() && is_continuation_byte(text[end])) ++end;
  return end - at;
}

std::string hex_of(std::uint32_t value, std::size_t digits) {
  std::string text;
  while (value != 0 || text.size() < std::max<std::size_t>(digits, 1)) {
    text.insert(text.begin(), kHex[value & 15]);
    value >>= 4;
  }
  return text;
}

// Whether a form-encoded spelling keeps the byte as it is.
bool kept_in_form(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '*' || c == '-' || c == '.' || c == '_';
}

}  // namespace

Scrubber::Scrubber(std::initializer_list<std::string_view> secrets) {
  for (std::string_view secret : secrets) {
    if (!secret.empty()) add_secret(secret);
  }
}

Scrubber::~Scrubber() {
  if (!pool_.empty()) explicit_bzero(pool_.data(), pool_.size());
}

void Scrubber::add_secret(std::string_view secret) {
  Secret s{};
  s.first = static_cast<std::uint32_t>(characters_.size());
  std::size_t length = 0;
  for (std::size_t pos = 0; pos < secret.size();) {
    const std::size_t start = pos;
    char32_t c = 0;
    const bool valid = decode_utf8(secret, pos, c, true);
    if (!valid) pos = start + 1;
    const std::uint32_t first = static_cast<std::uint32_t>(spellings_.size());
    add_character(secret.substr(start, pos - start), c, valid);
    std::size_t widest = 0;
    for (std::size_t i = first; i < spellings_.size(); ++i) {
      widest = std::max<std::size_t>(widest, spellings_[i].size);
      if (characters_.size() == s.first) {
        const char b = pool_[spellings_[i].at];
        s.starts.set(static_cast<unsigned char>(b));
        if (spellings_[i].any_case && b >= 'a' && b <= 'z')
          s.starts.set(static_cast<unsigned char>(b - 'a' + 'A'));
      }
    }
    characters_.push_back(
        {first, static_cast<std::uint32_t>(spellings_.size() - first)});
    length += widest;
  }
  s.count = static_cast<std::uint32_t>(characters_.size() - s.first);
  starts_ |= s.starts;
  longest_ = std::max(longest_, length);
  secrets_.push_back(s);
}

void Scrubber::add_character(std::string_view bytes, char32_t c, bool valid) {
  add_spelling(bytes, false);
  // Form-encoded, every byte escaped or, for a blank, a plus.
  if (bytes == " ") add_spelling("+", false);
  if (bytes.size() > 1 || !kept_in_form(static_cast<unsigned char>(bytes[0]))) {
    std::string form;
    for (unsigned char b : bytes) form += "%" + hex_of(b, 2);
    add_spelling(form, true);
  }
  if (!valid) return;
  // JSON.
  switch (c) {
    case '"':
      add_spelling("\\\"", false);
      break;
    case '\\':
      add_spelling("\\\\", false);
      break;
    case '/':
      add_spelling("\\/", false);
      break;
    case '\b':
      add_spelling("\\b", false);
      break;
    case '\f':
      add_spelling("\\f", false);
      break;
    case '\n':
      add_spelling("\\n", false);
      break;
    case '\r':
      add_spelling("\\r", false);
      break;
    case '\t':
      add_spelling("\\t", false);
      break;
    default:
      break;
  }
  if (c < 0x10000) {
    add_spelling("\\u" + hex_of(c, 4), true);
  } else {
    const char32_t v = c - 0x10000;
    add_spelling("\\u" + hex_of(0xD800 + (v >> 10), 4) + "\\u" +
                     hex_of(0xDC00 + (v & 0x3FF), 4),
                 true);
  }
  // HTML.
  switch (c) {
    case '&':
      add_spelling("&amp;", true);
      break;
    case '<':
      add_spelling("&lt;", true);
      break;
    case '>':
      add_spelling("&gt;", true);
      break;
    case '"':
      add_spelling("&quot;", true);
      break;
    case '\'':
      add_spelling("&apos;", true);
      break;
    default:
      break;
  }
  const std::string decimal = std::to_string(c);
  add_spelling("&#" + decimal + ";", false);
  // PHP's htmlspecialchars writes an apostrophe as "&#039;".
  if (decimal.size() < 3)
    add_spelling("&#" + std::string(3 - decimal.size(), '0') + decimal + ";",
                 false);
  add_spelling("&#x" + hex_of(c, 0) + ";", true);
}

void Scrubber::add_spelling(std::string_view bytes, bool any_case) {
  Spelling s{static_cast<std::uint32_t>(pool_.size()),
             static_cast<std::uint32_t>(bytes.size()), any_case};
  for (char b : bytes) pool_.push_back(any_case ? ascii_lower(b) : b);
  spellings_.push_back(s);
}

void Scrubber::find_secret_at(const Secret& secret, std::string_view text,
                              std::size_t at, Found& found) const {
  // The places in text where the spellings of the secret's first k
  // characters can end, for k = 0, 1, ...: spellings of a character differ
  // in length, and one may begin another ("&" and "&amp;").
  std::vector<std::size_t> ends{at};
  std::vector<std::size_t> next;
  for (std::uint32_t k = 0; k < secret.count && !ends.empty(); ++k) {
    const Character& character = characters_[secret.first + k];
    next.clear();
    for (std::size_t p : ends) {
      if (p == text.size()) {
        found.runs_to_end = true;
        continue;
      }
      for (std::uint32_t i = 0; i < character.count; ++i) {
        const Spelling& s = spellings_[character.first + i];
        const char* want = pool_.data() + s.at;
        const std::size_t n = std::min<std::size_t>(s.size, text.size() - p);
        std::size_t j = 0;
        while (j < n &&
               (s.any_case ? ascii_lower(text[p + j]) : text[p + j]) == want[j])
          ++j;
        if (j == s.size) {
          next.push_back(p + s.size);
        } else if (j == n) {
          found.runs_to_end = true;
        }
      }
    }
    std::sort(next.begin(), next.end());
    next.erase(std::unique(next.begin(), next.end()), next.end());
    ends.swap(next);
  }
  if (!ends.empty() &&
      (found.end == std::string_view::npos || ends.back() > found.end))
    found.end = ends.back();
}

Scrubber::Found Scrubber::find_at(std::string_view text, std::size_t at) const {
  Found found;
  if (!starts_.test(static_cast<unsigned char>(text[at]))) return found;
  for (const Secret& secret : secrets_) {
    if (!secret.starts.test(static_cast<unsigned char>(text[at]))) continue;
    const bool ran_before = found.runs_to_end;
    found.runs_to_end = false;
    find_secret_at(secret, text, at, found);
    if (found.runs_to_end && secret.count >= kShortestPiece &&
        characters_in(text.substr(at)) >= kShortestPiece)
      found.piece = true;
    found.runs_to_end = found.runs_to_end || ran_before;
  }
  return found;
}

std::string Scrubber::scrub(std::string_view text) const {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Found found = empty() ? Found{} : find_at(text, i);
    if (found.end != std::string_view::npos) {
      out += kScrubbed;
      i = found.end;
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::string Scrubber::scrub_cut(std::string_view text) const {
  std::string out = scrub(text);
  cut_piece(out);
  return out;
}

void Scrubber::cut_piece(std::string& out) const {
  if (empty()) return;
  // Pieces no longer than a whole spelling, from the longest on.
  const std::size_t from =
      out.size() > longest_ ? out.size() - longest_ : std::size_t{0};
  for (std::size_t i = from; i < out.size(); ++i) {
    if (is_continuation_byte(out[i])) continue;
    if (find_at(out, i).piece) {
      out.replace(i, std::string::npos, kScrubbed);
      return;
    }
  }
}

std::string Scrubber::excerpt(std::string_view text, std::size_t limit,
                              bool goes_on) const {
  std::string out;
  std::size_t i = 0;
  while (i < text.size() && out.size() < limit) {
    const Found found = empty() ? Found{} : find_at(text, i);
    if (found.end != std::string_view::npos) {
      out += kScrubbed;
      i = found.end;
      continue;
    }
    // What follows the end of text decides whether this is a secret.
    if (found.runs_to_end && goes_on) break;
    const std::size_t n = character_size(text, i);
    if (out.size() + n > limit) break;
    out.append(text.substr(i, n));
    i += n;
  }
  // "***" may overrun the limit; it is cut as any text is.
  if (out.size() > limit) out.resize(limit);
  cut_piece(out);
  return out;
}

Error Scrubber::scrubbed(const Error& e) const {
  if (empty()) return e;
  return e.with_message(scrub(e.what()));
}

}  // namespace tarnwick
