#pragma once

class soil_class;

// Where the groundwater table of a column stands: its height relative to the
// surface (negative below it), the layer g that holds it and the water
// content of that layer that places it there, from the content at field
// capacity (table at the bottom of g) to saturation (table at the top).
struct ColumnTable {
  double distance = 0.0;
  double layer = 0.0;
  double theta = 0.0;
};

// Suction (m) of field capacity.
constexpr double fieldCapacitySuction = 3.45;

// The layer that holds a table at height h: the first layer whose bottom lies
// below it, the last layer when the table lies below the column.
int tableLayerOf(const double* z, int layers, double height);

// A column at rest over a groundwater table at the given height: levels
// 0 .. layers of the geodetic heights z (z_0 the surface, z_k the bottom of
// layer k), water contents and hydraulic heads. The layers above the table's
// layer hold the water of hydrostatic equilibrium with the table, so that
// their heads equal its height; the table's layer and those below it are
// saturated.
void setColumnAtRest(const soil_class& soil, int layers, double surface, double tableHeight,
                     double* z, double* theta, double* head, ColumnTable& table);
