#include <algorithm>
#include <utility>

#include "config/defaultini.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"

namespace {

constexpr int statisticDecimals = 5;
constexpr int missingZoneRecordsId = 1;

} // namespace

template <typename Operation> int defaultini::forEachStandardGridStatistic(Operation operation) {
  int failure = 0;
  for (const std::unique_ptr<StandardGridStatistic>& s : standardGridStatistics) {
    const int code = catchExitCode([&] { operation(*s); });
    if (failure == 0) failure = code;
  }
  return failure;
}

void defaultini::createStandardGridStatistics() {
  releaseStandardGridStatistics();
  findOwnedZoneRuns();
  const int relCellArea = findGrid("RelCellArea", 1);
  const Grid weights = relCellArea > 0 ? registry[relCellArea].grid : nullptr;
  const bool minuteColumn = timeStep >= 1 && timeStep <= 59;
  const std::size_t zones = static_cast<std::size_t>(std::max(0, zoneCount)) + 1;

  // Every process builds the same series; a failure on one of them must
  // still reach the others before the headers.
  int failure = 0;
  for (const StandardGrid& g : standardGrids) {
    if (g.statFile.empty()) continue;
    failure = catchExitCode([&] {
      if (zoneRecords.size() < zones) memoryAllocationError(missingZoneRecordsId);
      auto s = std::make_unique<StandardGridStatistic>();
      s->index = g.index;
      s->fileName = g.statFile;
      s->records.resize(zones);
      for (std::size_t z = 0; z < zones; ++z) {
        s->records[z].code = zoneRecords[z].code;
        s->records[z].areaFraction = zoneRecords[z].areaFraction;
        s->records[z].effectiveWeight = zoneRecords[z].effectiveWeight;
      }
      s->recordArray = s->records.data();
      int error = 0;
      s->series = std::make_unique<zonalstatistic>(
          error, diag, statisticTable, statisticTableSize, weights, static_cast<int>(header.nrows),
          static_cast<int>(header.ncols), &s->recordArray, zoneCount, g.statCode, statisticDecimals,
          s->fileName, outputDirectory, 0, nullptr, minuteColumn);
      if (error != 0) throw error;
      standardGridStatistics.push_back(std::move(s));
    });
    if (failure != 0) break;
  }
  shareExitCode(*diag, failure);

  shareExitCode(*diag, forEachStandardGridStatistic([&](StandardGridStatistic& s) {
    s.series->writeHeader(registry[s.index].name, "(default)", statisticTable, statisticTableSize);
  }));
}

// The cells a statistic adds, found once: each cell inside the zone grid is
// added by the one process that owns it, so that no cell counts twice.
void defaultini::findOwnedZoneRuns() {
  ownedZoneRuns.clear();
  const std::size_t zones = static_cast<std::size_t>(std::max(0, zoneCount)) + 1;
  zoneRunStart.assign(zones + 1, 0);
  const Grid zone = registry[1].grid;
  const int regions = findGrid("MPIRegions", 1);
  const Grid owners = regions > 0 ? registry[regions].grid : nullptr;
  if (!zone) return;
  const double nodata = header.nodata;
  const long first = std::max(1L, header.firstRow);
  const long last =
      std::min({header.nrows, header.lastRow, static_cast<long>(columnRanges.size()) - 1});
  auto zoneIndexOf = [&](double value) -> std::size_t {
    const long code = static_cast<long>(value);
    if (code < 0 || code >= static_cast<long>(zoneRanks.size())) return 0;
    const long rank = zoneRanks[static_cast<std::size_t>(code)];
    return rank > 0 && static_cast<std::size_t>(rank) < zones ? static_cast<std::size_t>(rank) : 0;
  };

  std::vector<std::pair<std::size_t, ZoneCellRun>> runs;
  for (long r = first; r <= last; ++r) {
    const RowColumnRange& range = columnRanges[static_cast<std::size_t>(r)];
    for (long c = std::max(1L, range.first); c <= std::min(header.ncols, range.last); ++c) {
      if (zone[r][c] == nodata || (owners && static_cast<int>(owners[r][c]) != mpiRank)) continue;
      const std::size_t z = zoneIndexOf(zone[r][c]);
      if (!runs.empty() && runs.back().first == z && runs.back().second.row == r &&
          runs.back().second.lastColumn == c - 1)
        runs.back().second.lastColumn = c;
      else
        runs.push_back({z, ZoneCellRun{r, c, c}});
    }
  }
  std::stable_sort(runs.begin(), runs.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  ownedZoneRuns.reserve(runs.size());
  for (const auto& [z, run] : runs) {
    ownedZoneRuns.push_back(run);
    ++zoneRunStart[z + 1];
  }
  for (std::size_t z = 1; z <= zones; ++z) zoneRunStart[z] += zoneRunStart[z - 1];
}

void defaultini::resetStandardGridStatistics() {
  for (const std::unique_ptr<StandardGridStatistic>& s : standardGridStatistics)
    s->series->resetZones();
}

void defaultini::addStandardGridStatistics() {
  const double nodata = header.nodata;
  const long zones = static_cast<long>(zoneRunStart.size()) - 1;
  for (const std::unique_ptr<StandardGridStatistic>& s : standardGridStatistics) {
    zonalstatistic& series = *s->series;
    const Grid grid = registry[s->index].grid;
    if (!series.isActive() || !grid) continue;
      // addValue changes the record of its zone alone, so threads that take
      // distinct zones never meet, and each zone adds its cells in the same
      // order whatever the number of threads.
#pragma omp parallel for schedule(runtime)
    for (long z = 0; z < zones; ++z) {
      const std::size_t end = zoneRunStart[static_cast<std::size_t>(z) + 1];
      for (std::size_t i = zoneRunStart[static_cast<std::size_t>(z)]; i < end; ++i) {
        const ZoneCellRun& run = ownedZoneRuns[i];
        const double* row = grid[run.row];
        for (long c = run.firstColumn; c <= run.lastColumn; ++c)
          if (row[c] != nodata) series.addValue(run.row, c, z, row[c], 1.0);
      }
    }
  }
}

void defaultini::storeStandardGridStatistics(long minute, long hour, long day, long month,
                                             long year) {
  if (standardGridStatistics.empty()) return;
  shareExitCode(*diag, forEachStandardGridStatistic([&](StandardGridStatistic& s) {
    s.series->storeStep(year, month, day, hour, minute, 1);
  }));
}

void defaultini::flushStandardGridStatistics() {
  if (standardGridStatistics.empty()) return;
  shareExitCode(*diag, forEachStandardGridStatistic(
                           [](StandardGridStatistic& s) { s.series->writeBuffer(); }));
}

void defaultini::releaseStandardGridStatistics() {
  if (standardGridStatistics.empty()) return;
  const int failure =
      forEachStandardGridStatistic([](StandardGridStatistic& s) { s.series->release(); });
  standardGridStatistics.clear();
  ownedZoneRuns.clear();
  zoneRunStart.clear();
  shareExitCode(*diag, failure);
}
