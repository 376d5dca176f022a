#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/lateral/silting_fixture.h"

namespace {

const std::vector<std::pair<long, long>> zoneCells = {
    {1, 1}, {1, 2}, {1, 3}, {1, 4}, {2, 1}, {2, 2}, {2, 3}, {2, 4}, {3, 1}, {3, 2}, {3, 3}};
// 30 April 2021, 20 days after the tillage on day 100.
const ModelDate tilled{0, 12, 30, 4, 2021};

void stepAt(siltingupclass& m, const ModelDate& d) {
  m.step(d.minute, d.hour, d.day, d.month, d.year);
}

void expectRelative(double value, double expected, double tolerance, const std::string& what) {
  EXPECT_NEAR(value, expected, std::abs(expected) * tolerance) << what;
}

// The method-1 formula written as expressions, with its defaults in SU_PAR.
const std::string formulaBlock =
    "X=A; Y=B*K^C*(100*L)^D; Z=E*(100*L)^F*K^G*O^H; "
    "W=(P>0.05)*(P<76.2)*(11.89+8.73*LOG10(P+(P<=0.05)))+(P>=76.2)*28.33; "
    "V=((X-Y)*EXP(-Z*Q)+Y)*R/60;";
const std::string defaultParameters = "SU_PAR01 = 65; SU_PAR02 = 12.2; SU_PAR03 = 0.52; "
                                      "SU_PAR04 = -0.64; SU_PAR05 = 0.013; SU_PAR06 = -1.03; "
                                      "SU_PAR07 = 0.7; SU_PAR08 = -0.19;";

SiltingSection methodThree(const std::string& block) {
  SiltingSection s;
  s.method = "3  method";
  s.tail = "SiltingUpExpressions {" + block + "}";
  return s;
}

// The grids of a setup after steps with the inputs given per step.
struct GridValues {
  std::vector<std::vector<double>> grids; // the five grids and the input, cell by cell
};
const char* const ownNames[] = {"SiltingUpDisposition",  "RainPause",
                                "KineticEnergy",         "TimeSinceLastSoilTillage",
                                "DirectRunoffSiltingUp", "precipitation"};

GridValues runSteps(SiltingSetup& s, siltingupclass& m, const std::vector<double>& inputs) {
  GridValues run;
  for (size_t k = 0; k < inputs.size(); ++k) {
    for (auto [r, c] : zoneCells) s.input[r][c] = inputs[k] * (1.0 + 0.1 * c);
    ModelDate d = tilled;
    d.hour = static_cast<long>(k);
    stepAt(m, d);
  }
  for (const char* name : ownNames) {
    std::vector<double> values;
    for (auto [r, c] : zoneCells) values.push_back(s.grid(name)[r][c]);
    run.grids.push_back(values);
  }
  return run;
}

} // namespace

TEST(SiltingStep, TakesTheWaterAboveTheCapacityAsDirectRunoff) {
  SiltingSetup s("silting_formula");
  auto m = s.build();
  ASSERT_TRUE(m) << s.errorCode << s.base.log.console.str();
  for (auto [r, c] : zoneCells) s.input[r][c] = c <= 2 ? 12.0 : 50.0;
  stepAt(*m, tilled);
  struct Case {
    long row, column;
    double energy, runoff, input;
  };
  for (const Case& c : std::vector<Case>{{1, 1, 191.8012705, 0.0, 12.0},
                                         {2, 4, 1002.075305, 34.58520833, 15.41479167}}) {
    const std::string at = std::to_string(c.row) + "," + std::to_string(c.column);
    expectRelative(s.grid("KineticEnergy")[c.row][c.column], c.energy, 1e-9, "energy " + at);
    expectRelative(s.grid("SiltingUpDisposition")[c.row][c.column], 0.001979623846, 1e-9, at);
    EXPECT_EQ(s.grid("TimeSinceLastSoilTillage")[c.row][c.column], 20.0) << at;
    expectRelative(s.grid("DirectRunoffSiltingUp")[c.row][c.column], c.runoff, 1e-9, at);
    expectRelative(s.input[c.row][c.column], c.input, 1e-9, "input " + at);
  }
  EXPECT_EQ(s.grid("KineticEnergy")[3][4], -9999.0);
}

// Input before + surface storage = input after + direct runoff, in every
// cell and step, with the surface storage moved into the input.
TEST(SiltingStep, KeepsTheWaterBalanceOfEveryCellWithAllMethods) {
  const std::vector<SiltingSection> sections = {SiltingSection{},
                                                [] {
                                                  SiltingSection s;
                                                  s.method = "2";
                                                  s.tail = "30\n5\n0.5\n-0.6\n0.02\n-1\n0.7\n-0.2";
                                                  return s;
                                                }(),
                                                methodThree(formulaBlock)};
  for (size_t k = 0; k < sections.size(); ++k) {
    SiltingSetup s("silting_balance" + std::to_string(k), sections[k]);
    s.soils[1] = siltingSoil("0.5 0.3 0.15 0.05 0 0 0", defaultParameters);
    Grid storage = s.addZoneGrid("SurfStorSiltingUp", 0.0);
    s.addZoneGrid("SurfaceRoutingWeights", 1.0);
    auto m = s.build();
    ASSERT_TRUE(m) << s.errorCode << s.base.log.console.str();
    Grid runoff = s.grid("DirectRunoffSiltingUp");
    for (long h = 0; h < 12; ++h) {
      double before[4][5] = {};
      for (auto [r, c] : zoneCells) {
        s.input[r][c] = 40.0 * std::fabs(std::sin(0.7 * h + c + 3 * r));
        storage[r][c] = 5.0 * std::fabs(std::cos(1.3 * h + r));
        before[r][c] = s.input[r][c] + storage[r][c];
      }
      ModelDate d = tilled;
      d.hour = h;
      stepAt(*m, d);
      for (auto [r, c] : zoneCells) {
        EXPECT_NEAR(before[r][c], s.input[r][c] + runoff[r][c] + storage[r][c], 1e-12)
            << "method " << m->getSiltingMethod() << " hour " << h << " cell " << r << "," << c;
        EXPECT_EQ(storage[r][c], 0.0);
      }
    }
  }
}

TEST(SiltingStep, RestartsTheEnergyAfterTheMinimumRainPause) {
  SiltingSetup s("silting_pause");
  auto m = s.build();
  ASSERT_TRUE(m);
  // Hourly intensities at cell (1, 1) and the rain pause after each step
  // in hours; the energy is kept until the pause reaches 0.2 days.
  struct Case {
    double rain, pauseHours;
    bool energyKept;
  };
  const std::vector<Case> cases = {{10.0, 0, true},  {0.05, 1, true}, {0.0, 2, true},
                                   {0.0, 3, true},   {0.0, 4, true},  {0.0, 5, false},
                                   {0.06, 0, false}, {76.2, 0, true}};
  Grid energy = s.grid("KineticEnergy");
  Grid pause = s.grid("RainPause");
  double previous = 0.0;
  for (size_t k = 0; k < cases.size(); ++k) {
    s.input[1][1] = cases[k].rain;
    ModelDate d = tilled;
    d.hour = static_cast<long>(k);
    stepAt(*m, d);
    EXPECT_NEAR(pause[1][1], cases[k].pauseHours / 24.0, 1e-12) << "step " << k;
    const double own = cases[k].rain * rainEnergyPerMm(cases[k].rain) * 0.75;
    EXPECT_NEAR(energy[1][1], (cases[k].energyKept ? previous : 0.0) + own, 1e-9) << "step " << k;
    previous = energy[1][1];
  }
  EXPECT_NEAR(rainEnergyPerMm(76.2), 28.33, 1e-12);
}

TEST(SiltingStep, LeavesUntilledSoilAlone) {
  SiltingSetup s("silting_untilled");
  s.uses[1] = siltingLanduse("");
  auto m = s.build();
  ASSERT_TRUE(m);
  for (auto [r, c] : zoneCells) s.input[r][c] = 200.0;
  stepAt(*m, tilled);
  for (auto [r, c] : zoneCells) {
    for (const char* name : {"TimeSinceLastSoilTillage", "KineticEnergy", "SiltingUpDisposition",
                             "DirectRunoffSiltingUp"})
      EXPECT_EQ(s.grid(name)[r][c], 0.0) << name;
    EXPECT_EQ(s.input[r][c], 200.0);
  }
}

TEST(SiltingStep, CountsTillageDaysAcrossTheYearEnd) {
  struct Case {
    long year;
    double days;
  };
  for (const Case& c : std::vector<Case>{{2022, 1.0}, {2021, 2.0}}) {
    SiltingSetup s("silting_year_end");
    s.uses[1] = siltingLanduse("365");
    auto m = s.build();
    ASSERT_TRUE(m);
    stepAt(*m, ModelDate{0, 0, 1, 1, c.year});
    EXPECT_EQ(s.grid("TimeSinceLastSoilTillage")[1][1], c.days) << "1 January " << c.year;
  }
}

// The expressions of the formula give the formula's grids on tilled cells,
// written on one line, over several lines and with a lower-case target.
TEST(SiltingStep, EvaluatesTheFormulaAsExpressions) {
  const std::vector<double> inputs = {12.0, 50.0, 0.0, 0.0, 90.0, 3.0};
  SiltingSetup reference("silting_expr_reference");
  auto formula = reference.build();
  ASSERT_TRUE(formula);
  const GridValues expected = runSteps(reference, *formula, inputs);
  std::string spread = formulaBlock;
  for (size_t at = 0; (at = spread.find(';', at)) != std::string::npos; at += 3)
    spread.replace(at, 1, ";\n ");
  std::string lower = formulaBlock;
  lower.replace(lower.find("V="), 2, "v =");
  for (const std::string& block : {formulaBlock, spread, lower}) {
    SiltingSetup s("silting_expr", methodThree(block));
    s.soils[1] = siltingSoil("0.5 0.3 0.15 0.05 0 0 0", defaultParameters);
    auto m = s.build();
    ASSERT_TRUE(m) << s.errorCode << s.base.log.console.str();
    const GridValues got = runSteps(s, *m, inputs);
    for (size_t g = 0; g < got.grids.size(); ++g)
      for (size_t k = 0; k < zoneCells.size(); ++k)
        expectRelative(got.grids[g][k], expected.grids[g][k], 1e-12,
                       std::string(ownNames[g]) + " with " + block);
  }
}

TEST(SiltingStep, TurnsAllInputIntoRunoffWithoutACapacity) {
  SiltingSetup s("silting_no_v", methodThree("X=A; Y=B; Z=0.1; W=11;"));
  auto m = s.build();
  ASSERT_TRUE(m);
  for (auto [r, c] : zoneCells) s.input[r][c] = 7.0;
  stepAt(*m, tilled);
  for (auto [r, c] : zoneCells) {
    EXPECT_EQ(s.grid("DirectRunoffSiltingUp")[r][c], 7.0);
    EXPECT_EQ(s.input[r][c], 0.0);
  }
}

TEST(SiltingStep, EndsOnAnExpressionItCannotEvaluate) {
  for (int threads : {1, 4}) {
    SiltingSetup s("silting_unknown", methodThree("X=A; Y=B; Z=FOO*2; V=1;"));
    auto m = s.build();
    ASSERT_TRUE(m);
    const int saved = omp_get_max_threads();
    omp_set_num_threads(threads);
    EXPECT_EQ(exitCodeOf([&] { stepAt(*m, tilled); }), 403) << threads << " threads";
    omp_set_num_threads(saved);
    EXPECT_NE(s.base.log.console.str().find(
                  "\n-----------------error------------\nin instance SiltingUpModel\nexpression "
                  "Z=FOO*2 could not be parsed correctly. Parser message: Error: Unknown "
                  "variable"),
              std::string::npos)
        << s.base.log.console.str();
  }
}

// A soil without sand keeps every grid finite and is named once.
TEST(SiltingStep, KeepsSoilsWithoutSandFinite) {
  SiltingSetup s("silting_no_sand");
  s.soils.push_back(siltingSoil("0 0.6 0.4 0 0 0 0"));
  s.soils.back().setCode(2);
  for (auto [r, c] : zoneCells) s.grid("soil_types")[r][c] = 1.0 + (c % 2);
  auto m = s.build();
  ASSERT_TRUE(m);
  for (long h = 0; h < 3; ++h) {
    for (auto [r, c] : zoneCells) s.input[r][c] = 30.0;
    stepAt(*m, ModelDate{0, h, 30, 4, 2021});
    for (auto [r, c] : zoneCells)
      for (const char* name : ownNames)
        EXPECT_TRUE(std::isfinite(s.grid(name)[r][c])) << name << " at " << r << "," << c;
  }
  const std::string log = s.base.log.console.str();
  const size_t first = log.find("soil type 2");
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("soil type 2", first + 1), std::string::npos);
}

// A cell wholly under a glacier (code 1 ice, 2 firn) has no soil surface:
// its input stays the glacier's and the water on it stays on the land for
// surface routing; a cell beside the glacier runs off as before.
TEST(SiltingStep, LeavesCellsUnderAGlacierAlone) {
  SiltingSetup s("silting_glacier");
  Grid storage = s.addZoneGrid("SurfStorSiltingUp", 6.0);
  s.addZoneGrid("SurfaceRoutingWeights", 1.0);
  Grid ice = s.addZoneGrid("ice_firn", 0.0);
  ice[2][3] = 1.0;
  ice[2][4] = 2.0;
  auto m = s.build();
  ASSERT_TRUE(m) << s.errorCode << s.base.log.console.str();
  for (auto [r, c] : zoneCells) s.input[r][c] = 50.0;
  stepAt(*m, tilled);
  Grid runoff = s.grid("DirectRunoffSiltingUp");
  struct Case {
    long row, column;
    bool covered;
  };
  for (const Case& c : std::vector<Case>{{2, 3, true}, {2, 4, true}, {1, 4, false}}) {
    const std::string at = std::to_string(c.row) + "," + std::to_string(c.column);
    if (c.covered) {
      EXPECT_EQ(s.input[c.row][c.column], 50.0) << at;
      EXPECT_EQ(runoff[c.row][c.column], 0.0) << at;
      EXPECT_EQ(storage[c.row][c.column], 6.0) << at;
    } else {
      EXPECT_GT(runoff[c.row][c.column], 0.0) << at;
      EXPECT_NEAR(s.input[c.row][c.column] + runoff[c.row][c.column], 56.0, 1e-12) << at;
      EXPECT_EQ(storage[c.row][c.column], 0.0) << at;
    }
  }
}

// The store holds the concentration of the water on the land for every kind
// of tracer: 10 mm left on the land at 2 meet 50 mm of input at 3, a mixture
// of 170 / 60; the runoff leaves with it, or at most at a largest
// concentration of 1, and what it cannot take stays in the water that goes
// on to the soil. The tracer's mass is kept: 2 * 10 + 3 * 50 in, runoff
// times its concentration plus the input left times the store's out. A
// cell without runoff keeps the mixture of its 12 mm input with nothing.
TEST(SiltingStep, CarriesTracersWithTheWaterOnTheLand) {
  SiltingSetup s("silting_tracers");
  Grid storage = s.addZoneGrid("SurfStorSiltingUp", 0.0);
  s.addZoneGrid("SurfaceRoutingWeights", 1.0);
  std::vector<TracerRecord> table(4);
  struct Case {
    const char* name;
    int evaporating;
    double maxConc;
    double runoffConcentration;
  };
  const double mixture = (2.0 * 10.0 + 3.0 * 50.0) / 60.0;
  const Case cases[] = {{"eva", 1, 1.0, mixture}, {"mas", 0, 0.0, mixture}, {"cap", 0, 1.0, 1.0}};
  for (int k = 1; k <= 3; ++k) {
    table[k].name = cases[k - 1].name;
    table[k].evaporating = cases[k - 1].evaporating;
    table[k].maxConc = cases[k - 1].maxConc;
    s.addZoneGrid("concflux_tracer_" + std::to_string(k) + "_input", 3.0);
  }
  auto m = s.build();
  ASSERT_TRUE(m) << s.errorCode << s.base.log.console.str();
  int error = -1;
  m->initTracers(error, 3, table, nullptr, 0);
  ASSERT_EQ(error, 0) << s.base.log.console.str();
  for (int k = 1; k <= 3; ++k)
    s.grid("concstor_tracer_" + std::to_string(k) + "_SiltingUpModel")[2][4] = 2.0;
  for (auto [r, c] : zoneCells) s.input[r][c] = c <= 2 ? 12.0 : 50.0;
  storage[2][4] = 10.0;
  stepAt(*m, tilled);
  const double runoff = s.grid("DirectRunoffSiltingUp")[2][4];
  const double stays = s.input[2][4];
  ASSERT_GT(runoff, 0.0);
  ASSERT_GT(stays, 0.0);
  ASSERT_EQ(s.grid("DirectRunoffSiltingUp")[1][1], 0.0);
  for (int k = 1; k <= 3; ++k) {
    const Case& c = cases[k - 1];
    SCOPED_TRACE(c.name);
    const std::string number = std::to_string(k);
    const Grid stored = s.grid("concstor_tracer_" + number + "_SiltingUpModel");
    const Grid flux = s.grid("concflux_tracer_" + number + "_SiltingUpModel");
    EXPECT_NEAR(flux[2][4], c.runoffConcentration, 1e-12);
    EXPECT_NEAR(flux[2][4] * runoff + stored[2][4] * stays, 2.0 * 10.0 + 3.0 * 50.0, 1e-9);
    EXPECT_EQ(flux[1][1], 0.0);
    EXPECT_NEAR(stored[1][1], 3.0, 1e-12);
  }
  m->freeTracers();
}
