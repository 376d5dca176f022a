#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/snow/glacier_fixture.h"

namespace {

constexpr double pi = 3.14159265358979;

struct Cell {
  long r, c;
};

// The water of one cell before a step.
struct Stores {
  double outside, onGlacier, firn, balance;
};

} // namespace

// Two days of hourly steps with frost and thaw, snow and rain (never in the
// mixed band around T0R, so the split is known) and canopy snow unloading
// 0.3 mm an hour: every glacierized cell keeps the water of each pack, of
// the firn and of the mass balance, whatever the method melts it with. The
// pack beside the glacier takes all the canopy lets fall: both hold their
// water per unit of the part beside the glacier. Where the canopy takes the
// water first, its throughfall (here 60 % of what falls) reaches the pack
// beside the glacier, and the glacier's pack, under no canopy, takes all.
// The sprinklers' 0.4 mm an hour water the fields beside the glacier only.
TEST(GlacierConservation, KeepsTheWaterOfEveryPackFirnAndBalance) {
  const double unload = 0.3;
  const double irrigation = 0.4;
  const std::vector<Cell> cells = {{1, 2}, {2, 1}, {2, 2}};
  const double fractions[] = {1.0, 0.5, 0.25};
  // Each way of melting the glacier's snow with and without the canopy first.
  const struct {
    int method;
    bool canopyFirst;
  } runs[] = {{11, false}, {12, true}, {13, false}, {13, true}};
  for (const auto& [method, canopyFirst] : runs) {
    SCOPED_TRACE("glacier method " + std::to_string(method) +
                 (canopyFirst ? ", canopy first" : ""));
    const double through = canopyFirst ? 0.6 : 1.0;
    IceFirnSection ice;
    ice.method = method;
    ice.firn = "2 2500 0.0005";
    ice.aIceMin = ice.aIceMax = 0.002;
    ice.aSnowMin = ice.aSnowMax = 0.001;
    GlacierModel m("glacier_conservation_" + std::to_string(method), SnowSection(), ice);
    for (size_t k = 0; k < cells.size(); ++k)
      m.grid("GlacierizedCells")[cells[k].r][cells[k].c] = fractions[k];
    m.add("Snow_canopy_unload_solid", unload);
    m.add("throughfall0", 0.0);
    m.add("irrigation_amounts", irrigation);
    m.buildGlacier(true, canopyFirst);
    m.fill("global_radiation", 200.0);
    for (const Cell& x : cells)
      m.grid("SolidSnowStorage_onGlacier")[x.r][x.c] =
          m.grid("TotalSnowStorage_onGlacier")[x.r][x.c] = 3.0;
    double firnMelt = 0.0, iceMelt = 0.0;
    for (long k = 0; k < 48; ++k) {
      double t = 2.0 + 6.0 * std::sin(2.0 * pi * k / 24.0);
      if (std::fabs(t) < 1.5) t = t < 0.0 ? -1.5 : 1.5;
      const double p = k % 5 == 0 ? 2.0 : 0.0;
      const double snowfall = t < 0.0 ? p : 0.0;
      const double rainfall = p - snowfall;
      m.fill("temperature", t);
      m.fill("precipitation", p + irrigation);
      m.fill("throughfall0", through * (p + irrigation));
      std::vector<Stores> before;
      for (const Cell& x : cells)
        before.push_back(
            {m.grid("snowstorage_solid")[x.r][x.c] + m.grid("snowstorage_liquid")[x.r][x.c],
             m.grid("SolidSnowStorage_onGlacier")[x.r][x.c] +
                 m.grid("LiquidSnowStorage_onGlacier")[x.r][x.c],
             m.grid("firn_WE_stack")[x.r][x.c], m.grid("GlacierMassBalance")[x.r][x.c]});
      m.step(1 + k / 24, 7, k % 24);
      for (size_t i = 0; i < cells.size(); ++i) {
        const long r = cells[i].r, c = cells[i].c;
        auto v = [&](const char* name) { return m.grid(name)[r][c]; };
        const std::string where = std::to_string(k) + " cell " + std::to_string(i);
        const double glacierMelt = v("SnowMelt_onGlacier");
        EXPECT_NEAR(v("SolidSnowStorage_onGlacier") + v("LiquidSnowStorage_onGlacier"),
                    before[i].onGlacier + snowfall + rainfall - glacierMelt -
                        v("SnowEvaporation_onGlacier"),
                    1e-9)
            << where;
        EXPECT_NEAR(
            v("snowstorage_solid") + v("snowstorage_liquid"),
            before[i].outside + through * (p + irrigation) + unload - v("snowcover_outflow"), 1e-9)
            << where;
        EXPECT_NEAR(v("firn_WE_stack"), before[i].firn - v("melt_from_firn"), 1e-9) << where;
        EXPECT_NEAR(v("GlacierMassBalance"),
                    before[i].balance + snowfall + rainfall - glacierMelt - v("melt_from_firn") -
                        v("melt_from_ice") - v("SnowEvaporation_onGlacier"),
                    1e-9)
            << where;
        EXPECT_GE(v("melt_from_ice"), 0.0) << where;
        firnMelt += v("melt_from_firn");
        iceMelt += v("melt_from_ice");
        EXPECT_GE(v("firn_WE_stack"), 0.0) << where;
      }
    }
    // The warm hours melted the snow, the firn and then the ice.
    EXPECT_GT(firnMelt, 0.0);
    EXPECT_GT(iceMelt, 0.0);
  }
}
