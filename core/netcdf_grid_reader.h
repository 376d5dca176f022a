#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/grid_types.h"

class DiagStream;

// A failed read of readNetCDFRows: the exit code and its FATAL message
// (without the entry's end), for the caller to log.
struct NetCDFReadFailure {
  int code;
  std::string message;
};

namespace netCDF {
class NcFile;
} // namespace netCDF

// The records of a grid variable along its first dimension, and that
// dimension's coordinate variable when its "units" name a reference date
// ("hours since 2021-03-01 00:00:00"): a time coordinate.
struct NetCDFRecordAxis {
  size_t records = 0;
  std::string dimension;
  bool dated = false;
  std::string units;
  std::string calendar;
  std::vector<double> times; // one per record when dated
};

// The coordinate variables "x" and "y" of a file, each empty where the file
// has none of the grid's length.
struct NetCDFCoordinates {
  std::vector<double> x;
  std::vector<double> y;
};

// "" when the coordinates lie on the cells of the model grid, their western
// and southern edges or their centres (x from west to east, y either way),
// else the text that says where they lie instead
// (core/netcdf_grid_placement.cpp).
std::string netcdfPlacementFault(const NetCDFCoordinates& coordinates, const GridHeader& model);

// Reads single records of grid variables from netCDF files named
// "filename<varname>timestep". Files stay open between reads, so that a time
// series of input grids is read record by record without reopening. Failures
// log a FATAL entry and throw 26, 50 or 1100.
class NetCDFGridReader {
public:
  static constexpr size_t MaxOpenNetCDFFiles = 200;

  explicit NetCDFGridReader(DiagStream* diag);
  ~NetCDFGridReader();
  NetCDFGridReader(const NetCDFGridReader&) = delete;
  NetCDFGridReader& operator=(const NetCDFGridReader&) = delete;

  // Reads record "timestep" (from 0) of the variable into values, laid out
  // column-major and north first: element j * nrows + k is column j + 1, row
  // k + 1 counted from the north. ncols and nrows come from the dimensions
  // "x" and "y" (they keep the caller's values when the file has neither).
  // Stored fill values ("_FillValue", "missing_value") become nodata, the
  // others are unpacked by "scale_factor" and "add_offset". On return the
  // name is cut to its file-name part.
  void readNetCDFGrid(std::string& name, std::vector<double>& values, int& nrows, int& ncols,
                      double nodata);

  // Reads rows firstRow..lastRow (from 1, counted from the north) of the
  // record as readNetCDFGrid would give them, into values row after row:
  // element (r - firstRow) * ncols + j is column j + 1 of row r. Only these
  // rows are read from the file where its layout allows; values stay empty
  // when the file has no such rows. Failures are thrown as NetCDFReadFailure
  // and not logged.
  void readNetCDFRows(std::string& name, long firstRow, long lastRow, std::vector<double>& values,
                      int& nrows, int& ncols, double nodata);

  // The size of the grid of "file<variable>record", as readNetCDFRows finds
  // it; failures as there.
  void findNetCDFGridSize(std::string& name, int& nrows, int& ncols, double nodata);

  // The size and place of the grid of "file<variable>record", for a grid
  // that defines the model grid: ncols, nrows, xllcorner, yllcorner and
  // cellsize from the coordinate variables "x" and "y", which hold the
  // western and southern edges of the cells as NetCDFGridWriter writes
  // them, into header[0..4]. Failures as readNetCDFRows; code 22 when the
  // coordinates are missing or give no square cells.
  void findNetCDFGeoreference(std::string& name, double* header);

  // The record axis of a variable of an open (or now opened) file; failures
  // as readNetCDFRows.
  NetCDFRecordAxis readRecordAxis(const std::string& fileName, const std::string& variableName);

  // The coordinates of a file read before, for a grid of nrows x ncols;
  // read once while the file stays open. Failures as readNetCDFRows.
  const NetCDFCoordinates& coordinatesOf(const std::string& fileName, int nrows, int ncols);

  void closeAllFiles();
  size_t openFileCount() const { return openFiles.size(); }

private:
  struct StoredRecord;
  // Opens the file of "file<variable>record" and finds the record; the name
  // is cut to the file name.
  StoredRecord locateRecord(std::string& name, int& nrows, int& ncols, double nodata);
  void readWholeRecord(const StoredRecord& stored, long nrows, long ncols,
                       std::vector<double>& values);
  netCDF::NcFile& openFile(const std::string& fileName);

  std::map<std::string, std::unique_ptr<netCDF::NcFile>> openFiles;
  std::map<std::string, NetCDFCoordinates> coordinates;
  DiagStream* diag;
  // Records stored row after row are read here before they are rearranged.
  std::vector<double> storedValues;
};
