#include "driver/data_assimilation.h"

#include <mpi.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"
#include "core/run_files.h"
#include "routing/abflussmodellklasse.h"
#include "routing/sp_class.h"

namespace {

constexpr int dataAssimilationFailed = 83;

} // namespace

data_assimilation::data_assimilation(const ModelContext& contextArg, int& errorCode,
                                     const std::vector<SP_class*>* reservoirsArg,
                                     abflussmodellklasse* routingArg)
    : teilmodellklasse(contextArg, "data_assimilation"), reservoirs(reservoirsArg),
      routing(routingArg) {
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
  int failure = 0;
  for (const RuleBlock& block : blocks) {
    if (reader.has(block, "kind") && reader.word(block, "kind") == "lake") {
      lakeRules.push_back(makeLakeRule(reader, block));
      // Only rank 0 knows the reservoirs.
      if (mpiRank == 0 && failure == 0)
        failure = catchExitCode([&] { findLake(reader, block, lakeRules.back()); });
    } else {
      gridRules.push_back(makeGridRule(reader, block));
    }
  }
  if (!lakeRules.empty()) shareExitCode(*diag, failure);
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
    reader.fail(block, "the kind \"" + kind + "\" of key \"kind\" is not known (grid, lake)");
  reader.allowKeys(block, {"kind", "target", "file", "weight"});
  GridRule rule;
  rule.block = block.number;
  rule.target = reader.registeredGrid(block, "target", *this, rule.targetIndex);
  // Drawn towards observations that nothing bounds.
  registry[rule.targetIndex].valueRange.known = false;
  rule.file = reader.word(block, "file");
  rule.weight = reader.number(block, "weight");
  if (rule.weight < 0.0 || rule.weight > 1.0)
    reader.fail(block, "the weight " + reader.word(block, "weight") +
                           " of key \"weight\" lies outside 0 .. 1");
  return rule;
}

data_assimilation::LakeRule data_assimilation::makeLakeRule(const RuleBlockReader& reader,
                                                            const RuleBlock& block) {
  reader.allowKeys(block, {"kind", "reservoir", "file", "column", "weight"});
  LakeRule rule;
  rule.block = block.number;
  rule.reservoir = static_cast<int>(reader.integer(block, "reservoir"));
  rule.file = reader.word(block, "file");
  rule.column = reader.integer(block, "column");
  rule.weight = reader.number(block, "weight");
  if (!(rule.weight > 0.0) || rule.weight > 1.0)
    reader.fail(block, "the weight " + reader.word(block, "weight") +
                           " of key \"weight\" lies outside (0, 1]");
  return rule;
}

void data_assimilation::findLake(const RuleBlockReader& reader, const RuleBlock& block,
                                 LakeRule& rule) {
  if (reservoirs)
    for (SP_class* r : *reservoirs)
      if (r->getNumber() == rule.reservoir) rule.lake = r;
  if (!rule.lake || !rule.lake->isLake())
    reader.fail(block, "reservoir " + std::to_string(rule.reservoir) +
                           (rule.lake ? " is no lake (switch the lake model on in [lake_model])"
                                      : " is no reservoir of [routing_model]"));
  std::string path = rule.file;
  prependDirectory(inputDirectory, path);
  noteInputFile(path, "the level table of block " + std::to_string(block.number) +
                          " of [data_assimilation]");
  rule.levels = std::make_unique<TimeSeriesFile>(diag);
  const int state =
      catchExitCode([&] { rule.levels->open(path, 0, 100000); }) != 0 ? 5 : rule.levels->getState();
  if (state == 3 || state == 5)
    reader.fail(block,
                "the level table " + path + " cannot be " + (state == 3 ? "opened" : "read"));
  if (rule.column < 0 || rule.column >= rule.levels->getValueColumns())
    reader.fail(block, "the column " + std::to_string(rule.column) +
                           " of key \"column\" is not one of the " +
                           std::to_string(rule.levels->getValueColumns()) +
                           " value columns (counted from 0) of " + path);
  rule.levels->setPosition(-1);
  rule.levels->next();
}

// The table's cursor only moves forward: records before the step are
// passed over.
bool data_assimilation::observedLevel(LakeRule& rule, const ModelDate& date, double& level) {
  TimeSeriesFile& file = *rule.levels;
  const long wanted = date.minuteIndex();
  const bool minutes = file.hasMinuteColumn();
  for (; file.getState() != 4; file.next()) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0;
    file.getDate(y, mo, d, h, mi);
    const long at = ModelDate{minutes ? mi : date.minute, h, d, mo, y}.minuteIndex();
    if (at < wanted) continue;
    if (at > wanted) return false;
    level = file.getValue(rule.column);
    return level > -9998.0;
  }
  return false;
}

// Rank 0 moves the lakes; every process then takes part in handing the
// lake cells' ponding to their owners, so that the soil sees the new level
// in this step.
void data_assimilation::assimilateLakes(const ModelDate& date) {
  int applied = 0;
  if (mpiRank == 0)
    for (LakeRule& rule : lakeRules) {
      double level = 0.0;
      if (!observedLevel(rule, date, level)) continue;
      SP_class& lake = *rule.lake;
      const double V =
          (1.0 - rule.weight) * lake.getVolume() + rule.weight * lake.VolumeFromLevel(level);
      lake.setVolume(V);
      lake.SetLakeCells(V);
      applied = 1;
      *diag << "DEBUG: data_assimilation: lake " << rule.reservoir << " drawn towards the level "
            << level << " with weight " << rule.weight << "[end-entry]";
    }
  checkMPI(*diag, MPI_Bcast(&applied, 1, MPI_INT, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the assimilated lakes");
  if (applied != 0 && routing) routing->scatterLakePonding();
}

void data_assimilation::step(long minute, long hour, long day, long month, long year) {
  if (flowControl == 0 || (gridRules.empty() && lakeRules.empty())) return;
  reportModelTime(minute, hour, day, month, year);
  if (!lakeRules.empty()) assimilateLakes(ModelDate{minute, hour, day, month, year});
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
  lakeRules.clear();
  teilmodellklasse::releaseModule();
}

void data_assimilation::freeObservation() {
  if (!observation) return;
  free_matrix(observation, observationFirst, observationLast, 1, header.ncols);
  observation = nullptr;
}
