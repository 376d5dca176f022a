#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/grid_types.h"
#include "core/zonal_statistic.h"
#include "submodel/model_context.h"
#include "submodel/own_cells.h"

// One statistics series of a module, with zone records of its own into
// which it sums.
struct ZoneSeries {
  std::vector<ZoneRecord> records;
  ZoneRecord* data = nullptr;
  std::unique_ptr<zonalstatistic> statistic;
  std::string file;
};

// What a series adds of one own cell of its zone.
using CellStatistic = std::function<void(zonalstatistic& s, long r, long c, long zone)>;
using StatisticJobs = std::vector<std::pair<ZoneSeries*, CellStatistic>>;

// The statistics series of a module over the zones of the standard grids'
// statistics. Each series sums the module's own cells in row order, so that
// its sums do not depend on the threads; the series share the threads.
class ZoneSeriesBook {
public:
  // The module's own cells and the zone of each, from the zone grid
  // (registry entry 1) and the context's zone ranks; weights: the cells'
  // extra weights ("RelCellArea") or null.
  void setUp(const ModelContext& context, const std::string& moduleName, double stepMinutes,
             Grid weights, const OwnCells& cells);
  // A series of the zones in the file, with its header; throws the code of
  // a failing statistic.
  void createSeries(ZoneSeries& s, const std::string& file, int code, int decimals,
                    const std::string& title) const;
  void addToSeries(const StatisticJobs& jobs) const;
  // Ends the step of every series, whatever another's failure, so that the
  // processes meet in the same reductions; then throws the first failure on
  // every process. Collective.
  void storeSteps(const std::vector<ZoneSeries*>& series, const ModelDate& date) const;

private:
  const ModelContext* context = nullptr;
  std::string moduleName;
  double stepMinutes = 0.0;
  Grid weights = nullptr;
  OwnCells cells;
  std::vector<int> cellZones;
};
