#include "driver/water_balance.h"

#include "config/soil_class.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"

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
  const std::size_t cells =
      static_cast<std::size_t>(header.lastRow - header.firstRow + 1) * header.ncols;
  for (const BalanceTerm& term : waterBalanceTerms()) {
    ActiveTerm t;
    t.term = term;
    for (const std::string& name : term.grids) {
      if (term.soilWater) {
        const int index = findGrid(name, 1);
        if (index > 0 && registry[index].stack && soilTypes && soilTable)
          t.theta = registry[index].stack;
        continue;
      }
      const bool layered = !name.empty() && name.back() == '#';
      const int layers = layered ? context.landuseLayerCount : 0;
      for (int k = layered ? 1 : 0; k <= layers; ++k) {
        const std::string full =
            layered ? name.substr(0, name.size() - 1) + std::to_string(k) : name;
        const int index = findGrid(full, 1);
        if (index > 0 && registry[index].grid) t.grids.push_back(registry[index].grid);
      }
    }
    if (t.grids.empty() && !t.theta) continue;
    if (term.kind == BalanceKind::storage) t.start.assign(cells, 0.0);
    if (term.everySubstep) t.sum.assign(cells, 0.0);
    terms.push_back(std::move(t));
  }
  for (ActiveTerm& t : terms) createStatistic(t, t.term.label);
  createStatistic(residual, "residual");
}

void waterbalanceclass::createStatistic(ActiveTerm& t, const std::string& label) {
  t.records = zones.records;
  t.data = t.records.data();
  t.file = filePrefix + label + ".stat";
  // The module in front, so that a reader of the file knows whose water it is.
  const std::string title = label == "residual" ? std::string("balance_residual_in_mm")
                            : t.term.kind == BalanceKind::storage
                                ? t.term.module + ":change_of_" + label + "_in_mm"
                                : t.term.module + ":" + label + "_in_mm";
  t.statistic = createZoneStatistic(&t.data, statisticCode, 12, t.file, title);
}

std::size_t waterbalanceclass::cellIndex(long r, long c) const {
  return static_cast<std::size_t>(r - header.firstRow) * header.ncols + (c - 1);
}

// Nodata in a grid counts as no water: the grid does not cover the cell.
double waterbalanceclass::cellValue(const ActiveTerm& t, long r, long c) const {
  const double nodata = header.nodata;
  double sum = 0.0;
  for (Grid g : t.grids)
    if (g[r][c] != nodata) sum += g[r][c];
  if (t.theta) {
    const double code = soilTypes[r][c];
    if (code > 0.0 && code < static_cast<double>(soilTable->size())) {
      const soil_class& soil = (*soilTable)[static_cast<std::size_t>(code)];
      const double* theta = t.theta[r][c];
      for (int i = 1; i <= soil.getLayerCount(); ++i) sum += theta[i] * soil.getThickness(i);
    }
  }
  return sum * t.term.factor;
}

void waterbalanceclass::startStep() {
  if (getFlowControl() == 0) return;
  const OwnCells cells = ownCells();
  cells.forEach([&](long r, long c) {
    for (ActiveTerm& t : terms) {
      if (t.term.kind == BalanceKind::storage) t.start[cellIndex(r, c)] = cellValue(t, r, c);
      if (t.term.everySubstep) t.sum[cellIndex(r, c)] = 0.0;
    }
  });
}

void waterbalanceclass::addSubstep(unsigned count) {
  if (getFlowControl() == 0) return;
  const double seconds = timeStepMinutes * 60.0 / count;
  const OwnCells cells = ownCells();
  cells.forEach([&](long r, long c) {
    for (ActiveTerm& t : terms)
      if (t.term.everySubstep)
        t.sum[cellIndex(r, c)] += cellValue(t, r, c) * (t.term.perSecond ? seconds : 1.0);
  });
}

void waterbalanceclass::step(long minute, long hour, long day, long month, long year) {
  if (getFlowControl() == 0) return;
  reportModelTime(minute, hour, day, month, year);
  for (ActiveTerm& t : terms) t.statistic->resetZones();
  residual.statistic->resetZones();
  const OwnCells cells = ownCells();
  cells.forEachInOrder([&](long r, long c) {
    const long zone = zones.indexOf(zones.grid[r][c]);
    double rest = 0.0;
    for (ActiveTerm& t : terms) {
      double value = t.term.everySubstep ? t.sum[cellIndex(r, c)] : cellValue(t, r, c);
      switch (t.term.kind) {
      case BalanceKind::input:
        rest += value;
        break;
      case BalanceKind::output:
        rest -= value;
        break;
      case BalanceKind::storage:
        value -= t.start[cellIndex(r, c)];
        rest -= value;
        break;
      }
      t.statistic->addValue(r, c, zone, value, 1.0);
    }
    residual.statistic->addValue(r, c, zone, rest, 1.0);
  });
  for (ActiveTerm& t : terms) t.statistic->storeStep(year, month, day, hour, minute, 1);
  residual.statistic->storeStep(year, month, day, hour, minute, 1);
}

void waterbalanceclass::flushStatistics() {
  if (getFlowControl() == 0) return;
  for (ActiveTerm& t : terms) t.statistic->writeBuffer();
  residual.statistic->writeBuffer();
}

void waterbalanceclass::releaseModule() {
  if (getFlowControl() != 0) {
    for (ActiveTerm& t : terms) t.statistic->release();
    if (residual.statistic) residual.statistic->release();
  }
  teilmodellklasse::releaseModule();
}
