#include "driver/water_balance.h"

#include <mpi.h>

#include <algorithm>

#include "config/irrigation_table.h"
#include "config/soil_class.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"
#include "core/run_files.h"
#include "soil/unsatzonmodellklasse.h"

waterbalanceclass::waterbalanceclass(const ModelContext& context, int& errorCode)
    : teilmodellklasse(context, "water_balance"), soilTable(context.soilTable) {
  errorCode = catchModuleFailure([&] {
    if (getFlowControl() == 0) return;
    HORVA_ANNOUNCE_MODULE(*diag);
    readControlValue(controlFile, "%s", filePrefix, "prefix of the balance statistics files");
    readControlValue(controlFile, "%d", statisticCode, "statistic code of the balance");
    closeControlFile();
    rankZones(zones);
    findTerms();
  });
}

waterbalanceclass::~waterbalanceclass() = default;

void waterbalanceclass::findTerms() {
  const int soilIndex = findGrid("soil_types", 1);
  soilTypes = soilIndex > 0 ? registry[soilIndex].grid : nullptr;
  const int codesIndex = findGrid("irrigation_codes", 1);
  irrigationCodes = codesIndex > 0 ? registry[codesIndex].grid : nullptr;
  // Dynamic glaciers keep their fractions in their own grid.
  const int glacierIndex = findGlacierGrid();
  glacierCells = glacierIndex > 0 ? registry[glacierIndex].grid : nullptr;
  dynamicGlaciers = glacierCells && glacierIndex == findGrid("GlacierizedCells", 1);
  // Only a glacier model's dynamic glaciers give the glacier's share of a
  // cell a pack of its own.
  glacierKeepsPack = dynamicGlaciers && findGrid("Precipitation_onGlacier", 1) > 0;
  for (const BalanceTerm& term : waterBalanceTerms()) addCellTerm(term);
}

// The grids of a name, one per land-use layer for a name ending in '#'.
std::vector<Grid> waterbalanceclass::gridsOf(const std::string& name) {
  std::vector<Grid> grids;
  const bool layered = !name.empty() && name.back() == '#';
  const int layers = layered ? context.landuseLayerCount : 0;
  for (int k = layered ? 1 : 0; k <= layers; ++k) {
    const std::string full = layered ? name.substr(0, name.size() - 1) + std::to_string(k) : name;
    const int index = findGrid(full, 1);
    if (index > 0 && registry[index].grid) grids.push_back(registry[index].grid);
  }
  return grids;
}

void waterbalanceclass::addCellTerm(const BalanceTerm& term) {
  if (getFlowControl() == 0) return;
  ActiveTerm t;
  t.term = term;
  for (const std::string& name : term.grids) {
    if (term.soilWater) {
      const int index = findGrid(name, 1);
      if (index > 0 && registry[index].stack && soilTypes && soilTable)
        t.theta = registry[index].stack;
      continue;
    }
    if (term.stackLevels) {
      const int index = findGrid(name, 1);
      if (index > 0 && registry[index].stack)
        t.stacks.emplace_back(registry[index].stack, registry[index].levels);
      continue;
    }
    for (Grid g : gridsOf(name)) t.grids.push_back(g);
  }
  for (const std::string& name : term.less)
    for (Grid g : gridsOf(name)) t.lessGrids.push_back(g);
  if (t.grids.empty() && !t.theta && t.stacks.empty()) return;
  if (term.groundwaterIrrigation && !(irrigationCodes && context.irrigationTable)) return;
  if ((term.glacier == glacierPart::covered || term.glacier == glacierPart::fraction ||
       term.glacier == glacierPart::share) &&
      !glacierCells)
    return;
  if (term.lakes != lakePart::any && !lakeCodes) {
    const int index = findGrid("lake_codes", 1);
    if (index == 0 || !registry[index].grid) return;
    lakeCodes = registry[index].grid;
  }
  const std::size_t cells =
      static_cast<std::size_t>(header.lastRow - header.firstRow + 1) * header.ncols;
  if (term.kind == BalanceKind::storage) t.start.assign(cells, 0.0);
  if (term.everySubstep || term.beforeSiltingUp) t.sum.assign(cells, 0.0);
  terms.push_back(std::move(t));
}

void waterbalanceclass::addZoneTerms(std::vector<ZoneBalanceTerm> added,
                                     const std::vector<std::string>& replaced) {
  if (getFlowControl() == 0) return;
  terms.erase(std::remove_if(terms.begin(), terms.end(),
                             [&](const ActiveTerm& t) {
                               return std::find(replaced.begin(), replaced.end(), t.term.label) !=
                                      replaced.end();
                             }),
              terms.end());
  const std::size_t count = static_cast<std::size_t>(zones.zoneCount) + 1;
  for (ZoneBalanceTerm& term : added) {
    ActiveZoneTerm t;
    t.source = std::move(term);
    t.start.assign(count, 0.0);
    zoneTerms.push_back(std::move(t));
  }
}

// The files are written once the terms are known, at the first step.
void waterbalanceclass::createStatistics() {
  for (ActiveTerm& t : terms)
    createStatistic(t.term, t.records, t.data, t.statistic, t.file, t.term.label);
  for (ActiveZoneTerm& t : zoneTerms)
    createStatistic(t.source.term, t.records, t.data, t.statistic, t.file, t.source.term.label);
  if (booksGlacierExtent()) {
    extent.term = glacierExtentTerm;
    createStatistic(extent.term, extent.records, extent.data, extent.statistic, extent.file,
                    extent.term.label);
    glacierStart.assign(
        static_cast<std::size_t>(header.lastRow - header.firstRow + 1) * header.ncols, 0.0);
  }
  if (context.hruFlag != 0 && context.hruMasterCells) {
    unitTerm.term = responseUnitsTerm;
    createStatistic(unitTerm.term, unitTerm.records, unitTerm.data, unitTerm.statistic,
                    unitTerm.file, unitTerm.term.label);
    const OwnCells cells = ownCells();
    buildUnitCopies(unitCopies, cells, 1030);
    ownWater = matrix(header.firstRow, header.lastRow, 1, header.ncols, header.nrows);
    copiedStorage = matrix(header.firstRow, header.lastRow, 1, header.ncols, header.nrows);
    const std::size_t count =
        static_cast<std::size_t>(header.lastRow - header.firstRow + 1) * header.ncols;
    ownWaterOfCell.assign(count, 0.0);
    copiedStorageOfCell.assign(count, 0.0);
  }
  createStatistic(residual.term, residual.records, residual.data, residual.statistic, residual.file,
                  "residual");
  statisticsCreated = true;
}

// Glaciers whose extent changes change the water of the terms that weigh a
// cell by it.
bool waterbalanceclass::booksGlacierExtent() const {
  return dynamicGlaciers && std::any_of(terms.begin(), terms.end(), [](const ActiveTerm& t) {
           return t.term.kind == BalanceKind::storage && t.term.glacier != glacierPart::whole;
         });
}

std::vector<std::pair<BalanceTerm, std::string>> waterbalanceclass::statisticTerms() const {
  std::vector<std::pair<BalanceTerm, std::string>> all;
  for (const ActiveTerm& t : terms) all.emplace_back(t.term, t.term.label);
  for (const ActiveZoneTerm& t : zoneTerms) all.emplace_back(t.source.term, t.source.term.label);
  if (booksGlacierExtent()) all.emplace_back(glacierExtentTerm, glacierExtentTerm.label);
  if (context.hruFlag != 0 && context.hruMasterCells)
    all.emplace_back(responseUnitsTerm, responseUnitsTerm.label);
  all.emplace_back(residual.term, "residual");
  return all;
}

// The module in front, so that a reader of the file knows whose water it is.
std::string waterbalanceclass::statisticTitle(const BalanceTerm& term, const std::string& label) {
  if (label == "residual") return "balance_residual_in_mm";
  return term.kind == BalanceKind::storage ? term.module + ":change_of_" + label + "_in_mm"
                                           : term.module + ":" + label + "_in_mm";
}

void waterbalanceclass::noteStatisticFiles() const {
  if (getFlowControl() == 0 || mpiRank != 0) return;
  for (const auto& [term, label] : statisticTerms()) {
    std::string file = filePrefix + label + ".stat";
    prependDirectory(outputDirectory, file);
    // As the statistic notes itself when it is created.
    noteOutputFile(file,
                   "the statistics " + moduleName + "_submodel:" + statisticTitle(term, label));
  }
}

void waterbalanceclass::createStatistic(const BalanceTerm& term, std::vector<ZoneRecord>& records,
                                        ZoneRecord*& data,
                                        std::unique_ptr<zonalstatistic>& statistic,
                                        std::string& file, const std::string& label) {
  records = zones.records;
  data = records.data();
  file = filePrefix + label + ".stat";
  statistic = createZoneStatistic(&data, statisticCode, 12, file, statisticTitle(term, label));
}

// A volume over a zone is spread over its area, its summed cell weights
// times the area of a cell.
std::vector<double> waterbalanceclass::zoneValues() {
  const std::size_t count = static_cast<std::size_t>(zones.zoneCount) + 1;
  std::vector<double> all(zoneTerms.size() * count, 0.0);
  if (all.empty()) return all;
  if (mpiRank == 0) {
    std::vector<double> values;
    for (std::size_t k = 0; k < zoneTerms.size(); ++k) {
      const ZoneBalanceTerm& source = zoneTerms[k].source;
      values.assign(count, 0.0);
      source.values(values);
      values.resize(count, 0.0);
      for (std::size_t z = 1; z < count; ++z) {
        const double area = header.cellsize * header.cellsize * zones.records[z].weightSum;
        const double mm = source.inMillimetres ? values[z]
                          : area > 0.0         ? values[z] / area * 1000.0
                                               : 0.0;
        all[k * count + z] = mm * source.term.factor;
      }
    }
  }
  checkMPI(*diag,
           MPI_Bcast(all.data(), static_cast<int>(all.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD),
           "MPI_Bcast");
  return all;
}

std::size_t waterbalanceclass::cellIndex(long r, long c) const {
  return static_cast<std::size_t>(r - header.firstRow) * header.ncols + (c - 1);
}

// Nodata in a grid counts as no water: the grid does not cover the cell.
// glacier is the glacier grid's value by which the term weighs the cell.
double waterbalanceclass::cellValue(const ActiveTerm& t, long r, long c, double glacier) const {
  const double nodata = header.nodata;
  if (t.term.groundwaterIrrigation) {
    const double code = irrigationCodes[r][c];
    const IrrigationTable& table = *context.irrigationTable;
    if (!(code >= 1.0 && code < static_cast<double>(table.size())) ||
        table[static_cast<std::size_t>(code)].origin != irrigationFromGroundwater)
      return 0.0;
  }
  // A lake's cells hold its number, 1 or more.
  if (t.term.lakes != lakePart::any &&
      (lakeCodes[r][c] > 0.0) != (t.term.lakes == lakePart::inside))
    return 0.0;
  double sum = 0.0;
  for (Grid g : t.grids)
    if (g[r][c] != nodata) sum += g[r][c];
  for (Grid g : t.lessGrids)
    if (g[r][c] != nodata) sum -= g[r][c];
  for (const auto& [stack, levels] : t.stacks)
    for (long k = 0; k <= levels; ++k)
      if (stack[r][c][k] != nodata) sum += stack[r][c][k];
  if (t.theta) {
    const double code = soilTypes[r][c];
    if (code > 0.0 && code < static_cast<double>(soilTable->size())) {
      const soil_class& soil = (*soilTable)[static_cast<std::size_t>(code)];
      const double* theta = t.theta[r][c];
      for (int i = 1; i <= soil.getLayerCount(); ++i) sum += theta[i] * soil.getThickness(i);
    }
  }
  if (t.term.glacier != glacierPart::whole && glacierCells) {
    double g = glacier == nodata ? 0.0 : glacier;
    // Channel routing's lakes keep their water on the whole of their cells:
    // there the soil column stands for all of a cell a glacier covers in
    // part, and so does the land above it unless a glacier's own pack takes
    // the weather of the glacier's share.
    if (lakeCodes && lakeCodes[r][c] > 0.0 && g < 1.0 && t.term.glacier != glacierPart::fraction &&
        (t.term.column || !glacierTakesWater))
      g = 0.0;
    sum *= glacierWeight(t.term.glacier, g);
  }
  return sum * t.term.factor;
}

double waterbalanceclass::glacierWeight(glacierPart part, double glacier) const {
  const bool covered = unsatzonmodellklasse::glaciated(glacier);
  const double g = std::clamp(glacier, 0.0, 1.0);
  switch (part) {
  case glacierPart::besidePack:
    if (covered && glacierKeepsPack) return 0.0;
    return covered ? 1.0 : 1.0 - g;
  case glacierPart::beside:
    return covered ? 1.0 : 1.0 - g;
  case glacierPart::share:
    return covered ? 0.0 : g;
  case glacierPart::covered:
    return covered ? 1.0 : 0.0;
  case glacierPart::free:
    return covered ? 0.0 : 1.0 - g;
  case glacierPart::fraction:
    return g;
  case glacierPart::whole:
    break;
  }
  return 1.0;
}

double waterbalanceclass::glacierNow(long r, long c) const {
  return glacierCells ? glacierCells[r][c] : header.nodata;
}

double waterbalanceclass::stepValue(const ActiveTerm& t, long r, long c, double before,
                                    double after) const {
  if (t.term.everySubstep || t.term.beforeSiltingUp) return t.sum[cellIndex(r, c)];
  if (t.term.kind != BalanceKind::storage) return cellValue(t, r, c, before);
  return cellValue(t, r, c, after) - t.start[cellIndex(r, c)];
}

// Afterwards the copies keep the copied storages of a unit alike: an annual
// close changes only cells with a glacier, which compute on their own, and
// packs that become a new glacier, alike in all of a unit's cells.
void waterbalanceclass::startUnitCopies(const OwnCells& cells) {
  if (unitsCopiedOnce) return;
  cells.forEach([&](long r, long c) {
    const std::size_t i = cellIndex(r, c);
    double held = 0.0;
    for (const ActiveTerm& t : terms)
      if (t.term.kind == BalanceKind::storage && !t.term.ownInUnits) held += t.start[i];
    copiedStorage[r][c] = copiedStorageOfCell[i] = held;
  });
  unitCopies.copy({copiedStorage}, {});
}

void waterbalanceclass::stepUnitCopies(const OwnCells& cells) {
  cells.forEach([&](long r, long c) {
    const std::size_t i = cellIndex(r, c);
    const double before = glacierStart.empty() ? glacierNow(r, c) : glacierStart[i];
    const double after = glacierNow(r, c);
    double water = 0.0;
    for (const ActiveTerm& t : terms) {
      if (!t.term.ownInUnits) continue;
      // The close's new extent weighs a storage anew: no water passes.
      const bool extended = t.term.kind == BalanceKind::storage &&
                            t.term.glacier != glacierPart::whole && after != before;
      const double value = extended ? cellValue(t, r, c, before) - t.start[i]
                                    : stepValue(t, r, c, before, after);
      water += t.term.kind == BalanceKind::input ? value : -value;
    }
    ownWater[r][c] = ownWaterOfCell[i] = water;
  });
  unitCopies.copy({ownWater}, {});
}

// What a unit's cell took from its master beyond its own water: the
// master's water after its own terms, and in the first step its storages.
// The cells with a glacier or a river link compute on their own and take
// nothing.
double waterbalanceclass::unitWater(long r, long c) const {
  const std::size_t i = cellIndex(r, c);
  return ownWater[r][c] - ownWaterOfCell[i] + copiedStorage[r][c] - copiedStorageOfCell[i];
}

void waterbalanceclass::startStep() {
  if (getFlowControl() == 0) return;
  if (!statisticsCreated) createStatistics();
  const std::vector<double> values = zoneValues();
  const std::size_t count = static_cast<std::size_t>(zones.zoneCount) + 1;
  for (std::size_t k = 0; k < zoneTerms.size(); ++k)
    if (zoneTerms[k].source.term.kind == BalanceKind::storage)
      std::copy_n(values.begin() + static_cast<long>(k * count), count, zoneTerms[k].start.begin());
  const OwnCells cells = ownCells();
  cells.forEach([&](long r, long c) {
    const std::size_t i = cellIndex(r, c);
    if (!glacierStart.empty()) glacierStart[i] = glacierNow(r, c);
    for (ActiveTerm& t : terms) {
      if (t.term.kind == BalanceKind::storage) t.start[i] = cellValue(t, r, c, glacierNow(r, c));
      if (t.term.everySubstep) t.sum[i] = 0.0;
    }
  });
  if (unitTerm.statistic) startUnitCopies(cells);
}

void waterbalanceclass::takeGroundInputs() {
  if (getFlowControl() == 0) return;
  const OwnCells cells = ownCells();
  cells.forEach([&](long r, long c) {
    for (ActiveTerm& t : terms)
      if (t.term.beforeSiltingUp) t.sum[cellIndex(r, c)] = cellValue(t, r, c, glacierNow(r, c));
  });
}

void waterbalanceclass::addSubstep(unsigned count) {
  if (getFlowControl() == 0) return;
  const double seconds = timeStepMinutes * 60.0 / count;
  const OwnCells cells = ownCells();
  cells.forEach([&](long r, long c) {
    for (ActiveTerm& t : terms)
      if (t.term.everySubstep)
        t.sum[cellIndex(r, c)] +=
            cellValue(t, r, c, glacierNow(r, c)) * (t.term.perSecond ? seconds : 1.0);
  });
}

void waterbalanceclass::step(long minute, long hour, long day, long month, long year) {
  if (getFlowControl() == 0) return;
  reportModelTime(minute, hour, day, month, year);
  for (ActiveTerm& t : terms) t.statistic->resetZones();
  for (ActiveZoneTerm& t : zoneTerms) t.statistic->resetZones();
  residual.statistic->resetZones();
  if (extent.statistic) extent.statistic->resetZones();
  if (unitTerm.statistic) unitTerm.statistic->resetZones();
  // Per zone the zone terms' part of the residual, every value for the
  // zone's cells.
  const std::size_t count = static_cast<std::size_t>(zones.zoneCount) + 1;
  std::vector<double> values = zoneValues();
  std::vector<double> zoneRest(count, 0.0);
  for (std::size_t k = 0; k < zoneTerms.size(); ++k)
    for (std::size_t z = 1; z < count; ++z) {
      double& value = values[k * count + z];
      switch (zoneTerms[k].source.term.kind) {
      case BalanceKind::input:
        zoneRest[z] += value;
        break;
      case BalanceKind::output:
        zoneRest[z] -= value;
        break;
      case BalanceKind::storage:
        if (!zoneTerms[k].source.stepChange) value -= zoneTerms[k].start[z];
        zoneRest[z] -= value;
        break;
      }
    }
  const OwnCells cells = ownCells();
  if (unitTerm.statistic) stepUnitCopies(cells);
  cells.forEachInOrder([&](long r, long c) {
    const long zone = zones.indexOf(zones.grid[r][c]);
    const std::size_t z = static_cast<std::size_t>(zone);
    for (std::size_t k = 0; k < zoneTerms.size(); ++k)
      zoneTerms[k].statistic->addValue(r, c, zone, values[k * count + z], 1.0);
    double rest = zoneRest[z];
    const std::size_t i = cellIndex(r, c);
    // The step's water moved over the glacier's extent at its start; the
    // annual close may leave another at its end.
    const double before = glacierStart.empty() ? glacierNow(r, c) : glacierStart[i];
    const double after = glacierNow(r, c);
    double extended = 0.0;
    for (ActiveTerm& t : terms) {
      const double value = stepValue(t, r, c, before, after);
      switch (t.term.kind) {
      case BalanceKind::input:
        rest += value;
        break;
      case BalanceKind::output:
        rest -= value;
        break;
      case BalanceKind::storage:
        if (t.term.glacier != glacierPart::whole && after != before)
          extended += value + t.start[i] - cellValue(t, r, c, before);
        rest -= value;
        break;
      }
      t.statistic->addValue(r, c, zone, value, 1.0);
    }
    if (unitTerm.statistic) {
      // Nothing moves at a master cell or a cell of no unit: both hold
      // their own sums.
      const double moved = unitWater(r, c);
      rest += moved;
      unitTerm.statistic->addValue(r, c, zone, moved, 1.0);
    }
    if (unitTerm.statistic && !unitsCopiedOnce) copiedStorage[r][c] = copiedStorageOfCell[i] = 0.0;
    if (extent.statistic) {
      rest += extended;
      extent.statistic->addValue(r, c, zone, extended, 1.0);
    }
    residual.statistic->addValue(r, c, zone, rest, 1.0);
  });
  for (ActiveTerm& t : terms) t.statistic->storeStep(year, month, day, hour, minute, 1);
  for (ActiveZoneTerm& t : zoneTerms) t.statistic->storeStep(year, month, day, hour, minute, 1);
  if (extent.statistic) extent.statistic->storeStep(year, month, day, hour, minute, 1);
  if (unitTerm.statistic) unitTerm.statistic->storeStep(year, month, day, hour, minute, 1);
  unitsCopiedOnce = true;
  residual.statistic->storeStep(year, month, day, hour, minute, 1);
}

void waterbalanceclass::flushStatistics() {
  if (getFlowControl() == 0 || !statisticsCreated) return;
  for (ActiveTerm& t : terms) t.statistic->writeBuffer();
  for (ActiveZoneTerm& t : zoneTerms) t.statistic->writeBuffer();
  if (extent.statistic) extent.statistic->writeBuffer();
  if (unitTerm.statistic) unitTerm.statistic->writeBuffer();
  residual.statistic->writeBuffer();
}

void waterbalanceclass::releaseModule() {
  if (getFlowControl() != 0 && statisticsCreated) {
    for (ActiveTerm& t : terms) t.statistic->release();
    for (ActiveZoneTerm& t : zoneTerms) t.statistic->release();
    if (extent.statistic) extent.statistic->release();
    if (unitTerm.statistic) unitTerm.statistic->release();
    residual.statistic->release();
  }
  if (ownWater) free_matrix(ownWater, header.firstRow, header.lastRow, 1, header.ncols);
  if (copiedStorage) free_matrix(copiedStorage, header.firstRow, header.lastRow, 1, header.ncols);
  ownWater = copiedStorage = nullptr;
  teilmodellklasse::releaseModule();
}
