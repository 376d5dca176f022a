// Routing-only mode ("-mode:routing"): the runoff of every subbasin comes
// from the statistics file of total runoff that a former run wrote.
#include <mpi.h>

#include <algorithm>
#include <cstdio>

#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/run_files.h"
#include "routing/abflussmodellklasse.h"

namespace {

std::string formatDate(const int* date) {
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", date[0], date[1], date[2], date[3],
                date[4]);
  return text;
}

} // namespace

void abflussmodellklasse::InitRoutingMode() {
  const std::size_t tracerRows = static_cast<std::size_t>(tracerCount) + 1;
  ownRunoff.assign(tracerRows, std::vector<double>(static_cast<std::size_t>(subbasins) + 1, 0.0));
  ownRunoffRows.clear();
  for (std::vector<double>& row : ownRunoff) ownRunoffRows.push_back(row.data());
  runoffSource = ownRunoffRows.data();

  controlFile = openControlFile(controlFileName);
  if (!controlFile) {
    *diag << "FATAL: error opening " << controlFileName << " (in initialize routingmode)"
          << "[end-entry]";
    throw 28;
  }
  seekSection("[unsatzon_model]", true);
  std::string line;
  for (int k = 0; k < 20; ++k) readSectionLine(line, false);
  int code = 0;
  readNameAndCode("name of the Qgstatfiles in ", routingModeFileName, code);
  prependDirectory(outputDirectory, routingModeFileName);
  noteInputFile(routingModeFileName, "the runoff of a former run that routing-only mode routes");
  FILE* file = controlFile;
  controlFile = nullptr;
  if (std::fclose(file) != 0) {
    *diag << "FATAL: control file \"" << userControlFile(controlFileName)
          << "\" cannot be closed (in initialize routingmode)"
          << "[end-entry]";
    throw 11;
  }

  routingModeFile = std::make_unique<TimeSeriesFile>(diag);
  const int state = openTable(*routingModeFile, routingModeFileName);
  if (state == 3 || state == 5) {
    *diag << "ERROR: error opening " << routingModeFileName
          << "\nseparate routing with -mode:routing can only be done with valid input data as "
             "result of a former model run (total runoff for each subbasin)!"
          << "[end-entry]";
    throw 1400;
  }
  *diag << "INFO: looking for starting date in " << routingModeFileName;
  if (routingModeFile->getValueColumns() != subbasins + 1) {
    *diag << "[end-entry]";
    *diag << "ERROR: error: number of expected columns in " << routingModeFileName
          << " doesn't match the number of subbasins defined in the control file!"
          << "[end-entry]";
    throw 1410;
  }

  TimeSeriesFile& records = *routingModeFile;
  routingModeEndReached = 0;
  for (int& part : routingModeDate) part = 0;
  records.setPosition(-1);
  const int start[5] = {static_cast<int>(startDate.year), static_cast<int>(startDate.month),
                        static_cast<int>(startDate.day), static_cast<int>(startDate.hour),
                        static_cast<int>(startDate.minute)};
  // The first two dates tell the file's pace.
  int firstDates[2][5] = {};
  int seen = 0;
  while (!std::equal(start, start + 5, routingModeDate)) {
    const int previousDay = routingModeDate[2];
    records.next();
    if (records.getState() == 4) {
      routingModeEndReached = 1;
      break;
    }
    readRecordDate(records, routingModeDate);
    if (seen < 2) std::copy(routingModeDate, routingModeDate + 5, firstDates[seen++]);
    if (routingModeDate[2] < previousDay) *diag << ".";
  }
  *diag << "[end-entry]";
  if (routingModeEndReached != 0) {
    *diag << "ERROR: error looking for start date " << formatDate(start)
          << " (run into error at actual position: " << formatDate(routingModeDate) << ") in "
          << routingModeFileName << startNotFoundReason(firstDates, seen) << "[end-entry]";
    throw 1420;
  }
  readRunoffRecord();
}

// A file of sums or means of several steps per line (a daily statistic)
// never holds the start of a period that begins at another hour.
std::string abflussmodellklasse::startNotFoundReason(const int (*dates)[5], int count) const {
  if (count == 0) return ": the file holds no line of runoff";
  const auto minutes = [](const int* d) {
    return calendarMinutes(ModelDate{d[4], d[3], d[2], d[1], d[0]});
  };
  const long apart = count == 2 ? static_cast<long>(minutes(dates[1]) - minutes(dates[0])) : 0;
  if (count == 2 && apart != timeStep)
    return ": its lines lie " + std::to_string(apart) + " minutes apart (" + formatDate(dates[0]) +
           ", " + formatDate(dates[1]) + "), but routing-only mode needs the runoff of every " +
           "routing step (" + std::to_string(timeStep) + " minutes), one line per step: let " +
           "the former run write it with a statistic code of 2001 or 4001 (the 21st line of " +
           "[unsatzon_model]) and route that";
  return ": its lines begin at " + formatDate(dates[0]) +
         ", and the start of [model_time] is none of them";
}

void abflussmodellklasse::readRunoffRecord() {
  for (int i = 1; i <= subbasins; ++i) runoffSource[0][i] = routingModeFile->getValue(i - 1);
}

void abflussmodellklasse::getRoutingModeDate(long& minute, long& hour, long& day, long& month,
                                             long& year) {
  long date[5] = {routingModeDate[0], routingModeDate[1], routingModeDate[2], routingModeDate[3],
                  routingModeDate[4]};
  if (mpiSize > 1)
    checkMPI(*diag, MPI_Bcast(date, 5, MPI_LONG, 0, MPI_COMM_WORLD),
             "MPI_Bcast of the date of the routing-only step");
  year = date[0];
  month = date[1];
  day = date[2];
  hour = date[3];
  minute = date[4];
}

// The record of the end date is the last routed. A file that ends before it
// does not hold the period: routing what it has would pass for the whole.
bool abflussmodellklasse::isRoutingModeEnd() {
  enum { goesOn, ended, fileEndsEarly };
  int state = ended;
  if (flowControl > 0 && routingModeFile) {
    const TimeSeriesFile& file = *routingModeFile;
    const bool lastRecord =
        file.getState() == 4 ||
        (file.getState() == 2 && file.getPosition() >= file.getRecordsInBlock() - 1);
    const ModelDate& end = endDate;
    const bool endDate = routingModeDate[0] == end.year && routingModeDate[1] == end.month &&
                         routingModeDate[2] == end.day && routingModeDate[3] == end.hour &&
                         routingModeDate[4] == end.minute;
    state = endDate ? ended : lastRecord ? fileEndsEarly : goesOn;
    if (state == fileEndsEarly) {
      const int last[5] = {static_cast<int>(end.year), static_cast<int>(end.month),
                           static_cast<int>(end.day), static_cast<int>(end.hour),
                           static_cast<int>(end.minute)};
      *diag << "FATAL: " << routingModeFileName << " ends at " << formatDate(routingModeDate)
            << ", before the end of the model period, " << formatDate(last) << " ([model_time] of "
            << userControlFile(controlFileName)
            << "): routing-only mode needs the runoff of every step of the period; end the "
               "period at the file's last record or route the runoff of a longer run"
            << "[end-entry]";
    }
  }
  if (mpiSize > 1)
    checkMPI(*diag, MPI_Bcast(&state, 1, MPI_INT, 0, MPI_COMM_WORLD),
             "MPI_Bcast of the end of the routing-only period");
  if (state == fileEndsEarly) throw 1420;
  return state != goesOn;
}

// Records must follow the routing step one by one: a file that holds the sum
// or mean of several steps per line would be routed at the wrong pace.
void abflussmodellklasse::nextRoutingRecord() {
  if (flowControl <= 0 || !routingModeFile || routingModeFile->getState() == 4) return;
  const int previous[5] = {routingModeDate[0], routingModeDate[1], routingModeDate[2],
                           routingModeDate[3], routingModeDate[4]};
  routingModeFile->next();
  if (routingModeFile->getState() == 4) return;
  readRecordDate(*routingModeFile, routingModeDate);
  const auto minutes = [](const int* d) {
    return calendarMinutes(ModelDate{d[4], d[3], d[2], d[1], d[0]});
  };
  if (minutes(routingModeDate) - minutes(previous) != timeStep) {
    *diag << "ERROR: error: the records of " << routingModeFileName << " at "
          << formatDate(previous) << " and " << formatDate(routingModeDate) << " do not lie one "
          << "routing step (" << timeStep << " minutes) apart; routing-only mode needs the "
          << "runoff of every step, one line per step (statistic code 2001 or 4001)"
          << "[end-entry]";
    throw 1420;
  }
  readRunoffRecord();
}

void abflussmodellklasse::freeRoutingModeName() {
  routingModeFileName.clear();
  routingModeFileName.shrink_to_fit();
}
