#pragma once

#include "soil/unsatzon_settings.h"

// The stacks and the grid of the layered snow model, in the order of their
// lines in "[LayeredSnowModel]".
enum SnowStackLine {
  snowLineSWES,
  snowLineSWEL,
  snowLineTemper,
  snowLineTheta,
  snowLineHhyd,
  snowLineHgeo,
  snowLineQu,
  snowLineThick,
  snowLineDens,
  snowLineUpperIndex,
  snowLineCount
};

// "[LayeredSnowModel]": the switch, the model values and the outputs.
struct LayeredSnowSettings {
  int active = 0;
  int method = 0;                    // read; no part of the model depends on it
  double maxDensity[2] = {0.0, 0.0}; // read; likewise
  double tOffsetFreshSnow = 0.0;     // K added to the air temperature of new snow
  double drainageDensity = 0.0;      // dDrainageDensitiySnow, 1/m: interflow out of the pack
  double waterHoldingCapacity = 0.1; // liquid water a layer holds per unit of ice
  double seEffectiveness = 0.0;      // how far ice keeps snow water from flowing
  double seEffectivenessSoil = 1.0;  // the same for soil layers
  NamedOutput outputs[snowLineCount];
};
