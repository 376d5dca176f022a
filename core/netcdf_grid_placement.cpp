// A netCDF grid is not resampled: where it has coordinates, they must be
// those of the model grid's cells, the western and southern edges (as horva
// writes them) or the centres (as most other writers do). A file of the
// right size that lies elsewhere would else be taken cell for cell.
#include <algorithm>
#include <cmath>
#include <sstream>

#include "core/grid_file_read.h"

namespace {

// How far a coordinate may lie from its place: a thousandth of a cell, or
// what a float holds of a coordinate far from the origin.
double placeTolerance(double value, double cellsize) {
  return std::max(1e-3 * cellsize, 1e-6 * std::fabs(value));
}

// The first value of the axis that does not lie on the cells' edges or
// centres from corner on (the one of the first value decides which), the
// values running up, or (where may) down; -1 when none.
long firstStrayValue(const std::vector<double>& v, double corner, double cellsize,
                     bool mayDescend) {
  const long n = static_cast<long>(v.size());
  const bool descending = n >= 2 && v[1] < v[0];
  if (descending && !mayDescend) return 1;
  const double offset = std::fabs(v[0] - (corner + (descending ? (n - 1) * cellsize : 0.0))) <=
                                placeTolerance(v[0], cellsize)
                            ? 0.0
                            : 0.5 * cellsize;
  for (long i = 0; i < n; ++i) {
    const double place =
        corner + offset + static_cast<double>(descending ? n - 1 - i : i) * cellsize;
    if (std::fabs(v[static_cast<size_t>(i)] - place) > placeTolerance(place, cellsize)) return i;
  }
  return -1;
}

} // namespace

std::string netcdfPlacementFault(const NetCDFCoordinates& coordinates, const GridHeader& model) {
  const double cs = model.cellsize;
  const long strayX =
      coordinates.x.empty() ? -1 : firstStrayValue(coordinates.x, model.xllcorner, cs, false);
  const long strayY =
      coordinates.y.empty() ? -1 : firstStrayValue(coordinates.y, model.yllcorner, cs, true);
  if (strayX < 0 && strayY < 0) return "";
  std::ostringstream text;
  text.precision(12);
  text << "does not lie on the model grid: its coordinates ";
  if (!coordinates.x.empty())
    text << "x run from " << coordinates.x.front() << " to " << coordinates.x.back()
         << (coordinates.y.empty() ? "" : " and y from ");
  else
    text << "y run from ";
  if (!coordinates.y.empty()) text << coordinates.y.front() << " to " << coordinates.y.back();
  text << ", but the model grid's " << model.ncols << " columns and " << model.nrows
       << " rows of cells of " << cs << " have their western edges at x = " << model.xllcorner
       << " ... " << model.xllcorner + static_cast<double>(model.ncols - 1) * cs
       << ", from west to east, and their southern edges at y = " << model.yllcorner << " ... "
       << model.yllcorner + static_cast<double>(model.nrows - 1) * cs
       << " (their centres half a cell further east and north); ";
  if (strayX >= 0)
    text << "x[" << strayX << "] = " << coordinates.x[static_cast<size_t>(strayX)];
  else
    text << "y[" << strayY << "] = " << coordinates.y[static_cast<size_t>(strayY)];
  text << " is neither. A netCDF grid is not resampled: give it the coordinates of the model "
          "grid's cells (their edges or their centres), or the model grid its place";
  return text.str();
}

void modelobject::checkNetCDFPlacement(const std::string& name, const std::string& fileName,
                                       int rows, int cols) {
  const std::string fault = netcdfPlacementFault(
      [&]() -> const NetCDFCoordinates& {
        try {
          return netcdfReader->coordinatesOf(fileName, rows, cols);
        } catch (const NetCDFReadFailure& failure) {
          fail(failure.code, failure.message);
        }
      }(),
      header);
  if (!fault.empty()) fail(gridReadFailedCode, "FATAL: the netCDF grid " + name + " " + fault);
}

void modelobject::checkNetCDFGridFile(const std::string& name) {
  if (!netcdfOnModelGrid()) return;
  try {
    std::string fileName = name;
    int rows = static_cast<int>(header.nrows);
    int cols = static_cast<int>(header.ncols);
    try {
      netcdfReader->findNetCDFGridSize(fileName, rows, cols, header.nodata);
    } catch (const NetCDFReadFailure& failure) {
      fail(failure.code, failure.message);
    }
    checkNetCDFGridSize(name, rows, cols);
    checkNetCDFPlacement(name, fileName, rows, cols);
  } catch (const GridReadFailure& failure) {
    *diag << failure.message << "[end-entry]";
    throw failure.code;
  }
}
