// The floor the reply benchmarks are measured against: the least work any
// reader of a reply has to do. It looks at every byte once, steps over texts
// and counts values, and builds nothing: no tree, no validation of UTF-8 or
// numbers, no unescaping.
#ifndef TARNWICK_BENCH_FLOOR_SCAN_H_
#define TARNWICK_BENCH_FLOOR_SCAN_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tarnwick::bench {

struct ScanCount {
  std::size_t values = 0;  // texts, numbers, words and containers
  std::size_t deepest = 0;
  bool balanced = false;  // brackets close in order and texts end
};

inline ScanCount floor_scan(std::string_view body) {
  ScanCount count;
  const char* p = body.data();
  const char* const end = p + body.size();
  std::size_t depth = 0;
  bool in_value = false;  // inside a number or word
  while (p != end) {
    char c = *p++;
    switch (c) {
      case '"': {
        // To the closing quote: the next quote not escaped by a backslash.
        for (;;) {
          const void* q =
              std::memchr(p, '"', static_cast<std::size_t>(end - p));
          if (q == nullptr) return count;
          const char* quote = static_cast<const char*>(q);
          const char* b = quote;
          while (b != p && b[-1] == '\\') --b;
          p = quote + 1;
          if ((quote - b) % 2 == 0) break;
        }
        ++count.values;
        in_value = false;
        break;
      }
      case '{':
      case '[':
        ++count.values;
        if (++depth > count.deepest) count.deepest = depth;
        in_value = false;
        break;
      case '}':
      case ']':
        if (depth-- == 0) return count;
        in_value = false;
        break;
      case ',':
      case ':':
      case ' ':
      case '\n':
      case '\r':
      case '\t':
        in_value = false;
        break;
      default:
        if (!in_value) ++count.values;
        in_value = true;
        break;
    }
  }
  count.balanced = depth == 0;
  return count;
}

}  // namespace tarnwick::bench

#endif  // TARNWICK_BENCH_FLOOR_SCAN_H_
