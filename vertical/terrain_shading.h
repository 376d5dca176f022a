#pragma once

#include "core/grid_types.h"

// The whole grid that the shading scan reads and writes, rows and columns
// from 1; row numbers grow southward, column numbers eastward.
struct ShadingTerrain {
  Grid zone = nullptr;      // cells outside the catchment are nodata
  Grid elevation = nullptr; // metres
  Grid shadow = nullptr;    // out: 1.0 in the shadow of the terrain, 0.0 sunlit
  long nrows = 0;
  long ncols = 0;
  double cellsize = 0.0;
  double nodata = -9999.0;
};

// Casts the terrain's shadows for the sun at the azimuth (radians clockwise
// from north, in [0, 2 pi)) and the elevation (radians). Rays run away from
// the sun from every cell of the two grid edges that face it, one cell per
// step along the main axis of the sun's direction; the height of a ray
// starts at its first cell's elevation, sinks with the sun's slope and rises
// to every catchment cell it does not pass above. A catchment cell below the
// ray is in the shadow; the last ray through a cell decides.
void castTerrainShadows(const ShadingTerrain& terrain, double azimuth, double elevation);
