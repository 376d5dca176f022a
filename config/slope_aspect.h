#pragma once

#include "core/grid_types.h"

// The cells of a whole grid, rows and columns from 1.
struct GridShape {
  long nrows;
  long ncols;
  double cellsize;
  double nodata;
};

// Slope (degrees from the horizontal) and aspect (degrees clockwise from
// north, the direction the slope faces) of rows 2 .. nrows - 1 and columns
// 2 .. ncols - 1 from central differences of the elevations; every other
// cell, and every cell with a nodata elevation north, south, west or east of
// it, is nodata. Either result grid may be null.
void slopeAndAspectFromElevation(Grid elevation, Grid slope, Grid aspect, const GridShape& shape);

// Two passes in row order over the cells with an elevation: a cell without
// a value takes the mean of those of its eight neighbours that have one,
// including neighbours filled before it, so a wider gap closes from its
// edges. Angles are averaged as directions: 350 and 10 give 0, not 180, and
// directions that cancel give 0, the aspect of flat ground.
void fillFromValuedNeighbours(Grid elevation, Grid values, const GridShape& shape, bool angles);
