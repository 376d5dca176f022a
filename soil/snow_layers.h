#pragma once

class soil_class;

// Value of a snow layer that holds no snow.
constexpr double snowLayerNodata = -9999.0;

// The snow layers of one column, numbered 1 (top of the pack) .. layers (on
// the soil), each array indexed so. Ice and liquid water in mm, thickness
// in m, water content and density as fractions of the volume (the density
// relative to water), suction in m, temperature in degrees C. A layer that
// holds no snow has nodata in every array.
struct SnowPack {
  int layers = 0;
  double* ice = nullptr;
  double* liquid = nullptr;
  double* thickness = nullptr;
  double* theta = nullptr;
  double* liquidFraction = nullptr;
  double* density = nullptr;
  double* suction = nullptr;
  double* temperature = nullptr;
  // Ice and water content at the last update, for the shrinking of a layer
  // that loses ice.
  double* previousIce = nullptr;
  double* previousTheta = nullptr;

  bool inUse(int k) const { return theta[k] > snowLayerNodata + 0.1 && thickness[k] > 0.0; }
  // The uppermost layer in use; layers + 1 without snow.
  int top() const;
};

// What the pack takes from "[LayeredSnowModel]" and "[heat_transfer]".
struct SnowLayerConstants {
  double holdingCapacity = 0.1; // liquid water per unit of ice a layer holds
  double suctionFactor = 1.0;   // dTModFactor, m/K
  double iceCapacity = 2100.0;  // J/(kg K)
  double waterCapacity = 4187.0;
};

// Moves the layers in use down over layers without snow between them and
// the soil; returns the first layer that lay above such a gap, 0 without.
int closeSnowGaps(SnowPack& pack);

// Keeps the layers consistent after water moved through them: ice and
// liquid from the water content and the liquid fraction, layers of at most
// 0.05 mm of ice removed, liquid water beyond the holding capacity
// released, the suction of partly liquid layers, compaction of light
// layers to the nominal density of the snow type and the merging of thin
// ones. Returns the liquid water (mm) released from the pack.
double updateSnowLayers(const soil_class& type, const SnowLayerConstants& constants,
                        SnowPack& pack);

// Removes the layers of at most 0.05 mm of ice, as updateSnowLayers does,
// before they take part in a heat step: a sliver of snow would make the
// heat steps it needs countless. Returns their water (mm).
double dropThinSnowLayers(const soil_class& type, SnowPack& pack);
