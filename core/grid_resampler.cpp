#include "core/grid_resampler.h"

#include <cmath>
#include <vector>

namespace {

// Where a target cell centre falls between two neighbouring source cell
// centres along one axis: the two cells (0-based) and the weight of the
// second. A point on a centre or beyond the edge has weight 0 and both cells
// equal, so that no further cell contributes.
struct Bracket {
  long low = 0;
  long high = 0;
  double weight = 0.0;
};

// Rounding of the coordinates must not move a point that lies on a source
// centre off it, or an aligned raster would be smeared and pick up the no-data
// of its neighbours. In source cells.
constexpr double centreTolerance = 1e-9;

// position: 0-based index of the source cell centres, fractional.
Bracket bracket(double position, long count) {
  const double nearest = std::round(position);
  if (std::fabs(position - nearest) < centreTolerance) position = nearest;
  if (!(position > 0.0)) return Bracket{0, 0, 0.0};
  if (position >= static_cast<double>(count - 1)) return Bracket{count - 1, count - 1, 0.0};
  const long low = static_cast<long>(std::floor(position));
  const double weight = position - static_cast<double>(low);
  return Bracket{low, weight > 0.0 ? low + 1 : low, weight};
}

} // namespace

bool resampleToModelGrid(Grid source, const GridHeader& sourceHeader, Grid target,
                         const GridHeader& model, Grid reference) {
  const GridHeader& s = sourceHeader;
  if (s.ncols < 1 || s.nrows < 1 || !(s.cellsize > 0.0) || !std::isfinite(s.cellsize) ||
      !std::isfinite(s.xllcorner) || !std::isfinite(s.yllcorner))
    return false;
  if (model.lastRow < model.firstRow) return true;

  // Positions in source cells, counted from the centre of the western column
  // and of the southern row. The offsets are taken apart from the cell
  // counts so that an aligned raster lands exactly on whole numbers.
  const double ratio = model.cellsize / s.cellsize;
  const double columnOffset = (model.xllcorner - s.xllcorner) / s.cellsize - 0.5;
  const double rowOffset = (model.yllcorner - s.yllcorner) / s.cellsize - 0.5;

  std::vector<Bracket> columns(static_cast<size_t>(model.ncols) + 1);
  for (long j = 1; j <= model.ncols; ++j)
    columns[j] = bracket(columnOffset + (static_cast<double>(j) - 0.5) * ratio, s.ncols);

  const double nodata = s.nodata;
  auto missing = [nodata](double v) { return v <= -9999.0 || v == nodata; };

#pragma omp parallel for schedule(runtime)
  for (long i = model.firstRow; i <= model.lastRow; ++i) {
    const Bracket row =
        bracket(rowOffset + (static_cast<double>(model.nrows - i) + 0.5) * ratio, s.nrows);
    const double* south = source[s.nrows - row.low];
    const double* north = source[s.nrows - row.high];
    const double t = row.weight;
    const double* mask = reference ? reference[i] : nullptr;
    double* out = target[i];
    for (long j = 1; j <= model.ncols; ++j) {
      if (mask && mask[j] <= -9999.0) {
        out[j] = mask[j];
        continue;
      }
      const Bracket& column = columns[j];
      const double southWest = south[column.low + 1];
      const double southEast = south[column.high + 1];
      const double northWest = north[column.low + 1];
      const double northEast = north[column.high + 1];
      if (missing(southWest) || missing(southEast) || missing(northWest) || missing(northEast)) {
        out[j] = model.nodata;
        continue;
      }
      const double w = column.weight;
      out[j] = (1.0 - w) * (1.0 - t) * southWest + w * (1.0 - t) * southEast +
               (1.0 - w) * t * northWest + w * t * northEast;
    }
  }
  return true;
}
