// The grids of the unsaturated zone: those it takes from the set-up and the
// other modules, those it registers, and the derived grids the solver reads.

#include <mpi.h>

#include <algorithm>
#include <cmath>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

constexpr int registryFullCode = 12;
constexpr int pondingRangeCode = 10;
// m; the deepest lake is about 1,640 m deep.
constexpr double deepestPondingMetres = 2000.0;

// Per-layer grids of the land-use parameters, layers 1 .. L.
const char* const landuseLayerGrids[] = {"landuse",
                                         "root_depth",
                                         "vegetation_coverage_degree",
                                         "leaf_area_index",
                                         "SurfaceCanopyResistance",
                                         "SurfaceIntercepResistance",
                                         "RoughnessLength"};
// Per-layer grids of evapotranspiration, layers 0 .. L.
const char* const evapotranspirationLayerGrids[] = {"pot_transpiration", "real_transpiration"};
const char* const requiredGrids[] = {"SurfaceEvaporationResistance", "albedo",
                                     "potential_evaporation", "real_evaporation"};

// A grid that holds nothing of its own: registered under its name, never
// written.
struct PlainGrid {
  const char* name;
  int line; // the section's grid line, or -1
};

const PlainGrid alwaysRegistered[] = {{"SB_1_grid", lineSB05},
                                      {"MeanThetaInRootZone", -1},
                                      {"GWTableExtern", -1},
                                      {"Balance", -1},
                                      {"SB_2_grid", lineSB1_},
                                      {"macropore_infiltration", lineMacropore},
                                      {"ROOTgrid", lineWURZ},
                                      {"groundwater_recharge", lineGWN},
                                      {"Capillar_Uprise", lineGWNUprise},
                                      {"Percolation", lineGWNPercol},
                                      {"directflow", lineQD},
                                      {"interflow", lineQI},
                                      {"infiltration_excess", lineInfiltrationExcess},
                                      {"total_infiltration", -1},
                                      {"infiltration_saturation", lineSaturation}};

} // namespace

void unsatzonmodellklasse::checkRegistrySpace() {
  if (firstFreeRegistryIndex() < gridRegistryLimit) return;
  *diag << "FATAL: no more free grids in memeory, (max. " << gridRegistryLimit << ")!"
        << "[end-entry]";
  throw registryFullCode;
}

void unsatzonmodellklasse::takeForeignGrids() {
  zone = registry[1].grid;
  elevation = registry[2].grid;
  landuse.assign(static_cast<size_t>(landuseLayers) + 1, nullptr);
  for (int k = 1; k <= landuseLayers; ++k)
    for (const char* name : landuseLayerGrids) {
      const int index = requireGrid(name + std::to_string(k));
      if (name == landuseLayerGrids[0]) landuse[static_cast<size_t>(k)] = registry[index].grid;
    }
  for (int k = 0; k <= landuseLayers; ++k)
    for (const char* name : evapotranspirationLayerGrids) requireGrid(name + std::to_string(k));
  for (const char* name : requiredGrids) requireGrid(name);
  slope = registry[requireGrid("slope_angle")].grid;
  soilTypes = registry[requireGrid("soil_types")].grid;
  if (settings.pond == 1) {
    maxPondingIndex = requireGrid("max_ponding_storage");
    maxPonding = registry[maxPondingIndex].grid;
  }
  if (settings.drainage == 1) {
    drainageDepth = registry[requireGrid("drainage_depth")].grid;
    requireGrid("drainage_distance");
  }
  if (settings.clay == 1) clayDepth = registry[requireGrid("clay_depth")].grid;
  if (context.irrigationTable && context.irrigationTable->size() > 1)
    irrigationCodes = registry[requireGrid("irrigation_codes")].grid;
  if (findGrid("flow_times") == 0)
    *diag << "INFO: \n------------------------------------------------------------------------\n\n"
             "Warning! There was no flow travel time grid for surface runoff read in\nAll "
             "surface runoof will be routed immediately to the outlet of the sub-basin\n(except "
             "the effects of a linear reservoir).\nA flow travel time grid may be created by "
             "Mirelok, writing the\nflow travel times for each grid cell to the sub basins "
             "outlet in secounds\nwhich are reclassified into model time steps in Horva.\n\n"
             "------------------------------------------------------------------------\n"
          << "[end-entry]";
}

Grid unsatzonmodellklasse::registerOwnGrid(const std::string& name, const NamedOutput* line,
                                           double start) {
  const long first = heldFirstRow;
  const long last = heldLastRow;
  Grid grid = matrix(first, last, 1, header.ncols, header.nrows);
  ownGrids.push_back(OwnGrid{0, grid, nullptr, first, last});
  const long ownFirst = std::max(first, header.firstRow);
  const long ownLast = std::min(last, header.lastRow);
  const double nodata = header.nodata;
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r)
    for (long c = 1; c <= header.ncols; ++c)
      grid[r][c] = r >= ownFirst && r <= ownLast && isOwnValidCell(r, c) ? start : nodata;
  const int index = firstFreeRegistryIndex();
  registerGrid(index, line ? line->name : name, grid, nullptr, 0, name, line ? line->writeCode : 0,
               first, last);
  ownGrids.back().index = index;
  return grid;
}

Stack unsatzonmodellklasse::registerOwnStack(const std::string& name, const NamedOutput& line) {
  Stack stack = three_d_matrix(heldFirstRow, heldLastRow, 1, header.ncols, layers, header.nrows);
  ownGrids.push_back(OwnGrid{0, nullptr, stack, heldFirstRow, heldLastRow});
  const double nodata = header.nodata;
#pragma omp parallel for schedule(runtime)
  for (long r = heldFirstRow; r <= heldLastRow; ++r)
    std::fill(stack[r][0], stack[r][0] + (header.ncols + 1) * (layers + 1), nodata);
  const int index = firstFreeRegistryIndex();
  registerGrid(index, line.name, nullptr, stack, static_cast<unsigned>(layers), name,
               line.writeCode, heldFirstRow, heldLastRow);
  ownGrids.back().index = index;
  return stack;
}

void unsatzonmodellklasse::registerOwnGrids() {
  const NamedOutput* lines = settings.grids;
  theta = registerOwnStack("theta", lines[lineTheta]);
  geodeticHeads = registerOwnStack("geodetic_heads", lines[lineHgeo]);
  hydraulicHeads = registerOwnStack("hydraulic_heads", lines[lineHh]);
  registerOwnStack("q_down", lines[lineQUnten]);
  tableDistance = registerOwnGrid("groundwater_distance", &lines[lineGWSTAND]);
  tableLayer = registerOwnGrid("groundwater_level", &lines[lineGWLEVEL]);
  tableLayerTheta = registerOwnGrid("Theta_in_GWLEVEL", &lines[lineGWtheta]);
  // Channel routing gathers the baseflow and "q_downext" of the lake cells.
  baseflow = registerOwnGrid("baseflow", &lines[lineDELTAGW]);
  ponding = registerOwnGrid("ponding_storage", &lines[linePOND]);
  registerOwnGrid("q_downext", nullptr);
  if (irrigationCodes) {
    irrigationAmounts = registerOwnGrid("irrigation_amounts", &lines[lineIRRIG]);
    registerOwnGrid("Max_Pumping", nullptr);
    registerOwnGrid("SBLOW_grid", nullptr, header.nodata);
    registerOwnGrid("SBHIGH_grid", nullptr, header.nodata);
  }
  if (findGrid("ETR2ETP") == 0) {
    const NamedOutput unnamed;
    registerOwnGrid("ETR2ETP", &unnamed, 1.0);
  }
  for (const PlainGrid& g : alwaysRegistered)
    registerOwnGrid(g.name, g.line >= 0 ? &lines[g.line] : nullptr);
  slopeTangent = registerOwnGrid("tangens_beta", nullptr);
  if (settings.method == 3) registerOwnGrid("number_of_substeps", &lines[lineSUBSTEPS]);
  if (settings.drainage == 1) {
    registerOwnGrid("drainage_flow", &lines[lineQDRAIN]);
    drainageLevel = registerOwnGrid("drainage_level", nullptr);
  }
  if (clayDepth) {
    clayLevel = matrix(heldFirstRow, heldLastRow, 1, header.ncols, header.nrows);
    ownGrids.push_back(OwnGrid{0, clayLevel, nullptr, heldFirstRow, heldLastRow});
  }
}

// "max_ponding_storage" is given in m and held in mm. Rank 0 holds the
// whole input grid and hands every process its rows.
void unsatzonmodellklasse::readPondingInput() {
  if (!maxPonding) return;
  int code = 0;
  if (mpiRank == 0) {
    const GridRegistryEntry& e = registry[maxPondingIndex];
    code = pondingOutOfRange(e, "");
    for (long r = e.firstRow; r <= e.lastRow; ++r)
      for (long c = 1; c <= header.ncols; ++c)
        if (maxPonding[r][c] != header.nodata) maxPonding[r][c] *= 1000.0;
  }
  shareExitCode(*diag, code);
  registry[maxPondingIndex].readScale = 1000.0;
  checkMPI(*diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier");
  MPIScatterGrid(maxPondingIndex);
  checkMPI(*diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier");
}

// Ponding deeper than the deepest lake is a mistyped value; a negative
// capacity would take water that is not there.
int unsatzonmodellklasse::pondingOutOfRange(const GridRegistryEntry& e,
                                            const std::string& from) const {
  for (long r = e.firstRow; r <= e.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      const double v = maxPonding[r][c];
      if (v == header.nodata || (v >= 0.0 && v <= deepestPondingMetres)) continue;
      *diag << "FATAL: in modul " << moduleName << ": grid \"max_ponding_storage\""
            << (from.empty() ? " (" + e.fileName + ")" : " read again from " + from) << " holds "
            << v << " at row " << r << ", column " << c << ", which must be nodata or 0 ... "
            << deepestPondingMetres << " m (deeper than any lake); correct the grid"
            << "[end-entry]";
      return pondingRangeCode;
    }
  return 0;
}

namespace {

// The first layer whose bottom lies at or below the depth; -1 for no depth
// or one below the column.
double layerAtDepth(const soil_class& soil, int layers, double depth, double nodata) {
  if (depth == nodata || !(depth > 0.0)) return -1.0;
  double bottom = 0.0;
  for (int k = 1; k <= layers; ++k) {
    bottom += soil.getThickness(k);
    if (bottom >= depth) return k;
  }
  return -1.0;
}

} // namespace

// The layer that holds the drains and the clay layer, which the solver
// reads; the lake set-up then takes the drains out of treated lake cells.
void unsatzonmodellklasse::fillDrainageAndClayLevels() {
  if (!drainageLevel && !clayLevel) return;
  const std::vector<soil_class>& table = *context.soilTable;
  const double nodata = header.nodata;
#pragma omp parallel for schedule(runtime)
  for (long r = heldFirstRow; r <= heldLastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      const bool own = r >= header.firstRow && r <= header.lastRow && isOwnValidCell(r, c);
      const soil_class* soil = own ? &table[static_cast<size_t>(soilTypes[r][c])] : nullptr;
      if (drainageLevel)
        drainageLevel[r][c] =
            own ? layerAtDepth(*soil, soil->getLayerCount(), drainageDepth[r][c], nodata) : nodata;
      if (clayLevel)
        clayLevel[r][c] =
            own ? layerAtDepth(*soil, soil->getLayerCount(), clayDepth[r][c], nodata) : nodata;
    }
}

// The tangent of the slope, after the lake set-up has flattened lake cells.
void unsatzonmodellklasse::fillSlopeTangent() {
  const double nodata = header.nodata;
  const double degree = ModelContext::pi / 180.0;
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c)
      if (isOwnValidCell(r, c))
        slopeTangent[r][c] = slope[r][c] == nodata ? nodata : std::tan(slope[r][c] * degree);
}

// The water contents between which irrigation runs, in the top layer: it
// starts below the content at the dry suction and goes on up to the content
// at the wet one (for method 4 at the land use's dry-stress suction).
void unsatzonmodellklasse::fillIrrigationGrids() {
  if (!irrigationCodes) return;
  Grid low = registry[findGrid("SBLOW_grid", 1)].grid;
  Grid high = registry[findGrid("SBHIGH_grid", 1)].grid;
  const IrrigationTable& irrigation = *context.irrigationTable;
  const std::vector<soil_class>& table = *context.soilTable;
  const std::vector<landuse_class>& uses = *context.landuseTable;
  const double nodata = header.nodata;
  const long count = static_cast<long>(irrigation.size()) - 1;
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      const double code = irrigationCodes[r][c];
      if (!isOwnValidCell(r, c)) continue;
      if (code == nodata || code < 1.0 || code > count) {
        low[r][c] = high[r][c] = nodata;
        continue;
      }
      const IrrigationRecord& record = irrigation[static_cast<size_t>(code)];
      const soil_class& soil = table[static_cast<size_t>(soilTypes[r][c])];
      const double wet = record.method == irrigationByEtrEtpRatio
                             ? uses[static_cast<size_t>(landuse[1][r][c])].getHReduDry()
                             : record.psiWet;
      low[r][c] = soil.thetaFromSuction(1, record.psiDry);
      high[r][c] = soil.thetaFromSuction(1, wet);
    }
}

void unsatzonmodellklasse::followGridsReadDuringRun() {
  builtOnceFrom(findGrid("soil_types", 1),
                "the unsaturated zone lays out the layers, the water and the groundwater table of "
                "every cell's soil column by its soil type at set-up");
  builtOnceFrom(findGrid("slope_angle", 1),
                "the unsaturated zone keeps the tangent of every cell's slope from set-up (lake "
                "method 2 flattens the lakes in it)");
  if (lakeCodes)
    builtOnceFrom(findGrid("lake_codes", 1),
                  "the unsaturated zone fills the soil of the lake cells at set-up");
  const auto levels = [this] {
    fillDrainageAndClayLevels();
    for (const auto& [r, c] : lakeCellsWithoutDrains) drainageLevel[r][c] = -1.0;
  };
  // A re-read file is checked in metres, before it is scaled to mm; rank 0
  // holds it whole.
  if (maxPonding)
    checkAgainOnRead(maxPondingIndex, [this](const std::string& from) {
      shareExitCode(*diag, mpiRank == 0 ? pondingOutOfRange(registry[maxPondingIndex], from) : 0);
    });
  if (drainageLevel) rebuildOnRead(findGrid("drainage_depth", 1), levels);
  if (clayLevel) rebuildOnRead(findGrid("clay_depth", 1), levels);
  if (irrigationCodes) {
    rebuildOnRead(findGrid("irrigation_codes", 1), [this] { fillIrrigationGrids(); });
    // Irrigation by the ratio of evapotranspirations stops at the land use's
    // dry-stress suction.
    rebuildOnRead(findLanduseCodeGrid(), [this] { fillIrrigationGrids(); });
  }
}
