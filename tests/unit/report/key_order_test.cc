// The printer sorts the keys of every map, also where it takes over the key
// order of an earlier map with the same keys (the elements of a list).
#include <gtest/gtest.h>

#include <string>

#include "tarnwick/json/json.h"
#include "tarnwick/report/notation.h"

namespace tarnwick {
namespace {

std::string print(const std::string& json) {
  return pformat(decode_json(json).node());
}

TEST(KeyOrderTest, MapsOfAListPrintSortedWhateverTheirKeyOrder) {
  // Each element has as many keys as the one before it; only some have the
  // same keys in the same order too.
  const std::string reply = R"([
    {"f": 1, "e": 2, "d": 3, "c": 4, "b": 5, "a": 6},
    {"f": 1, "e": 2, "d": 3, "c": 4, "b": 5, "a": 6},
    {"a": 6, "b": 5, "c": 4, "d": 3, "e": 2, "f": 1},
    {"f": 1, "e": 2, "d": 3, "c": 4, "b": 5, "g": 0},
    {"e": 2, "f": 1, "d": 3, "c": 4, "b": 5, "a": 6}])";
  const std::string sorted = "{'a': 6, 'b': 5, 'c': 4, 'd': 3, 'e': 2, 'f': 1}";
  const std::string others = "{'b': 5, 'c': 4, 'd': 3, 'e': 2, 'f': 1, 'g': 0}";
  EXPECT_EQ(pformat(decode_json(reply).node(), 50),
            "[" + sorted + ",\n " + sorted + ",\n " + sorted + ",\n " + others +
                ",\n " + sorted + "]\n");
}

TEST(KeyOrderTest, SortsKeysByCodePoint) {
  // U+D800 (a lone surrogate) < U+E000 < U+FF61 < U+1F600.
  EXPECT_EQ(
      print(
          R"({"\ud83d\ude00": 1, "\uff61": 2, "\ue000": 3, "\ud800": 4, "b": 5, "B": 6})"),
      "{'B': 6, 'b': 5, '\\ud800': 4, '\\ue000': 3, '\xef\xbd\xa1': 2, "
      "'\xf0\x9f\x98\x80': 1}\n");
}

}  // namespace
}  // namespace tarnwick
