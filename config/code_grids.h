#pragma once

#include <string>

#include "core/grid_resampler.h"

// The grids the model reads as codes, by their registry name: the zones, the
// regions, the soil types, the land uses, the lakes, the glaciers, the
// irrigated fields, the river links and the response units. A code is a
// class, not an amount, so a file of another geometry must not blend two of
// them into a third.
bool holdsCodes(const std::string& registryName);

inline Resampling resamplingOf(const std::string& registryName) {
  return holdsCodes(registryName) ? Resampling::nearestCell : Resampling::bilinear;
}
