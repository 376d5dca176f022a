#include "core/routing_statistic.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <new>

#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"
#include "core/run_files.h"

namespace {

const char* const dashes = "----------------------\n";

struct CriteriaBlock {
  const char* label;      // the row of shift 0
  const char* shiftLabel; // the other rows
  bool logarithmic;
  bool centred;
};

const CriteriaBlock criteriaBlocks[] = {{"LIN. R-SQUARE", "lin. R-square", false, false},
                                        {"LOG. R-SQUARE", "log. R-square", true, false},
                                        {"COEFF.VAR.LIN", "coeff.var.lin", false, true},
                                        {"COEFF.VAR.LOG", "coeff.var.log", true, true}};
// The block whose shift-0 criteria the routing model reads back from the
// zone records.
constexpr int recordedBlock = 2;

} // namespace

routstatistic::routstatistic(int& errorCode, DiagStream* diagArg, StatisticTableEntry* tableArg,
                             long tableSizeArg, Grid weightGridArg, int weightRowsArg,
                             int weightColumnsArg, ZoneRecord** recordsArg,
                             const double* zoneAreasArg, int zoneCountArg, int codeArg,
                             int decimalsArg, std::string& fileNameArg,
                             const std::string& outputDirectory, int listedCountArg,
                             const int* listedCodesArg, bool minuteColumnArg)
    : zonalstatistic(errorCode, diagArg, tableArg, tableSizeArg, weightGridArg, weightRowsArg,
                     weightColumnsArg, recordsArg, zoneCountArg, codeArg, decimalsArg, fileNameArg,
                     outputDirectory, listedCountArg, listedCodesArg, minuteColumnArg) {
  if (mode <= 0) return;
  HORVA_ANNOUNCE_MODULE(*diag);
  valueCount -= 1;
  observedCount = zoneColumns() > 0 ? zoneColumns() : 1;
  try {
    zoneAreas.assign(static_cast<size_t>(zoneCount) + 1, 0.0);
    for (long z = 1; z <= zoneCount; ++z)
      zoneAreas[z] = zoneAreasArg ? zoneAreasArg[z] : (*records)[z].areaFraction;
    const size_t entries = static_cast<size_t>(observedCount) + 2;
    observedValues.assign(entries, 0.0);
    observedSums.assign(entries, 0.0);
    observedAreas.assign(entries, 0.0);
    observedCodes.assign(entries, 0);
  } catch (const std::bad_alloc&) {
    *diag << "FATAL: no free memory in zonalstatistik::zonalstatistik "
          << "[end-entry]";
    release();
    okFlag = false;
    errorCode = 1;
  }
}

long routstatistic::writeHeader(const std::string& submodel, const std::string& variable,
                                StatisticTableEntry* target, long targetSize) {
  if (mode <= 0) return 0;
  CtrlCIgnoredScope ignored(CtrlCIgnoredScope::Afterwards::DefaultAction);
  unregister();
  name = submodel + "_submodel:" + variable;
  noteOutputFile(fileName, "the statistics " + name);
  OutputText header;
  file = header.file();
  long result = 0;
  const long k = firstFreeStatisticEntry(target, targetSize);
  if (k >= 0) {
    registerEntry(target, targetSize, k, valueCount, currentValues.data(), sums.data(),
                  areaFractions.data(), name.c_str(), zoneCodes.data());
    if (k + 1 < targetSize && !target[k + 1].currentValues && !observedValues.empty()) {
      registerEntry(target, targetSize, k + 1, observedCount, observedValues.data(),
                    observedSums.data(), observedAreas.data(), observedName.c_str(),
                    observedCodes.data());
      result = k + 1;
    }
  }

  const ZoneRecord* rec = *records;
  const long columns = zoneColumns();
  std::fputs(minuteColumn ? "YY\tMM\tDD\tHH\tmm" : "YY\tMM\tDD\tHH", file);
  for (long p = 1; p <= columns; ++p) {
    const double zoneCode = rec[zoneOfColumn(p)].code;
    std::fprintf(file, "\t\"%.0lf\"", zoneCode);
    currentValues[p] = sums[p] = observedValues[p] = 0.0;
    zoneCodes[p] = observedCodes[p] = static_cast<std::uint64_t>(std::max(0.0, zoneCode));
  }
  std::fputs("\n", file);
  std::fprintf(file, "%s\n", name.c_str());
  std::fputs(minuteColumn ? "--\t--\t--\t--\t--" : "--\t--\t--\t--", file);
  for (long p = 1; p <= columns; ++p) {
    const long z = zoneOfColumn(p);
    const double area = zoneAreas[z];
    areaFractions[p] = observedAreas[p] = area;
    std::fprintf(file, "\t%.7lf", area);
  }
  std::fputs("\n", file);
  file = nullptr;
  createWithHeader(header.text());
  return result;
}

void routstatistic::storeRoutingStep(long year, long month, long day, long hour, long minute) {
  if (mode <= 0) return;
  foldAdded();
  completeStep(LineDate{year, month, day, hour, minute}, true);
}

double routstatistic::efficiency(const ComparisonRecord& r, bool centred) {
  if (r.pairs <= 2.0 || r.observations <= 2.0) return undefinedCriterion;
  const double spread = r.observedSquareSum - r.observedSum * r.observedSum / r.observations;
  // Constant observations leave no more than the rounding of the sums.
  if (!(spread > r.observations * DBL_EPSILON * std::fabs(r.observedSquareSum)))
    return undefinedCriterion;
  const double observedVariance = spread / (r.observations - 1.0);
  const double error =
      centred
          ? (r.differenceSquareSum - r.differenceSum * r.differenceSum / r.pairs) / (r.pairs - 1.0)
          : r.differenceSquareSum / (r.pairs - 1.0);
  const double criterion = 1.0 - error / observedVariance;
  return std::isfinite(criterion) ? criterion : undefinedCriterion;
}

void routstatistic::writeEfficiencyCriteria(const ComparisonRecord* const* linear,
                                            const ComparisonRecord* const* logarithmic) {
  if (mode <= 0) return;
  writeBuffer();
  CtrlCIgnoredScope ignored(CtrlCIgnoredScope::Afterwards::DefaultAction);
  openFile("a+");
  std::fputs(dashes, file);
  ZoneRecord* rec = *records;
  const bool everyZone = mode == 2 || mode == 4;
  const bool listedZones = mode == 5 || mode == 6;
  for (int b = 0; b < 4; ++b) {
    const CriteriaBlock& block = criteriaBlocks[b];
    const ComparisonRecord* const* comparison = block.logarithmic ? logarithmic : linear;
    for (int shift = -largestShift; shift <= largestShift; ++shift) {
      std::fprintf(file, "%s\t%d", shift == 0 ? block.label : block.shiftLabel, shift);
      const ComparisonRecord* row = comparison[shift + largestShift];
      long nextListed = 1;
      for (long z = 1; z <= zoneCount; ++z) {
        const double criterion = efficiency(row[z], block.centred);
        if (b == recordedBlock && shift == 0) {
          rec[z].valueSum = criterion;
          rec[z].weightSum = 1.0;
        }
        bool print = everyZone;
        if (listedZones && nextListed <= listedCount && z == listedZoneIndex[nextListed]) {
          print = true;
          ++nextListed;
        }
        if (print) std::fprintf(file, "\t%.*lf", decimals - 1, criterion);
      }
      std::fputs("\n", file);
    }
    std::fputs(dashes, file);
  }
  if (std::ferror(file)) writeFailure();
  closeFile();
}

void routstatistic::release() {
  if (mode <= 0) return;
  zonalstatistic::release();
  observedValues.clear();
  observedValues.shrink_to_fit();
  observedSums.clear();
  observedSums.shrink_to_fit();
  observedAreas.clear();
  observedAreas.shrink_to_fit();
  observedCodes.clear();
  observedCodes.shrink_to_fit();
  zoneAreas.clear();
  zoneAreas.shrink_to_fit();
}
