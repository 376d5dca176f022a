#pragma once

#include "core/grid_types.h"

// How a raster that does not lie on the model grid takes its values there:
// values are interpolated between the cells around a target cell's centre;
// codes (zones, soils, land uses ...) cannot be blended, so a target cell
// takes the code of the cell its centre lies in. The state a run leaves for
// a warm start holds values of its own cells, which no other grid's cells
// can take: such a file must lie on the model grid (onModelGrid).
enum class Resampling { bilinear, nearestCell, onModelGrid };

// The method as the log names it.
const char* resamplingText(Resampling method);

// Resamples a raster onto the model grid, bilinearly or by the nearest cell.
//
// source: every row 1..sourceHeader.nrows (row 1 is the northern edge) and
//   columns 1..sourceHeader.ncols. sourceHeader.xllcorner and yllcorner are
//   the true lower left corner of the raster (not the centre of its lower left
//   cell), cellsize its square cell. A source cell equal to sourceHeader.nodata
//   or at -9999 or below has no data. firstRow and lastRow are not used.
// target: rows model.firstRow..model.lastRow (the local rows; row i lies
//   model.nrows - i cells above model.yllcorner) and columns 1..model.ncols.
// reference: null, or a grid holding the same rows as the target; a target
//   cell whose reference value is -9999 or below takes that value.
//
// Each target cell is sampled at its centre: bilinearly from the four source
// cells around it, where a target cell that draws any weight from a source
// cell without data becomes model.nodata; by the nearest cell from the one
// source cell that holds the centre (a centre on a cell border takes the
// cell to its east or north), model.nodata where that cell has no data.
// Either way a raster aligned with the model grid comes back unchanged, and
// points beyond the raster take the values of its edge rows and columns.
//
// Returns false and leaves the target untouched when the source geometry is
// unusable (no rows or columns, a cell size that is not positive, a corner
// that is not finite).
[[nodiscard]] bool resampleToModelGrid(Grid source, const GridHeader& sourceHeader, Grid target,
                                       const GridHeader& model, Grid reference,
                                       Resampling method = Resampling::bilinear);

// The source rows (from the north) that target rows model.firstRow..lastRow
// draw from by either method: firstRow > lastRow when there are none. Returns false when the
// source geometry is unusable, as resampleToModelGrid does.
[[nodiscard]] bool sourceRowsOfModelRows(const GridHeader& sourceHeader, const GridHeader& model,
                                         long& firstRow, long& lastRow);
