#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/zonal_statistic.h"

// Sums of one comparison of simulated with observed discharge of a subbasin
// at one time shift, collected by the routing model.
struct ComparisonRecord {
  double pairs = 0.0;
  double differenceSum = 0.0;       // sum of (simulated - observed)
  double differenceSquareSum = 0.0; // sum of (simulated - observed)^2
  double observations = 0.0;
  double observedSum = 0.0;
  double observedSquareSum = 0.0;
};

// The zonal statistic of routed discharge per subbasin: no total column, a
// second table block for the observed discharge ("observed Runoff") that the
// routing model fills, steps stored without a reduction over processes (the
// routing runs on rank 0's data), and at the end of the run the efficiency
// criteria of simulated against observed discharge for time shifts -10..+10.
class routstatistic : public zonalstatistic {
public:
  static constexpr int shiftCount = 21;
  static constexpr int largestShift = 10;
  // Written for a criterion that the comparison does not define.
  static constexpr double undefinedCriterion = -9999.0;

  // The arguments of zonalstatistic, with zoneAreas[1..zoneCount], the area
  // row of the header (copied; null takes the records' areaFraction), after
  // the records.
  routstatistic(int& errorCode, DiagStream* diag, StatisticTableEntry* table, long tableSize,
                Grid weightGrid, int weightRows, int weightColumns, ZoneRecord** records,
                const double* zoneAreas, int zoneCount, int code, int decimals,
                std::string& fileName, const std::string& outputDirectory, int listedCount,
                const int* listedCodes, bool minuteColumn);

  // Creates the file with its header on the calling process and registers
  // the series in the first free entry k and the observed block in entry
  // k + 1; returns k + 1, or 0 when the observed block found no entry (also
  // when inactive).
  long writeHeader(const std::string& submodel, const std::string& variable,
                   StatisticTableEntry* table, long tableSize) override;
  void release() override;
  // Appends the criteria blocks; linear and logarithmic each hold 21
  // pointers (shifts -10..+10) to records of zones 1..n.
  virtual void writeEfficiencyCriteria(const ComparisonRecord* const* linear,
                                       const ComparisonRecord* const* logarithmic);
  // Ends a step of the routing model, whose zone records hold the
  // discharge; no reduction, no total.
  virtual void storeRoutingStep(long year, long month, long day, long hour, long minute);

  // 1 - e / (variance of the observations), with e the mean squared
  // difference, or with centred set the variance of the differences;
  // undefinedCriterion without more than two pairs and observations, for
  // constant observations and for a result that is not finite.
  static double efficiency(const ComparisonRecord& record, bool centred);

private:
  std::vector<double> zoneAreas;
  long observedCount = 0;
  std::vector<double> observedValues;
  std::vector<double> observedSums;
  std::vector<double> observedAreas;
  std::vector<std::uint64_t> observedCodes;
  std::string observedName = "observed Runoff";
};
