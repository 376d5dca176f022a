#include "core/netcdf_grid_writer.h"

#include <netcdf>

#include <map>
#include <set>
#include <utility>

#include "core/diag_stream.h"

namespace {

constexpr int deflateLevel = 9;

// Files and variables written in this run by any writer of the process, with
// the number of records of each variable. Used from the master thread only,
// like the netCDF library itself.
struct WrittenNetCDFFiles {
  std::set<std::string> files;
  std::map<std::pair<std::string, std::string>, size_t> recordCounts;
};

WrittenNetCDFFiles& writtenNetCDFFiles() {
  static WrittenNetCDFFiles written;
  return written;
}

const netCDF::NcType& netcdfTypeOf(const double*) { return netCDF::ncDouble; }
const netCDF::NcType& netcdfTypeOf(const float*) { return netCDF::ncFloat; }

void compress(netCDF::NcVar& variable) { variable.setCompression(false, true, deflateLevel); }

} // namespace

std::string appendNetCDFExtension(const std::string& outputName) { return outputName + ".nc"; }

std::string makeNetCDFVariableName(const std::string& outputName) {
  std::string name = outputName;
  const size_t separator = name.find_last_of("/\\");
  if (separator != std::string::npos) name.erase(0, separator + 1);
  const size_t dot = name.find('.');
  if (dot != std::string::npos) name.erase(dot);
  std::string variableName;
  for (char c : name)
    if (c != '_' && c != '-') variableName += c;
  return variableName;
}

NetCDFGridWriter::NetCDFGridWriter(DiagStream* diagArg) : diag(diagArg) {}

void NetCDFGridWriter::setGeoreference(double xllArg, double yllArg, double cellsizeArg) {
  xll = xllArg;
  yll = yllArg;
  cellsize = cellsizeArg;
}

void NetCDFGridWriter::setLatitudeValues(std::vector<double> values) {
  latitudeValues = std::move(values);
  hasLatitude = true;
}

void NetCDFGridWriter::setLongitudeValues(std::vector<double> values) {
  longitudeValues = std::move(values);
  hasLongitude = true;
}

void NetCDFGridWriter::writeNetCDFGrid(const std::string& fileName, const std::string& variableName,
                                       const double* values, int nrows, int ncols,
                                       double missingValue) {
  writeGrid(fileName, variableName, values, nrows, ncols, missingValue);
}

void NetCDFGridWriter::writeNetCDFGrid(const std::string& fileName, const std::string& variableName,
                                       const float* values, int nrows, int ncols,
                                       double missingValue) {
  writeGrid(fileName, variableName, values, nrows, ncols, missingValue);
}

bool NetCDFGridWriter::isFileWritten(const std::string& fileName) {
  return writtenNetCDFFiles().files.count(fileName) != 0;
}

bool NetCDFGridWriter::isVariableWritten(const std::string& fileName,
                                         const std::string& variableName) {
  return writtenNetCDFFiles().recordCounts.count({fileName, variableName}) != 0;
}

void NetCDFGridWriter::resetWrittenFiles() {
  writtenNetCDFFiles().files.clear();
  writtenNetCDFFiles().recordCounts.clear();
}

void NetCDFGridWriter::addWrittenFile(const std::string& fileName) {
  writtenNetCDFFiles().files.insert(fileName);
}

void NetCDFGridWriter::addWrittenVariable(const std::string& fileName,
                                          const std::string& variableName) {
  writtenNetCDFFiles().recordCounts.emplace(std::make_pair(fileName, variableName), 0);
}

template <typename T>
void NetCDFGridWriter::writeGrid(const std::string& fileName, const std::string& variableName,
                                 const T* values, int nrows, int ncols, double missingValue) {
  if (nrows < 1 || ncols < 1)
    fail(fileName, "a grid of " + std::to_string(ncols) + " columns and " + std::to_string(nrows) +
                       " rows has no cells");
  const size_t rows = static_cast<size_t>(nrows);
  const size_t columns = static_cast<size_t>(ncols);
  try {
    if (!isFileWritten(fileName)) {
      createFile(fileName, variableName, values, rows, columns, missingValue);
      addWrittenFile(fileName);
      addWrittenVariable(fileName, variableName);
    } else {
      netCDF::NcFile file(fileName, netCDF::NcFile::write);
      const netCDF::NcDim x = file.getDim("x");
      const netCDF::NcDim y = file.getDim("y");
      if (x.isNull() || y.isNull() || x.getSize() != columns || y.getSize() != rows)
        fail(fileName, "a grid of " + std::to_string(ncols) + " columns and " +
                           std::to_string(nrows) +
                           " rows does not fit the dimensions \"x\" and \"y\" of the file");
      if (isVariableWritten(fileName, variableName)) {
        // Counted per variable, so that each variable of a shared file keeps
        // its writes in records 0, 1, 2, ... without gaps.
        const size_t record = writtenNetCDFFiles().recordCounts[{fileName, variableName}];
        appendRecord(file, variableName, record, values, rows, columns);
      } else {
        addVariable(file, variableName, values, rows, columns, missingValue);
        addWrittenVariable(fileName, variableName);
      }
      file.close();
    }
  } catch (const netCDF::exceptions::NcException& e) {
    fail(fileName, e.what());
  }
  ++writtenNetCDFFiles().recordCounts[{fileName, variableName}];
}

template <typename T>
void NetCDFGridWriter::createFile(const std::string& fileName, const std::string& variableName,
                                  const T* values, size_t nrows, size_t ncols,
                                  double missingValue) {
  netCDF::NcFile file(fileName, netCDF::NcFile::replace, netCDF::NcFile::nc4);
  file.addDim("x", ncols);
  file.addDim("y", nrows);
  const netCDF::NcDim t = file.addDim("t");
  writeCoordinates(file, nrows, ncols);
  file.addVar("t", netCDF::ncDouble, t).putVar({0}, 0.0);
  const std::vector<netCDF::NcDim> xy = {file.getDim("x"), file.getDim("y")};
  if (hasLatitude) {
    if (latitudeValues.size() != nrows * ncols)
      fail(fileName, "the latitude values do not cover the grid");
    netCDF::NcVar lat = file.addVar("lat", netCDF::ncDouble, xy);
    compress(lat);
    lat.putAtt("units", "degrees north");
    lat.putVar({0, 0}, {ncols, nrows}, latitudeValues.data());
  }
  if (hasLongitude) {
    if (longitudeValues.size() != nrows * ncols)
      fail(fileName, "the longitude values do not cover the grid");
    netCDF::NcVar lon = file.addVar("lon", netCDF::ncDouble, xy);
    compress(lon);
    lon.putAtt("units", "degrees east");
    lon.putVar({0, 0}, {ncols, nrows}, longitudeValues.data());
  }
  addVariable(file, variableName, values, nrows, ncols, missingValue);
  file.close();
}

void NetCDFGridWriter::writeCoordinates(netCDF::NcFile& file, size_t nrows, size_t ncols) {
  std::vector<double> coordinates(ncols);
  for (size_t i = 0; i < ncols; i++) coordinates[i] = xll + static_cast<double>(i) * cellsize;
  netCDF::NcVar x = file.addVar("x", netCDF::ncDouble, file.getDim("x"));
  compress(x);
  x.putAtt("units", "m East of reference point");
  x.putVar(coordinates.data());

  // Rows are listed from the north, each by its southern edge.
  coordinates.resize(nrows);
  for (size_t i = 0; i < nrows; i++)
    coordinates[i] = yll + static_cast<double>(nrows - 1 - i) * cellsize;
  netCDF::NcVar y = file.addVar("y", netCDF::ncDouble, file.getDim("y"));
  compress(y);
  y.putAtt("units", "m North of reference point");
  y.putVar(coordinates.data());
}

template <typename T>
void NetCDFGridWriter::addVariable(netCDF::NcFile& file, const std::string& variableName,
                                   const T* values, size_t nrows, size_t ncols,
                                   double missingValue) {
  const std::vector<netCDF::NcDim> dims = {file.getDim("t"), file.getDim("x"), file.getDim("y")};
  netCDF::NcVar variable = file.addVar(variableName, netcdfTypeOf(values), dims);
  compress(variable);
  variable.putAtt("missing_value", netCDF::ncDouble, missingValue);
  variable.putVar({0, 0, 0}, {1, ncols, nrows}, values);
}

template <typename T>
void NetCDFGridWriter::appendRecord(netCDF::NcFile& file, const std::string& variableName,
                                    size_t record, const T* values, size_t nrows, size_t ncols) {
  file.getVar("t").putVar({record}, static_cast<double>(record));
  file.getVar(variableName).putVar({record, 0, 0}, {1, ncols, nrows}, values);
}

void NetCDFGridWriter::fail(const std::string& fileName, const std::string& reason) {
  *diag << "FATAL: error creating " << fileName << " for writing in netCDF: " << reason
        << "[end-entry]";
  throw 26;
}
