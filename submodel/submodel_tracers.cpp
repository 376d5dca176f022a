// The zones and tracers of a sub-model.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "submodel/teilmodellklasse.h"

namespace {

constexpr int maxZoneCode = 32767;
constexpr int maxZones = 16000;
// ln 2 inverted: the half-life times this is the mean life.
constexpr double meanLifePerHalfLife = 1.442695041111;
// The tracer statistics print "%.6g": concentrations span many decades.
constexpr int tracerStatisticDecimals = 99;

static_assert(sizeof(ZoneRecord) == 5 * sizeof(double), "zone records travel as five doubles");

} // namespace

void teilmodellklasse::rankZones(SubmodelZones& table) {
  int index = findGrid("zonegrid_soilmodel", 1);
  if (index == 0 || !registry[index].grid) index = 1;
  if (!registry[index].grid) requireGrid("zonegrid_soilmodel");
  table = SubmodelZones{};
  table.gridIndex = index;
  table.grid = registry[index].grid;
  builtOnceFrom(index, "the modules rank their zones from it and weigh them by their cells at "
                       "set-up");
  const int failure = mpiRank == 0 ? catchExitCode([&] { scanZoneCodes(table); }) : 0;
  shareExitCode(*diag, failure);
  if (mpiSize > 1) shareZones(table);
}

double teilmodellklasse::zonesArea(const SubmodelZones& table) const {
  double weights = 0.0;
  for (std::size_t k = 1; k < table.records.size(); ++k) weights += table.records[k].weightSum;
  return header.cellsize * (weights * header.cellsize) / 1000000.0;
}

// Rank 0 holds every row of the zone grid and the standard grids, so it ranks
// alone and the result does not depend on the decomposition.
void teilmodellklasse::scanZoneCodes(SubmodelZones& table) {
  const GridRegistryEntry& entry = registry[table.gridIndex];
  const Grid zone = table.grid;
  const Grid domain = registry[1].grid;
  const long nrows = header.nrows;
  const long ncols = header.ncols;
  const double nodata = header.nodata;
  for (const GridRegistryEntry* e : {&entry, static_cast<const GridRegistryEntry*>(&registry[1])})
    if (e->firstRow > 1 || e->lastRow < nrows) {
      *diag << "FATAL: " << moduleName << ": rank 0 holds rows " << e->firstRow << " .. "
            << e->lastRow << " of " << e->name << " instead of 1 .. " << nrows
            << ", so its zones cannot be ranked"
            << "[end-entry]";
      throw 33;
    }
  *diag << "DEBUG: ranking zones from " << entry.fileName << " for " << moduleName << "[end-entry]";

  std::vector<int> seen(maxZoneCode + 1, 0);
  std::vector<double> cells(maxZoneCode + 1, 0.0);
  std::vector<double> weights(maxZoneCode + 1, 0.0);
  int distinct = 0;
  for (long r = 1; r <= nrows; ++r) {
    long first = 1;
    long last = ncols;
    if (rowColumnRange) {
      first = std::max(1L, rowColumnRange[r].first);
      last = std::min(ncols, rowColumnRange[r].last);
    }
    for (long c = first; c <= last; ++c) {
      const double value = zone[r][c];
      if (value == nodata || domain[r][c] == nodata) continue;
      if (!(value > -1.0 && value < maxZoneCode + 1.0)) {
        *diag << "FATAL: wrong zone index in " << entry.fileName << " (" << entry.name
              << ") at row " << r << ", column " << c << ": " << value
              << " (codes must lie between 0 and " << maxZoneCode << ")"
              << "[end-entry]";
        throw 3;
      }
      const int code = static_cast<int>(value);
      if (!seen[static_cast<size_t>(code)]) {
        if (++distinct > maxZones) {
          *diag << "FATAL: too much zones in " << entry.fileName << " (" << entry.name
                << "), (max. " << maxZones << ")!"
                << "[end-entry]";
          throw 4;
        }
        seen[static_cast<size_t>(code)] = 1;
        table.maxCode = std::max(table.maxCode, code);
      }
      cells[static_cast<size_t>(code)] += 1.0;
      weights[static_cast<size_t>(code)] += cellWeights ? cellWeights[r][c] : 1.0;
    }
  }

  table.indexOfCode.assign(static_cast<size_t>(table.maxCode) + 1, 0);
  double total = 0.0;
  for (int code = 0; code <= table.maxCode; ++code) {
    if (!seen[static_cast<size_t>(code)]) continue;
    table.indexOfCode[static_cast<size_t>(code)] = ++table.zoneCount;
    total += weights[static_cast<size_t>(code)];
  }
  table.records.assign(static_cast<size_t>(table.zoneCount) + 1, ZoneRecord{});
  table.records[0] = ZoneRecord{0.0, 0.0, 1.0, 1.0, 0.0};
  for (int code = 0; code <= table.maxCode; ++code) {
    const int k = table.indexOfCode[static_cast<size_t>(code)];
    if (k == 0) continue;
    ZoneRecord& record = table.records[static_cast<size_t>(k)];
    record.weightSum = record.effectiveWeight = weights[static_cast<size_t>(code)];
    record.valueSum = cells[static_cast<size_t>(code)];
    record.code = code;
    record.areaFraction = total > 0.0 ? record.weightSum / total : 0.0;
  }
}

void teilmodellklasse::shareZones(SubmodelZones& table) {
  int sizes[2] = {table.zoneCount, table.maxCode};
  checkMPI(*diag, MPI_Bcast(sizes, 2, MPI_INT, 0, MPI_COMM_WORLD), "MPI_Bcast of the zone count");
  if (mpiRank != 0) {
    table.zoneCount = sizes[0];
    table.maxCode = sizes[1];
    table.indexOfCode.assign(static_cast<size_t>(table.maxCode) + 1, 0);
    table.records.assign(static_cast<size_t>(table.zoneCount) + 1, ZoneRecord{});
  }
  checkMPI(*diag,
           MPI_Bcast(table.indexOfCode.data(), table.maxCode + 1, MPI_INT, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the zone indices");
  checkMPI(
      *diag,
      MPI_Bcast(table.records.data(), 5 * (table.zoneCount + 1), MPI_DOUBLE, 0, MPI_COMM_WORLD),
      "MPI_Bcast of the zone records");
}

void teilmodellklasse::initTracers(int& errorCode, int tracerCount,
                                   std::vector<TracerRecord>& table,
                                   StatisticTableEntry* statisticTable, long tableSize) {
  errorCode = 0;
  if (tracerCount < 1) return;
  const int failure = catchModuleFailure([&] {
    dropTracers();
    if (table.size() < static_cast<size_t>(tracerCount) + 1) {
      *diag << "FATAL: " << moduleName << ": the tracer table holds " << table.size()
            << " records for " << tracerCount << " tracers"
            << "[end-entry]";
      throw 103;
    }
    if (zones.records.empty()) rankZones(zones);
    for (int k = 1; k <= tracerCount; ++k) {
      setUpTracer(k, table[static_cast<size_t>(k)], statisticTable, tableSize);
      table[static_cast<size_t>(k)].decayFactor = tracers.back()->record.decayFactor;
    }
  });
  // A failure on rank 0 alone (the statistics headers) must reach every process.
  errorCode = agreeOnFailure(failure, failure != 0 ? failure : mpiCallFailed).code;
}

void teilmodellklasse::setUpTracer(int k, const TracerRecord& shared,
                                   StatisticTableEntry* statisticTable, long tableSize) {
  tracers.push_back(std::make_unique<SubmodelTracer>());
  SubmodelTracer& t = *tracers.back();
  t.record = shared;
  // Each module decays over its own step; a tracer that is not radioactive
  // keeps its mass, and a half-life of 0 decays within one step.
  double factor = 1.0;
  if (shared.radioactive)
    factor =
        shared.halfTime > 0.0
            ? std::exp(-(timeStepMinutes / 60.0 / 24.0) / (meanLifePerHalfLife * shared.halfTime))
            : 0.0;
  t.record.decayFactor = factor;

  const std::string name = shared.name.substr(0, 3);
  const std::string module = moduleName.substr(0, 5);
  const std::string stem = shared.path + name + module;
  t.gridFile = stem + "." + shared.gridExt;
  // Both grids under one name would overwrite each other's files.
  t.fluxFile = stem + "_flux." + shared.gridExt;

  t.firstRow = header.firstRow >= 2 ? header.firstRow - 1 : 1;
  t.lastRow = header.lastRow < header.nrows ? header.lastRow + 1 : header.nrows;
  const Grid domain = registry[1].grid;
  for (Grid* grid : {&t.concstor, &t.concflux}) {
    *grid = matrix(t.firstRow, t.lastRow, 1, header.ncols, header.nrows);
#pragma omp parallel for schedule(runtime)
    for (long r = t.firstRow; r <= t.lastRow; ++r)
      for (long c = 1; c <= header.ncols; ++c)
        (*grid)[r][c] = domain && domain[r] && domain[r][c] == header.nodata ? header.nodata : 0.0;
  }
  const std::string number = std::to_string(k);
  t.concstorIndex =
      registerTracerGrid(t.gridFile, t.concstor, "concstor_tracer_" + number + "_" + moduleName,
                         tracerStoreIsOutput ? shared.gridCode : 0, t.firstRow, t.lastRow);
  t.concfluxIndex =
      registerTracerGrid(t.fluxFile, t.concflux, "concflux_tracer_" + number + "_" + moduleName,
                         shared.gridCode, t.firstRow, t.lastRow);

  t.zoneRecords = zones.records;
  createTracerStatistic(k, t, cellWeights, static_cast<int>(header.nrows),
                        static_cast<int>(header.ncols), statisticTable, tableSize);
}

void teilmodellklasse::createTracerStatistic(int k, SubmodelTracer& t, Grid weights, int weightRows,
                                             int weightColumns, StatisticTableEntry* statisticTable,
                                             long tableSize) {
  const TracerRecord& r = t.record;
  t.statisticFile = r.path + r.name.substr(0, 3) + moduleName.substr(0, 5) + "." + r.statExt;
  t.zoneData = t.zoneRecords.data();
  // Only the listed modes read the output list; others must not fail on it.
  const int mode = r.statCode / 1000;
  std::vector<int> listed(1, 0);
  if ((mode == 5 || mode == 6) && context.outputList)
    listed.insert(listed.end(), context.outputList->begin(), context.outputList->end());
  int failed = 0;
  t.statistic = std::make_unique<zonalstatistic>(
      failed, diag, statisticTable, tableSize, weights, weightRows, weightColumns, &t.zoneData,
      zones.zoneCount, r.statCode, tracerStatisticDecimals, t.statisticFile, outputDirectory,
      static_cast<int>(listed.size()) - 1, listed.data(), timeStepMinutes < 60.0);
  if (failed != 0) throw failed;
  char title[160];
  std::snprintf(title, sizeof title, "tracer concentration for tracer %d (%s) ", k, r.name.c_str());
  t.statistic->writeHeader(moduleName, title, statisticTable, tableSize);
}

void teilmodellklasse::readTracerStores() {
  for (const std::unique_ptr<SubmodelTracer>& t : tracers) readTracerGrid(*t, t->gridFile, t->concstor);
}

void teilmodellklasse::readTracerFluxes() {
  for (const std::unique_ptr<SubmodelTracer>& t : tracers) {
    if (!initialStateFileExists(t->fluxFile)) {
      *diag << "WARNING: no grid " << t->fluxFile << " of a former run in the directory of the "
            << "initial states: the first step takes the tracer " << t->record.name
            << " of the outflow of " << moduleName << " at 0"
            << "[end-entry]";
      continue;
    }
    readTracerGrid(*t, t->fluxFile, t->concflux);
  }
}

void teilmodellklasse::readTracerGrid(const SubmodelTracer& t, const std::string& file,
                                      Grid target) {
  Grid read = matrix(t.firstRow, t.lastRow, 1, header.ncols, header.nrows);
  readGrid(file, read, 0, false, false, false, 0, false, true, 0.0);
#pragma omp parallel for schedule(runtime)
  for (long r = t.firstRow; r <= t.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c)
      if (target[r][c] != header.nodata) target[r][c] = read[r][c];
  free_matrix(read, t.firstRow, t.lastRow, 1, header.ncols);
}

std::unique_ptr<zonalstatistic> teilmodellklasse::createZoneStatistic(ZoneRecord** records,
                                                                      int code, int decimals,
                                                                      std::string& file,
                                                                      const std::string& title) {
  std::vector<int> listed(1, 0);
  const int mode = code / 1000;
  if ((mode == 5 || mode == 6) && context.outputList)
    listed.insert(listed.end(), context.outputList->begin(), context.outputList->end());
  int failed = 0;
  auto statistic = std::make_unique<zonalstatistic>(
      failed, diag, context.statisticTable, context.statisticTableSize, cellWeights,
      static_cast<int>(header.nrows), static_cast<int>(header.ncols), records, zones.zoneCount,
      code, decimals, file, outputDirectory, static_cast<int>(listed.size()) - 1, listed.data(),
      timeStepMinutes < 60.0);
  if (failed != 0) throw failed;
  statistic->writeHeader(moduleName, title, context.statisticTable, context.statisticTableSize);
  return statistic;
}

int teilmodellklasse::registerTracerGrid(const std::string& file, Grid grid,
                                         const std::string& name, long code, long firstRow,
                                         long lastRow) {
  const int index = firstFreeRegistryIndex();
  if (index >= gridRegistryLimit) {
    *diag << "FATAL: no free grid left. Please contact the author to set the number of "
             "available grids to a larger value "
          << "(" << name << " of " << moduleName << ")"
          << "[end-entry]";
    throw 12;
  }
  registerGrid(index, file, grid, nullptr, 0, name, code, firstRow, lastRow);
  return index;
}

void teilmodellklasse::freeTracers() {
  for (std::unique_ptr<SubmodelTracer>& t : tracers)
    if (t->statistic) t->statistic->release();
  dropTracers();
}

void teilmodellklasse::dropTracers() {
  for (auto t = tracers.rbegin(); t != tracers.rend(); ++t) {
    SubmodelTracer& tracer = **t;
    tracer.statistic.reset();
    for (auto [index, grid] : {std::pair<int, Grid*>{tracer.concfluxIndex, &tracer.concflux},
                               std::pair<int, Grid*>{tracer.concstorIndex, &tracer.concstor}}) {
      if (index > 0 && registry && registry[index].grid == *grid) unregisterGrid(index);
      if (*grid) free_matrix(*grid, tracer.firstRow, tracer.lastRow, 1, header.ncols);
      *grid = nullptr;
    }
  }
  tracers.clear();
}
