// The unsaturated zone under the silting-up model's grids, with sub-steps.

#include <gtest/gtest.h>

#include "tests/soil/column_fixture.h"
#include "tests/soil/unsatzon_fixture.h"

// Silting-up's runoff of a step reaches the columns once, shared among the
// sub-steps, and the water left in "SurfStorSiltingUp" moves into the
// column: in every cell and sub-step the column gains rain / 2 + runoff / 2
// + the surface storage less what left it.
TEST(UnsatzonTimeStep, TakesSiltingUpWaterOncePerStep) {
  const std::vector<double> rain = {2, 0, 5, 1, 8, 3, 0, 12, 4, 6, -9999, -9999};
  const std::vector<double> runoff = {3, 1, 0, 7, 2, 9, 4, 0, 5, 1, -9999, -9999};
  UnsatzonSetup setup("unsatzon_silting");
  std::vector<landuse_class> uses(2);
  uses[1] = landuseOf("RootDist = 1; HReduDry = 3.45; TReduWet = 0.95; LimitReduWet = 0.5");
  setup.base.context.landuseTable = &uses;
  setup.base.addGrid("precipitation", rain);
  setup.base.addGrid("DirectRunoffSiltingUp", runoff);
  Grid surface = setup.base.addGrid("SurfStorSiltingUp", uniform(0.0));
  WorkingDirectory cd(setup.directory);
  auto module = setup.build(setup.lines);
  ASSERT_TRUE(module);
  ASSERT_EQ(startRunoff(*module), 0);
  module->setSubsteps(2);
  auto storage = [&](long r, long c) {
    double water = setup.grid("ponding_storage")[r][c];
    for (int k = 1; k <= 4; ++k) water += setup.stack("theta")[r][c][k] * 250.0;
    return water;
  };
  for (int substep = 0; substep < 4; ++substep) {
    double before[4][5] = {}, transpired[4][5] = {}, evaporated[4][5] = {}, left[4][5] = {};
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) {
        if (r == 3 && c > 2) continue;
        before[r][c] = storage(r, c);
        transpired[r][c] = setup.grid("real_transpiration1")[r][c];
        evaporated[r][c] = setup.grid("real_evaporation")[r][c];
        surface[r][c] = left[r][c] = 0.5 * (substep + c);
      }
    ASSERT_EQ(module->computeTimeStep(0, substep / 2, 1, 6, 2020), 0);
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) {
        if (r == 3 && c > 2) continue;
        auto g = [&](const char* name) { return setup.grid(name)[r][c]; };
        const size_t k = static_cast<size_t>((r - 1) * 4 + c - 1);
        const double in = rain[k] / 2 + runoff[k] / 2 + left[r][c];
        const double out =
            g("directflow") + g("interflow") + (g("real_transpiration1") - transpired[r][c]) +
            (g("real_evaporation") - evaporated[r][c]) + g("baseflow") * 1800.0 * 1000.0;
        EXPECT_NEAR(storage(r, c) - before[r][c], in - out, 1e-9)
            << "cell " << r << " " << c << " sub-step " << substep;
        EXPECT_EQ(surface[r][c], 0.0);
      }
  }
}
