#include <gtest/gtest.h>

#include "tests/config/decomposition_fixture.h"
#include "tests/test_support.h"

namespace {

constexpr double nd = -9999.0;

// A model whose zone grid holds the values; process r > 0 holds row r + 1.
std::unique_ptr<DecompositionModel> zoneModel(const std::vector<std::vector<double>>& zones) {
  auto model = std::make_unique<DecompositionModel>(
      makeTestDirectory("zones_np" + std::to_string(worldSize())), "");
  model->setZoneValues(zones);
  model->header.cellsize = 100.0;
  model->header.firstRow = worldRank() == 0 ? 1 : worldRank() + 1;
  model->header.lastRow = worldRank() == 0 ? model->header.nrows : worldRank() + 1;
  return model;
}

// n zones with the codes 2, 4, 6, ... in a grid of 127 x 127 cells.
std::vector<std::vector<double>> manyZones(int n) {
  std::vector<std::vector<double>> values(127, std::vector<double>(127, nd));
  for (int i = 0; i < n; ++i) values[i / 127][i % 127] = 2 * (i + 1);
  return values;
}

} // namespace

TEST(ZoneRanking, RanksCodesInAscendingOrderAndSumsEachZone) {
  // Codes 7, 3 and 12; row 5 holds no zone.
  const std::vector<std::vector<double>> zones = {{7, 7, nd, 3, nd},
                                                  {nd, nd, nd, nd, 7},
                                                  {nd, 12, 12, 12, 3},
                                                  {3, nd, 7, nd, nd},
                                                  {nd, nd, nd, nd, nd}};
  const std::vector<std::pair<long, long>> ranges = {{0, -1}, {1, 4}, {5, 5},
                                                     {2, 5},  {1, 3}, {0, -1}};
  // Without weights every cell weighs 1; with them the cells of zone 12 weigh 2.
  for (const bool weighted : {false, true}) {
    SCOPED_TRACE(weighted ? "weighted" : "unweighted");
    auto model = zoneModel(zones);
    Grid weights = weighted && worldRank() == 0 ? model->ownedGrid(1, 5) : nullptr;
    for (long r = 1; weights && r <= 5; ++r)
      for (long c = 1; c <= 5; ++c) weights[r][c] = zones[r - 1][c - 1] == 12 ? 2.0 : 1.0;
    model->rankZoneCodes(model->entries(), weights, 5, 5, nd);

    std::vector<int> ranks(13, 0);
    ranks[3] = 1;
    ranks[7] = 2;
    ranks[12] = 3;
    EXPECT_EQ(model->zoneRanks, ranks);
    EXPECT_EQ(model->zoneCount, 3);
    EXPECT_EQ(model->maxZoneCode, 12);
    const double total = weighted ? 13 : 10;
    const std::vector<std::vector<double>> records = {
        {0, 0, 0, 100 * total * 100 / 1e6, 0},
        {3, 3, 3, 3 / total, 3},
        {4, 4, 7, 4 / total, 4},
        {weighted ? 6.0 : 3.0, 3, 12, (weighted ? 6 : 3) / total, weighted ? 6.0 : 3.0}};
    ASSERT_EQ(model->zoneRecords.size(), 4u);
    for (size_t k = 0; k < 4; ++k) {
      const ZoneRecord& z = model->zoneRecords[k];
      const std::vector<double> fields = {z.weightSum, z.valueSum, z.code, z.areaFraction,
                                          z.effectiveWeight};
      for (size_t f = 0; f < 5; ++f)
        EXPECT_DOUBLE_EQ(fields[f], records[k][f]) << "record " << k << " field " << f;
    }

    // Rank 0 keeps every row's range, the others those of their own rows.
    ASSERT_EQ(model->columnRanges.size(), ranges.size());
    EXPECT_EQ(model->rowColumnRange, model->columnRanges.data());
    for (long r = 0; r <= 5; ++r) {
      const bool kept =
          worldRank() == 0 || (r >= model->header.firstRow && r <= model->header.lastRow);
      const RowColumnRange& range = model->columnRanges[r];
      EXPECT_EQ(std::make_pair(range.first, range.last), kept ? ranges[r] : std::make_pair(0L, -1L))
          << "row " << r;
    }
    if (worldRank() == 0) {
      EXPECT_NE(model->console().find("ranking zones from zones.asc for defaults"),
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
       "invalid zone code 32768 in the zone grid zones.asc ([zone_grid]) at row 1, column 2: "
       "codes must be whole numbers from 1 to 32767"},
      {"negative code",
       {{nd, nd}, {nd, -2}},
       false,
       3,
       "invalid zone code -2 in the zone grid zones.asc ([zone_grid]) at row 2, column 2"},
      {"zone 0", {{1, nd}, {0, 2}}, false, 3, "invalid zone code 0 in the zone grid zones.asc"},
      {"a fraction of a code",
       {{1, 2.5}, {nd, nd}},
       false,
       3,
       "invalid zone code 2.5 in the zone grid zones.asc ([zone_grid]) at row 1, column 2"},
      {"zones 1 and 32767", {{1, 32767}, {nd, nd}}, false, -1, ""},
      {"16000 zones", manyZones(16000), false, -1, ""},
      {"16001 zones", manyZones(16001), false, 4, "too much zones in zones.asc, (max. 16000)!"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto model = zoneModel(c.zones);
    const long rows = model->header.nrows;
    Grid weights = c.zeroWeights && worldRank() == 0 ? model->ownedGrid(1, rows) : nullptr;
    EXPECT_EQ(exitCodeOf([&] {
                model->rankZoneCodes(model->entries(), weights, model->header.ncols, rows, nd);
              }),
              c.code);
    if (c.code > 0) {
      if (worldRank() == 0) {
        EXPECT_NE(model->console().find(c.message), std::string::npos);
      }
      continue;
    }
    EXPECT_EQ(model->zoneRecords.size(), static_cast<size_t>(model->zoneCount) + 1);
    EXPECT_EQ(model->zoneRanks.size(), static_cast<size_t>(model->maxZoneCode) + 1);
    EXPECT_EQ(model->zoneRanks.back(), model->zoneCount);
    EXPECT_EQ(model->zoneRecords.back().code, model->maxZoneCode);
    EXPECT_EQ(model->zoneRanks[0], 0) << "zone 0 is no zone";
  }
}
