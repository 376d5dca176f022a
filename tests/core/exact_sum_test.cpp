#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/exact_sum.h"

namespace {

double sumOf(const std::vector<double>& values) {
  ExactSum sum;
  for (double v : values) sum.add(v);
  return sum.value();
}

} // namespace

// Each sum rounded once from its exact value, worked out by hand.
TEST(ExactSum, RoundsTheExactSumOnce) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    std::vector<double> values;
    double expected;
  } cases[] = {
      {{1e16, 1.0, -1e16}, 1.0},
      // Ten times 0.1 is 1 + 5.55e-17 exactly, which rounds to 1.
      {std::vector<double>(10, 0.1), 1.0},
      {{-1e16, -1.0, 1e16, -0.5}, -1.5},
      // 2^53 + 1 ties between 2^53 and 2^53 + 2: to the even one.
      {{0x1p53, 1.0}, 0x1p53},
      {{0x1p53, 1.0, 0x1p-100}, 0x1p53 + 2.0},
      {{0x1p53 + 2.0, 1.0}, 0x1p53 + 4.0},
      {{0x1p-160, 0x1p-170}, 0x1p-160},
      {{0x1p-170}, 0.0},
      {{1e300, 1.0}, 1e300},
      {{inf, 1.0}, inf},
      {{}, 0.0},
  };
  for (const auto& c : cases) EXPECT_EQ(sumOf(c.values), c.expected);
  EXPECT_TRUE(std::isnan(sumOf({1.0, std::nan("")})));
}

// Values of both signs and many sizes, whose exact sum an integer holds:
// every order and every split into partial sums gives that sum rounded.
TEST(ExactSum, SameSumInAnyOrderAndSplit) {
  std::mt19937_64 random(7);
  std::vector<std::int64_t> units(2000);
  for (std::int64_t& u : units)
    u = static_cast<std::int64_t>(random() >> (14 + random() % 50)) * (random() % 2 ? 1 : -1);
  std::int64_t total = 0;
  std::vector<double> values;
  for (std::int64_t u : units) {
    total += u;
    values.push_back(std::ldexp(static_cast<double>(u), -40));
  }
  const double expected = std::ldexp(static_cast<double>(total), -40);
  for (int order = 0; order < 4; ++order) {
    if (order == 1) std::reverse(values.begin(), values.end());
    if (order == 2)
      std::sort(values.begin(), values.end(),
                [](double a, double b) { return std::fabs(a) < std::fabs(b); });
    if (order == 3) std::shuffle(values.begin(), values.end(), random);
    ExactSum parts[3];
    for (std::size_t i = 0; i < values.size(); ++i) parts[(i * 7) % 3].add(values[i]);
    parts[2].add(parts[0]);
    parts[2].add(parts[1]);
    EXPECT_EQ(sumOf(values), expected) << "order " << order;
    EXPECT_EQ(parts[2].value(), expected) << "order " << order;
  }
}
