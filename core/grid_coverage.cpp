// A raster resampled onto the model grid gives the cells beyond it the
// values of its edge: a mistyped corner would pass as one constant value
// everywhere. Every cell of the catchment must lie on the raster.
#include <cmath>
#include <sstream>

#include "core/grid_file_read.h"

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
