#include "core/grid_resampler.h"

#include <algorithm>
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

// position as for bracket: the 0-based cell that holds the point, the edge
// cells for points beyond the raster.
long holdingCell(double position, long count) {
  double edge = position + 0.5; // in cells from the western or southern edge
  const double whole = std::round(edge);
  if (std::fabs(edge - whole) < centreTolerance) edge = whole;
  if (!(edge >= 1.0)) return 0;
  if (edge >= static_cast<double>(count)) return count - 1;
  return static_cast<long>(std::floor(edge));
}

bool usableSource(const GridHeader& s) {
  return s.ncols >= 1 && s.nrows >= 1 && s.cellsize > 0.0 && std::isfinite(s.cellsize) &&
         std::isfinite(s.xllcorner) && std::isfinite(s.yllcorner);
}

// Positions in source cells, counted from the centre of the western column
// and of the southern row. The offsets are taken apart from the cell counts
// so that an aligned raster lands exactly on whole numbers.
struct SourcePositions {
  SourcePositions(const GridHeader& s, const GridHeader& model)
      : ratio(model.cellsize / s.cellsize),
        columnOffset((model.xllcorner - s.xllcorner) / s.cellsize - 0.5),
        rowOffset((model.yllcorner - s.yllcorner) / s.cellsize - 0.5), modelRows(model.nrows),
        sourceRows(s.nrows) {}
  double rowPosition(long i) const {
    return rowOffset + (static_cast<double>(modelRows - i) + 0.5) * ratio;
  }
  double columnPosition(long j) const {
    return columnOffset + (static_cast<double>(j) - 0.5) * ratio;
  }
  Bracket row(long i) const { return bracket(rowPosition(i), sourceRows); }
  double ratio;
  double columnOffset;
  double rowOffset;
  long modelRows;
  long sourceRows;
};

// Every target cell of the rows takes its reference value where the
// reference has no data there, else valueAt(column) of the function that
// rowValues(row) gives for its row.
template <typename RowValues>
void fillTargetRows(Grid target, const GridHeader& model, Grid reference, RowValues rowValues) {
#pragma omp parallel for schedule(runtime)
  for (long i = model.firstRow; i <= model.lastRow; ++i) {
    const auto valueAt = rowValues(i);
    const double* mask = reference ? reference[i] : nullptr;
    double* out = target[i];
    for (long j = 1; j <= model.ncols; ++j)
      out[j] = mask && mask[j] <= -9999.0 ? mask[j] : valueAt(j);
  }
}

void resampleNearest(Grid source, const GridHeader& s, Grid target, const GridHeader& model,
                     Grid reference) {
  const SourcePositions at(s, model);
  std::vector<long> columns(static_cast<size_t>(model.ncols) + 1);
  for (long j = 1; j <= model.ncols; ++j)
    columns[j] = holdingCell(at.columnPosition(j), s.ncols) + 1;
  const double nodata = s.nodata;
  fillTargetRows(target, model, reference, [&](long i) {
    const double* from = source[s.nrows - holdingCell(at.rowPosition(i), s.nrows)];
    return [&, from](long j) {
      const double v = from[columns[j]];
      return v <= -9999.0 || v == nodata ? model.nodata : v;
    };
  });
}

void resampleBilinear(Grid source, const GridHeader& s, Grid target, const GridHeader& model,
                      Grid reference) {
  const SourcePositions at(s, model);
  std::vector<Bracket> columns(static_cast<size_t>(model.ncols) + 1);
  for (long j = 1; j <= model.ncols; ++j) columns[j] = bracket(at.columnPosition(j), s.ncols);
  const double nodata = s.nodata;
  auto missing = [nodata](double v) { return v <= -9999.0 || v == nodata; };
  fillTargetRows(target, model, reference, [&](long i) {
    const Bracket row = at.row(i);
    const double* south = source[s.nrows - row.low];
    const double* north = source[s.nrows - row.high];
    return [&, south, north, t = row.weight](long j) {
      const Bracket& column = columns[j];
      const double southWest = south[column.low + 1];
      const double southEast = south[column.high + 1];
      const double northWest = north[column.low + 1];
      const double northEast = north[column.high + 1];
      if (missing(southWest) || missing(southEast) || missing(northWest) || missing(northEast))
        return model.nodata;
      const double w = column.weight;
      return (1.0 - w) * (1.0 - t) * southWest + w * (1.0 - t) * southEast +
             (1.0 - w) * t * northWest + w * t * northEast;
    };
  });
}

} // namespace

const char* resamplingText(Resampling method) {
  switch (method) {
  case Resampling::nearestCell:
    return "by the nearest cell (each cell takes the code of the file's cell under its centre)";
  case Resampling::onModelGrid:
    return "not at all: it must lie on the model grid";
  default:
    return "by bilinear interpolation";
  }
}

bool sourceRowsOfModelRows(const GridHeader& sourceHeader, const GridHeader& model, long& firstRow,
                           long& lastRow) {
  if (!usableSource(sourceHeader)) return false;
  const SourcePositions at(sourceHeader, model);
  firstRow = sourceHeader.nrows + 1;
  lastRow = 0;
  for (long i = model.firstRow; i <= model.lastRow; ++i) {
    const Bracket row = at.row(i);
    firstRow = std::min(firstRow, sourceHeader.nrows - row.high);
    lastRow = std::max(lastRow, sourceHeader.nrows - row.low);
  }
  return true;
}

bool resampleToModelGrid(Grid source, const GridHeader& sourceHeader, Grid target,
                         const GridHeader& model, Grid reference, Resampling method) {
  const GridHeader& s = sourceHeader;
  if (!usableSource(s)) return false;
  if (model.lastRow < model.firstRow) return true;

  if (method == Resampling::nearestCell)
    resampleNearest(source, s, target, model, reference);
  else
    resampleBilinear(source, s, target, model, reference);
  return true;
}
