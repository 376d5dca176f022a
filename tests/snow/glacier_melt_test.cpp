#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "tests/snow/glacier_fixture.h"

namespace {

struct Value {
  const char* grid;
  double value;
};

} // namespace

// One step of cell (2, 2), worked out by hand from the degree-day and
// radiation formulas; hourly steps (n = 24) unless the case says else.
TEST(GlacierMelt, GivesTheHandComputedMeltOfSnowFirnAndIce) {
  struct Case {
    const char* what;
    std::function<void(SnowSection&, IceFirnSection&)> section;
    std::vector<Value> inputs;
    std::vector<Value> expected;
    std::vector<double> firn = {}; // levels 1 .. after the step
  };
  const std::vector<Case> cases = {
      {"method 1, ice, 720-minute steps: 8 * 3 / 2",
       [](SnowSection& s, IceFirnSection& i) { s.minutes = 720, i.method = 1; },
       {{"temperature", 3}, {"temperature_night", 3}},
       {{"melt_from_ice", 12}, {"melt_from_firn", 0}}},
      {"method 1, firn cell: 6 * 20 / 24",
       [](SnowSection&, IceFirnSection& i) { i.method = 1; },
       {{"temperature", 20}, {"ice_firn", 2}},
       {{"melt_from_ice", 0}, {"melt_from_firn", 5}}},
      {"method 2, ice: (2 / 24 + 0.002 * 100) * 6",
       [](SnowSection&, IceFirnSection& i) {
         i.method = 2, i.aIceMin = i.aIceMax = 0.002, i.aSnowMin = i.aSnowMax = 0.001;
       },
       {{"temperature", 6}, {"global_radiation", 100}},
       {{"melt_from_ice", (2.0 / 24 + 0.2) * 6}}},
      {"method 2, firn: (2 / 24 + 0.001 * 100) * 6",
       [](SnowSection&, IceFirnSection& i) {
         i.method = 2, i.aIceMin = i.aIceMax = 0.002, i.aSnowMin = i.aSnowMax = 0.001;
       },
       {{"temperature", 6}, {"global_radiation", 100}, {"ice_firn", 2}},
       {{"melt_from_firn", (2.0 / 24 + 0.1) * 6}}},
      {"method 1, firn under 73 mm of the cell's snow: the pack melts 4 * 6 / 24, the firn not",
       [](SnowSection&, IceFirnSection& i) { i.method = 1; },
       {{"temperature", 6}, {"ice_firn", 2}, {"snowstorage_solid", 73}, {"snow_storage_total", 73}},
       {{"melt_from_firn", 0}, {"melt_from_ice", 0}, {"snowstorage_solid", 72}}},
      {"method 1, the cell's last 0.5 mm of snow take their share of the firn: 6 * 6 / 24 - 0.5",
       [](SnowSection&, IceFirnSection& i) { i.method = 1; },
       {{"temperature", 6},
        {"ice_firn", 2},
        {"snowstorage_solid", 0.5},
        {"snow_storage_total", 0.5}},
       {{"melt_from_firn", 1}, {"snowstorage_solid", 0}}},
      {"method 2, ice under the cell's last 0.5 mm of snow: (2 / 24 + 0.002 * 100) * 6 - 0.5",
       [](SnowSection&, IceFirnSection& i) {
         i.method = 2, i.aIceMin = i.aIceMax = 0.002, i.aSnowMin = i.aSnowMax = 0.001;
       },
       {{"temperature", 6},
        {"global_radiation", 100},
        {"snowstorage_solid", 0.5},
        {"snow_storage_total", 0.5}},
       {{"melt_from_ice", (2.0 / 24 + 0.2) * 6 - 0.5}, {"snowstorage_solid", 0}}},
      {"method 11, no firn: 8 * 6 / 24",
       [](SnowSection&, IceFirnSection&) {},
       {{"temperature", 6}},
       {{"melt_from_ice", 2}, {"melt_from_firn", 0}}},
      {"snow left on the glacier: none however warm",
       [](SnowSection&, IceFirnSection&) {},
       {{"temperature", 30},
        {"SolidSnowStorage_onGlacier", 1000},
        {"TotalSnowStorage_onGlacier", 1000}},
       {{"melt_from_ice", 0}, {"melt_from_firn", 0}}},
      {"the last 0.5 mm of snow on the glacier take their share: 2 - 0.5",
       [](SnowSection&, IceFirnSection&) {},
       {{"temperature", 6},
        {"SolidSnowStorage_onGlacier", 0.5},
        {"TotalSnowStorage_onGlacier", 0.5}},
       {{"SnowMelt_onGlacier", 0.5}, {"SolidSnowStorage_onGlacier", 0}, {"melt_from_ice", 1.5}}},
      {"snow on the glacier melts 4 * 6 / 24, 10 % of the rest held",
       [](SnowSection&, IceFirnSection&) {},
       {{"temperature", 6}, {"SolidSnowStorage_onGlacier", 10}, {"TotalSnowStorage_onGlacier", 10}},
       {{"SolidSnowStorage_onGlacier", 9},
        {"LiquidSnowStorage_onGlacier", 0.9},
        {"SnowMelt_onGlacier", 0.1},
        {"melt_from_ice", 0}}},
      {"method 11, 3 mm of firn, a potential of 6 * 20 / 24 = 5",
       [](SnowSection&, IceFirnSection& i) { i.firn = "2 5000 0.01"; },
       {{"temperature", 20}, {"firn_WE_stack", 3}},
       {{"melt_from_firn", 3}, {"melt_from_ice", 2}, {"firn_WE_stack", 0}},
       {0, 0}},
      {"method 11, firn enough in level 2",
       [](SnowSection&, IceFirnSection& i) { i.firn = "2 5000 0.01"; },
       {{"temperature", 20}, {"firn_WE_stack", 13}},
       {{"melt_from_firn", 5}, {"melt_from_ice", 0}, {"firn_WE_stack", 8}},
       {0, 8}},
      {"method 12 with Ieff_max before global radiation: (2 / 24 + 0.002 * 200) * 6",
       [](SnowSection&, IceFirnSection& i) { i.method = 12, i.aIceMin = i.aIceMax = 0.002; },
       {{"temperature", 6}, {"global_radiation", 100}, {"Ieff_max", 200}},
       {{"melt_from_ice", (2.0 / 24 + 0.4) * 6}}},
      {"debris 0.5 scaled by 2",
       [](SnowSection&, IceFirnSection& i) { i.debrisScaling = 2.0; },
       {{"temperature", 6}, {"debris_on_glaciers", 0.5}},
       {{"melt_from_ice", 2}}},
      {"debris 0.5 unscaled",
       [](SnowSection&, IceFirnSection&) {},
       {{"temperature", 6}, {"debris_on_glaciers", 0.5}},
       {{"melt_from_ice", 1}}},
      {"debris at nodata + 1 counts as none",
       [](SnowSection&, IceFirnSection& i) { i.debrisScaling = 2.0; },
       {{"temperature", 6}, {"debris_on_glaciers", -9998}},
       {{"melt_from_ice", 4}}},
      {"at T0 nothing melts",
       [](SnowSection&, IceFirnSection&) {},
       {{"temperature", 0}},
       {{"melt_from_ice", 0}, {"melt_from_firn", 0}}},
  };
  for (const Case& c : cases) {
    SnowSection snow;
    IceFirnSection ice;
    c.section(snow, ice);
    GlacierModel m("glacier_melt_" + std::to_string(&c - cases.data()), snow, ice);
    // Inputs of other modules that only some cases register.
    for (const Value& v : c.inputs)
      for (const char* optional : {"Ieff_max", "debris_on_glaciers"})
        if (std::string(v.grid) == optional) m.add(v.grid, 0.0);
    m.buildGlacier();
    for (const Value& v : c.inputs) {
      m.at(v.grid) = v.value;
      if (std::string(v.grid) == "firn_WE_stack") {
        *m.firn(0) = v.value;
        *m.firn(1) = std::min(3.0, v.value);
        *m.firn(2) = v.value - *m.firn(1);
      }
    }
    m.step(1, 2);
    for (const Value& v : c.expected)
      EXPECT_NEAR(m.at(v.grid), v.value, 1e-12) << c.what << ": " << v.grid;
    for (size_t k = 0; k < c.firn.size(); ++k)
      EXPECT_NEAR(*m.firn(static_cast<long>(k) + 1), c.firn[k], 1e-12)
          << c.what << " level " << k + 1;
    // The static methods have no firn stack to touch.
    if (ice.method < 10) {
      EXPECT_FALSE(m.grid("firn_WE_stack")) << c.what;
    }
  }
}
