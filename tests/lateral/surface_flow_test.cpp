#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "tests/lateral/surfrout_fixture.h"

namespace {

constexpr double d = 100.0;

// A 3 x 3 block of the given surface, routed by the method.
struct Block {
  Block(const std::string& name, const CellFunction& z, int method)
      : s(name, 3, 3, d, z) {
    s.lines[3] = std::to_string(method) + "  method";
    module = s.build();
  }
  const double* weights() const { return s.stack("SurfaceRoutingWeights")[2][2]; }
  int mainDirection() const { return static_cast<int>(s.stack("SurfaceRoutingVelocity")[2][2][0]); }
  SurfroutSetup s;
  std::unique_ptr<TestSurfaceRouting> module;
};

double eastPlane(long, long c) { return 100.0 - 0.01 * d * c; }

} // namespace

// Slope, aspect, class and main direction of the centre of a block.
TEST(SurfaceFlowGeometry, SteepestDescentFindsSlopeAspectAndClass) {
  struct Case {
    const char* what;
    CellFunction z;
    double slope;
    double aspect;
    int cellClass;
  };
  const Case cases[] = {
      {"plane falling east by 0.01", eastPlane, 0.01, 90.0, 2},
      // N and E drop alike; one tie beside N keeps N's aspect.
      {"N and E tie",
       [](long r, long c) {
         if ((r == 1 && c == 2) || (r == 2 && c == 3)) return 99.0;
         return r == 2 && c == 2 ? 100.0 : 101.0;
       },
       1.0 / d, 0.0, 2},
      {"flat", [](long, long) { return 50.0; }, 0.0, 0.0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Block b("surfrout_descent", c.z, 2);
    double slope = -1.0, aspect = -1.0;
    int cellClass = -1;
    b.module->steepestDescent(2, 2, slope, aspect, cellClass);
    EXPECT_NEAR(slope, c.slope, 1e-12);
    EXPECT_NEAR(aspect, c.aspect, 1e-12);
    EXPECT_EQ(cellClass, c.cellClass);
  }
}

// Flow weights of the centre of a block after the flux sweep's first two
// steps; the side weights of methods 1 and 3 lean towards the aspect.
TEST(SurfaceFlowGeometry, FlowWeightsFollowTheAspect) {
  struct Case {
    const char* what;
    CellFunction z;
    int method;
    double aspect; // < 0: from steepestDescent
    int main;
    double expected[9];
  };
  const double side = std::sqrt(0.5) / (1.0 + std::sqrt(2.0));
  const double centre = 1.0 / (1.0 + std::sqrt(2.0));
  // Aspect 100: cos 10 with cos 35 towards SE and sin 35 towards NE.
  const double c10 = std::cos(10 * M_PI / 180), c35 = std::cos(35 * M_PI / 180),
               s35 = std::sin(35 * M_PI / 180), sum100 = c10 * (1 + c35 + s35);
  const auto peak = [](long r, long c) { return r == 2 && c == 2 ? 110.0 : 100.0; };
  const auto pit = [](long r, long c) { return r == 2 && c == 2 ? 90.0 : 100.0; };
  const Case cases[] = {
      {"method 2, east plane", eastPlane, 2, -1, 3, {0, 0, 0, 1, 0, 0, 0, 0, 0}},
      {"method 1, east plane", eastPlane, 1, -1, 3, {0, 0, side, centre, side, 0, 0, 0, 0}},
      {"method 1, aspect 100", eastPlane, 1, 100.0, 3,
       {0, 0, c10 * s35 / sum100, c10 / sum100, c10 * c35 / sum100, 0, 0, 0, 0}},
      {"aspect 350 is N", peak, 2, 350.0, 1, {0, 1, 0, 0, 0, 0, 0, 0, 0}},
      {"aspect 337.5 is N", peak, 2, 337.5, 1, {0, 1, 0, 0, 0, 0, 0, 0, 0}},
      {"aspect 337.4 is NW", peak, 2, 337.4, 8, {0, 0, 0, 0, 0, 0, 0, 0, 1}},
      {"pit", pit, 1, -1, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"flat", [](long, long) { return 50.0; }, 1, -1, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Block b("surfrout_weights", c.z, c.method);
    double slope = 0.0, aspect = 0.0;
    int cellClass = 0;
    b.module->steepestDescent(2, 2, slope, aspect, cellClass);
    if (c.aspect >= 0) aspect = c.aspect, slope = 1.0;
    b.module->computeFlowWeights(2, 2, cellClass, 0, slope, aspect);
    for (int k = 1; k <= 8; ++k) EXPECT_NEAR(b.weights()[k], c.expected[k], 1e-5) << k;
    EXPECT_EQ(b.mainDirection(), c.main);
  }
}

// Border cells share by the drops (methods 1, 3) or take the steepest, the
// earlier of equal drops (methods 2, 4, 5).
TEST(SurfaceFlowGeometry, BorderCellsFollowTheDrops) {
  // Corner (1, 1): E and S drop by 1, SE by 1 over a diagonal.
  const auto z = [](long r, long c) { return r == 1 && c == 1 ? 101.0 : 100.0; };
  struct Case {
    int method;
    double e, se, s;
  };
  const double diagonal = 1.0 / 1.4142135;
  const double sum = 2.0 + diagonal;
  const Case cases[] = {{2, 1.0, 0.0, 0.0}, {1, 1.0 / sum, diagonal / sum, 1.0 / sum}};
  for (const Case& c : cases) {
    SurfroutSetup s("surfrout_border", 3, 3, d, z);
    s.lines[3] = std::to_string(c.method) + "  method";
    auto module = s.build();
    double slope = 0.0, aspect = 0.0;
    int cellClass = 0;
    module->steepestDescent(1, 1, slope, aspect, cellClass);
    EXPECT_EQ(cellClass, 3);
    module->computeFlowWeights(1, 1, cellClass, 0, slope, aspect);
    const double* W = s.stack("SurfaceRoutingWeights")[1][1];
    EXPECT_NEAR(W[3], c.e, 1e-12) << c.method;
    EXPECT_NEAR(W[4], c.se, 1e-12) << c.method;
    EXPECT_NEAR(W[5], c.s, 1e-12) << c.method;
    EXPECT_EQ(s.stack("SurfaceRoutingVelocity")[1][1][0], 3.0);
  }
}

// Plan curvature of a bowl z = (r-3)^2 + (c-3)^2 (d = 1): 2 inside; the
// border is filled from the cells computed before it.
TEST(SurfaceFlowGeometry, PlanCurvatureOfABowlAndAPlane) {
  const auto bowl = [](long r, long c) { return double((r - 3) * (r - 3) + (c - 3) * (c - 3)); };
  SurfroutSetup s("surfrout_curvature", 5, 5, 1.0, bowl);
  auto module = s.build();
  const Grid k = s.grid("Plancurvature");
  EXPECT_NEAR(k[2][2], 2.0, 1e-12);
  EXPECT_NEAR(k[2][3], 2.0, 1e-12);
  EXPECT_EQ(k[3][3], 0.0); // the bottom: no gradient
  for (long r = 1; r <= 5; ++r)
    for (long c = 1; c <= 5; ++c)
      if (r == 1 || r == 5 || c == 1 || c == 5) {
        EXPECT_NEAR(k[r][c], 2.0, 1e-12) << r << " " << c;
      }

  SurfroutSetup p("surfrout_curvature_plane", 4, 4, 10.0, eastPlane);
  auto plane = p.build();
  for (long r = 1; r <= 4; ++r)
    for (long c = 1; c <= 4; ++c) EXPECT_EQ(p.grid("Plancurvature")[r][c], 0.0);
}

// Strickler coefficients of plain soil, thin stems and residue cover.
TEST(SurfaceFlowHydraulics, StricklerCoefficientOfTheLandUse) {
  struct Case {
    const char* what;
    const char* keys;
    int cultivation;
    double expected;
    double tolerance;
  };
  const Case cases[] = {
      {"plain soil", "SR_K_ST = 17;", 0, 17.0, 0.0},
      {"stems below 1 mm", "SR_K_ST = 17; SR_cultivation = 2; SR_StemDiameter = 0.0005 0.0005;", 2,
       17.0, 17.0 * 1e-12},
      // Re = 4000: 4000^0.3 / (2 (100 0.25)^0.5)
      {"residue cover",
       "SR_cultivation = 1; SR_rough_coeff1 = 2 0.5 0.3; SR_rough_coeff2 = 9 9 9;", 1,
       1.2039764646, 1e-9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SurfroutSetup s("surfrout_strickler", 3, 3, d, eastPlane);
    parseLanduseEntry(s.landuse[1], nullptr,
                      std::string("FixDays = 100 200; LAI = 1 1; VCF = 1 1; RootDepth = 1 1; "
                                  "Albedo = 0.2 0.2; Z0 = 1 1; RSC = 1 1; RSI = 1 1; RSE = 1 1; ") +
                          c.keys + " }",
                      "test");
    auto module = s.build();
    module->currentDate = ModelDate{0, 12, 1, 6, 2021};
    EXPECT_NEAR(module->stricklerCoefficient(0.1, 0.01, 0.25, 0.1, 2, 2, 1, c.cultivation),
                c.expected, c.tolerance);
  }
}

// Method 5 on a slope term of 0.1 with 1 cm of water: V = 10 H^0.66667 s,
// Q = H V d; nothing moves, so the stable step is unbounded.
TEST(SurfaceFlowHydraulics, ExplicitVelocityOfMethod5) {
  Block b("surfrout_method5", [](long, long c) { return 110.0 - 1.0 * c; }, 5);
  EXPECT_EQ(b.module->courantTimeStep(), 1e36);
  Grid head = b.s.grid("SurfaceRoutingHead");
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 3; ++c) head[r][c] = 0.01;
  double slope = 0.0, aspect = 0.0;
  int cellClass = 0;
  b.module->steepestDescent(2, 2, slope, aspect, cellClass);
  b.module->computeFlowWeights(2, 2, cellClass, 0, slope, aspect);
  b.module->computeVelocities(2, 2, 0, 0, cellClass);
  const double expected = 10.0 * std::pow(0.01, 0.66667) * 0.1;
  EXPECT_NEAR(expected, 0.0464151758, 1e-10);
  EXPECT_NEAR(b.s.stack("SurfaceRoutingVelocity")[2][2][3], expected, 1e-9);
  EXPECT_NEAR(b.s.stack("SurfaceRoutingFluxes")[2][2][3], 0.01 * expected * d, 1e-9);
  EXPECT_NEAR(b.s.stack("SurfaceRoutingFluxes")[2][2][0], 0.01 * expected * d, 1e-9);
}

// A tiny weight in the last direction must not choke the outflow of the
// others: the bound is the sum over the directions.
TEST(SurfaceFlowHydraulics, ATinyLastWeightDoesNotChokeTheOutflow) {
  // Border cell (2, 3): W lower by 1 m, NW lower by 3e-5 m, the rest higher.
  const auto z = [](long r, long c) {
    if (r == 2 && c == 3) return 101.0;
    if (r == 2 && c == 2) return 100.0;
    return r == 1 && c == 2 ? 101.0 - 3e-5 : 102.0;
  };
  SurfroutSetup s("surfrout_bound", 3, 3, d, z);
  s.lines[3] = "1  method";
  auto module = s.build();
  s.grid("SurfaceRoutingHead")[2][3] = 0.1;
  double slope = 0.0, aspect = 0.0;
  int cellClass = 0;
  module->steepestDescent(2, 3, slope, aspect, cellClass);
  module->computeFlowWeights(2, 3, cellClass, 0, slope, aspect);
  const double* W = s.stack("SurfaceRoutingWeights")[2][3];
  EXPECT_NEAR(W[8], 3e-5 / 1.4142135, 1e-9);
  module->computeVelocities(2, 3, 0, 0, cellClass);
  const double* Q = s.stack("SurfaceRoutingFluxes")[2][3];
  // Water of 0.1 m moving at least 1 mm/s through a face of 100 m.
  EXPECT_GT(Q[7], 0.1 * 0.001 * d);
  // No more than the cell holds within the longest inner step.
  EXPECT_LE(Q[7] + Q[8], d * d * 0.1 / module->maxSubTimeStep);
}
