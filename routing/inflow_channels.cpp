#include <algorithm>
#include <memory>
#include <new>

#include "core/diag_stream.h"
#include "core/run_files.h"
#include "routing/routingclass.h"

namespace {

// Values at or below this mark are missing in inflow tables.
constexpr double missingMark = -9998.0;

bool atEnd(const TimeSeriesFile& file) { return file.getState() == 4 || file.getState() == 5; }

// The date of the file's current row, two-digit years read as 19xx.
void rowDate(const TimeSeriesFile& file, int* date) {
  file.getDate(date[0], date[1], date[2], date[3], date[4]);
  if (date[0] < 1000) date[0] += 1900;
}

} // namespace

void routingclass::SetInflow(int c, int code, int mode, double value, const std::string& fileName,
                             int startRow, int valueColumn, int year, int month, int day, int hour,
                             int minute) {
  const int j = c - tributaries - summedTributaries;
  if (j < 1 || j > inflows) {
    *diag << "FATAL: routing: subbasin " << subbasinCode << " has no inflow channel " << c
          << "; the routing description lists " << inflows << " inflows"
          << "[end-entry]";
    throw 17;
  }
  inflowCode[j] = code;
  inflowMode[j] = mode;
  if (mode != 4) {
    inflowValue[0][j] = value;
    return;
  }
  const int startDate[5] = {year, month, day, hour, minute};
  openInflowFile(j, fileName, startRow, valueColumn, startDate);
}

void routingclass::openInflowFile(int j, const std::string& fileName, int startRow, int valueColumn,
                                  const int* startDate) {
  inflowFile[j] = std::make_unique<TimeSeriesFile>(diag);
  TimeSeriesFile& file = *inflowFile[j];
  noteInputFile(fileName,
                "the inflow file of ZL " + std::to_string(inflowCode[j]) + " of [routing_model]");
  file.open(fileName, 0, 100000);
  if (file.getState() == 3 || file.getState() == 5) {
    *diag << "FATAL: error opening " << fileName << " for inflow " << j << "[end-entry]";
    throw 37;
  }
  for (int row = 1; row < startRow; ++row) {
    file.next();
    if (atEnd(file)) {
      *diag << "FATAL: error searching in " << fileName << " for row " << startRow
            << "\nactual reached row: " << row << "[end-entry]";
      throw 38;
    }
  }
  int* date = inflowDate;
  for (int& part : inflowDate) part = 0;
  file.movePosition(-1);
  while (!std::equal(date, date + 5, startDate)) {
    file.next();
    if (atEnd(file)) {
      *diag << "FATAL: starting date " << startDate[2] << "." << startDate[1] << "." << startDate[0]
            << ", " << startDate[3] << ":" << startDate[4] << " h in " << fileName << " not found ("
            << "search started at row " << startRow << ")"
            << "[end-entry]";
      throw 38;
    }
    rowDate(file, date);
  }
  // The column counts the value columns from 0, after the date columns.
  const long first = valueColumn;
  if (first < 0 || first + tracerCount >= file.getValueColumns()) {
    *diag << "FATAL: there is not the required number of columns in " << fileName
          << " for reading ZL[" << j << "] and the follwoing " << tracerCount
          << " tracer values starting from column " << valueColumn << "[end-entry]";
    throw 38;
  }
  inflowValueIndex[j] = first;
  for (int t = 0; t <= tracerCount; ++t) inflowValue[t][j] = inflowFileValue(j, t);
}

double routingclass::inflowFileValue(int j, int t) const {
  const double value = inflowFile[j]->getValue(inflowValueIndex[j] + t);
  return value > missingMark ? value : 0.0;
}

void routingclass::ReadInflows(double** runoff, int year, int month, int day, int hour,
                               int minute) {
  const int date[5] = {year, month, day, hour, minute};
  for (int j = 1; j <= inflows; ++j) {
    if (inflowMode[j] != 4) continue;
    TimeSeriesFile& file = *inflowFile[j];
    if (atEnd(file)) {
      *diag << "FATAL: error reading from " << file.getFileName()
            << " (or from its buffer) for inflow " << inflowCode[j] << "\nreached end of file!"
            << "[end-entry]";
      throw 39;
    }
    rowDate(file, inflowDate);
    if (!std::equal(date, date + 5, inflowDate)) {
      *diag << "FATAL: error comparing dates in " << file.getFileName()
            << ":\n     read: " << inflowDate[0] << "." << inflowDate[1] << "." << inflowDate[2]
            << ", " << inflowDate[3] << ":" << inflowDate[4] << " h,\nshould be: " << year << "."
            << month << "." << day << ", " << hour << ":" << minute << " h.\n"
            << "[end-entry]";
      throw 36;
    }
    const int c = tributaries + summedTributaries + j;
    const int col = subbasins + inflowCode[j];
    for (int t = 1; t <= tracerCount; ++t) runoff[t][col] = inflowFileValue(j, t);
    runoff[0][col] = FlowToDepth(inflowFileValue(j, 0), catchmentArea[c], timeStep);
    file.next();
  }
}

void routingclass::SetFlowArrays(double** stepRunoffArg, double*** subRunoffArg,
                                 double*** routeQueueArg, const double* const* specDischargeArg,
                                 const int* specColumnsArg) {
  stepRunoff = stepRunoffArg;
  subRunoff = subRunoffArg;
  routeQueue = routeQueueArg;
  specDischarge = specDischargeArg;
  specColumns = specColumnsArg;
  for (int j = 1; j <= inflows; ++j) {
    const int c = tributaries + summedTributaries + j;
    const int col = subbasins + inflowCode[j];
    stepRunoff[0][col] = FlowToDepth(inflowValue[0][j], catchmentArea[c], timeStep);
    for (int t = 1; t <= tracerCount; ++t) stepRunoff[t][col] = inflowValue[t][j];
  }

  // Every column a channel reads gets a queue of the channel's size.
  std::vector<int> sizes;
  queueColumns.clear();
  for (int c = 1; c <= channelCount(); ++c) {
    const int size = wqtab[c].nStorage + subIntervals + 1;
    for (int member : memberColumns[c]) {
      queueColumns.push_back(member);
      sizes.push_back(size);
    }
    queueColumns.push_back(channelColumn(c));
    sizes.push_back(size);
  }
  std::size_t total = 0;
  for (int size : sizes) total += static_cast<std::size_t>(size) * (tracerCount + 1);
  try {
    queueStorage.assign(total, 0.0);
  } catch (const std::bad_alloc&) {
    *diag << "FATAL: error allocating memory for flow-arrays"
          << "[end-entry]";
    throw 1;
  }
  double* next = queueStorage.data();
  for (std::size_t k = 0; k < queueColumns.size(); ++k) {
    const int col = queueColumns[k];
    double observed = 0.0;
    const bool replaced = observedDischarge(col, observed);
    for (int t = 0; t <= tracerCount; ++t) {
      routeQueue[t][col] = next;
      const double fill = t == 0 && replaced ? observed : stepRunoff[t][col];
      for (int i = 1; i < sizes[k]; ++i) next[i] = fill;
      next += sizes[k];
    }
  }
}
