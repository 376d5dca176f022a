#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/exact_sum.h"
#include "core/grid_types.h"
#include "core/shared_exact_sums.h"
#include "core/statistic_table.h"

class DiagStream;

// Time series of zone means of one model variable, written as a
// tab-separated statistics file. The statistic code is mode * 1000 + count:
// count steps (calls of resetZones / storeStep) make one line; mode 1 writes
// the total only, 2 every zone and the total, 5 the listed zones and the
// total, each as the mean over the steps; 3, 4 and 6 the same as sums. Codes
// below 1001 make the object inactive: every operation returns at once.
//
// Per step the owning module calls resetZones, addValue for each of its
// cells and storeStep on every process; storeStep sums the zone records of
// all processes on rank 0, which alone keeps the lines (about 2 MB of them)
// and appends them to the file when the buffer is full, at writeBuffer and
// at release.
class zonalstatistic {
public:
  // Never throws: a failure logs a FATAL message, sets errorCode to 1 and
  // leaves the object unusable; the caller throws the code on.
  // - records: the caller's pointer to its zoneCount + 1 records, whose code
  //   and areaFraction it has set; record 0 collects cells of zone index 0.
  // - weightGrid (may be null): an extra weight per cell, rows
  //   1..weightRows and columns 1..weightColumns.
  // - decimals: digits after the point; 99 or more writes "%.6g".
  // - fileName: a relative name gets outputDirectory in front, also in the
  //   caller's string.
  // - listedCodes[1..listedCount]: the zones of modes 5 and 6, in the order
  //   of the records.
  // The table and its size are taken by writeHeader instead.
  zonalstatistic(int& errorCode, DiagStream* diag, StatisticTableEntry* table, long tableSize,
                 Grid weightGrid, int weightRows, int weightColumns, ZoneRecord** records,
                 int zoneCount, int code, int decimals, std::string& fileName,
                 const std::string& outputDirectory, int listedCount, const int* listedCodes,
                 bool minuteColumn);
  // Clears the table entries that still point to this series unless
  // release did so; the table must then still exist.
  virtual ~zonalstatistic();
  zonalstatistic(const zonalstatistic&) = delete;
  zonalstatistic& operator=(const zonalstatistic&) = delete;

  virtual void openFile(const char* mode);
  virtual void closeFile();
  // Appends the buffered lines to the file.
  virtual void writeBuffer();
  // Adds one cell (1-based row and column of the grid) to its zone; the
  // threads of a parallel region may add at the same time.
  virtual void addValue(long row, long column, long zone, double value, double weight);
  // Starts a step.
  virtual void resetZones();
  // Ends a step; reduce > 0 sums the records of all processes first
  // (collective). Only rank 0 goes on and keeps the line.
  virtual void storeStep(long year, long month, long day, long hour, long minute, int reduce);
  // Rank 0 creates the file with its three header lines and registers the
  // series in the first free entry of the table; returns that entry's index
  // (0 also when none was free), -1 on other ranks and when inactive.
  virtual long writeHeader(const std::string& submodel, const std::string& variable,
                           StatisticTableEntry* table, long tableSize);
  // Writes what is buffered and frees the buffers; the object is inactive
  // afterwards.
  virtual void release();

  bool isActive() const { return mode > 0; }
  bool isOk() const { return okFlag; }
  const std::string& getFileName() const { return fileName; }

  // A line of several steps that a run ends within goes on in the warm
  // start that continues the run, so that its lines fall on the same steps
  // as in a run through (core/statistic_lines.h).
  struct OpenLine {
    int code = 0;
    int zoneCount = 0;
    int steps = 0; // steps of the line run so far
    // weightSum, valueSum and effectiveWeight of records 0..zoneCount
    std::vector<double> sums;
  };
  bool spansSteps() const { return mode > 0 && count >= 2; }
  int getCode() const { return code; }
  int getZoneCount() const { return zoneCount; }
  int getStepsPerLine() const { return count; }
  // The file as its owner named it, without the output directory.
  const std::string& getGivenName() const { return givenName; }
  // Rank 0 holds the line: the sums of the other processes reach it only.
  OpenLine openLine() const;
  // Goes on with the line of a former run; rank 0.
  void continueLine(const OpenLine& line);

protected:
  struct LineDate {
    long year;
    long month;
    long day;
    long hour;
    long minute;
  };

  // Columns of the header and the lines before the total: every zone (modes
  // 2, 4), the listed zones (5, 6) or none.
  long zoneColumns() const;
  // Record index of zone column p (1-based).
  long zoneOfColumn(long p) const;
  // Aggregates the step into the running sums and, when the step completes
  // a line, buffers the line. A routed step takes the routing model's zone
  // value and has no total.
  void completeStep(const LineDate& date, bool routed);
  // One cell's value and weight into the three sums of its zone.
  void addTo(ExactSum* sum, long row, long column, double value, double weight) const;
  // Adds the records' values to what addValue added.
  void collectAdded();
  // Puts the added sums, rounded, into the records and clears them.
  void takeAdded();
  // Both: the records then hold their whole sums.
  void foldAdded() {
    collectAdded();
    takeAdded();
  }
  // Sums the records of all processes on rank 0.
  void reduceRecords();
  // Frees every buffer and makes the object inactive.
  void freeBuffers();
  // Enters one block of arrays into entry k of the table.
  void registerEntry(StatisticTableEntry* target, long targetSize, long k, long count,
                     double* values, double* sumsOf, double* areas, const char* text,
                     std::uint64_t* codes);
  // Clears every table entry that still points to this series.
  void unregister();
  // Creates the file (core/run_files.h) with its header lines.
  void createWithHeader(const std::string& text);
  [[noreturn]] void writeFailure();
  // Ends the run with nonFiniteOutputCode when a value of the line is not a
  // finite number, naming its zone and the line's date.
  void refuseNonFiniteLine(const LineDate& date, const double* values);

  bool okFlag = false;
  bool minuteColumn = false;
  DiagStream* diag = nullptr;
  ZoneRecord** records = nullptr;

  long valueCount = 0;
  long lineStride = 0; // doubles per buffered line
  std::vector<double> currentValues;
  std::vector<double> sums;
  std::vector<double> areaFractions;
  std::string name;
  std::vector<std::uint64_t> zoneCodes;

  std::vector<LineDate> lineDates;
  std::vector<double> lineValues;
  unsigned long capacity = 0;
  unsigned long linesUsed = 0;
  unsigned long valuesPerLine = 0;

  Grid weightGrid = nullptr;
  int weightRows = 0;
  int weightColumns = 0;
  double weightNodata = -9999.0;
  int zoneCount = 0;
  int code = 0;
  int decimals = 0;
  int mode = -1;
  int count = 0;
  int listedCount = 0;
  std::vector<int> listedCodes;      // positions 1..listedCount
  std::vector<long> listedZoneIndex; // record index of each listed code
  std::string fileName;
  std::string givenName;
  FILE* file = nullptr;
  long appendStart = -1; // the file's size before the append under way
  int subIntervals = 0;
  std::vector<double> runningWeightSum;
  std::vector<double> runningValueSum;
  std::vector<double> runningEffectiveWeight;

  // What addValue added per record (weightSum, valueSum, effectiveWeight),
  // exactly, so that the zone sums come out the same however the cells are
  // divided among the processes.
  SharedExactSums added;
  std::vector<ExactSum> reductionBuffer;
  int rank = 0;
  int size = 1;

  // The table that writeHeader filled and the value arrays it entered there
  // (copies of an entry made by the coupling share them).
  StatisticTableEntry* table = nullptr;
  long tableSize = 0;
  std::vector<const double*> registeredValues;
};
