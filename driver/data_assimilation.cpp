#include "driver/data_assimilation.h"

#include <mpi.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"

namespace {

constexpr int dataAssimilationFailed = 83;

} // namespace

data_assimilation::data_assimilation(const ModelContext& contextArg, int& errorCode)
    : teilmodellklasse(contextArg, "data_assimilation") {
  errorCode = catchModuleFailure([&] {
    HORVA_ANNOUNCE_MODULE(*diag);
    if (getFlowControl() == 0) return;
    readRules();
  });
}

data_assimilation::~data_assimilation() { freeObservation(); }

void data_assimilation::readRules() {
  const RuleBlockReader reader(*diag, sectionHeader, controlFileName, dataAssimilationFailed);
  const std::vector<RuleBlock> blocks = reader.readBlocks(controlFile, "number of rules");
  closeControlFile();
  for (const RuleBlock& block : blocks) gridRules.push_back(makeGridRule(reader, block));
  if (gridRules.empty()) return;

  const long first = std::max(1L, header.firstRow);
  const long last = std::min(header.nrows, header.lastRow);
  observationFirst = first >= 2 ? first - 1 : first;
  observationLast = last < header.nrows ? last + 1 : last;
  observation = matrix(observationFirst, observationLast, 1, header.ncols, header.nrows);
}

data_assimilation::GridRule data_assimilation::makeGridRule(const RuleBlockReader& reader,
                                                            const RuleBlock& block) {
  const std::string& kind = reader.word(block, "kind");
  if (kind != "grid")
    reader.fail(block, "the kind \"" + kind + "\" of key \"kind\" is not known (grid)");
  reader.allowKeys(block, {"kind", "target", "file", "weight"});
  GridRule rule;
  rule.block = block.number;
  rule.target = reader.registeredGrid(block, "target", *this, rule.targetIndex);
  rule.file = reader.word(block, "file");
  rule.weight = reader.number(block, "weight");
  if (rule.weight < 0.0 || rule.weight > 1.0)
    reader.fail(block, "the weight " + reader.word(block, "weight") +
                           " of key \"weight\" lies outside 0 .. 1");
  return rule;
}

void data_assimilation::step(long minute, long hour, long day, long month, long year) {
  if (flowControl == 0 || gridRules.empty()) return;
  reportModelTime(minute, hour, day, month, year);
  const long stamp = ((year * 100 + month) * 100 + day) * 100 + hour;
  for (GridRule& rule : gridRules) {
    if (rule.appliedHour == stamp) continue;
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, "_%04ld%02ld%02ld%02ld", year, month, day, hour);
    const std::string name = rule.file + suffix;
    if (!observationExists(name)) continue;
    readObservation(name);
    blend(rule);
    rule.appliedHour = stamp;
    *diag << "DEBUG: data_assimilation: " << rule.target << " drawn towards " << name
          << " with weight " << rule.weight << "[end-entry]";
  }
}

bool data_assimilation::observationExists(const std::string& name) {
  int exists = 0;
  if (mpiRank == 0) {
    std::string path = name;
    prependDirectory(inputDirectory, path);
    struct stat status;
    exists = stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) ? 1 : 0;
  }
  checkMPI(*diag, MPI_Bcast(&exists, 1, MPI_INT, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the existence of an observation file");
  return exists == 1;
}

// The reader fills only the cells that the file and the scatter give, so
// every cell starts as nodata: a cell that the last observation had must not
// count as observed again.
void data_assimilation::readObservation(const std::string& name) {
  const long ncols = header.ncols;
  const double nodata = header.nodata;
#pragma omp parallel for schedule(runtime)
  for (long r = observationFirst; r <= observationLast; ++r)
    for (long c = 0; c <= ncols; ++c) observation[r][c] = nodata;
  readGrid(name, observation, 0, false, false, false, 0, false, true, nodata);
}

void data_assimilation::blend(const GridRule& rule) {
  const GridRegistryEntry& entry = registry[rule.targetIndex];
  Grid target = entry.grid;
  const long first = std::max(entry.firstRow, observationFirst);
  const long last = std::min(entry.lastRow, observationLast);
  const long ncols = header.ncols;
  const double nodata = header.nodata;
  const double weight = rule.weight;
  const Grid observed = observation;
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r) {
    if (!target[r]) continue;
    for (long c = 1; c <= ncols; ++c) {
      const double o = observed[r][c];
      const double t = target[r][c];
      if (o > nodata && t > nodata) target[r][c] = (1.0 - weight) * t + weight * o;
    }
  }
}

void data_assimilation::releaseModule() {
  freeObservation();
  gridRules.clear();
  teilmodellklasse::releaseModule();
}

void data_assimilation::freeObservation() {
  if (!observation) return;
  free_matrix(observation, observationFirst, observationLast, 1, header.ncols);
  observation = nullptr;
}
