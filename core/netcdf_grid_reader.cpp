#include "core/netcdf_grid_reader.h"

#include <netcdf>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "core/diag_stream.h"

namespace {

// Stored values that mark an empty cell, compared before unpacking. Packed
// files keep their fill value in the packed type, so that unpacking it would
// turn it into a value that looks like data.
class FillMarkers {
public:
  void add(double value) {
    if (std::isnan(value))
      anyNaN = true;
    else
      values.push_back(value);
  }
  void roundToFloat() {
    for (double& v : values) v = static_cast<float>(v);
  }
  bool marks(double stored) const {
    if (std::isnan(stored)) return anyNaN;
    for (double v : values)
      if (stored == v) return true;
    return false;
  }

private:
  std::vector<double> values;
  bool anyNaN = false;
};

struct Unpacking {
  double scale = 1.0;
  double offset = 0.0;
  double nodata = -9999.0;
  FillMarkers fill;

  double operator()(double stored) const {
    return fill.marks(stored) ? nodata : stored * scale + offset;
  }
};

std::vector<double> attributeValues(const netCDF::NcVarAtt& attribute) {
  std::vector<double> values(attribute.getAttLength());
  if (!values.empty()) attribute.getValues(values.data());
  return values;
}

bool isNumeric(const netCDF::NcType& type) {
  const nc_type id = type.getId();
  return id != NC_CHAR && id != NC_STRING && id <= NC_MAX_ATOMIC_TYPE;
}

// The value the library gives cells that were never written, for variables
// without "_FillValue". Byte types have none in use: every byte value can be
// data.
bool defaultFillValue(nc_type type, double& fill) {
  switch (type) {
  case NC_SHORT:
    fill = NC_FILL_SHORT;
    return true;
  case NC_USHORT:
    fill = NC_FILL_USHORT;
    return true;
  case NC_INT:
    fill = NC_FILL_INT;
    return true;
  case NC_UINT:
    fill = NC_FILL_UINT;
    return true;
  case NC_INT64:
    fill = static_cast<double>(NC_FILL_INT64);
    return true;
  case NC_UINT64:
    fill = static_cast<double>(NC_FILL_UINT64);
    return true;
  case NC_FLOAT:
    fill = NC_FILL_FLOAT;
    return true;
  case NC_DOUBLE:
    fill = NC_FILL_DOUBLE;
    return true;
  default:
    return false;
  }
}

Unpacking unpackingOf(const netCDF::NcVar& variable, double nodata) {
  Unpacking unpacking;
  unpacking.nodata = nodata;
  bool hasFillValue = false;
  for (const auto& [name, attribute] : variable.getAtts()) {
    if (name == "_FillValue" || name == "missing_value") {
      hasFillValue = hasFillValue || name == "_FillValue";
      if (!isNumeric(attribute.getType())) continue;
      for (double v : attributeValues(attribute)) unpacking.fill.add(v);
    } else if (name.find("scale_factor") != std::string::npos) {
      const std::vector<double> values = attributeValues(attribute);
      if (!values.empty()) unpacking.scale = values[0];
    } else if (name.find("add_offset") != std::string::npos) {
      const std::vector<double> values = attributeValues(attribute);
      if (!values.empty()) unpacking.offset = values[0];
    }
  }
  const nc_type type = variable.getType().getId();
  double fill = 0.0;
  if (!hasFillValue && defaultFillValue(type, fill)) unpacking.fill.add(fill);
  // Float cells are compared in their own precision: a double marker such as
  // -9999.9 is stored as the nearest float.
  if (type == NC_FLOAT) unpacking.fill.roundToFloat();
  return unpacking;
}

// Columns from "x" and rows from "y". A file without these names falls back
// to dimensions whose names contain the letters, the last in name order.
void readGridSize(const netCDF::NcFile& file, int& nrows, int& ncols) {
  bool exactX = false;
  bool exactY = false;
  int containsX = -1;
  int containsY = -1;
  for (const auto& [name, dim] : file.getDims()) {
    const int length = static_cast<int>(dim.getSize());
    if (name == "x") {
      ncols = length;
      exactX = true;
    } else if (name == "y") {
      nrows = length;
      exactY = true;
    } else if (name.find('x') != std::string::npos) {
      containsX = length;
    } else if (name.find('y') != std::string::npos) {
      containsY = length;
    }
  }
  if (!exactX && containsX >= 0) ncols = containsX;
  if (!exactY && containsY >= 0) nrows = containsY;
}

// Rows count as stored from south to north unless the variable "y" descends.
bool rowsAscend(const netCDF::NcFile& file, int nrows) {
  const netCDF::NcVar y = file.getVar("y");
  if (y.isNull() || y.getDimCount() != 1 || nrows < 2 || y.getDim(0).getSize() < 2) return true;
  double first[2] = {0.0, 0.0};
  y.getVar({0}, {2}, first);
  return !(first[1] < first[0]);
}

} // namespace

NetCDFGridReader::NetCDFGridReader(DiagStream* diagArg) : diag(diagArg) {}

NetCDFGridReader::~NetCDFGridReader() = default;

void NetCDFGridReader::closeAllFiles() { openFiles.clear(); }

void NetCDFGridReader::readNetCDFGrid(std::string& name, std::vector<double>& values, int& nrows,
                                      int& ncols, double nodata) {
  const size_t open = name.find('<');
  // The variable name ends at the first '>' behind the '<'.
  const size_t close = open == std::string::npos ? open : name.find('>', open + 1);
  if (open == std::string::npos || open == 0 || close == std::string::npos) {
    *diag << "FATAL: Give netcdf input files as filename<varname>timestep."
          << "[end-entry]";
    throw 50;
  }
  const std::string variableName = name.substr(open + 1, close - open - 1);
  const long record = std::strtol(name.substr(close + 1, 10).c_str(), nullptr, 10);
  name.erase(open);
  const std::string fileName = name;

  try {
    const netCDF::NcFile& file = openFile(fileName);
    readGridSize(file, nrows, ncols);
    if (variableName.empty()) {
      *diag << "FATAL: No variable name given for reading from netCDF."
            << "[end-entry]";
      throw 26;
    }
    const netCDF::NcVar variable = file.getVar(variableName);
    if (variable.isNull()) {
      *diag << "FATAL: cannot find variable " << variableName << " in file " << fileName
            << " for reading from netCDF."
            << "[end-entry]";
      throw 26;
    }
    if (variable.getDimCount() != 3)
      failReading(fileName, "variable " + variableName + " has " +
                                std::to_string(variable.getDimCount()) +
                                " dimensions instead of three (t, x, y) or (t, y, x)");
    const size_t records = variable.getDim(0).getSize();
    if (record < 0 || static_cast<size_t>(record) >= records)
      failReading(fileName, "record " + std::to_string(record) + " of variable " + variableName +
                                " does not exist; the file holds " + std::to_string(records) +
                                " records");
    const bool xFirst = variable.getDim(1).getName() == "x";
    const bool rowAfterRow = variable.getDim(2).getName() == "x";
    const bool ascending = rowsAscend(file, nrows);
    const Unpacking unpack = unpackingOf(variable, nodata);

    const long rows = std::max(nrows, 0);
    const long columns = std::max(ncols, 0);
    const size_t cells = static_cast<size_t>(rows) * static_cast<size_t>(columns);
    const std::vector<size_t> start = {static_cast<size_t>(record), 0, 0};
    const std::vector<size_t> count = {1, static_cast<size_t>(xFirst ? columns : rows),
                                       static_cast<size_t>(xFirst ? rows : columns)};
    values.resize(cells);
    double* result = values.data();

    if (rowAfterRow) {
      storedValues.resize(cells);
      variable.getVar(start, count, storedValues.data());
      const double* stored = storedValues.data();
#pragma omp parallel for schedule(static)
      for (long j = 0; j < columns; j++)
        for (long k = 0; k < rows; k++) {
          const long storedRow = ascending ? rows - 1 - k : k;
          result[j * rows + k] = unpack(stored[storedRow * columns + j]);
        }
    } else {
      // Columns as stored; one whose rows ascend is turned north first.
      variable.getVar(start, count, result);
      const bool reverse = xFirst && ascending;
#pragma omp parallel for schedule(static)
      for (long j = 0; j < columns; j++) {
        double* column = result + j * rows;
        if (reverse) std::reverse(column, column + rows);
        for (long k = 0; k < rows; k++) column[k] = unpack(column[k]);
      }
    }
  } catch (const netCDF::exceptions::NcException& e) {
    failReading(fileName, e.what());
  }
}

netCDF::NcFile& NetCDFGridReader::openFile(const std::string& fileName) {
  const auto found = openFiles.find(fileName);
  if (found != openFiles.end()) return *found->second;
  if (openFiles.size() >= MaxOpenNetCDFFiles) {
    *diag << "FATAL: more than " << MaxOpenNetCDFFiles
          << " different netCDF files can not be hold open at the same time. If you read time "
             "series of input grids from netCDF, please put all the single nc files into one "
             "large file or into some groups of files"
          << "[end-entry]";
    throw 1100;
  }
  auto file = std::make_unique<netCDF::NcFile>(fileName, netCDF::NcFile::read);
  return *openFiles.emplace(fileName, std::move(file)).first->second;
}

void NetCDFGridReader::failReading(const std::string& fileName, const std::string& message) {
  *diag << "FATAL: exception occured when reading from netCDF file " << fileName
        << ". Internal message is: " << message << "[end-entry]";
  throw 26;
}
