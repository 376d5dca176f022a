#include "routing/abflussmodellklasse.h"

#include <algorithm>
#include <fstream>

#include "core/diag_stream.h"
#include "core/module_banner.h"

namespace {

// Two-digit years of the tables are years of the 20th century.
int fullYear(int year) { return year < 1000 ? year + 1900 : year; }

// The line of a table at which its first record stands: the header lines
// hold no leading digit.
long firstDataRow(const std::string& fileName) {
  std::ifstream file(fileName);
  long row = 1;
  for (std::string line; std::getline(file, line); ++row)
    if (!line.empty() && line[0] >= '0' && line[0] <= '9') break;
  return row;
}

} // namespace

abflussmodellklasse::abflussmodellklasse(const ModelContext& contextArg, int& errorCode)
    : teilmodellklasse(contextArg, "routing_model", true) {
  configuredFlowControl = flowControl;
  errorCode = catchModuleFailure([&] {
    if (configuredFlowControl == 0) return;
    // Collective, so every process ranks before the others step aside.
    rankZones(zones);
    // Every process moves the tracer concentrations of its lake cells.
    tracerCount = context.tracerCount;
    if (mpiRank != 0) {
      flowControl = 0;
      closeControlFile();
      return;
    }
    HORVA_ANNOUNCE_MODULE(*diag);
    subbasins = zones.zoneCount;
    specificDischarges = flowControl == 2;
    const std::size_t columns = static_cast<std::size_t>(subbasins) + 1;
    topology.tributaries.assign(2, 0); // from index 1
    topology.downstream.assign(columns, 0);
    topology.description.assign(columns, 0);
    observedColumn.assign(columns, 0);
    readHeaderLines();
    countDescriptions();
    // The elements look up the columns of their inflows too: no area, factor 1.
    areaRows.assign(2, std::vector<double>(columns + static_cast<std::size_t>(countZL), 1.0));
    areaRows[0][0] = zonesArea(zones);
    for (std::size_t i = 1; i < areaRows[0].size(); ++i)
      areaRows[0][i] = i < columns ? zones.records[i].areaFraction : 0.0;
    abfrel = {areaRows[0].data(), areaRows[1].data()};
    int tracerError = 0;
    if (context.tracerTable)
      initTracers(tracerError, tracerCount, *context.tracerTable, context.statisticTable,
                  context.statisticTableSize);
    if (tracerError != 0) throw tracerError;
    elements.resize(static_cast<std::size_t>(descriptions) + 1);
    ReadLakeModelSection("[lake_model]");
    registerPrecOnLakes();
    if (lakeModel != 0 && findGrid("lake_codes") != 0) findLakeGrids();
    readDescriptions();
    checkDescriptionOrder();
    finishElements();
    createStatistic();
    allocateWorkArrays();
    openObservedFile();
    criteriaStepCount = 0;
    closeControlFile();
  });
}

abflussmodellklasse::~abflussmodellklasse() { freePrecOnLakes(); }

void abflussmodellklasse::createStatistic() {
  routedRecords = zones.records;
  routedRecordData = routedRecords.data();
  std::vector<int> listed(1, 0);
  if (context.outputList)
    listed.insert(listed.end(), context.outputList->begin(), context.outputList->end());
  int failed = 0;
  routedStatistic = std::make_unique<routstatistic>(
      failed, diag, context.statisticTable, context.statisticTableSize, nullptr, 1, 1,
      &routedRecordData, abfrel[0], subbasins, qstatCode, 5, statisticFileName, outputDirectory,
      static_cast<int>(listed.size()) - 1, listed.data(), timeStepMinutes < 60.0);
  if (failed != 0) throw failed;

  seekSection("[output_interval]", true);
  std::string line;
  for (int k = 0; k < 2; ++k) readSectionLine(line, false);
  readControlValue(controlFile, "%d", dischargeUnit, "output unit of routed discharge in ");
  const char* label = dischargeUnit == 0   ? "routed discharge [mm per subbasin] "
                      : dischargeUnit == 1 ? "routed discharge [ m3 per sec ] "
                                           : "routed discharge (unknown measure)";
  observedEntry = routedStatistic->writeHeader(label, moduleName, context.statisticTable,
                                               context.statisticTableSize);
}

void abflussmodellklasse::openObservedFile() {
  observedEndCount = noObservation;
  // "none" is how a control file says there is nothing to compare with.
  if (observedFileName == "none") {
    *diag << "INFO: no observed discharge ([routing_model] names none): routing runs without "
             "comparison"
          << "[end-entry]";
    return;
  }
  observedFile = std::make_unique<TimeSeriesFile>(diag);
  const int state = openTable(*observedFile, observedFileName);
  if (state == 3) {
    // A mistyped name would otherwise drop the efficiency criteria unnoticed.
    *diag << "WARNING: error opening " << observedFileName << " (the observed discharge of "
          << "[routing_model])\nRouting will be done without comparison to observed discharge "
             "data! Correct the name, or write none there"
          << "[end-entry]";
    observedFile.reset();
    return;
  }
  if (state == 5) {
    *diag << "FATAL: error analysing or reading " << observedFileName << " at row "
          << firstDataRow(observedFileName)
          << " or before \n(e.g. due to wrong formatting or wrong number of columns or start "
             "date not found)"
          << "[end-entry]";
    throw 203;
  }
  observedOpened = true;
  observedColumns = observedFile->getValueColumns();
  for (int& column : observedColumn)
    if (column > observedColumns) column = 0;
  windowStore.assign(windowRows, std::vector<double>(static_cast<std::size_t>(observedColumns) + 1,
                                                     header.nodata));
  window.clear();
  for (std::vector<double>& row : windowStore) window.push_back(row.data());
  routedObservation.assign(static_cast<std::size_t>(observedColumns) + 1, header.nodata);
  routedObservationRows.assign(windowRows, routedObservation.data());
  fillObservedWindow();
}

// Rows 10 .. 20 take the record of the start and the ten after it; the
// reader then stands on the first record not in the window.
void abflussmodellklasse::fillObservedWindow() {
  TimeSeriesFile& file = *observedFile;
  *diag << "INFO: looking for starting date in " << observedFileName;
  file.setPosition(-1);
  for (int& part : observedDate) part = 0;
  const int start[4] = {static_cast<int>(startDate.year), static_cast<int>(startDate.month),
                        static_cast<int>(startDate.day), static_cast<int>(startDate.hour)};
  bool found = true;
  while (!std::equal(start, start + 4, observedDate)) {
    const int previousDay = observedDate[2];
    file.next();
    if (file.getState() == 4) {
      found = false;
      break;
    }
    readRecordDate(file, observedDate);
    if (observedDate[2] < previousDay) *diag << ".";
  }
  *diag << "[end-entry]";
  observedEndCount = 0;
  for (int row = shiftZeroRow; row < windowRows; ++row) {
    if (row > shiftZeroRow && found) {
      file.next();
      found = file.getState() != 4;
      if (found) readRecordDate(file, observedDate);
    }
    if (!found) {
      ++observedEndCount;
      continue;
    }
    for (long c = 1; c <= observedColumns; ++c) window[row][c] = file.getValue(c - 1);
  }
  if (found) {
    file.next();
    if (file.getState() != 4) readRecordDate(file, observedDate);
  }
  for (int row = 0; row < shiftZeroRow; ++row) windowStore[row] = windowStore[shiftZeroRow];
}

// The reader's own failures of the first record count as a file that cannot
// be read (state 5).
int abflussmodellklasse::openTable(TimeSeriesFile& file, const std::string& name) {
  try {
    file.open(name, 0, 1000000);
  } catch (int) {
    return 5;
  }
  return file.getState();
}

void abflussmodellklasse::readRecordDate(const TimeSeriesFile& file, int* d) {
  file.getDate(d[0], d[1], d[2], d[3], d[4]);
  d[0] = fullYear(d[0]);
}

void abflussmodellklasse::releaseModule() {
  if (configuredFlowControl > 0 && flowControl > 0) {
    if (writeStorage) WriteStorageContent();
    teilmodellklasse::freeTracers();
    if (writeStorage && observedOpened && routedStatistic) {
      std::vector<const ComparisonRecord*> linear;
      std::vector<const ComparisonRecord*> logarithmic;
      for (int k = 0; k < windowRows; ++k) {
        linear.push_back(linearCriteria[k].data());
        logarithmic.push_back(logarithmicCriteria[k].data());
      }
      routedStatistic->writeEfficiencyCriteria(linear.data(), logarithmic.data());
    }
    observedFile.reset();
    if (routedStatistic) routedStatistic->release();
    routedStatistic.reset();
    for (std::unique_ptr<routingclass>& element : elements)
      if (element) element->FreeMemory();
    elements.clear();
    routingModeFile.reset();
  }
  lakeCells = LakeCells{};
  freePrecOnLakes();
  modelobject::releaseModule();
}

const RoutingTopology* abflussmodellklasse::getRoutingTarget() const {
  return flowControl > 0 ? &topology : nullptr;
}

double** abflussmodellklasse::getAreaFactors() { return flowControl > 0 ? abfrel.data() : nullptr; }

double** abflussmodellklasse::getMaxIrrig() { return flowControl > 0 ? maxirrig.data() : nullptr; }

double** abflussmodellklasse::getMaxIrrigFromReservoirs() {
  return flowControl > 0 ? maxirrigFromReservoirs.data() : nullptr;
}

int abflussmodellklasse::setDischargeUnit(int unit) {
  dischargeUnit = unit;
  return flowControl;
}
