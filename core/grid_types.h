#pragma once

// Plain data types shared by every module: grids, stacks, the grid header,
// the MPI strip records and the model date.

// A grid is a table of row pointers indexed by row (from 1); each present row
// is an array of doubles indexed by column (from 1, column 0 is allocated but
// unused). Rows a process does not hold are null.
using Grid = double**;

// A stack is a grid whose cells hold levels 0..L stored together:
// stack[row][column][level].
using Stack = double***;

struct GridHeader {
  long ncols = 0;
  long nrows = 0;
  double xllcorner = 0.0;
  double yllcorner = 0.0;
  double cellsize = 0.0;
  double nodata = -9999.0;
  long firstRow = 0; // first grid row held by this process
  long lastRow = 0;  // last grid row held by this process
};

// One strip that a process sends to or receives from a neighbour.
struct HaloStrip {
  int row = 0;
  int startColumn = 0;
  int count = 0;
  int peer = 0;
};

// The first and last valid column of one grid row; (0, -1) for a row
// without valid cells.
struct RowColumnRange {
  long first = 0;
  long last = -1;
};

// A cell of a packed transfer as rank 0 lists it: its place and the process
// that owns it.
struct PackedCell {
  long row = 0;
  long column = 0;
  int owner = 0;
};

// Per-zone sums, exchanged between processes as five consecutive doubles.
struct ZoneRecord {
  double weightSum = 0.0;
  double valueSum = 0.0;
  double code = 0.0;
  double areaFraction = 0.0;
  double effectiveWeight = 0.0;
};

// The centre of one regression region: the means of the row and column
// numbers of its cells, their integer parts and the number of cells.
// Broadcast as int, int, double, double, double at byte offsets 0, 4, 8, 16,
// 24.
struct RegionCentre {
  int centreRow = 0;
  int centreColumn = 0;
  double meanRow = 0.0;
  double meanColumn = 0.0;
  double cellCount = 0.0;
};

// Minutes per year, month, day and hour of the minute index, which counts
// every month as 31 days: it orders dates, it does not measure durations.
constexpr long minutesPerYear = 535680;
constexpr long minutesPerMonth = 44640;
constexpr long minutesPerDay = 1440;
constexpr long minutesPerHour = 60;

struct ModelDate {
  long minute = 0;
  long hour = 0;
  long day = 0;
  long month = 0;
  long year = 0;

  long minuteIndex() const {
    return year * minutesPerYear + month * minutesPerMonth + day * minutesPerDay +
           hour * minutesPerHour + minute;
  }
};
