#pragma once

#include <string>
#include <vector>

#include "core/grid_registry.h"
#include "core/grid_types.h"

// One hydrologic response unit of the spin-up (created by the control-file
// reader); the interpolators only receive the list.
struct HRUClass;

// The model context that the driver hands to every meteorological
// interpolator and to the precipitation correction: what the control-file
// reader leaves after its set-up.
struct MeteoContext {
  GridRegistryEntry* registry = nullptr;  // the shared registry of 1001 entries
  GridHeader header;                      // firstRow .. lastRow: this process's strip
  RowColumnRange* columnRanges = nullptr; // first and last valid column of rows 0 .. nrows
  const std::vector<long>* cellsPerProcess = nullptr;
  const std::vector<HaloStrip>* haloSendList = nullptr;
  const std::vector<HaloStrip>* haloReceiveList = nullptr;
  ModelDate startDate;
  ModelDate endDate;
  double minToIntEnd = 0.0; // minutes from the data hour to the end of the step
  bool writeAsciiGrids = false;
  bool writeDoubleGrids = false;
  bool writeNetCDFGrids = false;
  std::string inputDirectory;
  std::string outputDirectory;
  // The second switch of "[output_interval]": 1 logs a summary of every
  // interpolated grid at every step.
  int outputSwitch = 0;
  const std::vector<HRUClass*>* hruList = nullptr;
};
