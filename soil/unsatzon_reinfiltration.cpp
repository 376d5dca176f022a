// River re-infiltration across processes: the cell record of the
// unsaturated zone and the exchange of the river-link cells around the
// solver of every sub-step.

#include <mpi.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

constexpr int tracerCode = 1150;
constexpr int recordLengthCode = 1151;
constexpr int unlistedLinkCellCode = 1152;
constexpr int controlDetailTag = 1153;
constexpr double trialSendFill = -987654321.0;
constexpr double trialReceiveFill = 123456789.0;

// The grids of the record that are found by name, in the record's order;
// the three alternatives and the registry entries stand where the module
// puts them.
const char* const namesBeforeGlacier[] = {"albedo",
                                          "clay_depth",
                                          "baseflow",
                                          "drainage_distance",
                                          "drainage_level",
                                          "EnergyBalance",
                                          "ETR2ETP",
                                          "potential_evaporation",
                                          "real_evaporation",
                                          "FreezingDegreeDays",
                                          "frozenSoilInGroundwater",
                                          "flow_times",
                                          "gw_kolmation_1",
                                          "gw_1_colmation_frozen",
                                          "gw_1_colmation_unfrozen",
                                          "river_exfiltration",
                                          "river_infiltration",
                                          "groundwater_level",
                                          "groundwater_recharge",
                                          "groundwater_distance",
                                          "Theta_in_GWLEVEL",
                                          "HydrologicResponseUnits",
                                          "MasterHydrologicResponseUnits"};
const char* const namesBeforeInput[] = {
    "GlacierizedCellsOld", "infiltration_excess", "total_infiltration", "irrigation_amounts",
    "irrigation_codes",    "kolmation",           "lake_codes",         "macropore_infiltration",
    "max_ponding_storage", "Max_Pumping",         "MPIRegions"};
const char* const namesBeforeSilting[] = {"Percolation", "ponding_storage", "rain_fraction",
                                          "drainage_flow"};
const char* const namesBeforeElevation[] = {"directflow",
                                            "interflow",
                                            "HeatFlux_Lower_Boundary_Condition",
                                            "melt_from_snowcover",
                                            "river_depth",
                                            "river_links",
                                            "river_width",
                                            "ROOTgrid",
                                            "SurfaceEvaporationResistance",
                                            "RelCellArea",
                                            "gw_storage_coeff_1",
                                            "infiltration_saturation",
                                            "SBHIGH_grid",
                                            "SB_1_grid",
                                            "SB_2_grid",
                                            "snowstorage_liquid",
                                            "slope_angle",
                                            "snowstorage_solid",
                                            "soil_types",
                                            "snow_storage_total",
                                            "number_of_substeps",
                                            "surftemp",
                                            "temperature",
                                            "tangens_beta",
                                            "DailyTemperature",
                                            "thawingDegreeDays",
                                            "ThawDepthTMod",
                                            "MeanThetaInRootZone",
                                            "T_Lower_Boundary_Condition",
                                            "AnnualTemperature",
                                            "Capillar_Uprise"};
const char* const namesBeforeZone[] = {"aquifer_thickness_1", "q_down", "q_downext",
                                       "upperIndexSnow"};
const char* const layerNames[] = {
    "landuse",        "pot_transpiration", "real_transpiration",      "vegetation_coverage_degree",
    "root_depth",     "leaf_area_index",   "SurfaceCanopyResistance", "SurfaceIntercepResistance",
    "RoughnessLength"};
const char* const soilStackNames[] = {"theta",  "hydraulic_heads",        "geodetic_heads",
                                      "q_down", "Soil_Temperature_Stack", "Soil_SE_Stack"};

const char* const snowStackNames[] = {
    "theta_Snow",  "hydraulic_heads_Snow",   "geodetic_height_Snow",
    "q_down_Snow", "Temperature_Stack_Snow", "SnowWaterEquivalentSolid",
    "SnowDensity", "SnowLayerThickness",     "SnowWaterEquivalentLiquid"};

} // namespace

void unsatzonmodellklasse::buildCellRecord() {
  cellRecord = CellRecord{};
  auto grid = [&](const std::string& name) {
    const int index = findGrid(name, 1);
    return index > 0 ? registry[index].grid : nullptr;
  };
  auto add = [&](const auto& names) {
    for (const char* name : names) cellRecord.addGrid(grid(name));
  };
  add(namesBeforeGlacier);
  cellRecord.addGrid(glacier);
  add(namesBeforeInput);
  cellRecord.addGrid(solverGrids.input);
  add(namesBeforeSilting);
  cellRecord.addGrid(solverGrids.siltingRunoff ? solverGrids.siltingRunoff
                                               : grid("SurfStorSiltingUp"));
  add(namesBeforeElevation);
  cellRecord.addGrid(elevation);
  add(namesBeforeZone);
  cellRecord.addGrid(zones.grid);
  cellRecord.addGrid(grid("pot_transpiration0"));
  cellRecord.addGrid(grid("real_transpiration0"));
  for (int k = 1; k <= landuseLayers; ++k)
    for (const char* name : layerNames) cellRecord.addGrid(grid(name + std::to_string(k)));
  for (const char* name : soilStackNames) {
    const int index = findGrid(name, 1);
    if (index > 0) cellRecord.addStack(registry[index].stack, layers);
  }
  // The layered snow model registers its stacks with the snow layers as
  // their levels.
  for (const char* name : snowStackNames) {
    const int index = findGrid(name, 1);
    if (index > 0) cellRecord.addStack(registry[index].stack, registry[index].levels);
  }
  // What the solver reads or writes at a cell beyond the list: a cell
  // solved away from home must find all of it.
  for (Grid g : {solverGrids.surfaceStorage, solverGrids.balance, solverGrids.thawDepth, clayLevel,
                 drainageLevel, slopeTangent, soilTypes, regions, aquiferExchange, irrigationOwed,
                 groundwaterOwed})
    cellRecord.addGrid(g);
  for (size_t k = 1; k < landuse.size(); ++k) cellRecord.addGrid(landuse[k]);
}

long unsatzonmodellklasse::prepareMPIReinfiltration() {
  if (getFlowControl() == 0 || routingOnly || settings.interaction <= 1) return 0;
  if (reinfiltrationExchange.prepared()) return cellRecord.length();
  // Before the first collective call, so that every process ends alike.
  if (tracerCount > 0 || context.tracerCount > 0) {
    *diag << "FATAL: prepareMPIReinfiltration() doesn't allow tracers yet"
          << "[end-entry]";
    throw tracerCode;
  }
  static const LinkCellTable noLists;
  static const RiverLinkList noLinks;
  reinfiltrationExchange.setLists(
      context.riverLinks ? *context.riverLinks : noLinks,
      context.localLinkCellsByOwner ? *context.localLinkCellsByOwner : noLists,
      context.ownedLinkCellsByProcess ? *context.ownedLinkCellsByProcess : noLists, mpiRank,
      mpiSize);
  if (context.riverLinks)
    for (const std::unique_ptr<RiverLink>& link : *context.riverLinks)
      for (const RiverLinkCell& cell : link->getCells())
        if (cell.row == settings.controlRow && cell.column == settings.controlColumn &&
            cell.linkOwner != cell.cellOwner) {
          controlSolvedBy = cell.linkOwner;
          controlOwnedBy = cell.cellOwner;
        }
  if (mpiRank == controlSolvedBy) {
    controlEtr.assign(static_cast<size_t>(layers) + 2, 0.0);
    controlInterflow.assign(static_cast<size_t>(layers) + 2, 0.0);
  }
  checkMPI(*diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier before the re-infiltration set-up");
  shareExitCode(*diag, catchExitCode([&] { checkLinkCellsListed(); }));
  selectInputGrid(context.interceptionFirst);
  const int index = findGrid("SurfStorSiltingUp", 1);
  if (index > 0) solverGrids.surfaceStorage = registry[index].grid;
  buildCellRecord();
  // The length follows from which arrays exist, the same on every process
  // unless the configurations differ.
  std::int64_t bounds[2] = {-cellRecord.length(), cellRecord.length()};
  checkMPI(*diag, MPI_Allreduce(MPI_IN_PLACE, bounds, 2, MPI_INT64_T, MPI_MAX, MPI_COMM_WORLD),
           "MPI_Allreduce of the re-infiltration cell record length");
  if (-bounds[0] != bounds[1]) {
    *diag << "FATAL: in modul " << moduleName << ": the record of a river-link cell holds between "
          << -bounds[0] << " and " << bounds[1]
          << " values on the processes; every process must hold the same grids and stacks "
             "of the unsaturated zone (check the control file "
          << userControlFile(controlFileName) << ")"
          << "[end-entry]";
    throw recordLengthCode;
  }
  reinfiltrationExchange.prepare(*diag, cellRecord, header.firstRow - 1, rowColumnRange);
  checkMPI(*diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier before the trial exchange");
  // There and back without solving: each own cell must come home as it left.
  sendReinfiltrationCells();
  reinfiltrationExchange.fillBuffers(trialSendFill, trialReceiveFill);
  reinfiltrationExchange.giveBack(*diag);
  return cellRecord.length();
}

// A river cell is solved only as a cell of its link: one that no link
// lists would never be solved at all.
void unsatzonmodellklasse::checkLinkCellsListed() {
  if (!rivers.links) return;
  long river = 0;
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c)
      if (isOwnValidCell(r, c) && isLinkedRiverCell(r, c)) ++river;
  long listed = 0;
  if (context.localLinkCellsByOwner)
    for (const std::vector<RiverLinkCell>& list : *context.localLinkCellsByOwner)
      listed += static_cast<long>(list.size());
  if (river == listed) return;
  *diag << "FATAL: in modul " << moduleName << ": process " << mpiRank << " holds " << river
        << " cells with a value in the grid river_links, but the river links of the domain "
           "decomposition list "
        << listed
        << " of them; the re-infiltration in link order needs every river cell in a link "
           "(check that river_links is read with the surface water interaction 2 in "
        << userControlFile(controlFileName) << ")"
        << "[end-entry]";
  throw unlistedLinkCellCode;
}

int unsatzonmodellklasse::allocateGridElementsInRow0(Grid grid, long n) {
  return reinfiltrationExchange.allocateGridElementsInRow0(*diag, grid, n) ? 1 : 0;
}

long unsatzonmodellklasse::allocateStackElementsInRow0(Stack stack, long n, long values) {
  return reinfiltrationExchange.allocateStackElementsInRow0(*diag, stack, n, values) ? values : 0;
}

long unsatzonmodellklasse::packCellState(long row, long column, double* buffer, long offset) {
  return cellRecord.pack(row, column, buffer, offset);
}

long unsatzonmodellklasse::unpackCellState(long row, long column, const double* buffer,
                                           long offset) {
  return cellRecord.unpack(row, column, buffer, offset);
}

void unsatzonmodellklasse::shareControlDetail() {
  if (controlSolvedBy < 0 || (mpiRank != controlSolvedBy && mpiRank != controlOwnedBy)) return;
  const size_t n = controlEtr.size();
  std::vector<double> detail(2 * n, 0.0);
  const int count = static_cast<int>(detail.size());
  if (mpiRank == controlSolvedBy) {
    std::copy(controlEtr.begin(), controlEtr.end(), detail.begin());
    std::copy(controlInterflow.begin(), controlInterflow.end(), detail.begin() + n);
    checkMPI(*diag,
             MPI_Send(detail.data(), count, MPI_DOUBLE, controlOwnedBy, controlDetailTag,
                      MPI_COMM_WORLD),
             "MPI_Send of the control cell's layer detail");
    return;
  }
  checkMPI(*diag,
           MPI_Recv(detail.data(), count, MPI_DOUBLE, controlSolvedBy, controlDetailTag,
                    MPI_COMM_WORLD, MPI_STATUS_IGNORE),
           "MPI_Recv of the control cell's layer detail");
  std::copy(detail.begin(), detail.begin() + n, controlEtr.begin());
  std::copy(detail.begin() + n, detail.end(), controlInterflow.begin());
}

void unsatzonmodellklasse::sendReinfiltrationCells() { reinfiltrationExchange.send(*diag); }

void unsatzonmodellklasse::returnReinfiltrationCells() {
  reinfiltrationExchange.giveBack(*diag);
  accumulateReinfiltrationRecords();
}

void unsatzonmodellklasse::saveGhostRows() { reinfiltrationExchange.saveGhostRows(); }

void unsatzonmodellklasse::restoreGhostRows() { reinfiltrationExchange.restoreGhostRows(); }
