#pragma once

class SoilColumn;

// The river of a river cell for one sub-step, and what its record offers.
struct RiverCell {
  double depth = 0.0;    // "river_depth" D (m)
  double width = 0.0;    // "river_width" W (m)
  double leakage = 0.0;  // "kolmation" k_c (1/s)
  double cellSize = 0.0; // m
  // A cell linked to a subbasin's record ("river_links" above 0) may take
  // river water; any river cell may receive groundwater.
  bool linked = false;
  double discharge = 0.0; // of the record (m^3/s)
  double speed = 0.0;     // of the record (m/s)
  // The rate the record still offers the cell in the water step, as a rate
  // over the cell (m/s); set by the solver.
  double cap = 0.0;
};

// A column as the river sees it: the layers' thicknesses d[1..n] (m), the
// height of the surface, the layers' heads head[1..n], the layer and the
// height of the groundwater table.
struct RiverBank {
  const double* d;
  double surface;
  const double* head;
  int layers;
  int tableLayer;
  double tableHeight;
};

// What a linked river loses into a column whose table lies at or below the
// riverbed, k_c (z_bed + h_w - H_bed) W / dx, as a rate over the cell
// (m/s) before any cap; 0 where it loses nothing.
double riverLoss(const RiverBank& bank, const RiverCell& river);

// Exchange of a river cell with the layers around its riverbed, as rates
// per layer over the cell area (m/s) in column.riverInfiltration and
// column.riverExfiltration. Below a groundwater table at or under the
// riverbed the river loses water k_c (z_bed + h_w - H_bed) W / dx, h_w the
// water depth of the river, capped by what its record offers, into the
// layers from the riverbed down, each up to its free pores, then those
// above up to the river's water level; what finds no room stays in the
// river. Above the riverbed the saturated zone gives W k_c (h - z_bed) / dx
// from the table layer down to the riverbed layer, each down to field
// capacity.
void exchangeWithSurfaceWater(SoilColumn& column, const RiverCell& river, double dt);
