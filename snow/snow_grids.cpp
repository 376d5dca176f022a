// The grids the snow model registers, with their start values, the
// elevation order of the slides, and the module's statistics.
#include <algorithm>
#include <utility>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "snow/schneemodellklasse.h"

namespace {

constexpr int registryFullCode = 12;

} // namespace

int schneemodellklasse::nextRegistryIndex() {
  const int free = firstFreeRegistryIndex();
  if (free < gridRegistryLimit) return free;
  *diag << "FATAL: no free grid left. Please contact the author to set the number of available "
           "grids to a larger number "
        << gridRegistryLimit << "[end-entry]";
  throw registryFullCode;
}

// inside in the cells of the zone grid, outside elsewhere, over the rows
// first .. last; registered under the name.
schneemodellklasse::OwnGrid& schneemodellklasse::createGrid(OwnGridName which,
                                                            const std::string& file,
                                                            const std::string& name, long writeCode,
                                                            double inside, double outside,
                                                            long first, long last) {
  OwnGrid& g = grids[which];
  const int index = nextRegistryIndex();
  g.grid = matrix(first, last, 1, header.ncols, header.nrows);
  g.firstRow = first;
  g.lastRow = last;
  g.owned = true;
  const GridRegistryEntry& zoneEntry = registry[1];
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r) {
    const bool zoneRow = r >= zoneEntry.firstRow && r <= zoneEntry.lastRow;
    for (long c = 1; c <= header.ncols; ++c)
      g.grid[r][c] = zoneRow && zone[r][c] != header.nodata ? inside : outside;
  }
  g.index = index;
  registerGrid(index, file, g.grid, nullptr, 0, name, writeCode, first, last);
  return g;
}

// A grid another module or the set-up registered is used as it is; a
// warm start reads the storages of a former run.
void schneemodellklasse::takeOrCreate(OwnGridName which, const OutputSettings& o,
                                      const std::string& name, double inside, double outside,
                                      double readValue, bool read) {
  const int registered = findGrid(name, 1);
  if (registered > 0) {
    grids[which].grid = registry[registered].grid;
    grids[which].index = registered;
    return;
  }
  OwnGrid& g =
      createGrid(which, o.file, name, o.writeCode, inside, outside, firstSnowRow, lastSnowRow);
  if (!read) return;
  // Rank 0 holds every row where slides or dynamic glaciers need them. The
  // keep flag decides, for a binary file, whether rank 0 scatters it or each
  // process reads its rows, and the halo exchange is collective: every
  // process passes the flags rank 0 needs.
  const bool wholeOnRoot = isSlide() || (glacierGrid && glacier.dynamic());
  readGrid(o.file, g.grid, 0, false, false, false, wholeOnRoot ? 1 : 0, false, true, readValue);
}

void schneemodellklasse::registerStorageGrids() {
  nextRegistryIndex();
  const bool read = readStorageGrids == 1;
  takeOrCreate(solidGrid, outputs[solidGrid], "snowstorage_solid", 0.0, header.nodata, 0.0, read);
  takeOrCreate(liquidGrid, outputs[liquidGrid], "snowstorage_liquid", 0.0, header.nodata, 0.0,
               read);
  takeOrCreate(totalGrid, outputs[totalGrid], "snow_storage_total", 0.0, header.nodata, 0.0, read);
  takeOrCreate(snowDaysGrid, outputs[snowDaysGrid], "days_snow", 0.0, header.nodata, 0.0, read);
  takeOrCreate(ageGrid, outputs[ageGrid], "snow_age", 0.0, header.nodata, 0.0, read);
  if (!isEnergyBalance()) return;
  const double nodata = header.nodata;
  takeOrCreate(snowTemperatureGrid, outputs[snowTemperatureGrid], "snowtemp", nodata, nodata,
               snowMeltPointK, read);
  takeOrCreate(surfaceTemperatureGrid, outputs[surfaceTemperatureGrid], "surftemp", nodata, nodata,
               snowMeltPointK, read);
  const int balance = findGrid("EnergyBalance", 1);
  if (balance > 0) {
    grids[energyBalanceGrid].grid = registry[balance].grid;
    grids[energyBalanceGrid].index = balance;
  } else {
    createGrid(energyBalanceGrid, "EnergyBalance", "EnergyBalance", 0, 0.0, 0.0, firstSnowRow,
               lastSnowRow);
  }
}

void schneemodellklasse::registerOutputGrids() {
  if (isSlide()) {
    if (mpiRank == 0) registerElevationOrder();
    if (findGrid("max_deposition", 1) <= 0 || own(maxDepositionGrid))
      builtOnceFrom(findGrid("slope_angle", 1),
                    "the snow model derives the largest deposition of every cell from it at set-up");
    const std::pair<OwnGridName, const char*> slides[] = {{inputMassGrid, "input_mass"},
                                                          {mobileMassGrid, "mobile_mass"},
                                                          {depositionGrid, "deposition"}};
    for (const auto& [g, name] : slides)
      createGrid(g, outputs[g].file, name, outputs[g].writeCode, 0.0, header.nodata, firstSnowRow,
                 lastSnowRow);
  }
  const std::pair<OwnGridName, const char*> fluxes[] = {{snowFractionGrid, "snow_fraction"},
                                                        {rainFractionGrid, "rain_fraction"},
                                                        {outflowGrid, "snowcover_outflow"},
                                                        {meltGrid, "melt_from_snowcover"}};
  for (const auto& [g, name] : fluxes)
    createGrid(g, outputs[g].file, name, outputs[g].writeCode, 0.0, header.nodata, firstSnowRow,
               lastSnowRow);
  // What the wind brought to (took from) a cell's snowfall, for the water
  // balance.
  if (isDeposition())
    createGrid(depositedSnowGrid, "", "snow_deposition", 0, 0.0, header.nodata, firstSnowRow,
               lastSnowRow);
}

// Rank 0, whole grid: the largest deposition a cell takes from a slide,
// less on steeper slopes; and the cells from the highest to the lowest, of
// equal elevation the later in row order first.
void schneemodellklasse::registerElevationOrder() {
  const long rows = header.nrows;
  const long cols = header.ncols;
  const double nodata = header.nodata;
  const int given = findGrid("max_deposition", 1);
  if (given > 0) {
    registry[given].wholeOnRoot = true;
  } else {
    OwnGrid& g = createGrid(maxDepositionGrid, "", "max_deposition", 0, 0.0, nodata, 1, rows);
    for (long r = 1; r <= rows; ++r)
      for (long c = 1; c <= cols; ++c) {
        if (zone[r][c] == nodata) continue;
        const double s = slope[r][c];
        g.grid[r][c] = s < maxDepositionSlope
                           ? std::max(0.0, (1.0 - s / maxDepositionSlope) * maxDepositionFactor)
                           : 0.0;
      }
  }
  struct Cell {
    double elevation;
    long row, column;
  };
  std::vector<Cell> order;
  for (long r = 1; r <= rows; ++r)
    for (long c = 1; c <= cols; ++c)
      if (zone[r][c] != nodata) order.push_back({elevation[r][c], r, c});
  std::stable_sort(order.begin(), order.end(),
                   [](const Cell& a, const Cell& b) { return a.elevation < b.elevation; });
  OwnGrid& rowsOf = createGrid(orderRowGrid, "", "elev_order_row", 0, 0.0, nodata, 1, rows);
  OwnGrid& columnsOf = createGrid(orderColumnGrid, "", "elev_order_col", 0, 0.0, nodata, 1, rows);
  auto next = order.rbegin();
  for (long r = 1; r <= rows; ++r)
    for (long c = 1; c <= cols; ++c)
      if (zone[r][c] != nodata) {
        rowsOf.grid[r][c] = static_cast<double>(next->row);
        columnsOf.grid[r][c] = static_cast<double>(next->column);
        ++next;
      }
}

void schneemodellklasse::createStatistics() {
  const int failure = catchExitCode([&] {
    createSeries(outflowSeries, "snow_melt_(effective_outflow_from_snow_cover)___", 4);
    createSeries(meltSeries, "snow_melt_only(effective_outflow_from_snow_cover)___", 4);
    createSeries(totalSeries, "snow_storage_in_mm___", 3);
    createSeries(snowDaysSeries, "snow_days____", 3);
    createSeries(ageSeries, "snow_age____", 3);
    createSeries(snowSeries, "p_snow____", 3);
    createSeries(rainSeries, "p_rain____", 3);
    createSeries(albedoSeries, "albedo____", 3);
    if (isEnergyBalance()) {
      createSeries(snowTemperatureSeries, "snowtemp____", 3);
      createSeries(surfaceTemperatureSeries, "surftemp____", 3);
    }
    if (isSlide()) {
      createSeries(inputMassSeries, "input_mass____", 3);
      createSeries(mobileMassSeries, "mobile_mass____", 3);
      createSeries(depositionSeries, "deposition____", 3);
    }
  });
  // Rank 0 alone writes the headers; the others must learn of its failure.
  shareExitCode(*diag, failure);
}

// Records of its own for every series, since every series sums into them.
void schneemodellklasse::createSeries(Series which, const char* title, int decimals) {
  SnowSeries& s = series[which];
  s.records = zones.records;
  for (ZoneRecord& z : s.records) z.weightSum = z.valueSum = 0.0;
  s.data = s.records.data();
  s.statistic = createZoneStatistic(&s.data, s.code, decimals, s.file, title);
}

void schneemodellklasse::releaseStatistics() {
  for (SnowSeries& s : series)
    if (s.statistic) {
      s.statistic->release();
      s.statistic.reset();
    }
}

void schneemodellklasse::releaseGrids() {
  if (firnStack) {
    free_three_d_matrix(firnStack, firnFirstRow, firnLastRow);
    firnStack = nullptr;
  }
  for (OwnGrid& g : grids) {
    if (g.owned && g.grid) {
      if (g.index > 0 && registry && registry[g.index].grid == g.grid) unregisterGrid(g.index);
      free_matrix(g.grid, g.firstRow, g.lastRow, 1, header.ncols);
    }
    g = OwnGrid{};
  }
}
