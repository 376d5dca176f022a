#pragma once

#include <vector>

class soil_class;
struct RiverCell;

// Where a column's table stands and what else of the cell the fluxes need,
// fixed for one sub-step.
struct ColumnCell {
  double tableLevel = 1.0;  // "groundwater_level": its integer part is the table layer g
  double tableHeight = 0.0; // z_0 + "groundwater_distance" (m)
  double slopeTangent = 0.0;
  double channelDensity = 0.0; // of the cell's subbasin
  int drainLayer = -1;         // "drainage_level"; -1 without drains
  double drainDistance = 0.0;  // m
  int clayLayer = -1;          // -1 without a clay layer
  double clayKsat = 0.0;       // m/s
  double thawDepth = -1.0;     // permafrost thaw depth (m); negative without one
  double reducedKsat = 1e-9;   // m/s below the thaw depth
};

// The per-layer arrays of one soil column and the operations of one
// Richards iteration on them. Index 0 is the surface node, 1 .. n the soil
// layers; q[i] is the flux across the bottom of layer i (q[0] through the
// surface), negative downward. Everything is sized once for the deepest
// column and reused cell after cell: the operations allocate nothing.
//
// With layered snow, the snow layers in use sit on top of the soil: snow
// layer k (1 the top of the pack, L on the soil) takes column index k - L,
// so that the bottom snow layer is index 0 and q[0] the flux from the pack
// into the soil; `first` is the index of the top of the pack (0 without
// snow).
class SoilColumn {
public:
  explicit SoilColumn(int maxLayers, int maxSnowLayers = 0);

  // Takes the layers of the soil type: thicknesses, bounds, field capacity
  // and saturated conductivities (reduced below a permafrost thaw depth).
  void bind(const soil_class& soil, int layerCount, const ColumnCell& cellValues);

  static double darcyFlux(double k, double upperHead, double lowerHead, double upperThickness,
                          double lowerThickness) {
    return -k * (upperHead - lowerHead) / ((upperThickness + lowerThickness) * 0.5);
  }

  // Puts snow layers u .. L of the snow type on the bound soil: thickness
  // and water content are the caller's, the rest the type's. u = L + 1
  // takes the snow off.
  void bindSnow(const soil_class& type, int snowLayerCount, int topLayer);
  static int snowIndex(int snowLayer, int snowLayerCount) { return snowLayer - snowLayerCount; }
  // The record and its layer for column index i.
  const soil_class& typeOf(int i) const { return i >= 1 ? *soil : *snow; }
  int layerOf(int i) const { return i >= 1 ? i : snowLayers + i; }

  int tableLayer() const;
  // The last layer an iteration updates: two below the table layer, or
  // below the deepest layer that exchanges water with a river, never below
  // n; the balance reaches three further down.
  int activeEnd() const;
  int balanceEnd() const;

  // Heads of the active range from the time-centred suction; psi0 is filled
  // on the first iteration. Returns the mean suction of the last layer.
  double updateHydraulicHeads(bool firstIteration);
  // Fluxes across the layer bottoms of the active range and the interflow
  // and drainage rates per layer, after the exchange with the river of a
  // river cell; the top flux is the infiltration rate offered (positive).
  // Returns the drainage rate of the drain layer.
  double computeLayerFluxes(double topFlux, double dt);
  // The flux across the bottom of `layer`, reduced so that the heads of the
  // layer and the one below do not cross within the step.
  double limitFluxByHeadOrder(int layer, double fluxAbove, double flux, double fluxBelow,
                              double dt) const;
  // Cuts inflows and outflows so that every layer of the range ends within
  // [thetaLow, thetaSat]; at most maxPasses passes from the bottom up.
  void balanceFluxesWithStorage(int maxPasses, double dt);
  // The same on working copies of the range, for columns below 200 layers.
  void balanceFluxesOnCopies(int maxPasses, double dt);
  // The new water contents of the active range and the running mean iterate
  // from which the next iteration takes its heads and conductivities;
  // returns the largest change of a water content.
  double updateWaterContents(int iteration, double dt);

  // The per-layer uptake (summed into uptake, per land-use layer into
  // layerUptake) and evaporation rates (m/s) of one land-use layer, from
  // the start-of-step water contents; returns the number of root layers.
  // rootDepth is raised to the first layer's thickness.
  int computeRootWaterUptake(double rootDist, double dryHead, double wetFraction, double wetLimit,
                             double addedDemand, double dt, double evaporationDepth,
                             double& rootDepth, double coverage, double demand,
                             double* layerUptake);

  // Water content stays within bounds only by water the step does not
  // have; the guard's change of storage (m of water) is booked here.
  double clampedWater = 0.0;
  // With the heat model, ice holds water that neither flows nor feeds
  // roots: uptake and evaporation see the unfrozen water.
  bool heatModel = false;

  const soil_class* soil = nullptr;
  int layers = 0; // n of this column
  int first = 0;  // top of the column: -(snow layers in use)
  const soil_class* snow = nullptr;
  int snowLayers = 0;            // L of the snow type
  double snowDrainage = 0.0;     // 1/m: interflow of snow layers
  double snowLiquidEffect = 0.0; // how far ice keeps snow water from flowing
  ColumnCell cell;
  // The river of a river cell, null elsewhere.
  const RiverCell* river = nullptr;
  static constexpr double fieldCapacitySuctionValue = 3.45;

  // Per layer -L .. n + 1.
  double* d;
  double* thetaSat;
  double* thetaLow;
  double* thetaFc;
  double* ksat;
  double* theta0;    // start of the water step
  double* theta;     // iterate from the last update
  double* thetaMean; // running mean iterate: heads and conductivities
  double* psi0;
  double* head;
  double* z; // z[i] the bottom of layer i, z[0] the surface
  double* q;
  double* lateral;    // interflow plus drainage (m/s)
  double* extraction; // sinks of the water step plus lateral, as the balance left them
  double* sink;       // root uptake, evaporation and baseflow of the water step (m/s)
  double* uptake;     // root uptake of all land-use layers (m/s)
  double* evaporation;
  double* meanKrel; // relative conductivity at the mean water content of the step
  // Unfrozen fraction of the water (1 without ice) and the share of the
  // water that flows, which suction and conductivity look up; both 1
  // unless the heat model sets them for the water step.
  double* unfrozen;
  double* liquid;
  double* thetaMin; // lower bound of the step: thetaLow, raised by the ice
  // Exchange with the river (m/s): infiltration from it and exfiltration
  // into it, as the balance left them.
  double* riverInfiltration;
  double* riverExfiltration;

private:
  struct SuctionLookup {
    int layer = 0;
    double theta = 0.0;
    double suction = 0.0;
  };
  mutable SuctionLookup lastSuction; // of the last head-order check
  std::vector<double> storage;
  int maxLayers;
  double relativeConductivity(int layer, double water) const;
  // The drains' rate from drain layer i, at most `drainable` (m/s).
  double drainFlux(int i, double drainable) const;
  // Two layers below `from`, or below the deepest layer that exchanges
  // with the river, never below n.
  int rangeEnd(int from) const;
};

// Water of a column between two depths below the surface (m); mode 1 in m
// of water, mode 0 the mean relative saturation. Nodata for a bottom at or
// above the surface or a top above it; a bottom of 9999 or below the
// column means the column's bottom.
double waterInDepthRange(double top, double bottom, int layers, const double* thickness,
                         const double* thetaSat, const double* theta, int mode, double nodata);
