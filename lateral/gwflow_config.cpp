// Construction of the groundwater model: its section, the optional
// "[groundwater_tuning]", the input grids and their checks.
#include <cerrno>
#include <climits>
#include <cstring>
#include <sstream>

#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"
#include "core/run_files.h"
#include "lateral/gwflowclass.h"

namespace {

constexpr int controlRowCode = 8;
constexpr int controlColumnCode = 9;
constexpr int badInputCode = 10;
constexpr int closeCode = 11;
constexpr int valueCode = 17;
constexpr int openCode = 28;
// No aquifer conducts more than clean gravel; beyond it transmissivities
// overflow long before they mean anything.
constexpr double largestConductivity = 1.0; // m/s
// 1 m/s of clean gravel over 1 m of bed: no leakage between layers is
// faster.
constexpr double largestKolmation = 1.0; // 1/s
// The storage of a thin, stiff confined aquifer; below it a head rises by
// more than a kilometre per millimetre of water.
constexpr double smallestStorageCoefficient = 1e-7;
constexpr long largestIterationCount = 100000;
// A fixed head lies between the deepest sea floor and the highest summit.
constexpr double lowestFixedHead = -11000.0; // m a.s.l.
constexpr double highestFixedHead = 9000.0;

} // namespace

gwflowclass::gwflowclass(const ModelContext& context, int& errorCode)
    : teilmodellklasse(context, "groundwater_flow") {
  errorCode = catchModuleFailure([&] {
    if (routingOnly || flowControl == 0) return;
    if (context.hruFlag != 0) {
      flowControl = 0;
      closeControlFile();
      *diag << "INFO: in modul " << moduleName
            << ": groundwater flow does not run with spin-up HRUs; it is switched off"
            << "[end-entry]";
      return;
    }
    HORVA_ANNOUNCE_MODULE(*diag);
    setWriteStorageFlag(0);
    firstRow = firstHeldRow();
    lastRow = lastHeldRow();
    ownFirst = std::max(1L, header.firstRow);
    ownLast = std::min(header.nrows, header.lastRow);
    zone = registry[1].grid;
    regions = registry[requireGrid("MPIRegions")].grid;
    requireGrid("MPIHelper");
    readSettings();
    checkControlPoint();
    readPondFlag();
    readLayerLines();
    closeControlFile();
    readTuningSection();
    findInputGrids();
    computeLayerOneThickness();
    checkInputGrids();
    registerHeads();
    registerLayerGrids();
    warnOnStiffLeakage();
    checkAgainOnReads();
    createControlPointFile();
    active = true;
    readLakeCodes("[lake_model]");
  });
}

void gwflowclass::readSettings() {
  readControlValue(controlFile, "%d", method, "method in ");
  readControlValue(controlFile, "%ld", maxIterations, "maxiter in ");
  readControlValue(controlFile, "%lf", maxError, "maxerror_allowed in ");
  readControlValue(controlFile, "%lf", alpha, "alpha in ");
  readControlValue(controlFile, "%lf", sorParameter, "sor-parameter in ");
  readControlValue(controlFile, "%d", readHeads, "grid read parameter in ");
  readControlValue(controlFile, "%d", layerCount, "number of layers in ");
  readControlValuePair(controlFile, "%ld %ld", controlRow, controlColumn,
                       "control_row/column for control point fluxes in ");
  readControlValue(controlFile, "%s", controlPointFile, "name of the control point file  ");
  prependDirectory(outputDirectory, controlPointFile);
  noteOutputFile(controlPointFile, "the control-point file of [groundwater_flow]");
  adaptiveSor = sorParameter <= 0.0;
  if (readHeads != 0 && readHeads != 1)
    refuseControlValue(sectionHeader, "grid read parameter in ", readHeads,
                       "must be 0 (heads from the soil's table) or 1 (the heads of a former run)",
                       valueCode);
  // Any other method would make one unconverged sweep per sub-step.
  if (method != 1 && method != 2)
    refuseControlValue(sectionHeader, "method in ", method,
                       "must be 1 (successive over-relaxation) or 2 (line sweeps)", valueCode);
  // Over-relaxation converges only for factors below 2.
  if (method == 1 && !(sorParameter < 2.0))
    refuseControlValue(sectionHeader, "sor-parameter in ", sorParameter,
                       "must be below 2 for the sweeps to converge (0 or below: adapted every "
                       "sweep; 1 to 1.9 speed them up)",
                       valueCode);
  // No sweep leaves the heads unsolved; a sweep costs a pass over the grid.
  if (!(maxIterations >= 1 && maxIterations <= largestIterationCount))
    refuseControlValue(sectionHeader, "maxiter in ", static_cast<double>(maxIterations),
                       "must be 1 ... 100000", valueCode);
  if (!(maxError > 0.0 && maxError <= 1.0))
    refuseControlValue(sectionHeader, "maxerror_allowed in ", maxError,
                       "must be above 0 and at most 1 m", valueCode);
  // The heads of a sub-step are weighted alpha * new + (1 - alpha) * old.
  if (!(alpha >= 0.0 && alpha <= 1.0))
    refuseControlValue(sectionHeader, "alpha in ", alpha,
                       "must lie within 0 (explicit) ... 1 (fully implicit)", valueCode);
  if (layerCount < 1) {
    *diag << "FATAL: in modul " << moduleName << ": number of layers (" << layerCount << ") in "
          << userControlFile(controlFileName) << " must be 1 or more"
          << "[end-entry]";
    throw badInputCode;
  }
}

// "0 0" means no control point; otherwise both indices lie on the grid.
void gwflowclass::checkControlPoint() const {
  const bool none = controlRow == 0 && controlColumn == 0;
  if (!none && (controlRow < 1 || controlRow > header.nrows)) {
    *diag << "FATAL: in modul " << moduleName << ":\n"
          << "row index (" << controlRow << ") for output-cell must be between " << 1L << " and "
          << header.nrows << " (Input as row col) or 0 0 "
          << "[end-entry]";
    throw controlRowCode;
  }
  if (!none && (controlColumn < 1 || controlColumn > header.ncols)) {
    *diag << "FATAL: in modul " << moduleName << ":\n"
          << "column index (" << controlColumn << ") for output-cell must be between " << 1L
          << " and " << header.ncols << " (Input as row col) "
          << "[end-entry]";
    throw controlColumnCode;
  }
}

// An optional line whose first word is "0" or "1"; any other line stays
// unread for the layer lines.
void gwflowclass::readPondFlag() {
  const long position = std::ftell(controlFile);
  char buffer[2401] = {};
  std::string word;
  if (std::fgets(buffer, sizeof buffer, controlFile)) {
    std::istringstream line(buffer);
    line >> word;
  }
  if (word != "0" && word != "1") {
    std::fseek(controlFile, position, SEEK_SET);
    *diag << "INFO: in modul " << moduleName
          << ": no POND-Grid will be used because Use-Pond-Flag is not present"
          << "[end-entry]";
    return;
  }
  pondFlag = word == "1" ? 1 : 0;
  if (pondFlag == 0) {
    *diag << "INFO: in modul " << moduleName << ": Use-Pond-Flag is " << 0
          << "; --> no PONDs will be used in GW-Model"
          << "[end-entry]";
    return;
  }
  pondIndex = findGrid("ponding_storage", 1);
  pondUse = pondIndex > 0;
  if (pondUse) pond = registry[pondIndex].grid;
  *diag << "INFO: in modul " << moduleName << ": Use-Pond-Flag is " << 1
        << (pondUse ? "\n POND-Grid was found --> PONDs will be used in GW-Model"
                    : "\n POND-Grid was not found --> no PONDs will be used in GW-Model")
        << "[end-entry]";
}

void gwflowclass::readLayerLines() {
  layers.assign(static_cast<size_t>(layerCount) + 1, AquiferLayer{});
  for (int k = 1; k <= layerCount; ++k) {
    AquiferLayer& l = layers[static_cast<size_t>(k)];
    readControlValue(controlFile, "%s", l.headFile, "name of grid with hydraulic heads in ");
    readControlValue(controlFile, "%d", l.headCode, "Writegrid (hydraulic heads) in ");
    readControlValue(controlFile, "%s", l.fluxXFile, "name of grid with x-transmissivities in ");
    readControlValue(controlFile, "%d", l.fluxXCode, "Writegrid x-transmissivities in ");
    readControlValue(controlFile, "%s", l.fluxYFile, "name of grid with y-transmissivities in ");
    readControlValue(controlFile, "%d", l.fluxYCode, "Writegrid y-transmissivities in ");
    readControlValue(controlFile, "%s", l.balanceFile, "name of grid with balances in ");
    readControlValue(controlFile, "%d", l.balanceCode, "Writegrid balances in ");
  }
}

// key = value lines up to the next section or the end of the file, with
// line feeds or carriage returns and line feeds.
void gwflowclass::readTuningSection() {
  controlFile = openControlFile(controlFileName);
  if (!controlFile) {
    *diag << "FATAL: error opening " << controlFileName << " (" << std::strerror(errno) << ")"
          << "[end-entry]";
    throw openCode;
  }
  if (seekSection("[groundwater_tuning]", false)) {
    char buffer[2401];
    while (std::fgets(buffer, sizeof buffer, controlFile)) {
      std::string line(buffer);
      line.erase(0, line.find_first_not_of(" \t"));
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      if (!line.empty() && line[0] == '[') break;
      const size_t equals = line.find('=');
      if (line.find("frozenDepthScaling") == std::string::npos || equals == std::string::npos)
        continue;
      std::istringstream value(line.substr(equals + 1));
      double scaling = 0.0;
      if (value >> scaling) frozenDepthScaling = scaling;
    }
  }
  const int closed = std::fclose(controlFile);
  controlFile = nullptr;
  if (closed != 0) {
    *diag << "FATAL: control file \"" << controlFileName << "\" cannot be closed"
          << "[end-entry]";
    throw closeCode;
  }
}

void gwflowclass::findInputGrids() {
  elevationIndex = requireGrid("[elevation_model]");
  elevation = registry[elevationIndex].grid;
  requireGrid("groundwater_recharge");
  distanceIndex = requireGrid("groundwater_distance");
  distance = registry[distanceIndex].grid;
  soilTypes = registry[requireGrid("soil_types")].grid;
  baseflowIndex = requireGrid("baseflow");
  baseflow = registry[baseflowIndex].grid;
  if (context.cellWeights) {
    cellSizeX = registry[requireGrid("CellSizeX")].grid;
    cellSizeY = registry[requireGrid("CellSizeY")].grid;
  }
  const int g = findGlacierGrid();
  if (g > 0) glacier = registry[g].grid;
  for (int k = 1; k <= layerCount; ++k) {
    AquiferLayer& l = layers[static_cast<size_t>(k)];
    l.thickness = registry[requireGrid(layerName("aquifer_thickness_", k))].grid;
    l.kx = registry[requireGrid(layerName("gw_k_x_", k))].grid;
    l.ky = registry[requireGrid(layerName("gw_k_y_", k))].grid;
    l.storage = registry[requireGrid(layerName("gw_storage_coeff_", k))].grid;
    l.fixedHead = registry[requireGrid(layerName("gw_boundary_fix_h_", k))].grid;
    l.fixedFlux = registry[requireGrid(layerName("gw_boundary_fix_q_", k))].grid;
  }
  for (int k = 1; k < layerCount; ++k)
    layers[static_cast<size_t>(k)].kolmation =
        registry[requireGrid(layerName("gw_kolmation_", k))].grid;
  if (findGrid("PermafrostThawDepth") > 0 && findGrid("SnowFreeDaysGrid") > 0 &&
      findGrid("ThawCoeffPermaFrost") > 0) {
    thawDepthIndex = findGrid("PermafrostThawDepth");
  } else if (findGrid("ThawDepthTMod", 1) > 0 && findGrid("frozenSoilInGroundwater", 1) > 0) {
    // The soil registers its frozen depth behind its stacks, and the frozen
    // ground under the table only where the leakage has frozen values.
    thawDepthIndex = findGrid("ThawDepthTMod", 1);
    frozenDepthIndex = requireGrid("frozenSoilInGroundwater");
    frozenDepth = registry[frozenDepthIndex].grid;
  }
  if (thawDepthIndex > 0) thawDepth = registry[thawDepthIndex].grid;
  // Surface routing registers its own storage behind the soil's stacks.
  const int silting = findGrid("SurfStorSiltingUp", 1);
  if (silting > 0 && findGrid("DirectRunoffSiltingUp", 1) <= 0)
    siltingStorage = registry[silting].grid;
}

// A storage coefficient of 0 divides by zero in both sweeps, a negative
// conductivity, thickness or leakage coefficient turns diffusion round:
// every active cell is checked, and the first bad cell in row order ends the
// run on every process.
void gwflowclass::checkInputGrids(const std::string& from, const std::string& read) {
  struct Check {
    std::string grid;
    long row = 0, column = 0;
    double value = 0.0;
    const char* rule = "";
  } bad;
  auto test = [&](const std::string& name, double v, bool ok, const char* rule, long r, long c) {
    if (ok || !bad.grid.empty()) return;
    bad = Check{name, r, c, v, rule};
  };
  const OwnCells cells = ownCells();
  cells.forEachInOrder([&](long r, long c) {
    if (glacierFraction(r, c) >= 1.0) return;
    for (int k = 1; k <= layerCount; ++k) {
      const AquiferLayer& l = layers[static_cast<size_t>(k)];
      // A storage coefficient is the water a unit of head change moves per
      // unit of aquifer: at most all of it.
      const double s = l.storage[r][c];
      test(layerName("gw_storage_coeff_", k), s, s >= smallestStorageCoefficient && s <= 1.0,
           "must be 1e-07 ... 1", r, c);
      for (const auto& [name, K] : {std::pair("gw_k_x_", l.kx), std::pair("gw_k_y_", l.ky)})
        test(layerName(name, k), K[r][c], K[r][c] >= 0.0 && K[r][c] <= largestConductivity,
             "must not be negative nor above 1 m/s (clean gravel)", r, c);
      const double h = l.fixedHead[r][c];
      test(layerName("gw_boundary_fix_h_", k), h,
           h == header.nodata || (h >= lowestFixedHead && h <= highestFixedHead),
           "must be nodata (no fixed head) or -11000 ... 9000 m a.s.l.", r, c);
      const double d = thickness(k, r, c);
      test(k == 1 ? std::string("soil depth of soil_types") : layerName("aquifer_thickness_", k), d,
           d >= 0.0, "must not be negative", r, c);
      // The leakage to the layer below; nodata would pass -9999 times the
      // head difference.
      if (k < layerCount) {
        const double kol = l.kolmation[r][c];
        test(layerName("gw_kolmation_", k), kol, kol >= 0.0 && kol <= largestKolmation,
             "must be 0 ... 1 1/s, not nodata", r, c);
      }
    }
  });
  int code = 0;
  if (!bad.grid.empty()) {
    *diag << "FATAL: in modul " << moduleName << ": grid "
          << (bad.grid == read ? "\"" + bad.grid + "\" read again from " + from
                               : gridWithFile(bad.grid))
          << " holds " << bad.value << " at row " << bad.row << ", column " << bad.column
          << ", which " << bad.rule << " in every cell of the groundwater domain; correct the grid"
          << "[end-entry]";
    code = badInputCode;
  }
  shareExitCode(*diag, code);
}

// The leakage between the layers depends on the kolmation and the storage
// coefficients alone.
void gwflowclass::checkAgainOnReads() {
  for (int k = 1; k <= layerCount; ++k) {
    std::vector<std::pair<std::string, bool>> checked = {{layerName("gw_storage_coeff_", k), true},
                                                         {layerName("gw_k_x_", k), false},
                                                         {layerName("gw_k_y_", k), false}};
    if (k > 1) checked.emplace_back(layerName("aquifer_thickness_", k), false);
    if (k < layerCount) checked.emplace_back(layerName("gw_kolmation_", k), true);
    for (const auto& [name, leakage] : checked)
      checkAgainOnRead(findGrid(name),
                       [this, name = name, leakage = leakage](const std::string& from) {
                         checkInputGrids(from, name);
                         if (leakage) warnOnStiffLeakage();
                       });
  }
}

// Leakage is taken from the heads at the start of a sub-step: a layer whose
// kolmation * dt / S exceeds 2 swings instead of settling.
void gwflowclass::warnOnStiffLeakage() {
  if (layerCount < 2) return;
  struct {
    double ratio = 0.0;
    long row = 0, column = 0;
    int layer = 0;
  } worst;
  const double dt = deltaT();
  const OwnCells cells = ownCells();
  cells.forEachInOrder([&](long r, long c) {
    for (int k = 1; k < layerCount; ++k) {
      const double kol = layers[static_cast<size_t>(k)].kolmation[r][c];
      for (int j = k; j <= k + 1; ++j) {
        const double s = layers[static_cast<size_t>(j)].storage[r][c];
        const double ratio = kol * dt / s;
        if (ratio > worst.ratio) worst = {ratio, r, c, k};
      }
    }
  });
  double largest = 0.0;
  checkMPI(*diag, MPI_Allreduce(&worst.ratio, &largest, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD),
           "MPI_Allreduce of the leakage ratio");
  if (largest <= 2.0) return;
  // Of equal ratios the first cell in row order is named, as on one
  // process; only rank 0 logs, so the process that holds it tells its layer.
  struct {
    long position;
    int rank;
  } own{worst.ratio == largest ? (worst.row - 1) * header.ncols + worst.column : LONG_MAX, mpiRank},
      first{LONG_MAX, 0};
  checkMPI(*diag, MPI_Allreduce(&own, &first, 1, MPI_LONG_INT, MPI_MINLOC, MPI_COMM_WORLD),
           "MPI_Allreduce of the cell of the largest leakage ratio");
  int layer = worst.layer;
  checkMPI(*diag, MPI_Bcast(&layer, 1, MPI_INT, first.rank, MPI_COMM_WORLD),
           "MPI_Bcast of the layer of the largest leakage ratio");
  *diag << "WARNING: in modul " << moduleName << ": gw_kolmation_" << layer
        << " * time step / storage coefficient is " << largest << " at row "
        << (first.position - 1) / header.ncols + 1 << ", column "
        << (first.position - 1) % header.ncols + 1
        << "; above 2 the heads of the two layers swing from sub-step to sub-step. Use more "
           "sub-steps or a smaller kolmation"
        << "[end-entry]";
}

void gwflowclass::readLakeCodes(const std::string& section) {
  if (!active) return;
  if (findGrid("lake_codes") <= 0) {
    *diag << "INFO: no LAKE-grid was found in " << moduleName << "\n"
          << "Lake modelling is switched off for " << moduleName << ".\n"
          << "[end-entry]";
    return;
  }
  controlFile = openControlFile(controlFileName);
  if (!controlFile) {
    *diag << "FATAL: error opening " << controlFileName << "[end-entry]";
    throw openCode;
  }
  int lakeFlow = 0;
  int lakeMethod = 0;
  seekSection(section, true);
  readControlValue(controlFile, "%d", lakeFlow, "flow control parameter for ");
  if (lakeFlow == 0) {
    closeControlFile();
    return;
  }
  const char* rule = "\n=======================================\n";
  if (pondFlag != 1) {
    // The run ends with the message below whatever closing gives.
    std::fclose(controlFile);
    controlFile = nullptr;
    *diag << "FATAL: " << rule << "!!!! ERROR !!!! \n\n"
          << "Error in initialization method for " << section << "\n"
          << "pond_use must be set in " << moduleName << "\n"
          << "for using the " << section << "\n"
          << rule << "[end-entry]";
    throw 214;
  }
  readControlValue(controlFile, "%d", lakeMethod, "initialization method for ");
  const int closed = std::fclose(controlFile);
  controlFile = nullptr;
  if (closed != 0) {
    *diag << "FATAL: error closing " << controlFileName
          << "after reading initialization method for " << section << "[end-entry]";
    throw closeCode;
  }
  requireGrid("lake_codes");
  if (findGrid("ponding_storage", 1) <= 0) {
    *diag << "FATAL: in modul " << moduleName << ": the lakes of " << section
          << " need the grid \"ponding_storage\" of the unsaturated zone, which is not "
             "registered; switch the unsaturated zone on or the lakes off"
          << "[end-entry]";
    throw openCode;
  }
  if (lakeMethod != 1 && lakeMethod != 2) {
    *diag << "FATAL: " << rule << "!!!! ERROR !!!! \n\n "
          << "Error in initialization method for " << section << "\n"
          << "Lake initialization method (" << lakeMethod << ") not valid.\n"
          << "Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN).\n"
          << "In either case, theta_soil will be set to saturation,\n"
          << "if the cell is marked as lake and POND is > 0. Also, the groudwater level\n"
          << "will be set to 0." << rule << "[end-entry]";
    throw 214;
  }
}
