#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "tests/config/derived_grids_model.h"

namespace {

constexpr double nd = DerivedGridsModel::nd;
constexpr double cell = 50.0;

// A ragged catchment of 24 x 16 cells with shared rows.
const std::vector<std::string> catchment = {
    "....xxxxxxxxxxxx........", "..xxxxxxxxxxxxxxxxx.....", ".xxxxxxxxxxxxxxxxxxxxx..",
    "xxxxxxxxxx..xxxxxxxxxxxx", "xxxxxxxxxxxxxxxxxxxxxxxx", "xxxxxxxxxxxxxxxxxxxxxxxx",
    ".xxxxxxxxxxxxxxxxxxxxxxx", ".xxxxxxxxxxxxxxxxxxxxxxx", "..xxxxxxxxxxxxxxxxxxxxx.",
    "..xxxxxxxxxxxxxxxxxxxxx.", "...xxxxxxxxxxxxxxxxxxx..", "...xxxxxxxxxxxxxxxxxx...",
    "....xxxxxxxxxxxxxxxx....", ".....xxxxxxxxxxxxxx.....", "......xxxxxxxxxx........",
    "........xxxxxx.........."};
const long ncols = 24;
const long nrows = 16;

bool inside(long r, long k) { return catchment[r - 1][k - 1] != '.'; }
double zone(long r, long k) { return inside(r, k) ? 1.0 : nd; }
double flat(long, long) { return 100.0; }

// Codes 1 and 2 with a jagged border near column 12; outside the catchment
// the grid holds a third code, which is no region.
double twoRegions(long r, long k) {
  if (!inside(r, k)) return 77.0;
  return k <= 11 + (r % 3 == 0 ? 1 : 0) ? 1.0 : 2.0;
}
// Three sectors around row 8, column 12 with the codes 5, 9 and 14.
double threeRegions(long r, long k) {
  const double angle = std::atan2(static_cast<double>(8 - r), static_cast<double>(k - 12));
  if (angle > 0.5) return 5.0;
  return angle > -1.9 ? 9.0 : 14.0;
}

// The other regions within the transition distance (in cells) of a cell,
// and the distance in whole cells to the nearest of them.
struct Surroundings {
  std::set<double> others;
  double nearest = 0.0;
};
Surroundings around(long r, long k, double distance,
                    const DerivedGridsModel::CellFunction& regions) {
  Surroundings s;
  s.nearest = distance;
  for (long q = 1; q <= nrows; ++q)
    for (long j = 1; j <= ncols; ++j) {
      const double squared = static_cast<double>((q - r) * (q - r) + (j - k) * (j - k));
      if (!inside(q, j) || regions(q, j) == regions(r, k) || squared > distance * distance)
        continue;
      s.others.insert(regions(q, j));
      s.nearest = std::min(s.nearest, std::floor(std::sqrt(squared)));
    }
  return s;
}

// Runs MakeRegionWeightGrids with the region grid as a standard grid (none
// when regions is empty); false on failure.
bool makeWeights(DerivedGridsModel& m, const DerivedGridsModel::CellFunction& regions,
                 const std::string& regionFile = "regions.asc") {
  m.setUp(ncols, nrows, cell, zone, flat);
  if (regions) m.addStandardGrid("regression_regions", regionFile, regions);
  const int code = exitCodeOf([&] { m.MakeRegionWeightGrids(); });
  EXPECT_EQ(code, -1) << m.console() << m.errors();
  return code == -1;
}

} // namespace

// Within the transition distance D the cell's own region weighs
// d / (2 D) + 0.5 for the nearest cell of the other region at d whole cells:
// 0.625 next to the border for D = 4.
TEST(RegionWeights, TwoRegionsBlendWithinTheTransitionDistance) {
  DerivedGridsRun run("regions_two", derivedControlFile("200.0"));
  DerivedGridsModel& m = run.model;
  if (!makeWeights(m, twoRegions, "regions")) return;
  EXPECT_EQ(m.regionCount, 2);
  EXPECT_EQ(m.transitionDistance, 200.0);
  auto weight = [](long r, long k) {
    const Surroundings s = around(r, k, 4.0, twoRegions);
    return s.others.empty() ? 1.0 : s.nearest / 8.0 + 0.5;
  };
  auto other = [](long r, long k) {
    const Surroundings s = around(r, k, 4.0, twoRegions);
    return s.others.empty() ? 0.0 : *s.others.begin();
  };
  expectHeldCells(m, m.regressionWeightGrid[0], weight, 1e-15, "regression_weights1");
  expectHeldCells(
      m, m.regressionWeightGrid[1], [&](long r, long k) { return 1.0 - weight(r, k); }, 1e-15,
      "regression_weights2");
  expectHeldCells(m, m.regressionRegionGrid[1], other, 0.0, "regression_regions2");
  for (int i = 0; i < 2; ++i) {
    expectSameAsRankZero(m, m.regressionWeightGrid[i], "weights");
    expectSameAsRankZero(m, m.regressionRegionGrid[i], "regions");
  }
  // Either side of the border in row 5 (columns 11 and 12).
  const long r = 5;
  if (r >= m.heldFirstRow() && r <= m.heldLastRow()) {
    EXPECT_EQ(m.regressionWeightGrid[0][r][11], 0.625);
    EXPECT_EQ(m.regressionWeightGrid[1][r][11], 0.375);
    EXPECT_EQ(m.regressionWeightGrid[0][r][12], 0.625);
    EXPECT_EQ(m.regressionRegionGrid[1][r][12], 1.0);
  }
  EXPECT_EQ(m.findGrid("regression_regions3", 1), 0);
  EXPECT_EQ(m.findGrid("regression_weights3", 1), 0);
  if (worldRank() == 0) {
    // A region file without an extension names its first weights "rw1".
    for (const char* file : {"regions.intern.rw1", "regions.intern.r2", "regions.intern.w2"})
      EXPECT_TRUE(fileExists(file)) << file;
    EXPECT_NE(m.console().find("generating region weight grids"), std::string::npos);
    EXPECT_NE(m.console().find("ranking regions from regions for defaults"), std::string::npos);
  }
}

// Where three regions meet every cell's weights are at least 0 and sum to 1;
// cells out of reach of other regions keep their own region alone.
TEST(RegionWeights, ThreeRegionsSumToOneInEveryCell) {
  DerivedGridsRun run("regions_three", derivedControlFile("250.0"));
  DerivedGridsModel& m = run.model;
  if (!makeWeights(m, threeRegions)) return;
  ASSERT_EQ(m.regionCount, 3);
  Grid w[3] = {m.regressionWeightGrid[0], m.regressionWeightGrid[1], m.regressionWeightGrid[2]};
  Grid g[3] = {m.regressionRegionGrid[0], m.regressionRegionGrid[1], m.regressionRegionGrid[2]};
  long failures = 0;
  long meetings = 0;
  std::string firstFailure;
  for (long r = m.heldFirstRow(); r <= m.heldLastRow(); ++r)
    for (long k = 1; k <= ncols; ++k) {
      const std::string at = std::to_string(r) + "/" + std::to_string(k);
      if (!m.zoneValid(r, k)) {
        for (int i = 1; i < 3; ++i)
          if ((w[i][r][k] != nd || g[i][r][k] != nd) && failures++ == 0)
            firstFailure = "not nodata outside the zone at " + at;
        continue;
      }
      const Surroundings s = around(r, k, 5.0, threeRegions);
      const double sum = w[0][r][k] + w[1][r][k] + w[2][r][k];
      bool ok =
          std::fabs(sum - 1.0) < 1e-12 && w[0][r][k] >= 0 && w[1][r][k] >= 0 && w[2][r][k] >= 0;
      if (s.others.empty())
        ok = ok && w[0][r][k] == 1.0 && g[1][r][k] == 0.0 && g[2][r][k] == 0.0;
      else
        ok = ok && s.others.count(g[1][r][k]) == 1 &&
             (g[2][r][k] == 0.0 || s.others.count(g[2][r][k]) == 1) && g[1][r][k] != g[2][r][k];
      if (s.others.size() == 2) {
        ok = ok && g[2][r][k] != 0.0 && w[0][r][k] < 1.0;
        ++meetings;
      }
      if (!ok && failures++ == 0)
        firstFailure = "at " + at + ": weights " + std::to_string(w[0][r][k]) + ", " +
                       std::to_string(w[1][r][k]) + ", " + std::to_string(w[2][r][k]) +
                       ", regions " + std::to_string(g[1][r][k]) + ", " +
                       std::to_string(g[2][r][k]);
    }
  EXPECT_EQ(failures, 0) << firstFailure;
  long allMeetings = 0;
  MPI_Allreduce(&meetings, &allMeetings, 1, MPI_LONG, MPI_SUM, MPI_COMM_WORLD);
  EXPECT_GT(allMeetings, 0);
  for (int i = 0; i < 3; ++i) {
    expectSameAsRankZero(m, w[i], "weights");
    expectSameAsRankZero(m, g[i], "regions");
  }
  if (worldRank() == 0) {
    for (const char* file : {"regions.intern.w1", "regions.intern.r2", "regions.intern.w2",
                             "regions.intern.r3", "regions.intern.w3"})
      EXPECT_TRUE(fileExists(file)) << file;
  }
}

// Without a region grid the whole zone is region 1 with the weight 1.
TEST(RegionWeights, WithoutRegionGridOneRegionWeighsOne) {
  DerivedGridsRun run("regions_none", derivedControlFile("100"));
  DerivedGridsModel& m = run.model;
  if (!makeWeights(m, nullptr)) return;
  EXPECT_EQ(m.regionCount, 1);
  expectHeldCells(
      m, m.regressionRegionGrid[0], [](long, long) { return 1.0; }, 0.0, "regression_regions");
  expectHeldCells(
      m, m.regressionWeightGrid[0], [](long, long) { return 1.0; }, 0.0, "regression_weights1");
  EXPECT_EQ(m.entries()[m.regressionRegionIndex[0]].fileName, "zone.intern.r1");
  EXPECT_EQ(m.findGrid("regression_regions2", 1), 0);
  if (worldRank() == 0) {
    EXPECT_FALSE(fileExists("zone.intern.r1"));
    EXPECT_TRUE(fileExists("zone.intern.w1"));
    EXPECT_FALSE(fileExists("zone.intern.intern.w1"));
  }
}

// A transition distance of 0 or less is taken as 0.01 after a warning, on
// every process; so small a distance reaches no other region.
TEST(RegionWeights, DistanceOfZeroOrLessWarnsAndTakes0_01) {
  for (const char* distance : {"0", "-3.5"}) {
    SCOPED_TRACE(distance);
    DerivedGridsRun run("regions_distance", derivedControlFile(distance));
    DerivedGridsModel& m = run.model;
    if (!makeWeights(m, twoRegions)) continue;
    EXPECT_EQ(m.transitionDistance, 0.01);
    expectHeldCells(
        m, m.regressionWeightGrid[0], [](long, long) { return 1.0; }, 0.0, "regression_weights1");
    expectHeldCells(
        m, m.regressionRegionGrid[1], [](long, long) { return 0.0; }, 0.0, "regression_regions2");
    if (worldRank() == 0) {
      EXPECT_NE(m.console().find("the transition distance " + std::string(distance) +
                                 " in [region_transition_distance] is not positive; 0.01 is "
                                 "used instead"),
                std::string::npos)
          << m.console();
    }
  }
}

// Every grid takes a free entry of its own; the reader counts them.
TEST(RegionWeights, GridsTakeOnlyFreeEntries) {
  DerivedGridsRun run("regions_entries", derivedControlFile("100"));
  DerivedGridsModel& m = run.model;
  m.setUp(ncols, nrows, cell, zone, flat);
  m.addStandardGrid("regression_regions", "regions.asc", threeRegions);
  const int occupied = m.firstFreeRegistryIndex() + 2;
  m.registerGrid(occupied, "other.asc", nullptr, nullptr, 0, "occupied", 0, 1, 1);
  const int count = m.gridCount;
  ASSERT_EQ(exitCodeOf([&] { m.MakeRegionWeightGrids(); }), -1) << m.console();
  EXPECT_EQ(m.entries()[occupied].name, "occupied");
  std::set<int> indices = {occupied};
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(indices.insert(m.regressionRegionIndex[i]).second);
    EXPECT_TRUE(indices.insert(m.regressionWeightIndex[i]).second);
    EXPECT_EQ(m.entries()[m.regressionWeightIndex[i]].grid, m.regressionWeightGrid[i]);
  }
  EXPECT_EQ(m.gridCount, count + 5);
}

TEST(RegionRanking, RanksCodesAndFindsTheCentresOnEveryProcess) {
  DerivedGridsRun run("regions_ranking");
  DerivedGridsModel& m = run.model;
  m.setUp(ncols, nrows, cell, zone, flat);
  // Code 12 in rows 1-4, 7 in rows 5-9 left of column 13, 3 elsewhere
  // (3.9 truncates to 3).
  auto codes = [](long r, long k) {
    if (!inside(r, k)) return nd;
    if (r <= 4) return 12.0;
    return r <= 9 && k < 13 ? 7.0 : 3.9;
  };
  const int index = m.addStandardGrid("regression_regions", "regions.asc", codes);
  ASSERT_EQ(exitCodeOf([&] { m.rankRegionCodes(index); }), -1) << m.console();
  std::vector<int> ranks(13, 0);
  ranks[3] = 1;
  ranks[7] = 2;
  ranks[12] = 3;
  EXPECT_EQ(m.regionRanks, ranks);
  EXPECT_EQ(m.regionCount, 3);
  EXPECT_EQ(m.getMaxRegionCode(), 12);
  ASSERT_EQ(m.regionCentres.size(), 4u);
  EXPECT_EQ(m.regionCentres[0].cellCount, 0.0);
  for (int rank = 1; rank <= 3; ++rank) {
    double rows = 0, columns = 0, count = 0;
    for (long r = 1; r <= nrows; ++r)
      for (long k = 1; k <= ncols; ++k)
        if (inside(r, k) && ranks[static_cast<size_t>(codes(r, k))] == rank) {
          rows += static_cast<double>(r);
          columns += static_cast<double>(k);
          count += 1;
        }
    const RegionCentre& c = m.regionCentres[static_cast<size_t>(rank)];
    EXPECT_EQ(c.cellCount, count) << rank;
    EXPECT_DOUBLE_EQ(c.meanRow, rows / count) << rank;
    EXPECT_DOUBLE_EQ(c.meanColumn, columns / count) << rank;
    EXPECT_EQ(c.centreRow, static_cast<int>(rows / count)) << rank;
    EXPECT_EQ(c.centreColumn, static_cast<int>(columns / count)) << rank;
  }
  if (worldRank() == 0) {
    EXPECT_NE(m.console().find("ranking regions from regions.asc for defaults"), std::string::npos);
  }
}

// Rank 0 finds these alone; every process ends with its code.
TEST(RegionRanking, InvalidRegionGridsEndEveryProcess) {
  struct Case {
    const char* name;
    DerivedGridsModel::CellFunction codes;
    int code; // -1: accepted
    std::string message;
  };
  auto with = [](long row, long column, double value) {
    return [=](long r, long k) { return r == row && k == column ? value : 1.0; };
  };
  // n regions, one per zone cell in row order, the rest region 1.
  auto regions = [](int n) {
    return [n](long r, long k) {
      long position = 0;
      for (long q = 1; q <= nrows; ++q)
        for (long j = 1; j <= ncols; ++j)
          if (inside(q, j)) {
            ++position;
            if (q == r && j == k) return static_cast<double>(std::min<long>(position, n));
          }
      return 1.0;
    };
  };
  const std::string invalid =
      "invalid region code in regions.asc!\n (codes has to be between 1 and 32767)!\n";
  const std::vector<Case> cases = {
      {"region 0", with(6, 5, 0.0), 3, invalid},
      {"region 0.5", with(6, 5, 0.5), 3, invalid},
      {"nodata inside the zone", with(9, 9, nd), 3, invalid},
      {"region 32768", with(2, 5, 32768.0), 3, invalid},
      {"region 32767", with(2, 5, 32767.0), -1, ""},
      {"region 0 outside the zone", with(1, 1, 0.0), -1, ""},
      {"30 regions", regions(30), -1, ""},
      {"31 regions", regions(31), 4, "too much zones in regions.asc, (max. 30)!\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DerivedGridsRun run("regions_invalid");
    DerivedGridsModel& m = run.model;
    m.setUp(ncols, nrows, cell, zone, flat);
    const int index = m.addStandardGrid("regression_regions", "regions.asc", c.codes);
    EXPECT_EQ(exitCodeOf([&] { m.rankRegionCodes(index); }), c.code);
    if (worldRank() == 0 && c.code > 0) {
      EXPECT_NE(m.console().find(c.message), std::string::npos) << m.console();
    }
  }
}

// The section must exist; a missing one ends the run with code 17.
TEST(RegionWeights, MissingTransitionDistanceEndsWithCode17) {
  DerivedGridsRun run("regions_missing");
  DerivedGridsModel& m = run.model;
  m.setUp(ncols, nrows, cell, zone, flat);
  EXPECT_EQ(exitCodeOf([&] { m.MakeRegionWeightGrids(); }), 17);
  if (worldRank() == 0) {
    EXPECT_NE(m.console().find("[region_transition_distance]; (EOF)not found!"), std::string::npos)
        << m.console();
  }
}
