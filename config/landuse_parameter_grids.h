#pragma once

#include <array>
#include <vector>

#include "core/grid_types.h"

// The parameter grids of one land-use layer, in the order they are
// registered; each is registered under its name followed by the layer.
enum LanduseLayerGrid {
  rootDepthGrid,
  vegetationCoverageGrid,
  leafAreaIndexGrid,
  canopyResistanceGrid,
  interceptionResistanceGrid,
  roughnessLengthGrid,
  vegetationStartGrid,
  vegetationStopGrid,
  vegetationDurationGrid,
  landuseLayerGridCount
};

extern const char* const landuseLayerGridNames[landuseLayerGridCount];

// What the control-file reader keeps of the land-use parameter grids.
struct LanduseParameterGrids {
  int layers = 0; // 0 until the grids are generated
  long firstRow = 0;
  long lastRow = 0;
  std::vector<Grid> landuse; // the layer grids, index 1..layers
  std::vector<std::array<int, landuseLayerGridCount>> indices;
  std::vector<std::array<Grid, landuseLayerGridCount>> grids;
  int evaporationResistanceIndex = 0;
  Grid evaporationResistance = nullptr;
  int albedoIndex = 0;
  Grid albedo = nullptr;
  // "DynamicPhenology": level k the shift (days) of layer k's fix points,
  // level layers + k the degree-day sum of its running search (-1 when no
  // search runs); the grid holds the shift of layer 1.
  Stack phenology = nullptr;
  Grid phenologyView = nullptr;
  // Vegetation period of the table: smallest VegStart, largest VegStop.
  int vegetationStartDay = 0;
  int vegetationEndDay = 0;
  // Date of the last update, to find the first step of a day.
  long lastDay = -1;
  long lastYear = -1;
  // Per record, the parameters at the day without shift.
  std::vector<double> recordValues;
};
