// The heat of a soil column against analytic profiles and the energy it
// exchanges.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/soil/heat_fixture.h"

namespace {

constexpr double day = 86400.0;

// A column of equal layers at one water content and one temperature.
struct HeatRig {
  HeatRig(int layers, double thickness, double water, double temperature)
      : soil(thermalSoil(siltLoamSoil, layers, thickness)), heat(layers),
        theta(static_cast<size_t>(layers) + 2, water),
        d(static_cast<size_t>(layers) + 2, thickness) {
    heat.bind(soil, layers, d.data());
    for (int k = 0; k <= layers; ++k) heat.T[k] = temperature;
  }
  void run(const HeatModelSettings& settings, int steps, double dt, const HeatBoundary& b) {
    for (int s = 0; s < steps; ++s) heat.step(settings, theta.data(), dt, b);
  }
  // Enthalpy of the column relative to water at 0 degrees C (J/m^2), from
  // the soil's unfrozen water and heat capacities.
  double enthalpy(const HeatModelSettings& settings) const {
    const int n = heat.layers;
    std::vector<double> u(n + 2), slope(n + 2), capacity(n + 2);
    soil.getUnfrozenWater(1, heat.T, theta.data(), u.data(), slope.data());
    soil.getHeatCapacity(settings.capacities, 1, capacity.data(), theta.data(), u.data());
    double sum = 0.0;
    for (int k = 1; k <= n; ++k)
      sum += capacity[k] * d[k] * heat.T[k] - settings.latentHeat * theta[k] * (1 - u[k]) * d[k];
    return sum;
  }
  // Heat that enters through the surface and the bottom (W/m^2) at the
  // present temperatures.
  double boundaryHeat(double surface, double lower) const {
    const int n = heat.layers;
    return 2.0 * heat.lambda[1] / d[1] * (surface - heat.T[1]) +
           2.0 * heat.lambda[n] / d[n] * (lower - heat.T[n]);
  }
  // Depth (m) at which the temperature rises through 0 degrees C going down.
  double frontDepth() const {
    for (int k = 1; k < heat.layers; ++k)
      if (heat.T[k] <= 0.0 && heat.T[k + 1] > 0.0)
        return d[1] * (k - 0.5 + heat.T[k] / (heat.T[k] - heat.T[k + 1]));
    return 0.0;
  }

  soil_class soil;
  HeatColumn heat;
  std::vector<double> theta, d;
};

HeatBoundary boundary(double surface, double lower, bool flux = false, double source = 0.0) {
  HeatBoundary b;
  b.surface = surface;
  b.lower = lower;
  b.lowerIsFlux = flux;
  b.source = source;
  return b;
}

} // namespace

// Between a surface at 12 and a lower boundary at 4 degrees C four equal
// layers settle at 11, 9, 7 and 5; with an upward heat flux G instead the
// column warms downwards by G d / lambda per layer. Explicit and implicit.
TEST(SoilHeat, SteadyConductionIsLinear) {
  for (int method : {10, 11}) {
    for (bool flux : {false, true}) {
      SCOPED_TRACE("method " + std::to_string(method) + (flux ? " flux" : " temperature"));
      HeatRig rig(4, 0.25, 0.3, 8.0);
      rig.run(heatSettings(method), 6000, 3600.0, boundary(12.0, flux ? 0.06 : 4.0, flux));
      const double gradient = 0.06 * 0.25 / rig.heat.lambda[1];
      for (int k = 1; k <= 4; ++k) {
        EXPECT_NEAR(rig.heat.lambda[k], rig.heat.lambda[1], 1e-15);
        const double expected = flux ? 12.0 + gradient * (k - 0.5) : 13.0 - 2.0 * k;
        EXPECT_NEAR(rig.heat.T[k], expected, 1e-6) << k;
      }
    }
  }
}

// A saturated column under a surface of 8 +- 4 degrees C with a period of a
// day: the wave falls off as exp(-z/D) and lags by z/D, D = sqrt(2 lambda /
// (C omega)) from the column's own conductivity and capacity.
TEST(SoilHeat, DailyWaveDampsAndLagsWithDepth) {
  const double omega = 2.0 * M_PI / day;
  HeatRig probe(1, 0.1, siltLoamSoil.thetaS, 8.0);
  const HeatModelSettings settings = heatSettings(11);
  probe.heat.prepare(settings, probe.theta.data());
  const double D = std::sqrt(2.0 * probe.heat.lambda[1] / (probe.heat.capacity[1] * omega));
  const int layers = 100;
  HeatRig rig(layers, D / 10.0, siltLoamSoil.thetaS, 8.0);
  const double dt = 60.0;
  const int perDay = static_cast<int>(day / dt);
  std::vector<double> sine(layers + 1, 0.0), cosine(layers + 1, 0.0);
  for (int s = 1; s <= 6 * perDay; ++s) {
    const double t = s * dt;
    rig.heat.step(settings, rig.theta.data(), dt, boundary(8.0 + 4.0 * std::sin(omega * t), 8.0));
    if (s <= 5 * perDay) continue;
    for (int k = 1; k <= layers; ++k) {
      sine[k] += (rig.heat.T[k] - 8.0) * std::sin(omega * t) * 2.0 / perDay;
      cosine[k] += (rig.heat.T[k] - 8.0) * std::cos(omega * t) * 2.0 / perDay;
    }
  }
  for (int k = 1; k <= 20; ++k) {
    const double z = (k - 0.5) * D / 10.0;
    SCOPED_TRACE("z/D " + std::to_string(z / D));
    const double amplitude = std::hypot(sine[k], cosine[k]) / 4.0;
    EXPECT_NEAR(amplitude, std::exp(-z / D), 0.05 * std::exp(-z / D));
    if (z >= 0.5 * D) {
      EXPECT_NEAR(-std::atan2(cosine[k], sine[k]), z / D, 0.05 * z / D);
    }
  }
}

// Without ice every heat step moves the heat through the boundaries into
// the layers: explicit at the fluxes of the old temperatures, implicit at
// those of the new ones.
TEST(SoilHeat, HeatStepKeepsTheBoundaryHeat) {
  for (int method : {10, 11}) {
    SCOPED_TRACE("method " + std::to_string(method));
    HeatRig rig(4, 0.2, 0.3, 0.0);
    const double thickness[] = {0, 0.1, 0.2, 0.3, 0.15};
    const double water[] = {0, 0.2, 0.35, 0.45, 0.3};
    const double start[] = {0, 5.0, 8.0, 3.0, 10.0};
    for (int k = 1; k <= 4; ++k) {
      rig.d[k] = thickness[k];
      rig.theta[k] = water[k];
    }
    rig.heat.bind(rig.soil, 4, rig.d.data());
    for (int k = 1; k <= 4; ++k) rig.heat.T[k] = start[k];
    const HeatModelSettings settings = heatSettings(method);
    const double dt = 60.0;
    rig.heat.prepare(settings, rig.theta.data());
    const double before = rig.boundaryHeat(12.0, 4.0);
    rig.heat.step(settings, rig.theta.data(), dt, boundary(12.0, 4.0));
    const double entered = dt * (method < 11 ? before : rig.boundaryHeat(12.0, 4.0));
    double gained = 0.0;
    for (int k = 1; k <= 4; ++k)
      gained += rig.heat.capacity[k] * thickness[k] * (rig.heat.T[k] - start[k]);
    EXPECT_NEAR(gained, entered, 1e-9 * std::fabs(entered));
  }
}

// Freezing and thawing: the enthalpy, latent heat included, changes by
// exactly the heat that the boundary fluxes bring, those of the old
// temperatures in an explicit step and of the new ones in an implicit one,
// and with water flow the heat infiltrating water mixes into the layers it
// enters; for a step and its half.
TEST(SoilHeat, LatentHeatKeepsTheEnthalpy) {
  const double infiltration = -1e-6; // m/s across every layer bottom
  for (int method : {10, 11, 12}) {
    for (double dt : {method < 11 ? 300.0 : 900.0, method < 11 ? 150.0 : 450.0}) {
      SCOPED_TRACE("method " + std::to_string(method) + " step " + std::to_string(dt));
      const HeatModelSettings settings = heatSettings(method);
      HeatRig rig(20, 0.05, 0.3, 1.0);
      if (method > 11)
        for (int k = 0; k <= 20; ++k) rig.heat.w[k] = infiltration;
      const double start = rig.enthalpy(settings);
      double entered = 0.0;
      double coldest = 0.0;
      for (int s = 0; s < 2 * static_cast<int>(day / dt); ++s) {
        const double surface = s < day / dt ? -10.0 : 10.0; // a day of frost, a day of thaw
        if (method < 11) {
          rig.heat.prepare(settings, rig.theta.data());
          entered += dt * rig.boundaryHeat(surface, 1.0);
        }
        rig.heat.step(settings, rig.theta.data(), dt, boundary(surface, 1.0));
        if (method >= 11) entered += dt * rig.boundaryHeat(surface, 1.0);
        for (int k = 1; k <= 20 && method > 11; ++k)
          entered += dt * HeatColumn::waterCapacity * -infiltration *
                     ((k == 1 ? surface : rig.heat.T[k - 1]) - rig.heat.T[k]);
        coldest = std::min(coldest, rig.heat.T[3]);
      }
      EXPECT_LT(coldest, -1.0);
      EXPECT_NEAR(rig.enthalpy(settings) - start, entered, 1e-9 * std::fabs(entered));
    }
  }
}

// A wet column at 2 degrees C under a surface at -10: the frost goes down
// as the square root of time, and faster when freezing frees no latent heat.
TEST(SoilHeat, FrostFrontGoesDownWithTheRootOfTime) {
  double withLatent = 0.0;
  for (double latent : {3.34e8, 0.0}) {
    SCOPED_TRACE("latent heat " + std::to_string(latent));
    HeatRig rig(150, 0.02, 0.35, 2.0);
    const HeatModelSettings settings = heatSettings(11, latent);
    rig.run(settings, 48, 3600.0, boundary(-10.0, 2.0));
    const double early = rig.frontDepth();
    rig.run(settings, 3 * 48, 3600.0, boundary(-10.0, 2.0));
    EXPECT_NEAR(rig.frontDepth() / early, 2.0, 0.2);
    if (latent > 0.0)
      withLatent = early;
    else
      EXPECT_GT(early, 1.5 * withLatent);
  }
}

// Water flow of the implicit method above 11: it carries the temperature
// it comes from into the layers it enters, at the rate it flows.
TEST(SoilHeat, FlowCarriesTheTemperatureOfItsWater) {
  struct Case {
    const char* what;
    double start, surface, lower;
    double flux;   // m/s across every layer bottom, downward negative
    double source; // m/s into layer 2
    double sourceTemperature;
  };
  const Case cases[] = {{"all at 9 degrees", 9.0, 9.0, 9.0, -2e-6, 1e-6, 9.0},
                        {"warm rain", 6.0, 16.0, 6.0, -2e-6, 0.0, 20.0},
                        {"rising warm water", 6.0, 6.0, 12.0, 2e-6, 0.0, 20.0},
                        {"warm source", 6.0, 6.0, 6.0, 0.0, 2e-6, 20.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HeatRig conducted(6, 0.1, 0.35, c.start), carried(6, 0.1, 0.35, c.start);
    for (int k = 0; k <= 6; ++k) carried.heat.w[k] = c.flux;
    carried.heat.source[2] = c.source;
    const HeatBoundary b = boundary(c.surface, c.lower, false, c.sourceTemperature);
    conducted.run(heatSettings(11), 24, 3600.0, b);
    carried.run(heatSettings(12), 24, 3600.0, b);
    const double low = std::min({c.start, c.surface, c.lower});
    const double high = std::max({c.start, c.surface, c.lower, c.sourceTemperature});
    for (int k = 1; k <= 6; ++k) {
      const double t = carried.heat.T[k];
      if (c.start == 9.0) {
        EXPECT_NEAR(t, 9.0, 1e-12) << k;
        continue;
      }
      EXPECT_GE(t, conducted.heat.T[k] - 1e-12) << k;
      EXPECT_GE(t, low) << k;
      EXPECT_LE(t, high) << k;
    }
    const int entered = c.flux < 0.0 ? 1 : c.flux > 0.0 ? 6 : 2;
    if (c.start != 9.0) {
      EXPECT_GT(carried.heat.T[entered], conducted.heat.T[entered] + 0.01);
    }
  }
}

// With the limiter an explicit step far beyond its stability leaves no
// layer warmer than the warmer of its neighbours.
TEST(SoilHeat, LimiterKeepsLayersBetweenTheirNeighbours) {
  HeatRig rig(5, 0.02, 0.3, 0.0);
  const double start[] = {0, 2.0, 0.0, 5.0, 1.0, 3.0};
  for (int k = 1; k <= 5; ++k) rig.heat.T[k] = start[k];
  rig.heat.step(heatSettings(10), rig.theta.data(), 3600.0, boundary(4.0, 2.0));
  const double up[] = {0, 4.0, 2.0, 0.0, 5.0, 1.0};
  const double down[] = {0, 0.0, 5.0, 1.0, 3.0, 2.0};
  for (int k = 1; k <= 5; ++k) {
    if (start[k] < std::min(up[k], down[k])) {
      EXPECT_LE(rig.heat.T[k], std::max(up[k], down[k]) + 1e-12) << k;
    }
    if (start[k] > std::max(up[k], down[k])) {
      EXPECT_GE(rig.heat.T[k], std::min(up[k], down[k]) - 1e-12) << k;
    }
  }
}

// Heat steps of an hour: the surface temperature may change the top layer
// by a quarter of its distance per step, the settings bound the step, and
// the explicit step is also kept within the exchange time of its layers.
TEST(SoilHeat, HeatStepsFollowAccuracyLimitsAndStability) {
  struct Case {
    int method;
    double shortest, longest, surface;
    long expected; // by hand from lambda and C below
    bool raised;
  };
  HeatRig rig(10, 0.02, 0.3, 0.0);
  const HeatModelSettings base = heatSettings(11);
  rig.heat.prepare(base, rig.theta.data());
  const double rate = rig.heat.lambda[1] / (rig.heat.capacity[1] * 0.02 * 0.02);
  // Surface 10: the top layer would change by 3600 * 2 rate * 10.
  const long accurate = static_cast<long>(std::ceil(3600.0 * 2.0 * rate * 10.0 / 2.5));
  const long stable = static_cast<long>(std::ceil(3600.0 * 3.0 * rate));
  ASSERT_GT(accurate, stable);
  const Case cases[] = {{11, 0.0, 0.0, 10.0, accurate, false},
                        {11, 600.0, 0.0, 10.0, 6, false},
                        {11, 600.0, 300.0, 10.0, 12, false},
                        {11, 0.0, 0.0, 0.0, 1, false},
                        {10, 600.0, 0.0, 10.0, stable, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.method) + " " + std::to_string(c.shortest) + " " +
                 std::to_string(c.longest));
    HeatModelSettings s = heatSettings(c.method);
    s.shortestStep = c.shortest;
    s.longestStep = c.longest;
    bool raised = false;
    EXPECT_EQ(rig.heat.stepCount(s, 3600.0, boundary(c.surface, 0.0), raised), c.expected);
    EXPECT_EQ(raised, c.raised);
  }
}

// The thaw depth is where the temperature first crosses 0 degrees C below
// the surface, between the surface and the layer centres.
TEST(SoilHeat, ThawDepthIsTheFirstZeroCrossing) {
  struct Case {
    double surface;
    double T[4];
    double depth;
  };
  const Case cases[] = {{5.0, {3.0, 1.0, -1.0, -3.0}, 0.4},
                        {5.0, {3.0, 1.0, 2.0, 1.0}, 0.8},
                        {-2.0, {2.0, 1.0, 2.0, 1.0}, 0.05},
                        {-1.0, {-1.0, 3.0, 2.0, 1.0}, 0.0},
                        {2.0, {0.0, -1.0, -1.0, -1.0}, 0.1}};
  for (const Case& c : cases) {
    HeatRig rig(4, 0.2, 0.3, 0.0);
    for (int k = 1; k <= 4; ++k) rig.heat.T[k] = c.T[k - 1];
    EXPECT_NEAR(rig.heat.thawDepth(c.surface), c.depth, 1e-12) << c.surface << " " << c.T[0];
  }
}

// A uniform column at a uniform temperature drains under gravity alone
// through the water that ice leaves liquid: at the conductivity of the
// water content at the suction of the freezing point depression.
TEST(SoilHeat, FrozenColumnDrainsThroughItsUnfrozenWater) {
  const double theta = siltLoamSoil.theta(1.0);
  const HeatModelSettings settings = heatSettings(11);
  double previous = 0.0;
  for (double temperature : {1.0, -0.02, -0.05, -0.2}) {
    SCOPED_TRACE("temperature " + std::to_string(temperature));
    ColumnRig rig(thermalSoil(siltLoamSoil, 60, 0.05), 2.95);
    rig.fill(theta);
    rig.solver.setHeatModel(&settings);
    rig.bind();
    rig.solver.heat.bind(rig.soil, rig.layers, rig.solver.column.d);
    for (int k = 0; k <= rig.layers; ++k) rig.solver.heat.T[k] = temperature;
    HeatForcing heat;
    heat.airTemperature = temperature;
    heat.boundary.lower = heat.boundary.source = temperature;
    ColumnForcing forcing;
    forcing.heat = &heat;
    rig.step(forcing);
    const double liquid =
        temperature < 0.0 ? siltLoamSoil.theta(clausiusClapeyron * -temperature) : theta;
    ASSERT_LE(liquid, theta);
    const double drainage = -siltLoamSoil.conductivity(liquid);
    EXPECT_NEAR(rig.flux(30), drainage, 0.02 * -drainage);
    EXPECT_NEAR(rig.solver.heat.T[30], temperature, 1e-9);
    if (previous != 0.0) {
      EXPECT_GT(rig.flux(30), previous);
    }
    previous = rig.flux(30);
  }
}
