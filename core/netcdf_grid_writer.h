#pragma once

#include <cstddef>
#include <string>
#include <vector>

class DiagStream;

namespace netCDF {
class NcFile;
} // namespace netCDF

// File name of a grid written as netCDF: the output name followed by ".nc",
// also when it already ends in ".nc".
std::string appendNetCDFExtension(const std::string& outputName);

// Variable name of a grid written as netCDF, from the same output name: the
// name without its directories, cut before its first '.', without any '_'
// or '-'.
std::string makeNetCDFVariableName(const std::string& outputName);

// Writes grids as variables over ("t", "x", "y") of netCDF-4 files; every
// further write of a grid in a run appends one record along "t". Values are
// handed over column-major, north first: element j * nrows + k is column
// j + 1, row k + 1 counted from the north. Failures log a FATAL entry and
// throw 26.
class NetCDFGridWriter {
public:
  explicit NetCDFGridWriter(DiagStream* diag);

  // Lower left corner and cell size of the grids that follow.
  void setGeoreference(double xll, double yll, double cellsize);
  // Latitude and longitude of every cell, in the layout of the grid values;
  // written into every file that this writer creates from now on.
  void setLatitudeValues(std::vector<double> values);
  void setLongitudeValues(std::vector<double> values);

  // Writes one grid as the next record of the variable; the first write of a
  // file in a run replaces a file of that name.
  void writeNetCDFGrid(const std::string& fileName, const std::string& variableName,
                       const double* values, int nrows, int ncols, double missingValue);
  void writeNetCDFGrid(const std::string& fileName, const std::string& variableName,
                       const float* values, int nrows, int ncols, double missingValue);

  // The files and variables written in this run. They are shared by every
  // writer of the process, so that a module writing a file that another
  // module created appends to it instead of replacing it.
  static bool isFileWritten(const std::string& fileName);
  static bool isVariableWritten(const std::string& fileName, const std::string& variableName);
  // Forgets them; called before every run, so that the first write of a file
  // in the next run replaces what an earlier run left.
  static void resetWrittenFiles();

private:
  template <typename T>
  void writeGrid(const std::string& fileName, const std::string& variableName, const T* values,
                 int nrows, int ncols, double missingValue);
  template <typename T>
  void createFile(const std::string& fileName, const std::string& variableName, const T* values,
                  size_t nrows, size_t ncols, double missingValue);
  template <typename T>
  void addVariable(netCDF::NcFile& file, const std::string& variableName, const T* values,
                   size_t nrows, size_t ncols, double missingValue);
  template <typename T>
  void appendRecord(netCDF::NcFile& file, const std::string& variableName, size_t record,
                    const T* values, size_t nrows, size_t ncols);
  void writeCoordinates(netCDF::NcFile& file, size_t nrows, size_t ncols);
  [[noreturn]] void fail(const std::string& fileName, const std::string& reason);

  static void addWrittenFile(const std::string& fileName);
  static void addWrittenVariable(const std::string& fileName, const std::string& variableName);

  double xll = 0.0;
  double yll = 0.0;
  double cellsize = 1.0;
  DiagStream* diag;
  bool hasLatitude = false;
  bool hasLongitude = false;
  std::vector<double> latitudeValues;
  std::vector<double> longitudeValues;
};
