#pragma once

#include <vector>

#include "config/soil_class.h"

// What "[heat_transfer]" fixes for the heat of every soil column.
struct HeatModelSettings {
  int method = 11;          // below 11 explicit, 11 implicit, above 11 implicit with water flow
  double lambdaWater = 0.0; // W/(m K)
  double lambdaIce = 0.0;
  double latentHeat = 0.0;      // J per m^3 of water that freezes
  SoilHeatConstants capacities; // J/(m^3 K)
  double shortestStep = 0.0;    // s
  double longestStep = 0.0;     // s
  double nFactorFreezing = 1.0;
  double nFactorThawing = 1.0;
  // How far ice takes the water of a layer out of its flow (1: all of it).
  double liquidEffect = 1.0;
};

// The temperatures around a column for one heat step: the surface, below
// the column (a temperature, or an upward heat flux in W/m^2 from which one
// follows) and the water of sources.
struct HeatBoundary {
  double surface = 0.0;
  double lower = 0.0;
  bool lowerIsFlux = false;
  double source = 0.0;
};

// The heat of one soil column: per-layer temperatures, conductivities and
// capacities, and the operations of a heat step on them. Index 0 is the
// surface node, 1 .. n the soil layers; flux[i] is the heat flux across
// the bottom of layer i (flux[0] through the surface), negative downward,
// and so is the water flux w[i]. Sized once for the deepest column.
class HeatColumn {
public:
  // Volumetric heat capacity of the water that flow and sources carry.
  static constexpr double waterCapacity = 4.187e6;

  explicit HeatColumn(int maxLayers, int maxSnowLayers = 0);

  // Takes the layers of the soil type; the temperatures are the caller's.
  void bind(const soil_class& soil, int layerCount, const double* thickness);
  // Puts the snow layers u .. L of the snow type on the soil at the
  // indices of the water column (snow layer k at k - L), with the
  // thicknesses given there.
  void bindSnow(const soil_class& type, int snowLayerCount, int topLayer, const double* thickness);
  const soil_class& typeOf(int i) const { return i >= 1 ? *soil : *snow; }
  int layerOf(int i) const { return i >= 1 ? i : snowLayers + i; }

  // Unfrozen fraction and its slope, conductivity and capacities of every
  // layer at the present temperatures and the water contents.
  void prepare(const HeatModelSettings& settings, const double* theta);
  // Conductivity per layer, a geometric mean over solid, water, ice and air.
  void computeThermalConductivities(double lambdaWaterValue, double lambdaIceValue, int first,
                                    const double* theta);
  // z_i := z_i (x_i - y_i) L where x_i exceeds y_i, else 0; L the latent
  // heat per m^3 of water.
  void computeLatentHeatSource(int first, const double* x, const double* y, double* z) const;
  // Conductive fluxes across the layer bottoms and the surface.
  void computeHeatFluxes(int first, double lowerTemperature, double surface);
  // Change of every layer over dt seconds from the fluxes.
  void computeTemperatureChange(int first, const double* capacity, double dt);
  // Adds the change from the bottom up; with limit no layer passes the
  // neighbour its heat comes from.
  void applyTemperatureChange(int first, const double* neighbours, bool limit,
                              double lowerTemperature, double surface);
  // Backward Euler over dt seconds; with flow, water entering a layer
  // brings the temperature it comes from, and sources bring theirs.
  void solveHeatImplicit(int first, const double* capacity, double dt, double surface,
                         double lowerTemperature, double sourceTemperature, bool flow);

  // The temperature below the column at the present state.
  double lowerTemperature(const HeatBoundary& boundary) const;
  // Heat steps in `seconds` by the accuracy of the top layer and the
  // limits of the settings, for the explicit path also by its stability;
  // `raised` tells whether the stability bound decided.
  long stepCount(const HeatModelSettings& settings, double seconds, const HeatBoundary& boundary,
                 bool& raised);
  // One heat step of dt seconds: the present state as prepare leaves it,
  // the change, and the latent heat the change frees or takes.
  void step(const HeatModelSettings& settings, const double* theta, double dt,
            const HeatBoundary& boundary);
  // Enthalpy of every layer relative to liquid water at 0 degrees C (J/m^2)
  // into energy; returns their sum.
  double updateEnthalpy(const HeatModelSettings& settings, const double* theta);
  // Depth of the first 0 degrees C below the surface (m).
  double thawDepth(double surface) const;
  // Frozen thickness of layers from .. n (m).
  double frozenThickness(int from) const;

  const soil_class* soil = nullptr;
  int layers = 0;
  int first = 0; // top of the column: -(snow layers in use)
  const soil_class* snow = nullptr;
  int snowLayers = 0;
  double latentHeat = 0.0; // J/m^3 of water, from the settings of prepare

  // Per layer -L .. n + 1.
  double* d;
  double* T;
  double* start;    // at the start of the water step
  double* previous; // at the start of the heat step
  double* lambda;
  double* capacity;  // sensible
  double* latent;    // latent heat per K that the freezing curve frees or takes
  double* effective; // capacity + latent
  double* unfrozen;
  double* slope; // of the unfrozen fraction, per K
  double* energy;
  double* flux;
  double* change;
  double* w;      // water flux across the layer bottoms, m/s
  double* source; // water entering layers from sources, m/s
  double *a, *b, *c, *r;

  // Unfrozen fraction and slope, and the heat capacity, of every layer from
  // the top of the column, each by the record of its layer.
  void unfrozenWater(const double* temperature, const double* theta, double* fraction,
                     double* fractionSlope) const;

private:
  void heatCapacities(const SoilHeatConstants& constants, const double* theta);
  // Finds the temperatures whose enthalpy equals what the heat step gave
  // each layer, so that freezing frees and thawing takes the latent heat.
  // Returns whether any layer froze or thawed.
  bool conserveEnthalpy(const HeatModelSettings& settings, const double* theta);
  double enthalpyDensity(const HeatModelSettings& settings, int layer, double temperature,
                         double theta, double unfrozenFraction) const;
  std::vector<double> storage;
  double *target, *guess, *low, *high, *guessUnfrozen, *guessSlope, *ice;
  int maxLayers;
};
