#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "meteo/elevation_regression.h"
#include "meteo/inverse_distance_weighting.h"
#include "meteo/meteoint.h"
#include "meteo/regional_superposition.h"
#include "tests/meteo/meteo_model.h"
#include "tests/test_support.h"

namespace {

constexpr long rows = 20;
constexpr long columns = 24;

// An oval catchment with a lake and a bay.
std::vector<std::string> catchment() {
  std::vector<std::string> mask;
  for (long r = 1; r <= rows; ++r) {
    std::string row;
    for (long c = 1; c <= columns; ++c) {
      const double dx = (c - 12.5) / 12.0, dy = (r - 10.5) / 10.0;
      const bool lake = std::abs(r - 8) <= 1 && std::abs(c - 9) <= 2;
      const bool bay = r > 15 && c > 14 && c < 19;
      row += dx * dx + dy * dy <= 1.0 && !lake && !bay ? 'x' : '.';
    }
    mask.push_back(row);
  }
  return mask;
}

double elevationAt(long r, long c) { return 300.0 + 40.0 * r - 9.0 * c + 5.0 * ((r * c) % 7); }

// Regions 2, 5 and 9 in three bands of columns; two bands of three columns
// along the borders blend the neighbouring regions, and the middle of them
// all three.
double region(long, long c) { return c <= 8 ? 2.0 : (c <= 16 ? 5.0 : 9.0); }
double otherRegion(long, long c) { return c <= 8 ? 5.0 : (c <= 16 ? (c <= 12 ? 2.0 : 9.0) : 5.0); }
bool nearBorder(long c) { return std::abs(c - 8.5) <= 1.5 || std::abs(c - 16.5) <= 1.5; }
double weight1(long, long c) { return nearBorder(c) ? 0.7 : 1.0; }
double weight2(long, long c) { return nearBorder(c) ? 0.2 : 0.0; }
double region3(long, long c) {
  if (!nearBorder(c)) return 0.0;
  return c <= 12 ? 9.0 : 2.0;
}
double weight3(long, long c) { return nearBorder(c) ? 0.1 : 0.0; }

StationTable stations() {
  StationTable t;
  unsigned seed = 777;
  auto next = [&] {
    seed = seed * 1103515245u + 12345u;
    return static_cast<double>((seed >> 8) % 100000) / 100000.0;
  };
  for (int s = 0; s < 40; ++s) {
    t.x.push_back(-3000.0 + 30000.0 * next());
    t.y.push_back(-3000.0 + 26000.0 * next());
    t.z.push_back(250.0 + 900.0 * next());
  }
  for (int line = 0; line < 4; ++line) {
    std::vector<double> values;
    for (int s = 0; s < 40; ++s)
      values.push_back((s * 7 + line * 3) % 5 == 0 ? -9999.0 : 20.0 * next() - 5.0);
    t.values.push_back(values);
  }
  return t;
}

struct Reference {
  Reference(MeteoModel& m) : model(m) {
    const long n = m.header.nrows;
    for (Grid* g : {&coordX, &coordY, &size, &whole}) *g = m.ownedGrid(1, n);
    for (long r = 1; r <= n; ++r)
      for (long c = 1; c <= m.header.ncols; ++c) {
        coordX[r][c] = m.header.xllcorner + (c - 1) * m.header.cellsize;
        coordY[r][c] = m.header.yllcorner + (n - r) * m.header.cellsize;
        size[r][c] = m.header.cellsize;
        whole[r][c] = -9999.0;
      }
    cells.firstRow = 1;
    cells.lastRow = n;
    cells.ncols = m.header.ncols;
    cells.zone = zone = m.entries()[1].grid;
    cells.coordX = coordX;
    cells.coordY = coordY;
    cells.cellSizeX = cells.cellSizeY = size;
  }
  // Every cell of the grid, row after row.
  std::vector<double> values() const {
    std::vector<double> v;
    for (long r = 1; r <= model.header.nrows; ++r)
      v.insert(v.end(), whole[r] + 1, whole[r] + model.header.ncols + 1);
    return v;
  }
  MeteoModel& model;
  Grid coordX = nullptr, coordY = nullptr, size = nullptr, whole = nullptr, zone = nullptr;
  InterpolationCells cells;
};

std::vector<double> broadcast(std::vector<double> values) {
  long n = static_cast<long>(values.size());
  MPI_Bcast(&n, 1, MPI_LONG, 0, MPI_COMM_WORLD);
  values.resize(static_cast<std::size_t>(n));
  MPI_Bcast(values.data(), static_cast<int>(n), MPI_DOUBLE, 0, MPI_COMM_WORLD);
  return values;
}

// Each process holds the values of the whole-grid reference at its own
// cells and at the halo cells it receives from its neighbours.
void expectHeldCellsMatch(MeteoModel& m, const meteointerpol& i,
                          const std::vector<double>& reference, const std::string& what) {
  const int rank = worldRank();
  std::vector<std::pair<long, long>> held;
  for (long r = m.header.firstRow; r <= m.header.lastRow; ++r)
    for (long c = 1; c <= m.header.ncols; ++c)
      if (m.valid(r, c) && m.regionsGrid[r][c] == rank) held.push_back({r, c});
  for (const HaloStrip& s : m.receiveList)
    for (long c = s.startColumn; c < s.startColumn + s.count; ++c) held.push_back({s.row, c});
  int mismatches = 0;
  for (const auto& [r, c] : held) {
    const double expected = reference[static_cast<std::size_t>((r - 1) * m.header.ncols + c - 1)];
    if (i.getGrid()[r][c] != expected && ++mismatches <= 5)
      ADD_FAILURE() << what << ": cell " << r << "," << c << " holds " << i.getGrid()[r][c]
                    << " instead of " << expected << " on process " << rank;
  }
  EXPECT_EQ(mismatches, 0) << what;
  EXPECT_GT(held.size(), 0u);
}

// The addition of the regional superposition's rule at a cell.
double superposed(long r, long c) {
  auto value = [](double code) { return code == 2.0 ? 1.5 : (code == 5.0 ? -0.5 : 3.0); };
  double s = weight1(r, c) * value(region(r, c));
  if (!nearBorder(c)) return s;
  s += weight2(r, c) * value(otherRegion(r, c));
  s += weight3(r, c) * value(region3(r, c));
  return s;
}

// The grids of 1, 2 and 3 processes and of 1 and 4 threads are identical to
// those that one process computes for the whole grid, bit for bit; the
// temperature with a regional superposition.
TEST(meteointerpol, GivesTheSameGridsForAnyNumberOfProcessesAndThreads) {
  const StationTable table = stations();
  InterpolatorSection idw;
  idw.idw = "2 6000 4";
  InterpolatorSection regression;
  regression.name = "air_pressure";
  regression.method = 2;
  regression.minStations = "3";
  regression.output = "pressure.asc 1";
  const std::string superposition = "[RegionalSuperposition]\n1\n60\n1\n"
                                    "temperature add 1 12 2:1.5 5:-0.5 9:3\n";
  MeteoRun run("any_decomposition", idw.text() + regression.text() + superposition,
               {{"stations.txt", table.text()}}, catchment(), elevationAt);
  MeteoModel& m = *run.model;
  m.addGrid("regression_regions", region);
  m.addGrid("regression_weights1", weight1);
  m.addGrid("regression_regions2",
            [](long r, long c) { return nearBorder(c) ? otherRegion(r, c) : 0.0; });
  m.addGrid("regression_weights2", weight2);
  m.addGrid("regression_regions3", region3);
  m.addGrid("regression_weights3", weight3);
  run.context.writeAsciiGrids = true;
  int code = 0;
  auto temperature = run.interpolator("temperature", code);
  ASSERT_EQ(code, 0) << run.console();
  auto pressure = run.interpolator("air_pressure", code);
  ASSERT_EQ(code, 0) << run.console();
  auto superpose = constructSubmodel<RegionalSuperposition>(code, run.context);
  ASSERT_EQ(code, 0) << run.console();
  // Rank 0 as well holds its strip and halo rows only.
  for (const meteointerpol* i : {temperature.get(), pressure.get()}) {
    EXPECT_EQ(m.entries()[i->getGridIndex()].firstRow, std::max(1L, m.header.firstRow - 1));
    EXPECT_EQ(m.entries()[i->getGridIndex()].lastRow, std::min(rows, m.header.lastRow + 1));
  }

  // The references, on rank 0 for the whole grid.
  std::unique_ptr<Reference> reference;
  std::unique_ptr<InverseDistanceWeighting> wholeIdw;
  std::unique_ptr<ElevationRegression> wholeRegression;
  if (worldRank() == 0) {
    reference = std::make_unique<Reference>(m);
    wholeIdw = std::make_unique<InverseDistanceWeighting>(
        reference->cells, table.x, table.y, InverseDistanceWeighting::Parameters{2.0, 6000.0, 4});
    RegionGrids regions;
    const char* names[3][2] = {{"regression_regions", "regression_weights1"},
                               {"regression_regions2", "regression_weights2"},
                               {"regression_regions3", "regression_weights3"}};
    for (int k = 0; k < 3; ++k) {
      regions.region[k] = m.entries()[m.findGrid(names[k][0], 1)].grid;
      regions.weight[k] = m.entries()[m.findGrid(names[k][1], 1)].grid;
    }
    const std::vector<int> codes = {2, 5, 9};
    wholeRegression = std::make_unique<ElevationRegression>(
        reference->cells, m.entries()[2].grid, regions, codes,
        ElevationRegression::stationRegions(m.header, reference->zone, regions.region[0], codes,
                                            table.x, table.y),
        table.z, 3);
  }

  const int threads = omp_get_max_threads();
  std::vector<std::vector<double>> firstRun;
  for (int threadCount : {1, 4}) {
    omp_set_num_threads(threadCount);
    temperature->rewind();
    pressure->rewind();
    for (int step = 0; step < 4; ++step) {
      const ModelDate date = temperature->getNextDate();
      temperature->interpolate(date);
      pressure->interpolate(date);
      superpose->superpose(date.minute, date.hour, date.day, date.month, date.year);
      const std::string what =
          std::to_string(threadCount) + " threads, step " + std::to_string(step);
      for (meteointerpol* i : {temperature.get(), pressure.get()}) {
        std::vector<double> expected;
        if (reference) {
          const ValueLimits limits{-1000.0, 1000.0};
          if (i == temperature.get()) {
            wholeIdw->fill(table.values[step], limits, reference->whole);
            for (long r = 1; r <= rows; ++r)
              for (long c = 1; c <= columns; ++c)
                if (m.valid(r, c)) reference->whole[r][c] += superposed(r, c);
          } else {
            wholeRegression->fill(table.values[step], limits, reference->whole);
          }
          expected = reference->values();
        }
        expected = broadcast(expected);
        expectHeldCellsMatch(m, *i, expected, i->getVariableName() + ", " + what);
        const std::vector<double> whole = m.gathered(i->getGridIndex());
        if (worldRank() == 0) {
          EXPECT_EQ(whole, expected) << i->getVariableName() << ", " << what;
          if (threadCount == 1)
            firstRun.push_back(whole);
          else
            EXPECT_EQ(whole, firstRun[static_cast<std::size_t>(2 * step + (i == pressure.get()))]);
        }
      }
    }
  }
  omp_set_num_threads(threads);

  // The file the write code asks for is the gathered grid.
  pressure->writeInterpolatedGrid();
  if (worldRank() == 0) {
    wholeRegression->fill(table.values[3], ValueLimits{-1000.0, 1000.0}, reference->whole);
    m.writeGrid("expected.asc", reference->whole, true, false, false);
    EXPECT_EQ(readFile("pressure.asc"), readFile("expected.asc"));
  }
}

} // namespace
