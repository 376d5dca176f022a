// Construction and teardown of the radiation correction: its section, the
// grids it reads and the grids it registers.
#include "vertical/expokorrklasse.h"

#include <algorithm>
#include <cstdio>

#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"
#include "vertical/zone_grid.h"

namespace {

constexpr int closeFailedCode = 11;
constexpr int controlValueCode = 17;

} // namespace

expokorrklasse::expokorrklasse(const ModelContext& context, int& errorCode)
    : teilmodellklasse(context, "radiation_correction") {
  errorCode = catchModuleFailure([&] {
    HORVA_ANNOUNCE_MODULE(*diag);
    if (routingOnly) return;
    heldFirst = firstHeldRow();
    heldLast = lastHeldRow();
    cells = ownCells();
    nightCells = ownCells(true);
    if (flowControl != 0) readSection();
    findInputGrids();
    if (flowControl != 0) registerCorrectionGrids();
    // Evapotranspiration and snow read it on their steps above 720 minutes,
    // whatever the step of this module. A night temperature given as input
    // (a meteorological variable or a standard grid of that name) takes the
    // copy's place.
    if (temperature && findGrid("temperature_night") > 0)
      *diag << "INFO: the grid \"temperature_night\" is given as input: steps above 720 minutes "
               "take it for their night part as it is"
            << "[end-entry]";
    else if (temperature)
      registerOwnGrid("$$temperature_night$$", "temperature_night", 0, temperatureNight,
                      temperatureNightIndex);
  });
}

expokorrklasse::~expokorrklasse() { releaseOwnGrids(); }

void expokorrklasse::readSection() {
  readControlValue(controlFile, "%d", method, "methode of correction for ");
  readControlValue(controlFile, "%s", correctedTemperatureFile, "name of the TKORR-Grid for");
  readControlValue(controlFile, "%d", correctedTemperatureWriteCode, "Writegrid EXKORR for ");
  // Methods 1 and 3 register no corrected temperature to refuse it.
  if (correctedTemperatureWriteCode < 0)
    refuseLastControlValue("Writegrid EXKORR for ", correctedTemperatureWriteCode,
                           "(of the corrected temperature) must be 0 or more", controlValueCode);
  readControlValue(controlFile, "%lf", temperatureScale, "scaling factor for Tkorr for ");
  // Sunny slopes are warmer, by a few K at most.
  if (!(temperatureScale >= 0.0 && temperatureScale <= 10.0))
    refuseLastControlValue("scaling factor for Tkorr for ", temperatureScale,
                           "must be 0 ... 10 (K)", controlValueCode);
  readControlValue(controlFile, "%s", correctionFile, "name of the EXKORR-Grids for");
  readControlValue(controlFile, "%d", correctionWriteCode, "Writegrid EXKORR for ");
  readControlValue(controlFile, "%s", shadowFile, "name of the SHAPE-Grid for");
  readControlValue(controlFile, "%d", shadowWriteCode, "Writegrid SHAPE for ");
  readControlValue(controlFile, "%d", stepsPerComputation, "number if timesteps for ");
  readControlValue(controlFile, "%d", subintervals, "number of splittings for ");
  checkCount(stepsPerComputation, "number if timesteps for ");
  checkCount(subintervals, "number of splittings for ");
  stepCounter = stepsPerComputation;

  if (method < 1 || method > 4) {
    *diag << "WARNING: method " << method << " of " << sectionHeader << " in "
          << userControlFile(controlFileName)
          << " is none of 1 to 4; method 2 (slope, aspect and shading with corr_temperature) "
             "is used"
          << "[end-entry]";
    method = 2;
  }
  shading = (method == 1 || method == 2) && context.hruFlag == 0;
  closeSection();
}

// No step would compute without a sub-interval; a count of steps below 1
// would never compute again.
void expokorrklasse::checkCount(int value, const char* label) {
  if (value >= 1) return;
  *diag << "FATAL: error in control file, " << sectionHeader << " of "
        << userControlFile(controlFileName) << ": the value " << value << " of \"" << label
        << "\" must be a whole number of at least 1"
        << "[end-entry]";
  throw controlValueCode;
}

void expokorrklasse::closeSection() {
  FILE* file = controlFile;
  controlFile = nullptr; // fclose releases the stream even when it fails
  if (std::fclose(file) != 0) {
    *diag << "FATAL: error closing control file " << controlFileName << "[end-entry]";
    throw closeFailedCode;
  }
}

void expokorrklasse::findInputGrids() {
  if (flowControl != 0) {
    elevation = registry[requireGrid("[elevation_model]")].grid;
    aspect = registry[requireGrid("slope_aspect")].grid;
    slope = registry[requireGrid("slope_angle")].grid;
    const int sunshineIndex = findGrid("sunshine_duration", 1);
    if (sunshineIndex > 0) sunshine = registry[sunshineIndex].grid;
  }
  for (const char* name : {"temperature", "temperature_14"}) {
    const int index = findGrid(name, 1);
    if (index > 0 && registry[index].grid) {
      temperature = registry[index].grid;
      break;
    }
  }
}

void expokorrklasse::registerCorrectionGrids() {
  registerOwnGrid(correctionFile, "radiation_correction", correctionWriteCode, radiationCorrection,
                  radiationCorrectionIndex);
  shadowWhole = shading && mpiRank == 0;
  registerOwnGrid(shadowFile, "Shadow", shadowWriteCode, shadow, shadowIndex, shadowWhole);
  // The shadow enters its statistics once a sub-interval.
  registry[shadowIndex].statisticsCallsPerStep = std::max(1, subintervals);
  registerOwnGrid("Ieff_max", "Ieff_max", 0, effectiveRadiation, effectiveRadiationIndex);
  if ((method == 2 || method == 4) && temperature)
    registerOwnGrid(correctedTemperatureFile, "corr_temperature", correctedTemperatureWriteCode,
                    correctedTemperature, correctedTemperatureIndex);
}

// 0 in the cells of the zone grid, nodata elsewhere, over the held rows (with
// wholeOnRoot every row, which the shading scan needs).
void expokorrklasse::registerOwnGrid(const std::string& file, const std::string& name,
                                     long writeCode, Grid& grid, int& index, bool wholeOnRoot) {
  const int free = freeRegistryEntry(*this);
  const long first = wholeOnRoot ? 1 : heldFirst;
  const long last = wholeOnRoot ? header.nrows : heldLast;
  grid = zoneFilledGrid(*this, first, last, 0.0);
  // Held before registration, which may write the grid and fail.
  index = free;
  registerGrid(index, file, grid, nullptr, 0, name, writeCode, first, last);
}

void expokorrklasse::releaseOwnGrid(Grid& grid, int& index, bool wholeOnRoot) {
  if (!grid) return;
  if (index > 0 && registry[index].grid == grid) unregisterGrid(index);
  free_matrix(grid, wholeOnRoot ? 1 : heldFirst, wholeOnRoot ? header.nrows : heldLast, 1,
              header.ncols);
  grid = nullptr;
  index = -1;
}

void expokorrklasse::releaseOwnGrids() {
  releaseOwnGrid(temperatureNight, temperatureNightIndex);
  releaseOwnGrid(correctedTemperature, correctedTemperatureIndex);
  releaseOwnGrid(radiationCorrection, radiationCorrectionIndex);
  releaseOwnGrid(shadow, shadowIndex, shadowWhole);
  releaseOwnGrid(effectiveRadiation, effectiveRadiationIndex);
}

void expokorrklasse::releaseModule() {
  releaseOwnGrids();
  teilmodellklasse::releaseModule();
}

Grid expokorrklasse::getRadiationCorrection() const {
  return flowControl == 1 ? radiationCorrection : nullptr;
}
