#include <mpi.h>

#include <cstdio>

#include "config/defaultini.h"
#include "config/section_reader.h"
#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/file_failure.h"

namespace {

void logOk(DiagStream& diag) {
  diag << "...ok"
       << "[end-entry]";
}

} // namespace

int defaultini::initStep(int& done) {
  switch (setupStep) {
  case 0:
    preprocessControlFile();
    break;
  case 1:
    openSetupControlFile();
    readStandardGrids();
    break;
  case 2:
    // The end date's minute index comes with the end date.
    readModelTime();
    break;
  case 3:
    readMultilayerLanduse();
    readLanduseTable();
    break;
  case 4:
    readSoilTable();
    break;
  case 5:
    irrigationSwitch = 0;
    readIrrigationIfActive(modelVariant);
    readRadiationCorrection();
    closeSetupControlFile();
    break;
  case 6:
    setUpGridHeaderAndFirstGrids();
    break;
  case 7:
    distributeFirstGrids();
    break;
  case 8:
    loadStandardGrids();
    break;
  case 9:
    takeRelativeCellAreas();
    break;
  case 10:
    makeCellSizeGrids();
    break;
  case 11:
    makeCoordinateGrids();
    break;
  case 12:
    elevationGrid = registry[2].grid;
    maxElevation = globalGridMaximum(2);
    break;
  case 13:
    takeLanduseLayers();
    break;
  case 14:
    if (!landuseLayerGrids.empty()) {
      *diag << "generateMultiLayerParameterGrids..."
            << "[end-entry]";
      generateMultiLayerParameterGrids(landuseLayerCount);
      logOk(*diag);
    }
    break;
  case 15:
    if (irrigationSwitch != 0) {
      *diag << "check_irrig_Codes"
            << "[end-entry]";
      const int irrigationCodes = findGrid("irrigation_codes", 1);
      check_irrig_Codes(irrigationCodes);
      takeCheckedCodeGrid(irrigationCodes, CodeGrid::irrigationCodes);
      logOk(*diag);
    } else {
      irrigationTable.clear();
    }
    break;
  case 16:
    *diag << "check_SOIL_Codes..."
          << "[end-entry]";
    check_SOIL_Codes(findGrid("soil_types", 1));
    takeCheckedCodeGrid(findGrid("soil_types", 1), CodeGrid::soilTypes);
    logOk(*diag);
    break;
  case 17:
    // Only model variant 1 derives field capacities here; the driver runs
    // variant 2.
    break;
  case 18:
    *diag << "make_Slope_and_Aspect..."
          << "[end-entry]";
    make_Slope_and_Aspect();
    logOk(*diag);
    break;
  case 19:
    *diag << "check_ice_firn_grid..."
          << "[end-entry]";
    check_ice_firn_grid();
    logOk(*diag);
    break;
  case 20:
    *diag << "MakeRegionWeightGrids..."
          << "[end-entry]";
    MakeRegionWeightGrids();
    logOk(*diag);
    break;
  case 21:
    break;
  case 22:
    *diag << "GetCouplingParameters..."
          << "[end-entry]";
    GetCouplingParameters();
    logOk(*diag);
    break;
  default:
    finishSetup(done);
    return setupStep;
  }
  return ++setupStep;
}

// Rank 0 makes the ".intern" copy that every process reads from now on, from
// memory: its file is written only once every output was checked.
void defaultini::preprocessControlFile() {
  const std::string original = controlFileName;
  int failure = 0;
  if (mpiRank == 0)
    failure = catchExitCode([&] { compileSymbols(original, internName); });
  else
    internName = original + ".intern";
  shareExitCode(*diag, failure);
  if (mpiSize > 1) broadcastText(*diag, copiedText, 0, "MPI_Bcast of the control file's copy");
  rememberCopiedText(internName, copiedText);
  controlFileName = internName;
  shareCopiedLines(original, internName);
  readOutputControl(controlFileName);
}

void defaultini::shareCopiedLines(const std::string& original, const std::string& copy) {
  long count = static_cast<long>(copiedUserLines.size());
  if (mpiSize > 1) {
    checkMPI(*diag, MPI_Bcast(&count, 1, MPI_LONG, 0, MPI_COMM_WORLD),
             "MPI_Bcast of the line count of the control file's copy");
    copiedUserLines.resize(static_cast<size_t>(count));
    checkMPI(
        *diag,
        MPI_Bcast(copiedUserLines.data(), static_cast<int>(count), MPI_LONG, 0, MPI_COMM_WORLD),
        "MPI_Bcast of the lines of the control file's copy");
  }
  rememberCopiedLines(copy, original, copiedUserLines);
}

void defaultini::openSetupControlFile() {
  controlFile = openControlFile(controlFileName);
  if (controlFile) return;
  const int error = errno;
  *diag << "FATAL: error opening " << controlFileName << " (" << systemReason(error) << ")"
        << "[end-entry]";
  throw 28;
}

void defaultini::closeSetupControlFile() {
  if (!controlFile) return;
  FILE* file = controlFile;
  controlFile = nullptr;
  if (std::fclose(file) == 0) return;
  *diag << "FATAL: error closing " << controlFileName << "[end-entry]";
  throw 11;
}

void defaultini::readRadiationCorrection() {
  seekSection("[radiation_correction]", true);
  SectionReader section(*this, controlFile, controlFileName, "[radiation_correction]");
  radiationCorrection = section.readInt("radiation correction switch");
}

// Single-layer land use is layer 1 of itself: the sub-models look for
// "landuse" followed by the layer number.
void defaultini::takeLanduseLayers() {
  const int landuse = findGrid("landuse", 1);
  check_LU_Codes(landuse);
  takeCheckedCodeGrid(landuse, CodeGrid::landuse);
  landuseLayerGrids.clear();
  landuseLayerCount = 0;
  if (landuse < 1 || !registry[landuse].grid) return;
  if (!multilayerTable.empty()) {
    makeLanduseLayerGrids();
    return;
  }
  landuseLayerGrids.assign(2, registry[landuse].grid);
  registry[landuse].name = "landuse1";
  landuseLayerCount = 1;
}

// The relative cell areas of a standard grid "RelCellArea"; without one the
// cell-size step derives them.
void defaultini::takeRelativeCellAreas() {
  const int index = findGrid("RelCellArea", 1);
  relCellAreaGrid = index > 0 ? registry[index].grid : nullptr;
}

void defaultini::finishSetup(int& done) {
  closeSetupControlFile();
  setOutputInterval(1);
  done = 1;
}

int defaultini::getGlobalParameters(GlobalParameters& driver) {
  driver.controlFileName = std::move(internName);
  internName.clear();
  driver.outputInterval = outputControlInterval;
  driver.secondOutputSwitch = secondOutputSwitch;
  driver.thirdOutputSwitch = thirdOutputSwitch;
  driver.minToIntEnd = minToIntEnd;
  driver.timeStep = timeStep;
  driver.meteoCount = static_cast<int>(meteoNames.size());
  driver.latitude = latitude;
  driver.longitude = longitude;
  driver.referenceMeridian = referenceMeridian;
  driver.timeShift = timeShift;
  driver.meteoNames = meteoNames;
  driver.outputList = outputList;
  driver.gridCount = gridCount;
  driver.zoneRecords = &zoneRecords;
  driver.zoneRanks = &zoneRanks;
  driver.columnRanges = columnRanges.empty() ? nullptr : columnRanges.data();
  driver.zoneCount = zoneCount;
  driver.maxZoneCode = maxZoneCode;
  driver.regionCount = regionCount;
  driver.maxRegionCode = maxRegionCode;
  driver.regionRanks = &regionRanks;
  driver.regionCentres = &regionCentres;
  driver.header = header;
  driver.startDate = startDate;
  driver.endDate = endDate;
  driver.landuseTable = &landuseTable;
  driver.soilTable = &soilTable;
  driver.irrigationTable = &irrigationTable;
  driver.multilayerTable = &multilayerTable;
  driver.landuseLayerCount = landuseLayerCount;
  driver.writeAsciiGrids = writeAsciiGrids;
  driver.writeDoubleGrids = writeDoubleGrids;
  driver.writeNetCDFGrids = writeNetCDFGrids;
  driver.inputDirectory = inputDirectory;
  driver.outputDirectory = outputDirectory;
  driver.cellsPerProcess = &decompositionCellCounts;
  driver.haloSendList = &decompositionSendList;
  driver.haloReceiveList = &decompositionReceiveList;
  return 0;
}
