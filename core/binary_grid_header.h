#pragma once

#include <cstddef>
#include <string>

#include "core/stack_file_format.h"

// The twelve values in front of the data of binary grid and stack files, all
// doubles or all floats like the data behind them, in the byte order of the
// machine. The field order is the file's.
struct BinaryGridHeader {
  double ncols = 0.0;
  double nrows = 0.0;
  double xllcorner = 0.0;
  double yllcorner = 0.0;
  double cellsize = 0.0;
  double nodata = -9999.0;
  // Statistics of the counted cells of a written grid (zero in stack files,
  // whose last field holds the last level index instead).
  double count = 0.0;
  double min = 0.0;
  double max = 0.0;
  double sum = 0.0;
  double mean = 0.0;
  double stddev = 0.0;

  static constexpr int valueCount = static_cast<int>(binaryHeaderValues);
  // A file is taken as binary only when its nodata field holds this value.
  static constexpr double requiredNodata = binaryNodataMarker;

  // Bytes in front of the first data value.
  static constexpr long dataOffset(size_t valueBytes) {
    return valueCount * static_cast<long>(valueBytes);
  }

  void toValues(double* values) const {
    const double fields[valueCount] = {ncols, nrows, xllcorner, yllcorner, cellsize, nodata,
                                       count, min,   max,       sum,       mean,     stddev};
    for (int i = 0; i < valueCount; ++i) values[i] = fields[i];
  }
  static BinaryGridHeader fromValues(const double* v) {
    return BinaryGridHeader{v[0], v[1], v[2], v[3], v[4],  v[5],
                            v[6], v[7], v[8], v[9], v[10], v[11]};
  }
};

// The formats the grid reader recognises, as rank 0 shares them with the
// other processes.
enum GridFileFormat : long {
  floatGridFile = 0,
  asciiGridFile = 1,
  doubleGridFile = 2,
  gifGridFile = 3,
  netcdfGridFile = 10,
};

// The header field (from 0) of values (ncols, nrows, xllcorner, yllcorner,
// cellsize, nodata) that gives no grid, or -1: the sizes must be whole
// numbers of at least 1 (ncols 24.5 read as 24 would shift every row), the
// corner and the nodata value finite, the cell size above 0.
int invalidGridHeaderField(const double* values);
// What that field must be, for a message: "ncols 24.5 is not a whole number
// of at least 1".
std::string gridHeaderFieldRule(int field, double value);

// The end of the message on a binary header that gives no grid: the layout
// that is read, what the faulty field holds, and, where a ".hdr" file stands
// beside the grid, that the file is of the EHdr layout (".bil", ".flt"),
// whose header is not inside the file. `field` counts from 1.
std::string binaryHeaderLayoutNote(const std::string& fileName, std::size_t valueBytes, int field,
                                   double value);
