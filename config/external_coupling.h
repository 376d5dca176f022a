#pragma once

#include <string>
#include <vector>

#include "core/grid_types.h"
#include "core/statistic_table.h"

// What a grid or statistic written for the external program holds at the
// end of a coupling interval: the current values, their sum or mean over the
// interval, or their running sum over the whole run.
enum class CouplingWriteKind { current, sum, mean, sumTotal };

// "Sum" and "Mean" exactly, any code beginning with "SumTotal", else the
// current values.
CouplingWriteKind couplingWriteKindOf(const std::string& writeCode);

// A grid that the external program provides and the model reads into one of
// its registered grids.
struct ExternalReadGrid {
  std::string fileName;
  std::string internalName;
  int fillCode = 0;
  // 1 the file is renamed after reading, 0 deleted, anything else kept.
  int renameCode = 0;
  int index = 0; // registry entry, once resolved
  // How every process reads into the registered grid, agreed by all of them
  // once its rows are known.
  int keepWholeOnRoot = 0;
  bool withHalo = false;
};

// A registered grid written for the external program.
struct ExternalWriteGrid {
  std::string fileName;
  std::string internalName;
  std::string writeCode;
  CouplingWriteKind kind = CouplingWriteKind::current;
  int index = 0; // registry entry, once resolved
  // Sum or mean over the process's own rows; none for current values.
  Grid accumulation = nullptr;
};

// A zonal statistic written for the external program.
struct ExternalStatistic {
  std::string fileName;
  std::string internalName;
  std::string writeCode;
  CouplingWriteKind kind = CouplingWriteKind::current;
  // Rank 0: a copy of the matched entry of the statistics table, sharing the
  // series' arrays so that its values stay current, and sums of its own
  // (positions 1 .. valueCount - 1), so that two statistics of one series
  // do not add into each other.
  StatisticTableEntry entry;
  std::vector<double> sums;
};

// The settings of "[ExternalCoupling]" and the state of the current coupling
// interval.
struct CouplingSettings {
  int mode = 0; // coupling is active when it is 1
  std::string semaphoreFile;
  long waitInterval = 100;
  char gridMode = 'I'; // I, H, D, M or Y
  int externalTimeStep = 0;
  std::vector<ExternalReadGrid> readGrids;
  std::vector<ExternalWriteGrid> writeGrids;
  std::vector<ExternalStatistic> statistics;
  std::string externalSemaphoreFile;
  std::string externalSemaphoreContent;
  int stepCounter = 0; // steps in the current coupling interval
  // Rows of the accumulation grids.
  long firstRow = 1;
  long lastRow = 0;
};
