#include "tarnwick/select/decimal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "tarnwick/base/value.h"
#include "tarnwick/json/json.h"

namespace tarnwick {
namespace {

int compare_texts(std::string_view a, std::string_view b) {
  const std::optional<Decimal> x = read_decimal(a);
  const std::optional<Decimal> y = read_decimal(b);
  if (!x || !y) ADD_FAILURE() << "no number: " << (x ? b : a);
  return x && y ? compare(*x, *y) : 2;
}

TEST(DecimalTest, ComparesTheRowsOfTheTable) {
  struct Row {
    std::string_view a, b;
    int order;  // of a against b
  };
  const Row rows[] = {
      // Zero against either sign, in any spelling.
      {"0", "-0", 0},
      {"0.000", "0e99", 0},
      {"-0.0E-7", "0", 0},
      {"0", "1", -1},
      {"0", "-1", 1},
      {"-1", "0", -1},
      {"1e-400", "0", 1},
      {"-1e-400", "-0", -1},
      // One number, many spellings.
      {"1.50", "15e-1", 0},
      {"1.5", "0.15E+1", 0},
      {"100", "1e2", 0},
      {"0.001", "1E-3", 0},
      // Digits past 2^53 and 2^64, where doubles round.
      {"9007199254740993", "9007199254740992", 1},
      {"9007199254740993", "9007199254740993.0", 0},
      {"18446744073709551617", "18446744073709551616", 1},
      {"-18446744073709551617", "-18446744073709551616", -1},
      {"123456789012345678901234567890", "1.2345678901234567890123456789e29",
       0},
      {"0.30000000000000000001", "0.3", 1},
      // Exponents far apart and far out.
      {"1e400", "9e399", 1},
      {"-1e400", "-9e399", -1},
      {"1e-400", "1e-401", 1},
      {"12e3", "1.3e4", -1},
      // Past 2^62 exponents saturate: the one place where two different
      // numbers are equal.
      {"1e9223372036854775807", "1e4611686018427387905", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.a) + " against " + std::string(row.b));
    EXPECT_EQ(compare_texts(row.a, row.b), row.order);
    EXPECT_EQ(compare_texts(row.b, row.a), -row.order);
  }
}

TEST(DecimalTest, ReadsOnlyWholeJsonNumbers) {
  for (std::string_view s :
       {"", "-", "01", "-01", "1.", ".5", "+1", "1e", "1e+", "1.e5", " 1", "1 ",
        "0x10", "NaN", "Infinity", "1_000", "1e5.0", "--1"}) {
    EXPECT_FALSE(read_decimal(s)) << s;
  }
}

// Numbers of a reply compare by the digits the report shows: a whole number
// by all its digits, a real by its shortest round-trip digits.
TEST(DecimalTest, ComparesTheNumbersOfAReply) {
  const Value v = decode_json(
      R"([1.0, 0.1, 1e16, 12345678901234567890, "2.50", NaN, -Infinity])");
  const Node* items = v.node().items;
  auto order = [&](int i, std::string_view text) {
    char buf[kDecimalBuffer];
    const std::optional<Decimal> d = decimal_of(items[i], buf);
    return d ? compare(*d, *read_decimal(text)) : 2;
  };
  EXPECT_EQ(order(0, "1"), 0);
  EXPECT_EQ(order(1, "0.1"), 0);
  EXPECT_EQ(order(1, "0.1000000000000000055511151231257827"), -1);
  EXPECT_EQ(order(2, "10000000000000000"), 0);
  EXPECT_EQ(order(3, "12345678901234567891"), -1);
  EXPECT_EQ(order(4, "2.5"), 0);
  EXPECT_EQ(order(5, "0"), 2);
  EXPECT_EQ(order(6, "0"), 2);
}

// Against exact integer arithmetic: each number is M × 10^E with |M| below
// 10^17 and E within ±10, so that both, scaled to the smaller exponent, are
// integers that fit in 128 bits. Each is written in a random spelling:
// digits split between the whole part and the fraction, zeros before the
// fraction's digits and after them, an exponent with or without its sign.
class Spelling {
 public:
  explicit Spelling(unsigned seed) : rng_(seed) {}

  int pick(int n) { return static_cast<int>(rng_() % n); }

  std::int64_t mantissa() {
    switch (pick(4)) {
      case 0:
        return pick(3);  // zeros and small ones
      case 1:
        return (std::int64_t{1} << 53) + pick(5) - 2;  // around 2^53
      default: {
        std::int64_t m = 0;
        for (int digits = 1 + pick(17); digits > 0; --digits) {
          m = m * 10 + pick(10);
        }
        return m;
      }
    }
  }

  std::string spell(bool negative, std::int64_t m, int e) {
    std::string digits = std::to_string(m);
    const int k = pick(static_cast<int>(digits.size()) + 1);
    std::string whole = digits.substr(0, digits.size() - k);
    std::string fraction = digits.substr(digits.size() - k);
    if (whole.empty() || whole == "0") {
      whole = "0";
      fraction = std::string(pick(4), '0') + fraction;
    }
    int added = 0;  // zeros after the digits of M
    if (!fraction.empty() || pick(2)) {
      added = pick(3);
      fraction += std::string(added, '0');
    }
    // whole || fraction is the integer M × 10^added; divided by
    // 10^|fraction|, then times 10^x, it is M × 10^e.
    const int x = e - added + static_cast<int>(fraction.size());
    std::string s = negative ? "-" : "";
    s += whole;
    if (!fraction.empty()) s += "." + fraction;
    if (x != 0 || pick(3) == 0) {
      s += pick(2) ? "e" : "E";
      if (x >= 0 && pick(2)) s += "+";
      s += std::to_string(x);
    }
    return s;
  }

 private:
  std::mt19937 rng_;
};

__int128 scaled(bool negative, std::int64_t m, int e, int to) {
  __int128 v = m;
  for (int i = to; i < e; ++i) v *= 10;
  return negative ? -v : v;
}

TEST(DecimalTest, OrdersAsExactIntegerArithmetic) {
  Spelling s(6);
  for (int round = 0; round < 20000; ++round) {
    const bool na = s.pick(2), nb = s.pick(2);
    const std::int64_t ma = s.mantissa();
    const int ea = s.pick(21) - 10;
    std::int64_t mb = s.mantissa();
    int eb = s.pick(21) - 10;
    switch (s.pick(4)) {
      case 0:  // the same number, written otherwise
        mb = ma;
        eb = ea;
        break;
      case 1:  // one unit of the last digit away
        mb = ma + 1;
        eb = ea;
        break;
      default:
        break;
    }
    const int to = std::min(ea, eb);
    const __int128 a = scaled(na, ma, ea, to);
    const __int128 b = scaled(nb, mb, eb, to);
    const int expected = (a > b) - (a < b);
    const std::string ta = s.spell(na, ma, ea);
    const std::string tb = s.spell(nb, mb, eb);
    ASSERT_EQ(compare_texts(ta, tb), expected) << ta << " against " << tb;
  }
}

}  // namespace
}  // namespace tarnwick
