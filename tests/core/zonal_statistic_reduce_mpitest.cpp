#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/memory_handling.h"
#include "tests/core/owned_grid.h"
#include "tests/core/zonal_statistic_fixture.h"

namespace {

// Zones of a small catchment ('.' outside): a = code 3, b = 7, c = 12.
const std::vector<std::string> zoneMap = {"..aaab...", ".aaabbbb.", "aaabbbbcc",
                                          ".aacbbccc", "..cccbcc.", "...cc...."};
const long rows = 6;
const long columns = 9;
const int steps = 48;

long zoneOf(long r, long c) {
  const char z = zoneMap[r - 1][c - 1];
  return z == '.' ? -1 : z - 'a' + 1;
}
double cellValue(long r, long c, int t) { return 1000.0 / 3 + 0.1 * (r * columns + c) + 0.013 * t; }
double cellWeight(long, long c) { return 1.0 + 0.1 * (c % 3); }
double gridWeight(long r, long c) {
  return r == 2 && c == 3 ? -9999.0 : 0.3 + 0.07 * c + 0.011 * r;
}

// The valid cells in row order, divided into one run per process as the
// domain decomposition divides them.
struct Decomposition {
  Decomposition() {
    for (long r = 1; r <= rows; ++r)
      for (long c = 1; c <= columns; ++c)
        if (zoneOf(r, c) > 0) cells.push_back({r, c});
  }
  int owner(size_t k) const {
    return static_cast<int>(k * static_cast<size_t>(worldSize()) / cells.size());
  }
  std::vector<std::pair<long, long>> cells;
};

} // namespace

// Every code gives the same file whether the cells are spread over the
// processes or all added by rank 0 (as with one process): the zone sums do
// not depend on how the cells are divided, to the last printed digit.
TEST(ZonalStatisticMPI, SameFileFromAnyNumberOfProcesses) {
  const Decomposition d;
  memory_handling memory;
  OwnedGrid weights(memory, rows, columns, 0.0);
  for (long r = 1; r <= rows; ++r)
    for (long c = 1; c <= columns; ++c) weights.grid[r][c] = gridWeight(r, c);

  // Plain sums per process would show the division in the printed digits.
  if (worldSize() > 1) {
    bool differs = false;
    for (int t = 0; t < steps; ++t) {
      std::vector<double> serial(4, 0.0), split(4, 0.0);
      std::vector<std::vector<double>> part(worldSize(), std::vector<double>(4, 0.0));
      for (size_t k = 0; k < d.cells.size(); ++k) {
        const auto [r, c] = d.cells[k];
        const double v = cellValue(r, c, t) * cellWeight(r, c);
        serial[zoneOf(r, c)] += v;
        part[d.owner(k)][zoneOf(r, c)] += v;
      }
      for (int z = 1; z <= 3; ++z) {
        for (int p = 0; p < worldSize(); ++p) split[z] += part[p][z];
        differs = differs || split[z] != serial[z];
      }
    }
    EXPECT_TRUE(differs);
  }

  for (int code : {2001, 2024, 4024, 1003}) {
    StatisticFixture f("zonal_mpi_" + std::to_string(code), {3, 7, 12}, {0.3, 0.4, 0.3}, true);
    std::vector<ZoneRecord> aloneZones = f.zones;
    ZoneRecord* alone = aloneZones.data();
    auto spread = f.zonal(code, 15, "spread.stat", {0}, false, weights.grid, rows, columns);
    std::string aloneName = "alone.stat";
    int aloneError = -1;
    zonalstatistic single(aloneError, &f.diag, nullptr, 0, weights.grid, rows, columns, &alone, 3,
                          code, 15, aloneName, f.dir + "/", 0, nullptr, false);
    ASSERT_EQ(f.error + aloneError, 0);
    spread->writeHeader("snow", "(default)", f.table.data(), 8);
    single.writeHeader("snow", "(default)", f.table.data(), 8);
    // The means from their definition, in long double: the total and the
    // zones of the last line.
    std::vector<long double> value(4, 0.0L), weight(4, 0.0L);
    for (int t = 0; t < steps; ++t) {
      spread->resetZones();
      single.resetZones();
      for (size_t k = 0; k < d.cells.size(); ++k) {
        const auto [r, c] = d.cells[k];
        const long z = zoneOf(r, c);
        if (d.owner(k) == worldRank())
          spread->addValue(r, c, z, cellValue(r, c, t), cellWeight(r, c));
        if (worldRank() == 0) single.addValue(r, c, z, cellValue(r, c, t), cellWeight(r, c));
        if (t < steps - code % 1000) continue; // before the last line
        const long double g = gridWeight(r, c) > -9999.0 ? gridWeight(r, c) : 1.0L;
        value[z] += static_cast<long double>(cellValue(r, c, t)) * cellWeight(r, c) * g;
        weight[z] += static_cast<long double>(cellWeight(r, c)) * g;
      }
      spread->storeStep(2020, 5, 1 + t / 24, t % 24, 0, 1);
      single.storeStep(2020, 5, 1 + t / 24, t % 24, 0, 1);
    }
    spread->release();
    single.release();
    if (worldRank() != 0) continue;
    const std::string text = readFile(f.path("spread.stat"));
    EXPECT_EQ(text, readFile(f.path("alone.stat"))) << code;
    const std::vector<std::string> lines = fileLines(f.path("spread.stat"));
    const int count = code % 1000;
    ASSERT_EQ(lines.size(), static_cast<size_t>(3 + steps / count)) << code;
    const std::vector<std::string> last = fields(lines.back());
    const long double lastCount = count;
    const bool sum = code / 1000 == 4;
    for (int z = 1; z <= 3 && code / 1000 != 1; ++z) {
      const long double expected = sum ? value[z] / (weight[z] / lastCount) : value[z] / weight[z];
      EXPECT_NEAR(std::stod(last[3 + z]), static_cast<double>(expected), 1e-9) << code << " " << z;
    }
    const long double totalWeight = weight[1] + weight[2] + weight[3];
    const long double expectedTotal =
        (value[1] + value[2] + value[3]) / (sum ? totalWeight / lastCount : totalWeight);
    EXPECT_NEAR(std::stod(last.back()), static_cast<double>(expectedTotal), 1e-9) << code;
  }
}
