#pragma once

#include <string>
#include <vector>

#include "core/modelobject.h"
#include "submodel/model_context.h"

class meteointerpol;

// Correction of the interpolated precipitation for the undercatch of the
// gauges, read from the optional section "[precipitation_correction]":
//
//   1           switch (0 off)
//   0.02 0.01   rain correction a and b
//   0.3 0.05    snow correction a and b
//   0.5         rain/snow threshold temperature (degrees C)
//   1.0         half-width of the transition (K)
//
// Every cell's precipitation is multiplied by
// f * (1 + a_snow + b_snow * u) + (1 - f) * (1 + a_rain + b_rain * u),
// f being the snow fraction (1 below threshold - half-width, 0 above
// threshold + half-width, linear between) and u the wind speed (0 without a
// wind interpolator).
class precicorrclass : public modelobject {
public:
  // interpolators: those of the run; the correction works on "precipitation"
  // with "temperature" (both required when the switch is on) and
  // "wind_speed" (optional). In routing-only mode (context.routingOnly) the
  // correction stays off and reads nothing. Never throws: errorCode is 0
  // after a successful construction, else the exit code (103 for a failure
  // that is not one of the model's codes).
  precicorrclass(const ModelContext& context, int& errorCode,
                 const std::vector<meteointerpol*>& interpolators);
  precicorrclass(const precicorrclass&) = delete;
  precicorrclass& operator=(const precicorrclass&) = delete;

  // Corrects the precipitation of the step; called after every interpolator
  // has interpolated the step. Does nothing when the switch is off.
  void correct();

  bool isActive() const { return active; }
  // The factor for a temperature and a wind speed.
  double factor(double temperature, double windSpeed) const;

private:
  void readSection();
  void findInterpolators(const std::vector<meteointerpol*>& interpolators);
  // The values of the corrected precipitation, which its statistics hold.
  void widenPrecipitationRange();

  bool active = false;
  double rainA = 0.0;
  double rainB = 0.0;
  double snowA = 0.0;
  double snowB = 0.0;
  double threshold = 0.0;
  double halfWidth = 0.0;
  meteointerpol* precipitation = nullptr;
  meteointerpol* temperature = nullptr;
  meteointerpol* windSpeed = nullptr;
};
