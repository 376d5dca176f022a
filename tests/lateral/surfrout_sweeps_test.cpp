#include <gtest/gtest.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "tests/lateral/surfrout_fixture.h"

namespace {

constexpr double d = 10.0;
constexpr double water = 50.0; // mm on each wet cell

// A plane of cells of 10 m falling by 0.5 m per cell towards a river along
// one border ('N', 'E', 'S' or 'W'), closed on the other three; 'D' falls
// south-east as well, towards a river on the eastern border.
struct Plane {
  Plane(const std::string& name, char towards, int method, long ncols = 30, long nrows = 20)
      : ncols(ncols), nrows(nrows), towards(towards),
        s(name, ncols, nrows, d, [this](long r, long c) { return 100.0 + 0.5 * distance(r, c); },
          nullptr, [this](long r, long c) { return river(r, c); }) {
    s.lines[3] = std::to_string(method) + "  method";
    s.lines[17] = (towards == 'D' ? "100" : "10") + std::string("  maximum sub time step");
    module = s.build();
  }
  // Cells between the cell and the river.
  long distance(long r, long c) const {
    switch (towards) {
    case 'N': return r - 1;
    case 'S': return nrows - r;
    case 'E': return ncols - c;
    case 'W': return c - 1;
    default: return ncols - c + nrows - r;
    }
  }
  bool river(long r, long c) const { return towards == 'D' ? c == ncols : distance(r, c) == 0; }
  // Water on the land cells of the half away from the river.
  double wet(bool everywhere = false, double depth = water) {
    const long far = everywhere ? 1 : (towards == 'N' || towards == 'S' ? nrows : ncols) / 2;
    double total = 0.0;
    Grid direct = s.grid("directflow");
    for (long r = 1; r <= nrows; ++r)
      for (long c = 1; c <= ncols; ++c) {
        direct[r][c] = distance(r, c) >= far && !river(r, c) ? depth : 0.0;
        total += direct[r][c];
      }
    module->runPreparationSweep();
    return total;
  }
  double onLand() const {
    double sum = 0.0;
    for (long r = 1; r <= nrows; ++r)
      for (long c = 1; c <= ncols; ++c)
        if (!river(r, c)) sum += s.grid("SurfStorSiltingUp")[r][c];
    return sum;
  }
  double inRiver() const {
    double sum = 0.0;
    for (long r = 1; r <= nrows; ++r)
      for (long c = 1; c <= ncols; ++c)
        if (river(r, c)) sum += s.grid("directflow")[r][c];
    return sum;
  }
  // One inner step of dt seconds as the routing step makes it; method 6
  // stops its head iteration after `iterations` sweeps or on convergence.
  void step(long pass, long refreshPass, double dt, long iterations = 50) {
    if (module->flowPathMethod == 6) {
      module->runConductanceSweep();
      for (long i = 1; i <= iterations; ++i)
        if (module->runHeadIterationSweep(i, dt) <= 1e-9) break;
      module->runFluxSweeps();
    } else {
      module->runFlowSweep(pass, refreshPass);
    }
    module->runHeadUpdateSweep(dt);
  }

  long ncols, nrows;
  char towards;
  SurfroutSetup s;
  std::unique_ptr<TestSurfaceRouting> module;
};

} // namespace

// Every inner step keeps the water: what is on the land and what the river
// cells passed on as direct flow add up to the water at the start; river
// cells keep no head.
TEST(SurfaceRoutingSweeps, InnerStepsKeepTheWater) {
  struct Case {
    int method;
    bool reuse; // fluxes of unchanged cells are reused between refreshes
    double tolerance;
    char towards = 'E';
    long iterations = 50; // of the head iteration of method 6
  };
  // 'D': half a metre of water runs at the velocity cap of method 5 down
  // the diagonals, each inner step as long as the stable step allows.
  const Case cases[] = {{1, false, 1e-9}, {1, true, 1e-9},       {2, true, 1e-9},
                        {3, false, 1e-9}, {3, true, 1e-9},       {4, true, 1e-9},
                        {5, false, 1e-9}, {5, false, 1e-9, 'D'}, {6, false, 1e-12},
                        {6, false, 1e-12, 'E', 1}, {6, false, 1e-12, 'S', 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE("method " + std::to_string(c.method) + (c.reuse ? " reusing " : " ") +
                 c.towards + " " + std::to_string(c.iterations));
    Plane p("surfrout_mass", c.towards, c.method);
    const double total = p.wet(true, c.towards == 'D' ? 500.0 : water);
    for (long pass = 0; pass < 40; ++pass) {
      const double dt =
          c.towards == 'D' ? std::min(p.module->maxSubTimeStep, p.module->courantTimeStep()) : 10.0;
      p.step(pass, c.reuse ? 0 : pass, pass == 0 ? 1.0 : dt, c.iterations);
      ASSERT_NEAR(p.onLand() + p.inRiver(), total, c.tolerance * total) << "step " << pass;
    }
    EXPECT_GT(p.inRiver(), 0.0);
    for (long r = 1; r <= p.nrows; ++r)
      for (long col = 1; col <= p.ncols; ++col)
        if (p.river(r, col)) {
          EXPECT_EQ(p.s.grid("SurfaceRoutingHead")[r][col],
                    c.method == 6 ? p.s.grid("[elevation_model]")[r][col] : 0.0);
        }
  }
}

// Water on the half of a plane away from its river reaches the river,
// whichever way the plane falls.
TEST(SurfaceRoutingSweeps, WaterReachesTheRiverDownEverySlope) {
  for (int method : {2, 6})
    for (char towards : {'N', 'E', 'S', 'W'}) {
      SCOPED_TRACE("method " + std::to_string(method) + " towards " + towards);
      Plane p("surfrout_reach", towards, method, 8, 8);
      const double total = p.wet();
      for (long pass = 0; pass < 400; ++pass) p.step(pass, pass, 10.0);
      EXPECT_GT(p.inRiver(), 0.5 * total);
    }
}

// A dry cell takes the transmissivity of a wet, higher neighbour on either
// axis, so that water can advance north and west as well.
TEST(SurfaceRoutingSweeps, WaterAdvancesOntoDryFacesOfBothAxes) {
  struct Case {
    const char* what;
    long wetRow, wetColumn; // the one wet cell beside the dry cell (2, 2)
    double roughnessX, roughnessY;
  };
  // The wet cell holds 0.1 m of water: T = 0.1 * 10; the ground falls south.
  const Case cases[] = {{"wet east", 2, 3, 1.0, 1.0}, {"wet south", 3, 2, 0.0, 1.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SurfroutSetup s("surfrout_dry_faces", 3, 3, d, [](long r, long) { return -0.01 * r; });
    s.lines[3] = "6  method";
    auto module = s.build();
    s.grid("directflow")[c.wetRow][c.wetColumn] = 100.0;
    module->runPreparationSweep();
    module->runConductanceSweep();
    EXPECT_NEAR(s.grid("SurfaceRoutingRoughnessX")[2][2], c.roughnessX, 1e-12);
    EXPECT_NEAR(s.grid("SurfaceRoutingRoughnessY")[2][2], c.roughnessY, 1e-12);
  }
}

// Without storage and with opposite conductances the denominator vanishes
// and the head falls to the ground.
TEST(SurfaceRoutingSweeps, AZeroDenominatorSetsTheHeadToTheGround) {
  SurfroutSetup s("surfrout_denominator", 3, 3, d, [](long, long c) { return 10.0 + c; });
  s.lines[3] = "6  method";
  auto module = s.build();
  s.grid("directflow")[2][2] = 500.0;
  module->runPreparationSweep();
  Grid x = s.grid("SurfaceRoutingRoughnessX");
  Grid y = s.grid("SurfaceRoutingRoughnessY");
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 3; ++c) x[r][c] = y[r][c] = 0.0;
  x[2][2] = 1.0;
  x[2][1] = -1.0;
  module->runHeadIterationSweep(1, std::numeric_limits<double>::infinity());
  EXPECT_EQ(s.grid("SurfaceRoutingHead")[2][2], 12.0);
}

// A head that is not a number is reported and dumped once per event up to
// the limit; with -closeAfterDump the sweep ends with 199 after the region.
TEST(SurfaceRoutingSweeps, NonFiniteHeadsAreDumped) {
  struct Case {
    const char* what;
    long maxFiles;
    bool close;
    int nanCells;
    int files;
    int code;
  };
  const Case cases[] = {{"dump and go on", 0, false, 1, 1, 0},
                        {"dump and close", 0, true, 1, 1, 199},
                        {"two files of three events", 2, true, 3, 2, 199}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SurfroutSetup s("surfrout_dump", 6, 3, d, [](long, long c) { return 10.0 + 0.0 * c; });
    s.lines[3] = "6  method";
    auto module = s.build();
    module->setDumpMode(1, c.close, 0, c.maxFiles);
    module->currentDate = ModelDate{0, 7, 3, 5, 2021};
    for (long col = 1; col <= 6; ++col) s.grid("directflow")[2][col] = 100.0;
    module->runPreparationSweep();
    module->runConductanceSweep();
    for (int k = 0; k < c.nanCells; ++k) s.grid("SurfaceRoutingHeadOld")[2][2 + 2 * k] = NAN;
    char* previous = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(s.base.log.directory.c_str()), 0);
    const int threads = omp_get_max_threads();
    omp_set_num_threads(4);
    testing::internal::CaptureStdout();
    int code = 0;
    try {
      module->runHeadIterationSweep(1, 10.0);
    } catch (int thrown) {
      code = thrown;
    }
    const std::string out = testing::internal::GetCapturedStdout();
    omp_set_num_threads(threads);
    ASSERT_EQ(chdir(previous), 0);
    std::free(previous);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(module->dumpCount.load(), c.nanCells);
    int files = 0;
    for (int k = 0; k < c.nanCells; ++k) {
      const long col = 2 + 2 * k;
      const std::string name = s.base.log.directory + "/surfrout_dump_row_2_col_" +
                               std::to_string(col) + "_iteration_1_2021050307.dmp";
      const std::string dump = readFile(name);
      if (dump.empty()) continue;
      ++files;
      ASSERT_EQ(dump.size(), 472u);
      const double* v = reinterpret_cast<const double*>(dump.data());
      EXPECT_EQ(v[0], 10.0);                // the step
      EXPECT_EQ(v[5], 10.0);                // z at the cell
      EXPECT_EQ(v[30], 10.1);               // the head before
      EXPECT_EQ(v[33], 10.0);               // the dry southern neighbour's head
      EXPECT_EQ(v[15], -9999.0);            // reserved
      EXPECT_TRUE(std::isnan(v[35]));       // the head after the update
      EXPECT_EQ(v[51], d);
      EXPECT_EQ(v[57], -9999.0);
      EXPECT_NE(out.find("NaN or Inf found for HEAD[2][" + std::to_string(col) + "] (value: "),
                std::string::npos)
          << out;
    }
    EXPECT_EQ(files, c.files);
    size_t reports = 0;
    for (size_t at = 0; (at = out.find("writing dump file...\n", at)) != std::string::npos; ++at)
      ++reports;
    EXPECT_EQ(reports, static_cast<size_t>(c.files));
    if (c.close) {
      EXPECT_NE(s.base.log.console.str().find("-closeAfterDump active!"), std::string::npos);
    }
  }
}

// A tracer moves with the water: the mass on the land and what the river
// cells passed on stay the mass at the start.
TEST(SurfaceRoutingSweeps, InnerStepsKeepTheTracerMass) {
  for (int method : {1, 4}) {
    SCOPED_TRACE("method " + std::to_string(method));
    SurfroutSetup s("surfrout_tracer_mass", 12, 8, d, [](long, long c) { return 100.0 - 0.5 * c; },
                    nullptr, [](long, long c) { return c == 12; });
    s.lines[3] = std::to_string(method) + "  method";
    s.lines[17] = "10  maximum sub time step";
    Grid concentration = s.addGrid("_CONC_QD_1_", [](long r, long) { return 1.0 + r % 3; });
    s.addGrid("_CONC_QI_1_", [](long, long) { return 0.0; });
    auto module = s.build();
    std::vector<TracerRecord> table(2);
    table[1].name = "chloride";
    int code = -1;
    module->initTracers(code, 1, table, nullptr, 0);
    ASSERT_EQ(code, 0);
    Grid direct = s.grid("directflow");
    double mass = 0.0;
    for (long r = 1; r <= 8; ++r)
      for (long c = 1; c <= 11; ++c) {
        direct[r][c] = 40.0;
        mass += 40.0 * concentration[r][c];
      }
    module->runPreparationSweep();
    Grid stored = s.grid("concstor_tracer_1_SurfaceRoutingModel");
    Grid storage = s.grid("SurfStorSiltingUp");
    for (long pass = 0; pass < 30; ++pass) {
      module->runFlowSweep(pass, pass);
      module->runHeadUpdateSweep(10.0);
      double now = 0.0;
      for (long r = 1; r <= 8; ++r)
        for (long c = 1; c <= 12; ++c)
          now += c == 12 ? concentration[r][c] : stored[r][c] * storage[r][c];
      ASSERT_NEAR(now, mass, 1e-9 * mass) << "step " << pass;
    }
    module->teardown(false);
  }
}
