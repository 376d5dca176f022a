// A raster resampled onto the model grid gives the cells beyond it the
// values of its edge: a mistyped corner would pass as one constant value
// everywhere. Every cell of the catchment must lie on the raster.
#include <cmath>
#include <sstream>

#include "core/grid_file_read.h"
#include "core/grid_resampler.h"

void modelobject::refuseUncoveredCatchment(const std::string& name, const GridHeader& source) {
  const GridRegistryEntry* zones = registry ? &registry[1] : nullptr;
  if (!zones || !zones->grid) return;
  // Half a cell of slack: a raster that ends at the catchment's outer edge
  // covers it.
  const double slack = 0.5 * header.cellsize;
  const double west = source.xllcorner - slack;
  const double east =
      source.xllcorner + static_cast<double>(source.ncols) * source.cellsize + slack;
  const double south = source.yllcorner - slack;
  const double north =
      source.yllcorner + static_cast<double>(source.nrows) * source.cellsize + slack;
  const long first = std::max(1L, zones->firstRow);
  const long last = std::min(header.nrows, zones->lastRow);
  for (long r = first; r <= last; ++r) {
    const double* row = zones->grid[r];
    if (!row) continue;
    const double y =
        header.yllcorner + (static_cast<double>(header.nrows - r) + 0.5) * header.cellsize;
    for (long c = 1; c <= header.ncols; ++c) {
      if (row[c] == header.nodata) continue;
      const double x = header.xllcorner + (static_cast<double>(c) - 0.5) * header.cellsize;
      if (x >= west && x <= east && y >= south && y <= north) continue;
      std::ostringstream text;
      text.precision(12);
      text << "FATAL: the grid file " << name << " covers x from " << source.xllcorner << " to "
           << source.xllcorner + static_cast<double>(source.ncols) * source.cellsize
           << " and y from " << source.yllcorner << " to "
           << source.yllcorner + static_cast<double>(source.nrows) * source.cellsize
           << ", but the catchment's cell at row " << r << ", column " << c << " (centre " << x
           << ", " << y
           << ") lies outside it; check xllcorner, yllcorner and cellsize of the file, and give a "
              "grid that covers every cell of the catchment";
      fail(gridReadFailedCode, text.str());
    }
  }
}

// Between cell centres a value takes the four cells of the file around it:
// at the edge of the file's values a cell of the catchment whose own cell of
// the file holds a value would become nodata, and fail later in the module
// that needs it, far from the cause.
void modelobject::refuseGapsOfResampling(const std::string& name, Grid source,
                                         const GridHeader& sourceHeader, Grid whole) {
  const GridRegistryEntry* zones = registry ? &registry[1] : nullptr;
  if (!zones || !zones->grid) return;
  const long first = std::max(1L, zones->firstRow);
  const long last = std::min(header.nrows, zones->lastRow);
  const auto gap = [&](long r, long c) {
    const double* zone = zones->grid[r];
    return zone && zone[c] != header.nodata && whole[r][c] == header.nodata;
  };
  bool any = false;
  for (long r = first; r <= last && !any; ++r)
    for (long c = 1; c <= header.ncols && !any; ++c) any = gap(r, c);
  if (!any) return;
  // The value of the file's cell under each centre.
  OwnedRows under(*this, header.ncols, header.nrows);
  under.allocate(1, header.nrows);
  GridHeader target = header;
  target.firstRow = 1;
  target.lastRow = header.nrows;
  if (!resampleToModelGrid(source, sourceHeader, under.grid, target, nullptr,
                           Resampling::nearestCell))
    return;
  for (long r = first; r <= last; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      if (!gap(r, c) || under.grid[r][c] == header.nodata) continue;
      std::ostringstream text;
      text.precision(12);
      text << "FATAL: the grid file " << name << ", of cells of " << sourceHeader.cellsize
           << " from (" << sourceHeader.xllcorner << ", " << sourceHeader.yllcorner
           << "), resampled onto the model's cells of " << header.cellsize
           << " gives no value at row " << r << ", column " << c
           << ", a cell of the catchment, although the file's cell under its centre holds "
           << under.grid[r][c]
           << ": a value between cell centres takes the four cells of the file around it, and "
              "one of them holds nodata. Give the grid on the model's cells, or values in the "
              "file's cells around the catchment as well";
      fail(gridReadFailedCode, text.str());
    }
}
