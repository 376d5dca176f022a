// The point series of the control point, the flush of every buffered
// output, and the end of the run: state file, soil-water summaries, last
// point rows and the release of the module.

#include <cstdio>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

// Values the other-data series takes from grids besides the runoff
// columns, before and per land-use layer.
const char* const otherDataCellGrids[] = {"albedo", "SurfaceEvaporationResistance"};
const char* const otherDataLayerGrids[] = {"leaf_area_index",          "vegetation_coverage_degree",
                                           "SurfaceCanopyResistance",  "SurfaceIntercepResistance",
                                           "root_depth",               "RoughnessLength"};
constexpr int runoffColumns = 16;

} // namespace

bool unsatzonmodellklasse::ownsControlPoint() const {
  const long row = settings.controlRow;
  const long column = settings.controlColumn;
  return row > 0 && column > 0 && row >= header.firstRow && row <= header.lastRow &&
         column <= header.ncols && isOwnValidCell(row, column);
}

void unsatzonmodellklasse::createPointSeries() {
  if (!ownsControlPoint()) return;
  const int otherWidth = runoffColumns + 2 + 6 * landuseLayers;
  const int widths[unsatPointFileCount] = {layers, layers, layers, otherWidth, layers + 1, layers};
  for (int k = 0; k < unsatPointFileCount; ++k)
    pointSeries.push_back(std::make_unique<PointSeries>(settings.pointFiles[k], widths[k]));
  if (isHeatTransferActive())
    pointSeries.push_back(std::make_unique<PointSeries>(settings.heat.temperatureFile, layers));
  auto grid = [&](const std::string& name) {
    const int index = findGrid(name, 1);
    return index > 0 ? registry[index].grid : nullptr;
  };
  for (const char* name : otherDataCellGrids) otherDataGrids.push_back(grid(name));
  for (int l = 1; l <= landuseLayers; ++l)
    for (const char* name : otherDataLayerGrids)
      otherDataGrids.push_back(grid(name + std::to_string(l)));
  controlEtr.assign(static_cast<size_t>(layers) + 2, 0.0);
  controlInterflow.assign(static_cast<size_t>(layers) + 2, 0.0);
}

void unsatzonmodellklasse::recordControlPoint(const ModelDate& date) {
  if (pointSeries.empty()) return;
  const long r = settings.controlRow;
  const long c = settings.controlColumn;
  const double nodata = header.nodata;
  const SolverGrids& g = solverGrids;
  auto add = [&](UnsatPointFile which) {
    return pointSeries[which]->append(date.year, date.month, date.day, date.hour);
  };
  auto addProfile = [&](PointSeries& series, Stack stack) {
    double* row = series.append(date.year, date.month, date.day, date.hour);
    for (int k = 1; k <= layers; ++k) row[k - 1] = stack[r][c][k];
  };
  for (auto [which, stack] : {std::pair{pointQbottom, g.flux}, std::pair{pointTheta, theta},
                              std::pair{pointHhyd, hydraulicHeads}})
    addProfile(*pointSeries[which], stack);
  if (soilTemperature) addProfile(*pointSeries[unsatPointFileCount], soilTemperature);
  double* etr = add(pointEtrDetail);
  for (int k = 0; k <= layers; ++k) etr[k] = controlEtr[static_cast<size_t>(k)];
  double* inter = add(pointInterflow);
  for (int k = 1; k <= layers; ++k) inter[k - 1] = controlInterflow[static_cast<size_t>(k)];

  // Exchange and drainage grids exist only with their models: no flow.
  auto at = [&](Grid grid) { return grid ? grid[r][c] : 0.0; };
  const double runoff[runoffColumns] = {g.directflow[r][c],
                                        g.interflow[r][c],
                                        baseflowAmount(r, c),
                                        g.infiltration[r][c],
                                        at(riverInfiltration),
                                        at(riverExfiltration),
                                        g.recharge[r][c],
                                        g.capillaryRise[r][c],
                                        g.percolation[r][c],
                                        g.macropore[r][c],
                                        at(g.drainage),
                                        ponding[r][c],
                                        g.infiltrationExcess[r][c],
                                        tableDistance[r][c],
                                        tableLayer[r][c],
                                        g.rootDepthOutput[r][c]};
  double* other = add(pointOtherdata);
  int v = 0;
  for (double value : runoff) other[v++] = value;
  for (Grid grid : otherDataGrids) other[v++] = grid ? grid[r][c] : nodata;

  for (std::unique_ptr<PointSeries>& series : pointSeries)
    if (series->full()) writePointBuffer(*series);
  recordTracerPoints(date);
}

void unsatzonmodellklasse::writePointBuffer(PointSeries& series) { series.write(*diag); }

void unsatzonmodellklasse::writePointBuffers() {
  for (std::unique_ptr<PointSeries>& series : pointSeries) writePointBuffer(*series);
  for (std::unique_ptr<SoilTracer>& t : soilTracers)
    if (t->point) writePointBuffer(*t->point);
}

void unsatzonmodellklasse::flushStatistics() {
  if (getFlowControl() == 0 || routingOnly) return;
  shareExitCode(*diag, catchExitCode([&] { writePointBuffers(); }));
  for (ModuleStatistic& s : statistics)
    if (s.statistic) s.statistic->writeBuffer();
  for (std::unique_ptr<SoilTracer>& t : soilTracers) t->tracer.statistic->writeBuffer();
}

void unsatzonmodellklasse::finishModelRun(bool append) {
  int code = 0;
  if (getFlowControl() != 0 && !routingOnly && writeStorage) {
    code = catchExitCode([&] {
      shareExitCode(*diag, catchExitCode([&] { writeStorageFile(append); }));
      writeIrrigationOwed();
      writeGroundwaterOwed();
      int own = 0;
      if (ownsControlPoint()) {
        char line[200];
        std::snprintf(line, sizeof line,
                      "(mpi_rank %d) soil water content (control point r=%ld c=%ld) at "
                      "model-end: %lf mm\n",
                      mpiRank, settings.controlRow, settings.controlColumn,
                      columnWater(settings.controlRow, settings.controlColumn));
        own = catchExitCode([&] { appendPlainLog(line); });
      }
      shareExitCode(*diag, own);
      writeMeanSoilWater("end");
    });
  }
  if (getFlowControl() != 0 && !routingOnly) {
    // The driver's tracer release has normally left nothing to free here.
    const int freed = catchExitCode([&] { freeTracers(); });
    if (code == 0) code = freed;
    if (writeStorage && code == 0) code = catchExitCode([&] { writePointBuffers(); });
  }
  for (ModuleStatistic& s : statistics)
    if (s.statistic) {
      if (code == 0) code = catchExitCode([&] { s.statistic->release(); });
      s.statistic.reset();
    }
  pointSeries.clear();
  // The halo rows go back to their grids before the grids are freed.
  reinfiltrationExchange.release();
  releaseGrids();
  teilmodellklasse::releaseModule();
  if (code != 0) throw code;
}
