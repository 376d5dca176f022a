#include <gtest/gtest.h>

#include "tests/config/decomposition_fixture.h"
#include "tests/test_support.h"

namespace {

constexpr double nd = -9999.0;

// Each process other than 0 holds one row of its own: rank r row r + 1.
void setLocalRows(DecompositionModel& model) {
  model.header.firstRow = worldRank() == 0 ? 1 : worldRank() + 1;
  model.header.lastRow = worldRank() == 0 ? model.header.nrows : worldRank() + 1;
}

// n zones with the codes 0, 2, 4, ... in a grid of 127 x 127 cells.
std::vector<std::vector<double>> manyZones(int n) {
  std::vector<std::vector<double>> values(127, std::vector<double>(127, nd));
  for (int i = 0; i < n; ++i)
    values[static_cast<size_t>(i / 127)][static_cast<size_t>(i % 127)] = 2 * i;
  return values;
}

} // namespace

TEST(ZoneRanking, RanksCodesInAscendingOrderAndSumsEachZone) {
  // Codes 7, 3 and 12 (3.9 truncates to 3); row 5 holds no zone.
  const std::vector<std::vector<double>> zones = {{7, 7, nd, 3, nd},
                                                  {nd, nd, nd, nd, 7},
                                                  {nd, 12, 12, 12, 3},
                                                  {3.9, nd, 7, nd, nd},
                                                  {nd, nd, nd, nd, nd}};
  const std::vector<RowColumnRange> ranges = {{0, -1}, {1, 4}, {5, 5}, {2, 5}, {1, 3}, {0, -1}};
  struct Case {
    const char* name;
    bool weighted; // cells of zone 12 weigh 2, the others 1
    double weights[4];
    double domainArea;
  };
  for (const Case& c :
       {Case{"unweighted", false, {0, 3, 4, 3}, 0.1}, Case{"weighted", true, {0, 3, 4, 6}, 0.13}}) {
    SCOPED_TRACE(c.name);
    DecompositionModel model(makeTestDirectory("zones_rank_np" + std::to_string(worldSize())), "");
    model.setZoneValues(zones);
    model.header.cellsize = 100.0;
    setLocalRows(model);
    Grid weights = nullptr;
    if (c.weighted && worldRank() == 0) {
      weights = model.ownedGrid(1, 5);
      for (long r = 1; r <= 5; ++r)
        for (long col = 1; col <= 5; ++col)
          weights[r][col] = zones[r - 1][col - 1] == 12 ? 2.0 : 1.0;
    }
    model.rankZoneCodes(model.entries(), weights, 5, 5, nd);

    EXPECT_EQ(model.zoneCount, 3);
    EXPECT_EQ(model.maxZoneCode, 12);
    std::vector<int> ranks(13, 0);
    ranks[3] = 1;
    ranks[7] = 2;
    ranks[12] = 3;
    EXPECT_EQ(model.zoneRanks, ranks);
    ASSERT_EQ(model.zoneRecords.size(), 4u);
    const double cells[4] = {0, 3, 4, 3};
    const double codes[4] = {0, 3, 7, 12};
    const double total = c.weights[1] + c.weights[2] + c.weights[3];
    double fractions = 0.0;
    for (size_t k = 1; k < 4; ++k) {
      const ZoneRecord& z = model.zoneRecords[k];
      EXPECT_EQ(z.code, codes[k]);
      EXPECT_EQ(z.valueSum, cells[k]);
      EXPECT_EQ(z.weightSum, c.weights[k]);
      EXPECT_EQ(z.effectiveWeight, c.weights[k]);
      EXPECT_DOUBLE_EQ(z.areaFraction, c.weights[k] / total);
      fractions += z.areaFraction;
    }
    EXPECT_DOUBLE_EQ(fractions, 1.0);
    EXPECT_DOUBLE_EQ(model.zoneRecords[0].areaFraction, c.domainArea);
    EXPECT_EQ(model.zoneRecords[0].weightSum, 0.0);
    EXPECT_EQ(model.zoneRecords[0].valueSum, 0.0);

    // Rank 0 keeps every row's range, the others those of their own rows.
    ASSERT_EQ(model.columnRanges.size(), ranges.size());
    EXPECT_EQ(model.rowColumnRange, model.columnRanges.data());
    for (long r = 0; r <= 5; ++r) {
      const bool kept =
          worldRank() == 0 || (r >= model.header.firstRow && r <= model.header.lastRow);
      const RowColumnRange expected = kept ? ranges[static_cast<size_t>(r)] : RowColumnRange{0, -1};
      EXPECT_EQ(model.columnRanges[static_cast<size_t>(r)].first, expected.first) << "row " << r;
      EXPECT_EQ(model.columnRanges[static_cast<size_t>(r)].last, expected.last) << "row " << r;
    }
    if (worldRank() == 0) {
      EXPECT_NE(model.console().find("ranking zones from zones.asc for defaults"),
                std::string::npos);
    }
  }
}

// Rank 0 finds these alone; every process ends with its code.
TEST(ZoneRanking, InvalidZoneGridsEndEveryProcess) {
  struct Case {
    const char* name;
    std::vector<std::vector<double>> zones;
    bool zeroWeights;
    int code; // -1: success
    std::string message;
  };
  const std::vector<Case> cases = {
      {"all nodata",
       {{nd, nd}, {nd, nd}},
       false,
       7,
       "all cells in the zone grid zones.asc are NODATA!"},
      {"zero weight",
       {{1, nd}, {2, nd}},
       true,
       7,
       "all cells in the zone grid zones.asc are NODATA!"},
      {"code above 32767",
       {{1, 32768}, {nd, nd}},
       false,
       3,
       "invalid zone code in zones.asc!\n (codes has to be between 0 and 32767)!"},
      {"negative code", {{nd, -2}, {nd, nd}}, false, 3, "invalid zone code in zones.asc!"},
      {"zone 0 and 32767", {{0, 32767}, {nd, -0.5}}, false, -1, ""},
      {"16000 zones", manyZones(16000), false, -1, ""},
      {"16001 zones", manyZones(16001), false, 4, "too much zones in zones.asc, (max. 16000)!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DecompositionModel model(makeTestDirectory("zones_fail_np" + std::to_string(worldSize())), "");
    model.setZoneValues(c.zones);
    setLocalRows(model);
    const long rows = model.header.nrows;
    const long columns = model.header.ncols;
    Grid weights = c.zeroWeights && worldRank() == 0 ? model.ownedGrid(1, rows) : nullptr;
    EXPECT_EQ(exitCodeOf([&] { model.rankZoneCodes(model.entries(), weights, columns, rows, nd); }),
              c.code);
    if (c.code > 0) {
      if (worldRank() == 0) {
        EXPECT_NE(model.console().find(c.message), std::string::npos);
      }
      continue;
    }
    EXPECT_EQ(model.zoneRecords.size(), static_cast<size_t>(model.zoneCount) + 1);
    EXPECT_EQ(model.zoneRanks.size(), static_cast<size_t>(model.maxZoneCode) + 1);
    EXPECT_EQ(model.zoneRanks[static_cast<size_t>(model.maxZoneCode)], model.zoneCount);
    EXPECT_EQ(model.zoneRecords.back().code, model.maxZoneCode);
    EXPECT_EQ(model.zoneRanks[0], 1) << "zone 0 is a zone";
  }
}
