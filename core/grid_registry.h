#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/grid_types.h"

// Number of entries of the grid registry; index 0 stays empty, index 1000 is
// refused, so grids take entries 1..999.
constexpr int gridRegistrySize = 1001;
constexpr int gridRegistryLimit = 1000;

// What a module runs on a grid read during the run, collective: a check of
// the values, which ends the run on every process where it refuses them, or
// the rebuilding of what the module derived from them. from names the file
// the values were read from.
struct GridReadAction {
  const void* owner = nullptr;
  std::function<void(const std::string& from)> run;
};

// The values a module gives a grid where the control file bounds them (the
// limits of an interpolation): the running statistics of the grid that a
// warm start reads back are held to them.
struct GridValueRange {
  bool known = false;
  double lowest = 0.0;
  double highest = 0.0;
  std::string source; // what bounds them, as a message names it

  // Where a module multiplies the values by a factor within lo ... hi, or
  // adds an amount within lo ... hi, before the output of the grid; what
  // names the factor or amount in the source.
  void scale(double lo, double hi, const std::string& what);
  void shift(double lo, double hi, const std::string& what);
};

// One entry of the registry through which modules hand grids to each other
// by name. An entry is in use once its file name was set (even to an empty
// text); only an entry whose file name was never set, or was released, is
// free. Every field is zero at the start.
struct GridRegistryEntry {
  Grid grid = nullptr;
  Grid meanGrid = nullptr;
  Grid minGrid = nullptr;
  Grid maxGrid = nullptr;
  Stack stack = nullptr;
  unsigned levels = 0;

  bool hasFileName = false;
  std::string fileName;
  std::string meanFileName;
  std::string minFileName;
  std::string maxFileName;
  bool hasName = false;
  std::string name;

  int writeMode = 0;     // ones digit of the write code
  int statMode = 0;      // tens digit
  int writeMin = 0;      // hundreds digit 1 or 3
  int writeMax = 0;      // hundreds digit 2 or 3
  int minMaxStarted = 0; // output state of writeOutputGrids
  double callCount = 0.0;
  int vegPeriodMode = 0; // thousands digit
  Grid vegPeriodGrid = nullptr;
  std::string vegPeriodFileName;

  std::string firstFileName;
  int hasFirstFileName = 0;
  long firstRow = 0;
  long lastRow = 0;
  // Rows of the sum, mean, minimum, maximum and vegetation-period grids: with
  // several processes only the strip of this process, whose cells it owns.
  long statisticsFirstRow = 0;
  long statisticsLastRow = 0;

  // Vegetation-period flags, set by the land-use update and read and
  // cleared by the output of statistics grids.
  int vegPeriodStarted = 0;
  int vegPeriodEnded = 0;
  // Set by modules whose grid mirrors level 1 of a stack they keep up to date.
  int stackCopyOff = 0;
  // Set on rank 0 by a module whose computation there reads the grid over
  // every row, so that the set-up keeps it whole after its own passes.
  bool wholeOnRoot = false;
  // Set by a module that converts the file's values into its own units in
  // place at set-up: the factor that a later read of the file (a periodic
  // re-read) and the restore of the saved set-up values apply too.
  double readScale = 1.0;
  // Set by modules that refuse some values of the grid at set-up: the same
  // checks run whenever the file is read again during the run.
  std::vector<GridReadAction> valueChecks;
  // Set by modules that derive something from the grid's values at set-up
  // and derive it again after a read during the run, once the checks passed.
  std::vector<GridReadAction> rebuilds;
  // Set by modules that build something from the grid's values once at
  // set-up that a read during the run cannot follow (zones, cell lists,
  // values converted in place): what they built, for the set-up's refusal
  // of such a read.
  std::vector<std::string> builtOnce;

  // Set by the module that makes the grid's values; see GridValueRange.
  GridValueRange valueRange;
  // Set by a module that adds the grid to its statistics more than once a
  // step (in sub-intervals): how often, which bounds the count of a period.
  int statisticsCallsPerStep = 1;

  // Output state of writeOutputGrids and writeOutputStack
  // (core/output_grids.cpp).
  // Values added into meanGrid per cell since it was last written, so that a
  // mean divides by the values a cell really had (nodata is never added).
  Grid meanCountGrid = nullptr;
  // Time-stamped writes so far with the same stamp as the one before, and
  // that stamp.
  long stampRepeat = 0;
  ModelDate lastStamp;
  // The land-use grids of the entry's layer that bound the vegetation period;
  // found on first use, owned by their own entries.
  Grid vegStartGrid = nullptr;
  Grid vegStopGrid = nullptr;
  Grid vegDurationGrid = nullptr;
  // Entry 1 only: registry indices of the standard grids "latitude" and
  // "longitude" (0 when absent), which netCDF output carries as coordinates.
  int latitudeIndex = 0;
  int longitudeIndex = 0;
};

// A running statistic of an entry that a warm start goes on with: the grid
// held and the name of its file beside the outputs.
struct StatisticsStateGrid {
  Grid grid;
  std::string fileName;
};

// The sums and counts of the entry's statistics over a day, a month or a
// year (core/output_grids.cpp).
std::vector<StatisticsStateGrid> statisticsStateGrids(const GridRegistryEntry& e);

// The digits of a write code.
struct WriteCodeDigits {
  int writeMode;
  int statMode;
  int writeMin;
  int writeMax;
  int vegPeriodMode;
};

WriteCodeDigits splitWriteCode(long writecode);

// Whether a step stamped with the date ends its day: hour * 60 plus the
// minute moved by the hours between the data stamp and the end of the step
// (min_to_int_end), truncated, is 1440 (core/output_grids.cpp).
bool endsDay(const ModelDate& date, double shiftHours);

// Whether the entry's write code writes anything at the end of a day, a
// month or a year (core/output_grids.cpp).
bool writesByPeriod(const GridRegistryEntry& e);
