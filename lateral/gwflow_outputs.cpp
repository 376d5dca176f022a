// What the groundwater model hands out: the date of the step, its output
// grids, the control-point series, and its teardown.
#include <omp.h>

#include <cstdio>

#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "lateral/gwflowclass.h"

namespace {

constexpr int appendCode = 65;
constexpr long bufferBytes = 2097152;
constexpr double outsideGrid = -8888.0;

} // namespace

gwflowclass::~gwflowclass() {
  dropLayerGrids();
  for (auto& tracer : layerTracers) {
    for (size_t k = 1; k < tracer->store.size(); ++k) {
      if (tracer->storeIndex[k] > 0) unregisterGrid(tracer->storeIndex[k]);
      freeGrid(tracer->store[k]);
    }
    if (tracer->fluxIndex > 0) unregisterGrid(tracer->fluxIndex);
    freeGrid(tracer->flux);
  }
  for (size_t k = 1; k < layers.size(); ++k)
    for (Grid& g : layers[k].tracerWork) freeGrid(g);
  for (Grid* g : {&lower, &diagonal, &upper, &rhs, &kind, &layerOneThickness}) freeGrid(*g);
}

void gwflowclass::dropLayerGrids() {
  for (size_t k = 1; k < layers.size(); ++k) {
    AquiferLayer& l = layers[k];
    const std::pair<Grid*, int*> grids[] = {{&l.head, &l.headIndex},
                                            {&l.headOld, &l.headOldIndex},
                                            {&l.headOldOld, &l.headOldOldIndex},
                                            {&l.headIter, &l.headIterIndex},
                                            {&l.balance, &l.balanceIndex},
                                            {&l.tx, &l.txIndex},
                                            {&l.ty, &l.tyIndex},
                                            {&l.flowX, &l.flowXIndex},
                                            {&l.flowY, &l.flowYIndex},
                                            {&l.leakage, &l.leakageIndex},
                                            {&l.top, &l.topIndex}};
    for (const auto& [grid, index] : grids) {
      if (*index > 0) unregisterGrid(*index);
      *index = -1;
      freeGrid(*grid);
    }
  }
}

void gwflowclass::setStepDate(long minute, long hour, long day, long month, long year) {
  if (!active) return;
  if (omp_in_parallel())
    currentDate = ModelDate{minute, hour, day, month, year};
  else
    reportModelTime(minute, hour, day, month, year);
}

void gwflowclass::writeGroundwaterOutputs() {
  if (!active) return;
  if (balanceFollowed) sumStepVolumes();
  writeOutputGrids(baseflowIndex, 1, 0);
  for (int k = 1; k <= layerCount; ++k) {
    const AquiferLayer& l = layers[static_cast<size_t>(k)];
    for (int index : {l.headIndex, l.headOldIndex, l.flowXIndex, l.flowYIndex, l.balanceIndex})
      writeOutputGrids(index, 1, 0);
  }
  for (auto& tracer : layerTracers)
    for (int k = 1; k <= layerCount; ++k) {
      writeOutputGrids(tracer->storeIndex[static_cast<size_t>(k)], 1, 0);
      tracer->statistic[static_cast<size_t>(k)]->storeStep(currentDate.year, currentDate.month,
                                                           currentDate.day, currentDate.hour,
                                                           currentDate.minute, 1);
    }
}

// Heads of the control cell and its four neighbours in every layer, and the
// west neighbour's "baseflow".
void gwflowclass::appendControlPointRecord() {
  if (!ownsControlPoint) return;
  ControlPointRecord& record = controlPointBuffer[static_cast<size_t>(controlPointCount)];
  record.year = currentDate.year;
  record.month = currentDate.month;
  record.day = currentDate.day;
  record.hour = currentDate.hour;
  record.minute = currentDate.minute;
  const long r = controlRow, c = controlColumn;
  for (int k = 1; k <= layerCount; ++k) {
    const Grid h = layers[static_cast<size_t>(k)].head;
    double* v = &record.values[static_cast<size_t>(6 * (k - 1) + 1)];
    v[0] = h[r][c];
    v[1] = r > 1 ? h[r - 1][c] : outsideGrid;
    v[2] = c < header.ncols ? h[r][c + 1] : outsideGrid;
    v[3] = r < header.nrows ? h[r + 1][c] : outsideGrid;
    v[4] = c > 1 ? h[r][c - 1] : outsideGrid;
    v[5] = c > 1 ? baseflow[r][c - 1] : outsideGrid;
  }
  if (++controlPointCount >= controlPointCapacity)
    writeControlPointFluxes(controlPointFile, controlPointBuffer, controlPointCount);
}

void gwflowclass::writeControlPointFluxes(const std::string& fileName,
                                          std::vector<ControlPointRecord>& buffer, long& count) {
  if (count == 0) return;
  CtrlCIgnoredScope ignored;
  *diag << "write " << fileName;
  std::FILE* f = std::fopen(fileName.c_str(), "a+");
  if (!f) {
    *diag << "[end-entry]"
          << "FATAL: error opening file " << fileName << "[end-entry]";
    throw appendCode;
  }
  bool written = true;
  for (long i = 0; i < count; ++i) {
    const ControlPointRecord& record = buffer[static_cast<size_t>(i)];
    written = written && std::fprintf(f, "%ld\t%ld\t%ld\t%ld", record.year, record.month,
                                      record.day, record.hour) > 0;
    for (int k = 1; k <= layerCount; ++k) {
      const double* v = &record.values[static_cast<size_t>(6 * (k - 1) + 1)];
      written = written &&
                std::fprintf(f, "\t%g\t%g\t%g\t%g\t%g\t%g", v[0], v[1], v[2], v[3], v[4], v[5]) > 0;
    }
    written = written && std::fputc('\n', f) != EOF;
  }
  if (std::fclose(f) != 0 || !written) {
    *diag << "[end-entry]"
          << "FATAL: error writing file " << fileName << "; check the disk space"
          << "[end-entry]";
    throw appendCode;
  }
  const long bytes = count * ((6L * layerCount + 1) * 8 + 32);
  *diag << "(" << bytes << " of " << bufferBytes << " buffer-bytes)"
        << "[end-entry]";
  count = 0;
}

void gwflowclass::flushGroundwaterOutputs() {
  if (!active) return;
  for (auto& tracer : layerTracers)
    for (int k = 1; k <= layerCount; ++k) tracer->statistic[static_cast<size_t>(k)]->writeBuffer();
  if (ownsControlPoint)
    writeControlPointFluxes(controlPointFile, controlPointBuffer, controlPointCount);
}

int gwflowclass::setRunoffArray(RunoffArrays* runoff) {
  if (active) runoffArray = runoff;
  return active ? flowControl : 0;
}

int gwflowclass::setUnsaturatedZoneSource(ReinfiltrationRecord* records) {
  if (active) unsaturatedZoneSource = records;
  return active ? flowControl : 0;
}

void gwflowclass::releaseModule() {
  if (active) {
    if (ownsControlPoint && writeStorage)
      writeControlPointFluxes(controlPointFile, controlPointBuffer, controlPointCount);
    controlPointBuffer.clear();
    dropLayerGrids();
    active = false;
  }
  modelobject::releaseModule();
}
