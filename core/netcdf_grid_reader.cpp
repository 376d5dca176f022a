#include "core/netcdf_grid_reader.h"

#include <netcdf>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "core/diag_stream.h"
#include "core/netcdf_time_units.h"
#include "core/string_helpers.h"

namespace {

// A file, variable or record that cannot be read is an unreadable input, as a
// grid file that cannot be opened.
constexpr int readFailedCode = 21;

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

[[noreturn]] void failReading(const std::string& fileName, const std::string& message) {
  throw NetCDFReadFailure{readFailedCode,
                          "FATAL: exception occured when reading from netCDF file " + fileName +
                              ". Internal message is: " + message};
}

// The variable of a grid: records along its first dimension.
netCDF::NcVar gridVariable(const netCDF::NcFile& file, const std::string& fileName,
                           const std::string& variableName) {
  if (variableName.empty())
    throw NetCDFReadFailure{readFailedCode,
                            "FATAL: No variable name given for reading from netCDF."};
  netCDF::NcVar variable = file.getVar(variableName);
  if (variable.isNull())
    throw NetCDFReadFailure{readFailedCode, "FATAL: cannot find variable " + variableName +
                                                " in file " + fileName +
                                                " for reading from netCDF."};
  if (variable.getDimCount() != 3)
    failReading(fileName, "variable " + variableName + " has " +
                              std::to_string(variable.getDimCount()) +
                              " dimensions instead of three (t, x, y) or (t, y, x)");
  return variable;
}

// A text attribute of a variable, "" when it has none or one of numbers.
std::string textAttribute(const netCDF::NcVar& variable, const std::string& name) {
  const auto attributes = variable.getAtts();
  const auto found = attributes.find(name);
  if (found == attributes.end()) return "";
  const netCDF::NcVarAtt& attribute = found->second;
  const nc_type type = attribute.getType().getId();
  std::string text;
  if (type == NC_CHAR) {
    attribute.getValues(text);
  } else if (type == NC_STRING && attribute.getAttLength() > 0) {
    std::vector<char*> strings(attribute.getAttLength(), nullptr);
    attribute.getValues(strings.data());
    text = strings[0] ? strings[0] : "";
    nc_free_string(strings.size(), strings.data());
  }
  // Attributes written from C often carry their terminating zero.
  const size_t end = text.find('\0');
  return end == std::string::npos ? text : text.substr(0, end);
}

// A coordinate variable of one dimension and the given length, else none.
void readCoordinate(const netCDF::NcFile& file, const char* axis, int length,
                    std::vector<double>& values) {
  values.clear();
  const netCDF::NcVar var = file.getVar(axis);
  if (var.isNull() || var.getDimCount() != 1 || length < 1 ||
      var.getDim(0).getSize() != static_cast<size_t>(length))
    return;
  values.resize(static_cast<size_t>(length));
  var.getVar(values.data());
}

// Runs a read and logs its failure before the exit code is thrown.
template <typename Read> void loggingFailures(DiagStream& diag, Read read) {
  try {
    read();
  } catch (const NetCDFReadFailure& failure) {
    diag << failure.message << "[end-entry]";
    throw failure.code;
  }
}

} // namespace

struct NetCDFGridReader::StoredRecord {
  netCDF::NcVar variable;
  size_t record = 0;
  bool xFirst = false;
  bool rowAfterRow = false;
  bool ascending = true;
  Unpacking unpack;
};

NetCDFGridReader::NetCDFGridReader(DiagStream* diagArg) : diag(diagArg) {}

NetCDFGridReader::~NetCDFGridReader() = default;

void NetCDFGridReader::closeAllFiles() {
  coordinates.clear();
  openFiles.clear();
}

NetCDFGridReader::StoredRecord NetCDFGridReader::locateRecord(std::string& name, int& nrows,
                                                              int& ncols, double nodata) {
  const size_t open = name.find('<');
  // The variable name ends at the first '>' behind the '<'.
  const size_t close = open == std::string::npos ? open : name.find('>', open + 1);
  if (open == std::string::npos || open == 0 || close == std::string::npos)
    throw NetCDFReadFailure{50, "FATAL: Give netcdf input files as filename<varname>timestep."};
  const std::string variableName = name.substr(open + 1, close - open - 1);
  // The record fills the rest of the name ("3x" is none); none given is 0.
  const std::string recordText = name.substr(close + 1);
  long record = 0;
  if (!recordText.empty() && !parseWholeNumber(recordText, record))
    throw NetCDFReadFailure{50, "FATAL: Give netcdf input files as filename<varname>timestep; "
                                "the record of " +
                                    name + " reads \"" + recordText +
                                    "\", which is not a whole number."};
  name.erase(open);
  const std::string& fileName = name;

  const netCDF::NcFile& file = openFile(fileName);
  readGridSize(file, nrows, ncols);
  StoredRecord stored;
  stored.variable = gridVariable(file, fileName, variableName);
  const netCDF::NcVar& variable = stored.variable;
  const size_t records = variable.getDim(0).getSize();
  if (record < 0 || static_cast<size_t>(record) >= records)
    failReading(fileName, "record " + std::to_string(record) + " of variable " + variableName +
                              " does not exist; the file holds " + std::to_string(records) +
                              " records");
  stored.record = static_cast<size_t>(record);
  stored.xFirst = variable.getDim(1).getName() == "x";
  stored.rowAfterRow = variable.getDim(2).getName() == "x";
  stored.ascending = rowsAscend(file, nrows);
  stored.unpack = unpackingOf(variable, nodata);
  return stored;
}

void NetCDFGridReader::readNetCDFGrid(std::string& name, std::vector<double>& values, int& nrows,
                                      int& ncols, double nodata) {
  loggingFailures(*diag, [&] {
    try {
      const StoredRecord stored = locateRecord(name, nrows, ncols, nodata);
      readWholeRecord(stored, std::max(nrows, 0), std::max(ncols, 0), values);
    } catch (const netCDF::exceptions::NcException& e) {
      failReading(name, e.what());
    }
  });
}

void NetCDFGridReader::readWholeRecord(const StoredRecord& stored, long rows, long columns,
                                       std::vector<double>& values) {
  const size_t cells = static_cast<size_t>(rows) * static_cast<size_t>(columns);
  const bool xFirst = stored.xFirst;
  const bool ascending = stored.ascending;
  const Unpacking& unpack = stored.unpack;
  const std::vector<size_t> start = {stored.record, 0, 0};
  const std::vector<size_t> count = {1, static_cast<size_t>(xFirst ? columns : rows),
                                     static_cast<size_t>(xFirst ? rows : columns)};
  values.resize(cells);
  double* result = values.data();

  if (stored.rowAfterRow) {
    storedValues.resize(cells);
    stored.variable.getVar(start, count, storedValues.data());
    const double* cell = storedValues.data();
#pragma omp parallel for schedule(static)
    for (long j = 0; j < columns; j++)
      for (long k = 0; k < rows; k++) {
        const long storedRow = ascending ? rows - 1 - k : k;
        result[j * rows + k] = unpack(cell[storedRow * columns + j]);
      }
  } else {
    // Columns as stored; one whose rows ascend is turned north first.
    stored.variable.getVar(start, count, result);
    const bool reverse = xFirst && ascending;
#pragma omp parallel for schedule(static)
    for (long j = 0; j < columns; j++) {
      double* column = result + j * rows;
      if (reverse) std::reverse(column, column + rows);
      for (long k = 0; k < rows; k++) column[k] = unpack(column[k]);
    }
  }
}

void NetCDFGridReader::findNetCDFGridSize(std::string& name, int& nrows, int& ncols,
                                          double nodata) {
  try {
    locateRecord(name, nrows, ncols, nodata);
  } catch (const netCDF::exceptions::NcException& e) {
    failReading(name, e.what());
  }
}

void NetCDFGridReader::findNetCDFGeoreference(std::string& name, double* header) {
  const std::string whole = name;
  int nrows = 0;
  int ncols = 0;
  std::vector<double> x;
  std::vector<double> y;
  try {
    locateRecord(name, nrows, ncols, -9999.0);
    const netCDF::NcFile& file = openFile(name);
    readCoordinate(file, "x", ncols, x);
    readCoordinate(file, "y", nrows, y);
  } catch (const netCDF::exceptions::NcException& e) {
    failReading(name, e.what());
  }
  const auto spacing = [](const std::vector<double>& v) {
    return v.size() < 2 ? 0.0 : std::fabs(v[1] - v[0]);
  };
  const double cellsize = std::max(spacing(x), spacing(y));
  const bool square =
      x.size() < 2 || y.size() < 2 || std::fabs(spacing(x) - spacing(y)) <= 1e-9 * cellsize;
  if (x.empty() || y.empty() || !(cellsize > 0.0) || !square)
    throw NetCDFReadFailure{
        22, "FATAL: the netCDF grid " + whole +
                " defines the model grid, so it needs the coordinate variables x (" +
                std::to_string(ncols) + " values) and y (" + std::to_string(nrows) +
                " values) holding the western and southern edges of square cells, as horva "
                "writes them"};
  header[0] = ncols;
  header[1] = nrows;
  header[2] = std::min(x.front(), x.back());
  header[3] = std::min(y.front(), y.back());
  header[4] = cellsize;
}

void NetCDFGridReader::readNetCDFRows(std::string& name, long firstRow, long lastRow,
                                      std::vector<double>& values, int& nrows, int& ncols,
                                      double nodata) {
  try {
    const StoredRecord stored = locateRecord(name, nrows, ncols, nodata);
    const long rows = std::max(nrows, 0);
    const long columns = std::max(ncols, 0);
    values.clear();
    if (columns < 1 || firstRow < 1 || lastRow > rows || lastRow < firstRow) return;
    const long count = lastRow - firstRow + 1;
    values.resize(static_cast<size_t>(count) * static_cast<size_t>(columns));
    double* result = values.data();
    const Unpacking& unpack = stored.unpack;
    if (!stored.rowAfterRow && !stored.xFirst) {
      // Without an "x" dimension the record is taken in its stored order as
      // the columns of the grid, so that a row is spread over all of it.
      std::vector<double> whole;
      readWholeRecord(stored, rows, columns, whole);
#pragma omp parallel for schedule(static)
      for (long i = 0; i < count; i++)
        for (long j = 0; j < columns; j++)
          result[i * columns + j] = whole[static_cast<size_t>(j * rows + firstRow - 1 + i)];
      return;
    }
    // The stored rows from the first one read; ascending rows are stored
    // south first.
    const bool ascending = stored.ascending;
    const size_t storedFirst = static_cast<size_t>(ascending ? rows - lastRow : firstRow - 1);
    const size_t cells = values.size();
    storedValues.resize(cells);
    const double* cell = storedValues.data();
    if (stored.rowAfterRow) {
      stored.variable.getVar({stored.record, storedFirst, 0},
                             {1, static_cast<size_t>(count), static_cast<size_t>(columns)},
                             storedValues.data());
#pragma omp parallel for schedule(static)
      for (long i = 0; i < count; i++) {
        const long storedRow = ascending ? count - 1 - i : i;
        for (long j = 0; j < columns; j++)
          result[i * columns + j] = unpack(cell[storedRow * columns + j]);
      }
    } else {
      stored.variable.getVar({stored.record, 0, storedFirst},
                             {1, static_cast<size_t>(columns), static_cast<size_t>(count)},
                             storedValues.data());
#pragma omp parallel for schedule(static)
      for (long i = 0; i < count; i++) {
        const long storedRow = ascending ? count - 1 - i : i;
        for (long j = 0; j < columns; j++)
          result[i * columns + j] = unpack(cell[j * count + storedRow]);
      }
    }
  } catch (const netCDF::exceptions::NcException& e) {
    failReading(name, e.what());
  }
}

NetCDFRecordAxis NetCDFGridReader::readRecordAxis(const std::string& fileName,
                                                  const std::string& variableName) {
  NetCDFRecordAxis axis;
  try {
    const netCDF::NcFile& file = openFile(fileName);
    const netCDF::NcDim records = gridVariable(file, fileName, variableName).getDim(0);
    axis.records = records.getSize();
    axis.dimension = records.getName();
    const netCDF::NcVar time = file.getVar(axis.dimension);
    if (time.isNull() || time.getDimCount() != 1 || time.getDim(0).getName() != axis.dimension)
      return axis;
    const std::string units = textAttribute(time, "units");
    if (!namesReferenceDate(units)) return axis;
    axis.dated = true;
    axis.units = units;
    axis.calendar = textAttribute(time, "calendar");
    axis.times.resize(axis.records);
    if (axis.records > 0) time.getVar(axis.times.data());
  } catch (const netCDF::exceptions::NcException& e) {
    failReading(fileName, e.what());
  }
  return axis;
}

const NetCDFCoordinates& NetCDFGridReader::coordinatesOf(const std::string& fileName, int nrows,
                                                         int ncols) {
  const auto found = coordinates.find(fileName);
  if (found != coordinates.end()) return found->second;
  NetCDFCoordinates read;
  try {
    const netCDF::NcFile& file = openFile(fileName);
    readCoordinate(file, "x", ncols, read.x);
    readCoordinate(file, "y", nrows, read.y);
  } catch (const netCDF::exceptions::NcException& e) {
    failReading(fileName, e.what());
  }
  return coordinates.emplace(fileName, std::move(read)).first->second;
}

netCDF::NcFile& NetCDFGridReader::openFile(const std::string& fileName) {
  const auto found = openFiles.find(fileName);
  if (found != openFiles.end()) return *found->second;
  if (openFiles.size() >= MaxOpenNetCDFFiles)
    throw NetCDFReadFailure{
        1100, "FATAL: more than " + std::to_string(MaxOpenNetCDFFiles) +
                  " different netCDF files can not be hold open at the same time. If you read "
                  "time series of input grids from netCDF, please put all the single nc files "
                  "into one large file or into some groups of files"};
  auto file = std::make_unique<netCDF::NcFile>(fileName, netCDF::NcFile::read);
  return *openFiles.emplace(fileName, std::move(file)).first->second;
}
