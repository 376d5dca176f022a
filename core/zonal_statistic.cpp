#include "core/zonal_statistic.h"

#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <new>

#include "core/collective_status.h"
#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "core/exact_sum.h"
#include "core/file_failure.h"
#include "core/module_banner.h"
#include "core/non_finite_output.h"
#include "core/run_files.h"
#include "core/statistic_lines.h"

namespace {

constexpr long bufferBytes = 2097152;
constexpr int failedCode = 1;
constexpr int openFailedCode = 15;
constexpr int closeFailedCode = 16;
constexpr int writeFailedCode = 18;
constexpr int reductionFailedCode = 121;

void checkMPI(DiagStream& diag, int result, const char* call, const std::string& fileName) {
  if (result == MPI_SUCCESS) return;
  diag << "FATAL: zonal statistic " << fileName << ": " << call
       << " failed: " << mpiErrorText(result) << "[end-entry]";
  throw reductionFailedCode;
}

template <typename T> void freeVector(std::vector<T>& v) { std::vector<T>().swap(v); }

} // namespace

zonalstatistic::zonalstatistic(int& errorCode, DiagStream* diagArg, StatisticTableEntry* /*table*/,
                               long /*tableSize*/, Grid weightGridArg, int weightRowsArg,
                               int weightColumnsArg, ZoneRecord** recordsArg, int zoneCountArg,
                               int codeArg, int decimalsArg, std::string& fileNameArg,
                               const std::string& outputDirectory, int listedCountArg,
                               const int* listedCodesArg, bool minuteColumnArg)
    : diag(diagArg), records(recordsArg), code(codeArg) {
  errorCode = 0;
  if (code < 1001) {
    okFlag = true;
    return;
  }
  HORVA_ANNOUNCE_MODULE(*diag);
  minuteColumn = minuteColumnArg;
  weightGrid = weightGridArg;
  weightRows = weightRowsArg;
  weightColumns = weightColumnsArg;
  zoneCount = zoneCountArg;
  decimals = decimalsArg;
  mode = code / 1000;
  count = code % 1000;
  listedCount = listedCodesArg ? std::max(0, std::min(zoneCount, listedCountArg)) : 0;

  givenName = fileNameArg;
  const char first = fileNameArg.empty() ? '\0' : fileNameArg[0];
  if (!outputDirectory.empty() && first != '/' && first != '~')
    fileNameArg = outputDirectory + fileNameArg;
  fileName = fileNameArg;

  worldRankAndSize(rank, size);

  if (!records || !*records || zoneCount < 0) {
    *diag << "FATAL: zonal statistic " << fileName << ": no zone records given (" << zoneCount
          << " zones)"
          << "[end-entry]";
    errorCode = failedCode;
    mode = -1;
    return;
  }
  if (count == 0)
    *diag << "WARNING: statistics code " << code << " of " << fileName
          << " takes 0 steps per line: no line will be written"
          << "[end-entry]";
  if (mode > 6)
    *diag << "WARNING: statistics code " << code << " of " << fileName << " has the unknown mode "
          << mode << ": its lines hold the total of their last step only"
          << "[end-entry]";

  ZoneRecord* rec = *records;
  try {
    // The listed zones must follow the records in order, each once, so that
    // every line puts its values under the header's columns.
    listedCodes.assign(static_cast<size_t>(listedCount) + 1, 0);
    listedZoneIndex.assign(static_cast<size_t>(listedCount) + 1, 0);
    long previous = 0;
    for (long k = 1; k <= listedCount; ++k) {
      listedCodes[k] = listedCodesArg[k];
      for (long z = previous + 1; z <= zoneCount && !listedZoneIndex[k]; ++z)
        if (static_cast<long>(rec[z].code) == listedCodes[k]) listedZoneIndex[k] = z;
      if (!listedZoneIndex[k]) {
        *diag << "FATAL: \n\n ------ error ------\n\n there is a code in the output list which no "
                 "zone exists for ("
              << listedCodes[k] << ")"
              << "[end-entry]";
        freeBuffers();
        errorCode = failedCode;
        return;
      }
      previous = listedZoneIndex[k];
    }

    if (mode == 2 || mode == 4)
      valueCount = zoneCount + 1;
    else if (mode == 5 || mode == 6)
      valueCount = listedCount + 1;
    else
      valueCount = 2;
    lineStride = valueCount + 1;
    capacity = static_cast<unsigned long>(std::max(1L, bufferBytes / (8 * valueCount + 32)));
    // The buffer takes its lines as they come: filled up front, every
    // statistic of every run would write each page of its two megabytes,
    // where a short run or a long line period uses a few lines of them.
    lineDates.reserve(capacity);
    lineValues.reserve(capacity * static_cast<unsigned long>(lineStride));
    currentValues.assign(static_cast<size_t>(lineStride), 0.0);
    sums.assign(static_cast<size_t>(lineStride), 0.0);
    areaFractions.assign(static_cast<size_t>(lineStride), 0.0);
    zoneCodes.assign(static_cast<size_t>(lineStride), 0);

    const size_t recordCount = static_cast<size_t>(zoneCount) + 1;
    for (size_t i = 0; i < recordCount; ++i) {
      rec[i].weightSum = 0.0;
      rec[i].valueSum = 0.0;
      rec[i].effectiveWeight = 0.0;
    }
    added.assign(3 * recordCount);
    if (count >= 2) {
      runningWeightSum.assign(recordCount, 0.0);
      runningValueSum.assign(recordCount, 0.0);
      runningEffectiveWeight.assign(recordCount, 0.0);
    }
  } catch (const std::bad_alloc&) {
    *diag << "FATAL: no free memory in zonalstatistik::zonalstatistik "
          << "[end-entry]";
    freeBuffers();
    errorCode = failedCode;
    return;
  }
  okFlag = true;
  if (spansSteps()) StatisticLines::enlist(this);
}

zonalstatistic::~zonalstatistic() {
  StatisticLines::leave(this);
  unregister();
  if (file) std::fclose(file);
}

void zonalstatistic::openFile(const char* openMode) {
  file = std::fopen(fileName.c_str(), openMode);
  if (file) return;
  const int error = errno;
  *diag << "FATAL: error opening \n"
        << fileName << " (" << systemReason(error) << ")"
        << "[end-entry]";
  throw openFailedCode;
}

void zonalstatistic::closeFile() {
  if (!file) return;
  const int result = std::fclose(file);
  const int error = errno;
  file = nullptr;
  if (result == 0) return;
  *diag << "FATAL: cannot close " << fileName << " (" << systemReason(error) << ")"
        << "[end-entry]";
  throw fileFailureCode(error, closeFailedCode);
}

void zonalstatistic::createWithHeader(const std::string& text) {
  const int error = createOutputFile(fileName, text);
  if (error == 0) return;
  *diag << "FATAL: error opening \n"
        << fileName << " (" << systemReason(error) << ")"
        << "[end-entry]";
  throw fileFailureCode(error, openFailedCode);
}

void zonalstatistic::writeFailure() {
  const int number = errno;
  std::fclose(file);
  file = nullptr;
  // A full disk may have taken part of a line: the file keeps the lines of
  // the appends before, each whole.
  const bool cut = appendStart >= 0 && truncate(fileName.c_str(), appendStart) == 0;
  appendStart = -1;
  *diag << "FATAL: write error " << fileName << " ! (" << number << ": " << systemReason(number)
        << ")" << (cut ? "; the file keeps the lines written before, each whole" : "")
        << "[end-entry]";
  throw writeFailedCode;
}

// The lines before stay written: the file ends with the last whole line.
void zonalstatistic::refuseNonFiniteLine(const LineDate& d, const double* values) {
  for (unsigned long p = 1; p <= valuesPerLine; ++p) {
    if (std::isfinite(values[p])) continue;
    closeFile();
    // Ends the entry "write <file>" that the buffer's write opened.
    *diag << "[end-entry]";
    // Nothing more of the buffer is written, also not at the release.
    linesUsed = 0;
    const long zones = zoneColumns();
    const std::string place = static_cast<long>(p) <= zones
                                  ? "the column of zone " + std::to_string(zoneCodes[p])
                                  : std::string("the column tot_average");
    throw reportNonFiniteOutput(*diag, fileName, place, values[p],
                                ModelDate{d.minute, d.hour, d.day, d.month, d.year});
  }
}

void zonalstatistic::writeBuffer() {
  if (mode <= 0 || linesUsed == 0) return;
  CtrlCIgnoredScope ignored;
  *diag << "write " << fileName;
  openFile("a+");
  appendStart = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
  for (unsigned long l = 0; l < linesUsed; ++l) {
    const LineDate& d = lineDates[l];
    const double* values = &lineValues[l * static_cast<unsigned long>(lineStride)];
    refuseNonFiniteLine(d, values);
    std::fprintf(file, "%2ld\t%2ld\t%2ld\t%2ld", d.year, d.month, d.day, d.hour);
    if (minuteColumn) std::fprintf(file, "\t%2ld", d.minute);
    for (unsigned long p = 1; p <= valuesPerLine; ++p) {
      if (decimals < 99)
        std::fprintf(file, "\t%.*f", decimals, values[p]);
      else
        std::fprintf(file, "\t%.6g", values[p]);
    }
    std::fputc('\n', file);
  }
  if (std::ferror(file) || std::fflush(file) != 0) writeFailure();
  appendStart = -1;
  closeFile();
  *diag << "(" << (valuesPerLine * 8 + 32) * linesUsed << " of " << bufferBytes << " buffer-bytes)"
        << "[end-entry]";
  linesUsed = 0;
  valuesPerLine = 0;
}

void zonalstatistic::addValue(long row, long column, long zone, double value, double weight) {
  if (mode <= 0) return;
  added.addAt(3 * static_cast<size_t>(zone),
              [&](ExactSum* sum) { addTo(sum, row, column, value, weight); });
}

void zonalstatistic::addTo(ExactSum* sum, long row, long column, double value,
                           double weight) const {
  sum[0].add(weight);
  if (weightGrid && row > 0 && row <= weightRows && column > 0 && column <= weightColumns &&
      weightGrid[row] && weightGrid[row][column] > weightNodata) {
    const double g = weightGrid[row][column];
    sum[2].add(weight * g);
    sum[1].add(value * g * weight);
  } else {
    sum[1].add(value * weight);
    sum[2].add(weight);
  }
}

void zonalstatistic::resetZones() {
  if (mode <= 0) return;
  ++subIntervals;
  ZoneRecord* rec = *records;
  for (long i = 0; i <= zoneCount; ++i) {
    rec[i].weightSum = 0.0;
    rec[i].valueSum = 0.0;
    rec[i].effectiveWeight = 0.0;
  }
  added.clear();
}

// What the owner set in the records directly, with what addValue added.
void zonalstatistic::collectAdded() {
  ZoneRecord* rec = *records;
  ExactSum* sums = added.merged();
  for (long i = 0; i <= zoneCount; ++i) {
    ExactSum* sum = &sums[3 * static_cast<size_t>(i)];
    sum[0].add(rec[i].weightSum);
    sum[1].add(rec[i].valueSum);
    sum[2].add(rec[i].effectiveWeight);
  }
}

void zonalstatistic::takeAdded() {
  ZoneRecord* rec = *records;
  ExactSum* sums = added.merged();
  for (long i = 0; i <= zoneCount; ++i) {
    ExactSum* sum = &sums[3 * static_cast<size_t>(i)];
    rec[i].weightSum = sum[0].value();
    rec[i].valueSum = sum[1].value();
    rec[i].effectiveWeight = sum[2].value();
    sum[0].clear();
    sum[1].clear();
    sum[2].clear();
  }
}

// Every process keeps its own sums in its records; rank 0 gets the sums
// of all.
void zonalstatistic::reduceRecords() {
  if (size < 2) {
    foldAdded();
    return;
  }
  collectAdded();
  const long sums = 3 * (static_cast<long>(zoneCount) + 1);
  const ExactSum* merged = added.merged();
  reductionBuffer.assign(merged, merged + sums);
  if (sums > INT_MAX) {
    *diag << "FATAL: zonal statistic " << fileName << ": " << zoneCount
          << " zones are too many for one reduction"
          << "[end-entry]";
    throw reductionFailedCode;
  }
  const char* call = "";
  checkMPI(*diag, reduceExactSums(reductionBuffer.data(), static_cast<int>(sums), false, call),
           call, fileName);
  if (rank == 0) std::copy(reductionBuffer.begin(), reductionBuffer.end(), added.merged());
  takeAdded();
}

void zonalstatistic::storeStep(long year, long month, long day, long hour, long minute,
                               int reduce) {
  if (mode <= 0) return;
  if (reduce > 0) {
    reduceRecords();
  } else if (rank == 0) {
    foldAdded();
  }
  if (rank != 0) return;
  completeStep(LineDate{year, month, day, hour, minute}, false);
}

long zonalstatistic::zoneColumns() const {
  if (mode == 2 || mode == 4) return zoneCount;
  if (mode == 5 || mode == 6) return listedCount;
  return 0;
}

long zonalstatistic::zoneOfColumn(long p) const {
  return mode == 5 || mode == 6 ? listedZoneIndex[p] : p;
}

void zonalstatistic::completeStep(const LineDate& date, bool routed) {
  ZoneRecord* rec = *records;
  if (count >= 2) {
    const bool meanMode = mode == 1 || mode == 2 || mode == 5;
    const bool sumMode = mode == 3 || mode == 4 || mode == 6;
    for (long i = 0; i <= zoneCount && (meanMode || sumMode); ++i) {
      rec[i].valueSum += runningValueSum[i];
      if (!meanMode) continue;
      rec[i].weightSum += runningWeightSum[i];
      rec[i].effectiveWeight += runningEffectiveWeight[i];
    }
  }

  const bool complete = subIntervals == count;
  double* line = nullptr;
  if (complete) {
    // A failed write leaves the buffer full; never run past its end.
    if (linesUsed >= capacity) writeBuffer();
    if (lineDates.size() <= linesUsed) {
      // Within the reserved capacity: the lines already taken stay in place.
      lineDates.resize(linesUsed + 1);
      lineValues.resize((linesUsed + 1) * static_cast<unsigned long>(lineStride));
    }
    lineDates[linesUsed] = date;
    line = &lineValues[linesUsed * static_cast<unsigned long>(lineStride)];
    ++linesUsed;
    valuesPerLine = 0;
  }
  const auto place = [&](double v) {
    ++valuesPerLine;
    line[valuesPerLine] = v;
    currentValues[valuesPerLine] = v;
  };

  const bool everyZone = mode == 2 || mode == 4;
  const bool listedZones = mode == 5 || mode == 6;
  double valueTotal = 0.0;
  double weightTotal = 0.0;
  for (long z = 1; z <= zoneCount; ++z) {
    const ZoneRecord& r = rec[z];
    // A zone whose cells all have weight 0 in the weight grid has no mean.
    double v = 0.0;
    if (r.weightSum > 0.0 && r.effectiveWeight != 0.0)
      v = routed ? (r.valueSum / r.weightSum) * (r.weightSum / r.effectiveWeight)
                 : r.valueSum / r.effectiveWeight;
    valueTotal += r.valueSum;
    weightTotal += r.effectiveWeight;
    if (!complete) continue;
    if (everyZone) {
      place(v);
    } else if (listedZones) {
      const long p = static_cast<long>(valuesPerLine) + 1;
      if (p <= listedCount && z == listedZoneIndex[p]) place(v);
    }
  }
  const double total = weightTotal > 0.0 ? valueTotal / weightTotal : 0.0;

  if (count >= 2) {
    for (long i = 0; i <= zoneCount; ++i) {
      runningWeightSum[i] = complete ? 0.0 : rec[i].weightSum;
      runningValueSum[i] = complete ? 0.0 : rec[i].valueSum;
      runningEffectiveWeight[i] = complete ? 0.0 : rec[i].effectiveWeight;
    }
  }
  if (!complete) return;
  if (!routed) place(total);
  subIntervals = 0;
  if (linesUsed >= capacity) writeBuffer();
}

void zonalstatistic::registerEntry(StatisticTableEntry* target, long targetSize, long k,
                                   long countOf, double* values, double* sumsOf, double* areas,
                                   const char* text, std::uint64_t* codes) {
  table = target;
  tableSize = targetSize;
  StatisticTableEntry& entry = target[k];
  entry = StatisticTableEntry{};
  entry.valueCount = countOf;
  entry.currentValues = values;
  entry.sums = sumsOf;
  entry.areaFractions = areas;
  entry.name = text;
  entry.zoneCodes = codes;
  registeredValues.push_back(values);
}

void zonalstatistic::unregister() {
  if (registeredValues.empty()) return;
  for (long k = 0; k < tableSize; ++k)
    if (std::find(registeredValues.begin(), registeredValues.end(), table[k].currentValues) !=
        registeredValues.end())
      table[k] = StatisticTableEntry{};
  registeredValues.clear();
  table = nullptr;
}

long zonalstatistic::writeHeader(const std::string& submodel, const std::string& variable,
                                 StatisticTableEntry* target, long targetSize) {
  if (mode <= 0 || rank != 0) return -1;
  CtrlCIgnoredScope ignored(CtrlCIgnoredScope::Afterwards::DefaultAction);
  unregister(); // a second header must not leave an entry behind with the old name
  name = submodel + "_submodel:" + variable;
  noteOutputFile(fileName, "the statistics " + name);
  OutputText header;
  file = header.file();
  const long k = firstFreeStatisticEntry(target, targetSize);
  if (k >= 0)
    registerEntry(target, targetSize, k, valueCount, currentValues.data(), sums.data(),
                  areaFractions.data(), name.c_str(), zoneCodes.data());

  const ZoneRecord* rec = *records;
  const long columns = zoneColumns();
  std::fputs(minuteColumn ? "YY\tMM\tDD\tHH\tmm" : "YY\tMM\tDD\tHH", file);
  for (long p = 1; p <= columns; ++p) {
    const double zoneCode = rec[zoneOfColumn(p)].code;
    std::fprintf(file, "\t\"%.0lf\"", zoneCode);
    currentValues[p] = 0.0;
    sums[p] = 0.0;
    zoneCodes[p] = static_cast<std::uint64_t>(std::max(0.0, zoneCode));
  }
  std::fputs("\ttot_average\n", file);
  std::fprintf(file, "%s\n", name.c_str());
  std::fputs(minuteColumn ? "--\t--\t--\t--\t--" : "--\t--\t--\t--", file);
  for (long p = 1; p <= columns; ++p) {
    areaFractions[p] = rec[zoneOfColumn(p)].areaFraction;
    std::fprintf(file, "\t%.7lf", areaFractions[p]);
  }
  std::fputs("\t1.0000\n", file);
  const long total = columns + 1;
  currentValues[total] = 0.0;
  sums[total] = 0.0;
  zoneCodes[total] = 0;
  areaFractions[total] = 1.0;
  file = nullptr;
  createWithHeader(header.text());
  return std::max(k, 0L);
}

zonalstatistic::OpenLine zonalstatistic::openLine() const {
  OpenLine line;
  line.code = code;
  line.zoneCount = zoneCount;
  line.steps = subIntervals;
  for (size_t i = 0; i < runningWeightSum.size(); ++i)
    line.sums.insert(line.sums.end(),
                     {runningWeightSum[i], runningValueSum[i], runningEffectiveWeight[i]});
  return line;
}

void zonalstatistic::continueLine(const OpenLine& line) {
  subIntervals = line.steps;
  for (size_t i = 0; i < runningWeightSum.size() && 3 * i + 2 < line.sums.size(); ++i) {
    runningWeightSum[i] = line.sums[3 * i];
    runningValueSum[i] = line.sums[3 * i + 1];
    runningEffectiveWeight[i] = line.sums[3 * i + 2];
  }
}

void zonalstatistic::freeBuffers() {
  StatisticLines::leave(this);
  freeVector(currentValues);
  freeVector(sums);
  freeVector(areaFractions);
  freeVector(zoneCodes);
  freeVector(lineDates);
  freeVector(lineValues);
  freeVector(listedCodes);
  freeVector(listedZoneIndex);
  freeVector(runningWeightSum);
  freeVector(runningValueSum);
  freeVector(runningEffectiveWeight);
  added.release();
  freeVector(reductionBuffer);
  capacity = 0;
  linesUsed = 0;
  valuesPerLine = 0;
  mode = -1;
}

void zonalstatistic::release() {
  if (mode <= 0) return;
  if (linesUsed > 0 && okFlag) writeBuffer();
  unregister();
  freeBuffers();
}
