#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "tests/core/zonal_statistic_fixture.h"

namespace {

const std::vector<double> codes3 = {10, 20, 30};
const std::vector<double> fractions3 = {0.2, 0.3, 0.5};
const std::vector<double> areas3 = {0.0, 12.5, 3.25, 100.0};

// One routing step as the routing model makes it: weight and effective
// weight per subbasin, and its discharge.
void routeStep(StatisticFixture& f, routstatistic& s, const std::vector<double>& q,
               const std::vector<double>& effective, long hour) {
  s.resetZones();
  for (size_t z = 1; z <= q.size(); ++z) {
    f.zones[z].weightSum += 1.0;
    f.zones[z].effectiveWeight += effective[z - 1];
    f.zones[z].valueSum += q[z - 1];
  }
  s.storeRoutingStep(2020, 1, 1, hour, 0);
}

// Comparison sums of a series of (simulated, observed) pairs, linear or of
// the logarithms, as the routing model collects them.
ComparisonRecord compare(const std::vector<std::pair<double, double>>& pairs, bool logarithmic) {
  ComparisonRecord r;
  for (auto [q, o] : pairs) {
    if (logarithmic) q = std::log(q), o = std::log(o);
    r.pairs += 1, r.observations += 1;
    r.differenceSum += q - o;
    r.differenceSquareSum += (q - o) * (q - o);
    r.observedSum += o;
    r.observedSquareSum += o * o;
  }
  return r;
}

// The criteria from their definitions, in two passes over the series:
// 1 - (mean square difference or variance of the differences) / variance of
// the observations; -9999 where they are undefined.
double expectedCriterion(const std::vector<std::pair<double, double>>& pairs, bool logarithmic,
                         bool centred) {
  const double n = static_cast<double>(pairs.size());
  if (n < 3) return -9999.0;
  double meanO = 0.0, meanD = 0.0;
  for (auto [q, o] : pairs) {
    if (logarithmic) q = std::log(q), o = std::log(o);
    meanO += o / n, meanD += (q - o) / n;
  }
  double varO = 0.0, e = 0.0;
  for (auto [q, o] : pairs) {
    if (logarithmic) q = std::log(q), o = std::log(o);
    varO += (o - meanO) * (o - meanO) / (n - 1);
    const double d = centred ? q - o - meanD : q - o;
    e += d * d / (n - 1);
  }
  if (varO < 1e-12) return -9999.0;
  return 1.0 - e / varO;
}

} // namespace

// Lines without a total, the zone value (v / w) * (w / e) guarded against an
// effective weight of 0, and the mean over the steps of a line.
TEST(RoutStatistic, WritesRoutedLinesWithoutTotal) {
  struct Case {
    int code;
    std::string expected;
  };
  const Case cases[] = {
      {2002, "YY\tMM\tDD\tHH\t\"10\"\t\"20\"\t\"30\"\n"
             "routed discharge [ m3 per sec ] _submodel:abfluss\n"
             "--\t--\t--\t--\t12.5000000\t3.2500000\t100.0000000\n"
             "2020\t 1\t 1\t 1\t5.000\t1.500\t0.000\n"},
      {5001, "YY\tMM\tDD\tHH\t\"30\"\n"
             "routed discharge [ m3 per sec ] _submodel:abfluss\n"
             "--\t--\t--\t--\t100.0000000\n"
             "2020\t 1\t 1\t 0\t0.000\n"
             "2020\t 1\t 1\t 1\t0.000\n"},
      {1001, "YY\tMM\tDD\tHH\n"
             "routed discharge [ m3 per sec ] _submodel:abfluss\n"
             "--\t--\t--\t--\n"
             "2020\t 1\t 1\t 0\n"
             "2020\t 1\t 1\t 1\n"},
  };
  for (const Case& c : cases) {
    StatisticFixture f("routed_lines", codes3, fractions3);
    auto s = f.routed(c.code, 3, "q.stat", areas3, {0, 30});
    ASSERT_EQ(f.error, 0);
    s->writeHeader("routed discharge [ m3 per sec ] ", "abfluss", f.table.data(), 8);
    routeStep(f, *s, {4.0, 1.0, 5.0}, {1.0, 1.0, 0.0}, 0);
    routeStep(f, *s, {6.0, 2.0, 5.0}, {1.0, 1.0, 0.0}, 1);
    s->release();
    EXPECT_EQ(readFile(f.path("q.stat")), c.expected) << c.code;
  }
}

// The series takes the first free entry, the observed discharge the next;
// the result names the observed entry, 0 when it found none.
TEST(RoutStatistic, RegistersSeriesAndObservedDischarge) {
  double occupied[2] = {};
  for (long size : {8L, 2L}) {
    StatisticFixture f("routed_table", codes3, fractions3);
    f.table.resize(static_cast<size_t>(size));
    f.table[0].currentValues = occupied;
    auto s = f.routed(2001, 3, "q.stat", areas3);
    const long index = s->writeHeader("routed", "abfluss", f.table.data(), size);
    EXPECT_EQ(index, size == 8 ? 2 : 0);
    EXPECT_EQ(f.table[1].valueCount, 3);
    EXPECT_STREQ(f.table[1].name, "routed_submodel:abfluss");
    if (size == 8) {
      const StatisticTableEntry& observed = f.table[2];
      EXPECT_STREQ(observed.name, "observed Runoff");
      EXPECT_EQ(observed.valueCount, 3);
      for (int p = 1; p <= 3; ++p) {
        EXPECT_EQ(observed.zoneCodes[p], static_cast<std::uint64_t>(codes3[p - 1]));
        EXPECT_EQ(observed.areaFractions[p], areas3[p]);
        EXPECT_EQ(observed.currentValues[p], 0.0);
      }
    }
    s->release();
    EXPECT_EQ(f.table[1].currentValues, nullptr);
    EXPECT_EQ(f.table[2 % size].currentValues, size == 8 ? nullptr : occupied);
  }
  StatisticFixture f("routed_inactive", codes3, fractions3);
  auto off = f.routed(1000, 3, "off.stat", areas3);
  EXPECT_EQ(off->writeHeader("routed", "abfluss", f.table.data(), 8), 0);
  EXPECT_FALSE(fileExists(f.path("off.stat")));
}

// The four criteria blocks against values computed from their definitions;
// undefined criteria (at most two pairs, no or constant observations) are
// -9999, a perfect fit is 1.
TEST(RoutStatistic, WritesEfficiencyCriteria) {
  const std::vector<double> codes = {10, 20, 30, 40};
  const int n = 4;
  using Series = std::vector<std::pair<double, double>>;
  // Pairs of zone z at shift s.
  const std::function<Series(int, int)> series = [](int z, int s) {
    Series pairs;
    for (int i = 0; i < 30; ++i) {
      const double o = 1.0 + 0.37 * i + 0.05 * ((i * 7 + s + 10) % 5);
      const double q = o * (1.05 + 0.01 * s) + 0.1 * ((i * 3) % 4 - 1.5);
      if (z == 1) pairs.emplace_back(q, o);
      if (z == 2) pairs.emplace_back(o, o);
      if (z == 3 && i < 7) pairs.emplace_back(q, 0.1);
      if (z == 4 && s < 0 && i < 2) pairs.emplace_back(q, o);
    }
    return pairs;
  };
  std::vector<std::vector<ComparisonRecord>> lin(21, std::vector<ComparisonRecord>(n + 1));
  std::vector<std::vector<ComparisonRecord>> log(21, std::vector<ComparisonRecord>(n + 1));
  const ComparisonRecord* linRows[21];
  const ComparisonRecord* logRows[21];
  for (int s = -10; s <= 10; ++s) {
    for (int z = 1; z <= n; ++z) {
      lin[s + 10][z] = compare(series(z, s), false);
      log[s + 10][z] = compare(series(z, s), true);
    }
    linRows[s + 10] = lin[s + 10].data();
    logRows[s + 10] = log[s + 10].data();
  }
  // The one-pass spread of constant observations is rounding noise, not 0.
  const ComparisonRecord& constant = lin[10][3];
  ASSERT_NE(constant.observedSquareSum - constant.observedSum * constant.observedSum / 7.0, 0.0);

  struct Case {
    int code;
    std::vector<int> listed;
    std::vector<int> columns;
  };
  const Case cases[] = {{2001, {0}, {1, 2, 3, 4}}, {5001, {0, 20, 40}, {2, 4}}, {1001, {0}, {}}};
  const char* labels[4][2] = {{"LIN. R-SQUARE", "lin. R-square"},
                              {"LOG. R-SQUARE", "log. R-square"},
                              {"COEFF.VAR.LIN", "coeff.var.lin"},
                              {"COEFF.VAR.LOG", "coeff.var.log"}};
  for (const Case& c : cases) {
    StatisticFixture f("routed_criteria", codes, {0.25, 0.25, 0.25, 0.25});
    auto s = f.routed(c.code, 5, "q.stat", {0, 1, 1, 1, 1}, c.listed);
    ASSERT_EQ(f.error, 0);
    s->writeHeader("routed", "abfluss", f.table.data(), 8);
    routeStep(f, *s, {1, 2, 3, 4}, {1, 1, 1, 1}, 0);
    s->writeEfficiencyCriteria(linRows, logRows);
    s->release();
    const std::vector<std::string> lines = fileLines(f.path("q.stat"));
    ASSERT_EQ(lines.size(), 4u + 1 + 4 * 22) << c.code;
    EXPECT_EQ(lines[4], "----------------------");
    for (int b = 0; b < 4; ++b) {
      for (int shift = -10; shift <= 10; ++shift) {
        const std::vector<std::string> got = fields(lines[5 + 22 * b + shift + 10]);
        ASSERT_EQ(got.size(), 2 + c.columns.size());
        EXPECT_EQ(got[0], labels[b][shift == 0 ? 0 : 1]);
        EXPECT_EQ(got[1], std::to_string(shift));
        for (size_t i = 0; i < c.columns.size(); ++i) {
          const double expected =
              expectedCriterion(series(c.columns[i], shift), b % 2 == 1, b >= 2);
          if (expected == -9999.0)
            EXPECT_EQ(got[2 + i], "-9999.0000") << b << " " << shift << " " << c.columns[i];
          else
            EXPECT_NEAR(std::stod(got[2 + i]), expected, 0.5e-4 + 1e-9)
                << b << " " << shift << " " << c.columns[i];
        }
      }
      EXPECT_EQ(lines[5 + 22 * b + 21], "----------------------");
    }
    // The shift-0 linear coefficients of variation stay in the zone records.
    for (int z = 1; z <= n; ++z) {
      const double expected = expectedCriterion(series(z, 0), false, true);
      EXPECT_NEAR(f.zones[z].valueSum, expected, 1e-9) << z;
      EXPECT_EQ(f.zones[z].weightSum, 1.0);
    }
  }
}
