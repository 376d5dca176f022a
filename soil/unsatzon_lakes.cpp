// Lakes: cells of "lake_codes" whose water the soil holds as ponded water.
// Their soil starts saturated with the groundwater table at the surface,
// unless a warm start read it back; method 2 also sinks the lake into the
// elevation model and takes the slope and the drains out of it.

#include "config/control_file_session.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

constexpr int closeCode = 11;
constexpr int lakeMethodCode = 215;

} // namespace

void unsatzonmodellklasse::initLakeModel(const std::string& section) {
  const int lakeIndex = findGrid("lake_codes");
  if (lakeIndex == 0) {
    *diag << "INFO: no LAKE-grid was found in " << moduleName << "\n"
          << "Lake modelling is switched off for " << moduleName << "."
          << "[end-entry]";
    return;
  }
  ControlFileSession session(controlFile);
  session.openOrFail(controlFileName, *diag);
  seekSection(section, true);
  int lakeFlow = 0;
  readControlValue(controlFile, "%d", lakeFlow, "flow control parameter for ");
  if (context.hruFlag != 0 || lakeFlow == 0) return;
  lakeFlowControl = lakeFlow;
  lakeCodes = registry[lakeIndex].grid;
  if (settings.pond == 0) {
    *diag << "FATAL: \n\n=======================================\n"
          << "!!!! ERROR !!!! \n\n"
          << "Error in initialization method for " << section << ".\n"
          << "pond_use must be set in " << moduleName << " (the pond parameter of [" << moduleName
          << "] in " << userControlFile(controlFileName) << " is 0)\n"
          << "for using the " << section << "\n\n=======================================\n"
          << "[end-entry]";
    throw lakeMethodCode;
  }
  int method = 0;
  readControlValue(controlFile, "%d", method, "initialization method for ");
  if (!session.close()) {
    *diag << "FATAL: error closing " << controlFileName
          << "after reading initialization method for " << section << "[end-entry]";
    throw closeCode;
  }
  if (method != 1 && method != 2) {
    *diag << "FATAL: \n\n=======================================\n"
          << "!!!! ERROR !!!! \n\n "
          << "Error in initialization method for " << section << ".\n"
          << "Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN).\n"
          << "In either case, theta_soil will be set to saturation,\n"
          << "if the cell is marked as lake and POND is > 0. Also, the groudwater level\n"
          << "will be set to 0."
          << "\n\n=======================================\n"
          << "[end-entry]";
    throw lakeMethodCode;
  }

  Grid lakes = registry[lakeIndex].grid;
  const std::vector<soil_class>& table = *context.soilTable;
  // Readgrid 2 computes the soil water anew: only lakes that still hold
  // water start full again.
  const double threshold = method == 2 ? 0.3 : 1.0;
  const bool coldStart = settings.readGrid == 0;
  // Soil water and table read back from a former run are the lake cells'
  // state: filling them again would add water the run never had.
  const bool stateRead = settings.readGrid == 1 || settings.readGrid == 3;
  // The grids of method 2 are no state: a run that goes on from a former
  // one flattens and undrains the lake cells that run did, every one, or a
  // lake cell that ran dry would drain and slope from then on.
  const auto treated = [&](long r, long c) {
    return coldStart || stateRead || ponding[r][c] > threshold;
  };
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      if (!isOwnValidCell(r, c) || !(lakes[r][c] >= 0.0)) continue;
      if (method == 2) elevation[r][c] -= maxPonding[r][c] / 1000.0;
      if (!treated(r, c)) continue;
      if (!stateRead) {
        tableDistance[r][c] = 0.0;
        tableLayer[r][c] = 1.0;
        const soil_class& soil = table[static_cast<size_t>(soilTypes[r][c])];
        for (int k = 1; k < layers; ++k) theta[r][c][k] = soil.getThetaSat(k);
        // The solver places the table by this water content: that of the
        // saturated top layer keeps it at the surface.
        tableLayerTheta[r][c] = theta[r][c][1];
      }
      if (method != 2) continue;
      slope[r][c] = 0.0;
      if (drainageLevel) drainageLevel[r][c] = -1.0;
      if (irrigationAmounts) irrigationAmounts[r][c] = 0.0;
    }
  if (method == 2 && drainageLevel)
    for (long r = header.firstRow; r <= header.lastRow; ++r)
      for (long c = 1; c <= header.ncols; ++c)
        if (isOwnValidCell(r, c) && lakes[r][c] >= 0.0 && treated(r, c))
          lakeCellsWithoutDrains.emplace_back(r, c);
  if (method != 2) return;
  // Surface routing reads a neighbour's elevation across the strip boundary,
  // and the snow slides read the slope of every cell on rank 0: every copy
  // of a lake cell must follow its owner's change.
  for (int index : {2, requireGrid("slope_angle")}) {
    MPIGatherGrid(index);
    MPIExchangeGridHalo(index);
  }
}
