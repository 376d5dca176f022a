// One sub-step of the unsaturated zone: every own soil column is read from
// the module's grids, advanced by the column solver and written back.

#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <limits>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

constexpr int logFileCode = 5;
// Columns whose iteration took more than this are reported on rank 0.
constexpr int reportedIterations = 100;

// The convergence line of a column on rank 0's log, opened and closed for
// every line; a log that cannot be written ends the run.
class ConvergenceLog : public IterationReport {
public:
  ConvergenceLog(DiagStream& diag, RegionFailure& failure, long row, long column,
                 const ModelDate& date)
      : diag(diag), failure(failure), row(row), column(column), date(date) {}
  void report(int iterations, double error) override;

private:
  DiagStream& diag;
  RegionFailure& failure;
  long row;
  long column;
  const ModelDate& date;
};

} // namespace

Grid unsatzonmodellklasse::selectInputGrid(int interceptionFirst) {
  if (getFlowControl() == 0) return nullptr;
  if (!solverGrids.input) {
    const int index =
        interceptionFirst != 0
            ? requireOneOf3Grids("snowcover_outflow", "throughfall0", "precipitation")
            : requireOneOf3Grids("throughfall0", "snowcover_outflow", "precipitation");
    solverGrids.input = registry[index].grid;
  }
  return solverGrids.input;
}

void unsatzonmodellklasse::takeSolverGrids() {
  // The search passes the stacks, which the module registers before these.
  auto grid = [&](const std::string& name) {
    const int index = findGrid(name, 1);
    return index > 0 ? registry[index].grid : nullptr;
  };
  SolverGrids& s = solverGrids;
  const size_t count = static_cast<size_t>(landuseLayers) + 1;
  for (std::vector<Grid>* v :
       {&s.potentialTranspiration, &s.realTranspiration, &s.rootDepth, &s.coverage})
    v->assign(count, nullptr);
  for (int k = 1; k <= landuseLayers; ++k) {
    const std::string layer = std::to_string(k);
    s.potentialTranspiration[k] = grid("pot_transpiration" + layer);
    s.realTranspiration[k] = grid("real_transpiration" + layer);
    s.rootDepth[k] = grid("root_depth" + layer);
    s.coverage[k] = grid("vegetation_coverage_degree" + layer);
  }
  s.siltingRunoff = grid("DirectRunoffSiltingUp");
  s.precipitation = grid("precipitation");
  s.potentialEvaporation = grid("potential_evaporation");
  s.realEvaporation = grid("real_evaporation");
  if (settings.drainage == 1) s.drainageDistance = grid("drainage_distance");
  s.thawDepth = grid("PermafrostThawDepth");
  if (context.hruFlag != 0) s.masterCells = grid("MasterHydrologicResponseUnits");
  s.flux = registry[findGrid("q_down", 1)].stack;
  s.bottomFlux = grid("q_downext");
  s.directflow = grid("directflow");
  s.interflow = grid("interflow");
  if (settings.drainage == 1) s.drainage = grid("drainage_flow");
  s.macropore = grid("macropore_infiltration");
  s.recharge = grid("groundwater_recharge");
  s.percolation = grid("Percolation");
  s.capillaryRise = grid("Capillar_Uprise");
  s.infiltrationExcess = grid("infiltration_excess");
  s.infiltration = grid("total_infiltration");
  s.balance = grid("Balance");
  if (settings.method == 3) s.waterSteps = grid("number_of_substeps");
  s.rootZoneWater = grid("SB_1_grid");
  s.rootZoneSuction = grid("MeanThetaInRootZone");
  s.columnWater = grid("SB_2_grid");
  s.rootDepthOutput = grid("ROOTgrid");
  glacierOld = grid("GlacierizedCellsOld");

  stepSettings.method = settings.method;
  stepSettings.minimumStep = settings.minimumStep;
  stepSettings.maxError = settings.maxError;
  stepSettings.maxIterations = static_cast<int>(settings.maxIterations);
}

void unsatzonmodellklasse::prepareSolvers() {
  const size_t threads = static_cast<size_t>(omp_get_max_threads());
  while (solvers.size() < threads) {
    solvers.push_back(
        std::make_unique<ColumnSolver>(layers, landuseLayers, tracerCount, snowLayers));
    solvers.back()->setHeatModel(soilTemperature ? &heatModel : nullptr);
    solvers.back()->setSnowModel(isLayeredSnowActive() ? &snowColumn : nullptr);
  }
}

SolverTally unsatzonmodellklasse::getSolverTally() const {
  SolverTally sum;
  for (const std::unique_ptr<ColumnSolver>& solver : solvers) {
    sum.waterSteps += solver->tally.waterSteps;
    sum.iterations += solver->tally.iterations;
    sum.nodeSteps += solver->tally.nodeSteps;
    sum.heatSteps += solver->tally.heatSteps;
    sum.heatNodeSteps += solver->tally.heatNodeSteps;
    sum.heatStepsRaised += solver->tally.heatStepsRaised;
  }
  return sum;
}

int unsatzonmodellklasse::computeTimeStep(long minute, long hour, long day, long month, long year) {
  if (getFlowControl() == 0 || routingOnly) return 0;
  reportModelTime(minute, hour, day, month, year);
  selectInputGrid(context.interceptionFirst);
  // Surface routing, built after this module, may register it.
  if (!solverGrids.surfaceStorage) {
    const int index = findGrid("SurfStorSiltingUp", 1);
    if (index > 0) solverGrids.surfaceStorage = registry[index].grid;
  }
  prepareSolvers();
  takeLandTracerGrids();
  stepSettings.substepSeconds = timeStepMinutes / substeps * 60.0;
  const ModelDate date{minute, hour, day, month, year};
  if (soilTemperature) takeNFactorsOfDate(date);
  RegionFailure failure;
  long startRow = header.firstRow;
  const bool inLinkOrder = settings.interaction > 1;
  if (inLinkOrder) {
    prepareMPIReinfiltration();
    sendReinfiltrationCells();
    checkMPI(*diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier after sending the link cells");
    // The foreign cells stand in the row above the strip.
    if (reinfiltrationExchange.substituted()) startRow = header.firstRow - 1;
    checkMPI(*diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier before the soil columns");
  }
  shareRiverWater();
#pragma omp parallel
  {
    ColumnSolver& solver = *solvers[static_cast<size_t>(omp_get_thread_num())];
#pragma omp for schedule(runtime)
    for (long r = startRow; r <= header.lastRow; ++r) solveSoilColumns(r, solver, date, failure);
  }
  if (dumpControl.active()) dumpControl.logNoted(*diag);
  // No grid may be freed with a foreign store in its halo row.
  if (failure.failed()) restoreGhostRows();
  failure.rethrow();
  if (inLinkOrder)
    returnReinfiltrationCells();
  else
    solveLinkedRiverCells(date);
  if (context.hruFlag != 0) {
    takeResponseUnitCopies();
    copyHruMasterStates();
  }
  addStepStatistics();
  if (inLinkOrder) shareControlDetail();
  // The columns' tracer steps ran on the threads, where no report can be
  // written; a floating-point error of theirs is reported here.
  if (tracerCount > 0)
    reportFPE(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day),
              static_cast<int>(hour), static_cast<double>(minute), stepSettings.substepSeconds,
              static_cast<double>(substeps), static_cast<double>(tracerCount), 0.0);
  // A point file that cannot be written ends the run on every process.
  if (settings.controlRow > 0)
    shareExitCode(*diag, catchExitCode([&] { recordControlPoint(date); }));
  if (settings.interaction == 1) accumulateReinfiltrationRecords();
  return 0;
}

void unsatzonmodellklasse::solveSoilColumns(long row, ColumnSolver& solver, const ModelDate& date,
                                            RegionFailure& failure) {
  // The foreign cells, in link order on one thread: an upstream cell takes
  // its river water before the cells below it.
  if (row < header.firstRow) {
    const RowColumnRange& range = rowColumnRange[row];
    for (long c = range.first; c <= range.last; ++c) {
      if (failure.failed()) return;
      if (zones.grid[row][c] != header.nodata) solveOwnCell(row, c, solver, date, failure);
    }
    return;
  }
  for (long c = 1; c <= header.ncols; ++c) {
    if (failure.failed()) return;
    if (isOwnValidCell(row, c) && !isLinkedRiverCell(row, c))
      solveOwnCell(row, c, solver, date, failure);
  }
}

void unsatzonmodellklasse::solveOwnCell(long r, long c, ColumnSolver& solver, const ModelDate& date,
                                        RegionFailure& failure) {
  const double nodata = header.nodata;
  const bool covered = glacier && glacier[r][c] != nodata && glaciated(glacier[r][c]);
  const bool follower = solverGrids.masterCells && solverGrids.masterCells[r][c] == nodata;
  if (covered || follower) {
    solverGrids.bottomFlux[r][c] = solverGrids.flux[r][c][0];
    if (covered) passOverGlacier(r, c);
    return;
  }
  failure.run([&] { solveCell(r, c, solver, date, failure); });
}

// No soil takes the water that overland flow brings onto a cell wholly
// under a glacier: it runs on as the cell's direct flow in the same
// sub-step, and a cell where nothing arrived passes nothing on, so water
// already routed on is not routed again. Without the snow model's glacier
// the rain on the cell runs off with it. Nothing else leaves the soil there:
// a cell that a glacier's annual close covered whole would otherwise go on
// giving the flows of its last step without soil, which a warm start from
// its state could not know.
void unsatzonmodellklasse::passOverGlacier(long r, long c) {
  const SolverGrids& g = solverGrids;
  const double nodata = header.nodata;
  for (Grid flow : {g.interflow, g.drainage, g.macropore, g.recharge, g.percolation,
                    g.capillaryRise, g.infiltrationExcess, g.infiltration, g.waterSteps, baseflow,
                    riverInfiltration, riverExfiltration, aquiferExchange, groundwaterOwed})
    if (flow) flow[r][c] = 0.0;
  Grid surface = g.surfaceStorage;
  const bool ponded = surface && surface[r][c] != nodata;
  double water = ponded ? surface[r][c] : 0.0;
  if (ponded) surface[r][c] = 0.0;
  if (!glacierTakesWater) {
    const double share = 1.0 / substeps;
    if (g.input && g.input[r][c] != nodata) water += g.input[r][c] * share;
    if (g.siltingRunoff && g.siltingRunoff[r][c] != nodata) water += g.siltingRunoff[r][c] * share;
  }
  g.directflow[r][c] = water;
  long homeRow = r;
  long homeColumn = c;
  reinfiltrationExchange.homeOf(homeRow, homeColumn);
  if (homeRow == settings.controlRow && homeColumn == settings.controlColumn) {
    std::fill(controlEtr.begin(), controlEtr.end(), 0.0);
    std::fill(controlInterflow.begin(), controlInterflow.end(), 0.0);
  }
}

void unsatzonmodellklasse::solveCell(long r, long c, ColumnSolver& solver, const ModelDate& date,
                                     RegionFailure& failure) {
  const SolverGrids& g = solverGrids;
  const double nodata = header.nodata;
  const soil_class& soil = (*context.soilTable)[static_cast<size_t>(soilTypes[r][c])];
  const int n = soil.getLayerCount();
  const int zoneIndex = zones.indexOf(zones.grid[r][c]);
  auto value = [&](Grid grid, double fallback) {
    return grid && grid[r][c] != nodata ? grid[r][c] : fallback;
  };

  ColumnCell cell;
  cell.tableLevel = tableLayer[r][c];
  cell.tableHeight = geodeticHeads[r][c][0] + tableDistance[r][c];
  cell.slopeTangent = value(slopeTangent, 0.0);
  cell.channelDensity = channelDensity[static_cast<size_t>(zoneIndex)];
  cell.drainLayer = drainageLevel ? static_cast<int>(value(drainageLevel, -1.0)) : -1;
  cell.drainDistance = value(g.drainageDistance, 0.0);
  cell.clayLayer = clayLevel ? static_cast<int>(value(clayLevel, -1.0)) : -1;
  cell.clayKsat = settings.clayKsat;
  cell.thawDepth = value(g.thawDepth, -1.0);
  cell.reducedKsat = settings.reducedKsat;
  SoilColumn& column = solver.column;
  column.bind(soil, n, cell);
  for (int k = 0; k <= n; ++k) {
    column.z[k] = geodeticHeads[r][c][k];
    column.theta0[k] = theta[r][c][k];
    column.head[k] = hydraulicHeads[r][c][k];
  }

  const double share = 1.0 / substeps;
  LanduseDemand* uses = solver.uses.data();
  const std::vector<landuse_class>* landuseTable = context.landuseTable;
  for (int k = 1; k <= landuseLayers; ++k) {
    const double index = value(landuse[static_cast<size_t>(k)], -1.0);
    const bool valid =
        landuseTable && index >= 1.0 && index < static_cast<double>(landuseTable->size());
    uses[k].use = valid ? &(*landuseTable)[static_cast<size_t>(index)] : nullptr;
    uses[k].demand = value(g.potentialTranspiration[static_cast<size_t>(k)], 0.0) * share;
    uses[k].coverage = value(g.coverage[static_cast<size_t>(k)], 0.0);
    uses[k].rootDepth = value(g.rootDepth[static_cast<size_t>(k)], 0.0);
  }
  ColumnForcing forcing;
  forcing.uses = uses;
  forcing.useCount = landuseLayers;
  const double land = landShare(r, c);
  forcing.input = value(g.input, 0.0) * share * land;
  forcing.potentialEvaporation = value(g.potentialEvaporation, 0.0) * share;
  forcing.maxBaseflow = maxBaseflow[static_cast<size_t>(zoneIndex)] * share;
  forcing.recession = kelsqlat[static_cast<size_t>(zoneIndex)];
  // "groundwater_owed" holds what the aquifer's first layer still asks of
  // the cell (mm over the whole cell), which a cell solved beside the strip
  // brings in its record. Beside a glacier on part of the cell the soil of
  // that part gives it all. Irrigation from groundwater draws on the
  // saturated zone as well.
  forcing.aquifer = groundwaterActive;
  forcing.lakeAbove = lakeTakesAquiferWater(r, c);
  double irrigationDraw = 0.0;
  const double soilPart = 1.0 - glacierShare(r, c);
  if (groundwaterActive) {
    if (irrigatedFromGroundwater(r, c))
      irrigationDraw = value(irrigationAmounts, 0.0) * share * land;
    forcing.aquiferExchange = value(groundwaterOwed, 0.0) / soilPart + irrigationDraw;
  }
  if (irrigationOwed) forcing.owedWater = irrigationOwed[r][c];
  // A lake's water stands on its cells at the lake's level, over their
  // ponding capacity when the lake rises above its top: the lake's outflow
  // releases it, where spilling it as the cells' direct runoff would route
  // it back into the lake. Without the lake model nothing would release it.
  forcing.maxPonding = isLakeCell(r, c) && lakesReleased ? std::numeric_limits<double>::infinity()
                       : maxPonding                      ? value(maxPonding, 0.0)
                                                         : 0.0;
  // Silting-up's runoff of the whole step is shared among the sub-steps;
  // what surface routing left on the land moves into the column, so that it
  // is neither taken twice nor overwritten by the next routing sub-step.
  const LandWater landWater{value(g.siltingRunoff, 0.0) * share * land,
                            value(g.surfaceStorage, 0.0) * land};
  forcing.surfaceWater = landWater.runoff + landWater.stored;
  if (g.surfaceStorage && g.surfaceStorage[r][c] != header.nodata) g.surfaceStorage[r][c] = 0.0;
  forcing.macropores = macroporesOpen(r, c);
  RiverOffer river;
  if (riverOf(r, c, river)) forcing.river = &river;
  if (!soilTracers.empty()) loadTracers(r, c, solver, forcing.river, landWater);

  HeatForcing heatForcing;
  if (soilTemperature) {
    setHeatForcing(r, c, solver, heatForcing);
    forcing.heat = &heatForcing;
  }
  if (isLayeredSnowActive()) {
    loadSnowPack(r, c, solver);
    Grid surface = snowModelGridsTaken[snowGridSurface];
    Grid energy = snowModelGridsTaken[snowGridEnergyBalance];
    SnowSurface& s = heatForcing.snowSurface;
    s.known = surface && energy && surface[r][c] != nodata && energy[r][c] != nodata;
    s.kelvin = s.known ? surface[r][c] : 0.0;
    s.energyBalance = s.known ? energy[r][c] : 0.0;
    heatForcing.modelStepSeconds = timeStepMinutes * 60.0;
  }

  TableState table{tableDistance[r][c], tableLayer[r][c], tableLayerTheta[r][c]};
  double pond = value(ponding, 0.0);
  ColumnBudget budget;
  // A cell solved beside the strip writes under its own row and column.
  long homeRow = r;
  long homeColumn = c;
  reinfiltrationExchange.homeOf(homeRow, homeColumn);
  ConvergenceLog log(*diag, failure, homeRow, homeColumn, date);
  solver.dumpCell = dumpControl.active() ? DumpCell{&dumpControl, mpiRank,    homeRow,  homeColumn,
                                                    date.year,    date.month, date.day, date.hour}
                                         : DumpCell{};
  solver.layerDetail = homeRow == settings.controlRow && homeColumn == settings.controlColumn;
  solver.solve(stepSettings, forcing, table, pond, budget, mpiRank == 0 ? &log : nullptr);
  if (solver.layerDetail && !controlEtr.empty()) {
    std::copy(solver.layerEtr.begin(), solver.layerEtr.begin() + n + 1, controlEtr.begin());
    std::copy(solver.layerInterflow.begin(), solver.layerInterflow.begin() + n + 1,
              controlInterflow.begin());
  }

  for (int k = 1; k <= n; ++k) {
    theta[r][c][k] = column.theta0[k];
    hydraulicHeads[r][c][k] = column.head[k];
  }
  for (int k = 0; k <= n; ++k) g.flux[r][c][k] = column.q[k];
  // A lake's cell sums there the lake's exchange with the aquifer (m/s over
  // the step).
  if (!forcing.lakeAbove)
    g.bottomFlux[r][c] = column.q[n];
  else
    g.bottomFlux[r][c] += budget.lakeFromAquifer / (timeStepMinutes * 60.0 * 1000.0);
  if (soilTemperature) writeBackHeat(r, c, solver, table.level);
  if (isLayeredSnowActive()) writeBackSnowPack(r, c, solver);
  tableDistance[r][c] = table.distance;
  tableLayer[r][c] = table.level;
  tableLayerTheta[r][c] = table.theta;
  ponding[r][c] = pond;
  // With groundwater "baseflow" is the aquifer's: the soil keeps its debt.
  if (groundwaterActive)
    groundwaterOwed[r][c] = budget.aquiferOwed * soilPart;
  else
    baseflow[r][c] = budget.baseflow / (stepSettings.substepSeconds * 1000.0);
  if (aquiferExchange) aquiferExchange[r][c] = (budget.toAquifer - irrigationDraw) * soilPart;
  if (irrigationOwed) irrigationOwed[r][c] = budget.aquiferOwed;

  g.directflow[r][c] = budget.directflow;
  g.interflow[r][c] = budget.interflow;
  if (g.drainage) g.drainage[r][c] = budget.drainage;
  g.macropore[r][c] = budget.macropores;
  if (riverInfiltration) {
    riverInfiltration[r][c] = budget.riverInfiltration;
    riverExfiltration[r][c] = budget.riverExfiltration;
  }
  if (forcing.river) chargeRecord(river, budget.riverTaken);
  if (!soilTracers.empty()) storeTracers(r, c, solver);
  g.recharge[r][c] = budget.recharge;
  g.percolation[r][c] = budget.percolation;
  g.capillaryRise[r][c] = budget.capillaryRise;
  g.infiltrationExcess[r][c] = budget.infiltrationExcess;
  g.infiltration[r][c] = budget.infiltration;
  g.balance[r][c] += budget.clamped;
  if (g.waterSteps) g.waterSteps[r][c] = budget.waterSteps;
  for (int k = 1; k <= landuseLayers; ++k)
    if (g.realTranspiration[static_cast<size_t>(k)])
      g.realTranspiration[static_cast<size_t>(k)][r][c] +=
          solver.transpiration[static_cast<size_t>(k)];
  if (g.realEvaporation) g.realEvaporation[r][c] += budget.evaporation;

  storeRootZone(g, r, c, soil, column.theta0, budget.deepestRoot);
}

namespace {

void ConvergenceLog::report(int iterations, double error) {
  if (iterations <= reportedIterations) return;
  const char* const name = "modell_0.log";
  char line[160];
  std::snprintf(line, sizeof line, "%2d.%2d., %2d h r=%3d, c=%3d : ziter=%3d, max_err = %lg \n",
                static_cast<int>(date.day), static_cast<int>(date.month),
                static_cast<int>(date.hour), static_cast<int>(row), static_cast<int>(column),
                iterations, error);
  bool written = false;
#pragma omp critical(unsatzonLog)
  {
    std::FILE* file = std::fopen(name, "a");
    if (file) {
      written = std::fputs(line, file) >= 0;
      written = std::fclose(file) == 0 && written;
    }
    if (!written && failure.claimReport())
      diag << "FATAL: error opening log-file " << name << "[end-entry]";
  }
  if (!written) throw logFileCode;
}

} // namespace
