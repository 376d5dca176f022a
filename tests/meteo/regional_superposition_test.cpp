#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "meteo/meteoint.h"
#include "meteo/regional_superposition.h"
#include "tests/meteo/meteo_model.h"
#include "tests/test_support.h"

namespace {

// Region 3 in columns 1 .. 5, region 7 in columns 6 .. 10; the columns 5
// and 6 along the border weigh their own region 0.6 and the other 0.4.
double regionAt(long, long c) { return c <= 5 ? 3.0 : 7.0; }
bool border(long c) { return c == 5 || c == 6; }
double ownWeight(long c) { return border(c) ? 0.6 : 1.0; }

void addRegions(MeteoModel& m) {
  m.addGrid("regression_regions", regionAt);
  m.addGrid("regression_weights1", [](long, long c) { return ownWeight(c); });
  m.addGrid("regression_regions2",
            [](long r, long c) { return border(c) ? regionAt(r, 11 - c) : 0; });
  m.addGrid("regression_weights2", [](long, long c) { return border(c) ? 0.4 : 0.0; });
}

// temperature: 10 everywhere but at 01:00, when no station has a value.
std::string temperatureInput() {
  StationTable t;
  t.x = {5000};
  t.y = {4000};
  t.values = {{10}, {-9999}, {10}, {10}};
  return t.text();
}

std::string section(const std::string& rules) {
  InterpolatorSection s;
  return s.text() + "[RegionalSuperposition]\n1  flow control\n60  time interval\n" + rules + "\n";
}

struct Superposition {
  MeteoRun run;
  std::unique_ptr<meteointerpol> temperature;
  std::unique_ptr<RegionalSuperposition> module;
  int code = 0;
  Grid humidity = nullptr;

  Superposition(const std::string& name, const std::string& rules)
      : run(name, section(rules), {{"stations.txt", temperatureInput()}}) {
    addRegions(*run.model);
    humidity = run.model->addGrid("humidity", [](long, long) { return 0.5; });
    int interpolatorCode = 0;
    temperature = run.interpolator("temperature", interpolatorCode);
    EXPECT_EQ(interpolatorCode, 0) << run.console();
    module = constructSubmodel<RegionalSuperposition>(code, run.context);
  }
  // Interpolates the next step and superposes it.
  void step() {
    const ModelDate d = temperature->getNextDate();
    temperature->interpolate(d);
    module->superpose(d.minute, d.hour, d.day, d.month, d.year);
  }
};

TEST(RegionalSuperposition, AddsAndMultipliesTheWeightedRegionValuesInTheirMonths) {
  Superposition s("superposition_rules",
                  "3  number of rules\n"
                  "temperature add 4 4 3:2.0 7:-1.0   spring\n"
                  "humidity mul 11 4 3:1.5   winter, wrapping past December\n"
                  "temperature add 5 9 3:100 7:100   not in April\n");
  ASSERT_EQ(s.code, 0) << s.run.console();
  ASSERT_EQ(s.module->getRules().size(), 3u);
  s.step();
  const MeteoModel& m = *s.run.model;
  for (long r = 1; r <= m.header.nrows; ++r)
    for (long c = 1; c <= m.header.ncols; ++c) {
      if (!m.valid(r, c)) {
        EXPECT_EQ(s.temperature->getGrid()[r][c], -9999.0);
        continue;
      }
      const double own = c <= 5 ? 2.0 : -1.0, other = c <= 5 ? -1.0 : 2.0;
      const double w = ownWeight(c);
      EXPECT_DOUBLE_EQ(s.temperature->getGrid()[r][c], 10.0 + w * own + (1.0 - w) * other)
          << r << "," << c;
      // Region 7 has no value in the rule: it multiplies by 1.
      const double factor = c <= 5 ? w * 1.5 + (1.0 - w) : w + (1.0 - w) * 1.5;
      EXPECT_DOUBLE_EQ(s.humidity[r][c], 0.5 * factor) << r << "," << c;
    }
  EXPECT_DOUBLE_EQ(s.temperature->getGrid()[4][5], 10.8);
  EXPECT_DOUBLE_EQ(s.temperature->getGrid()[4][6], 10.2);

  // No station value at 01:00: the temperature of 00:00's values, whatever
  // another module made of its grid, superposed anew; the humidity is
  // multiplied again, as every step.
  s.temperature->getGrid()[4][5] += 5.0;
  s.step();
  EXPECT_DOUBLE_EQ(s.temperature->getGrid()[4][5], 10.8);
  EXPECT_DOUBLE_EQ(s.humidity[4][2], 0.5 * 1.5 * 1.5);
}

TEST(RegionalSuperposition, ReportsFaultsOfItsRules) {
  struct Case {
    const char* name;
    std::string rules;
    int code;
    std::string message;
  };
  const std::string where = "error in control file, section [RegionalSuperposition], rule 1: ";
  const std::vector<Case> cases = {
      {"operation", "1\ntemperature sub 4 4 3:1\n", 77,
       where + "the operation \"sub\" is neither add nor mul"},
      {"month", "1\ntemperature add 4 13 3:1\n", 77,
       where + "the month \"13\" is not one of 1 .. 12"},
      {"pair", "1\ntemperature add 4 4 3:x\n", 77,
       where + "\"3:x\" is no region code (1 .. 32767) and value as code:value"},
      {"region_zero", "1\ntemperature add 4 4 0:1\n", 77, where + "\"0:1\" is no region code"},
      {"twice", "1\ntemperature add 4 4 3:1 3:2\n", 77, where + "region 3 is given twice"},
      {"no_pair", "1\ntemperature add 4 4 three\n", 77,
       where + "the rule gives no region code:value"},
      {"short", "1\ntemperature add 4\n", 77, where + "a rule needs a target grid"},
      {"missing_rule", "2\ntemperature add 4 4 3:1\n", 77,
       "rule 2 of [RegionalSuperposition]; [RegionalSuperposition], end of the section in "},
      {"count", "two\ntemperature add 4 4 3:1\n", 77,
       "number of rules of the regional superposition; [RegionalSuperposition], line 22 of "},
  };
  for (const Case& k : cases) {
    Superposition s(std::string("superposition_") + k.name, k.rules);
    EXPECT_EQ(s.code, k.code) << k.name;
    EXPECT_EQ(s.module, nullptr);
    EXPECT_NE(s.run.console().find(k.message), std::string::npos) << k.name << "\n"
                                                                  << s.run.console();
  }
  // A target that no module has registered, found at the first step.
  Superposition s("superposition_target", "1\nsnow add 1 12 3:1\n");
  ASSERT_EQ(s.code, 0);
  EXPECT_EQ(exitCodeOf([&] { s.step(); }), 77);
  EXPECT_NE(s.run.console().find(where + "there is no grid snow to superpose"), std::string::npos);
}

TEST(RegionalSuperposition, ChangesNothingWhenSwitchedOff) {
  for (const char* text : {"[RegionalSuperposition]\n0 off\n60\n", ""}) {
    InterpolatorSection i;
    MeteoRun run("superposition_off", i.text() + text, {{"stations.txt", temperatureInput()}});
    int code = 0;
    auto temperature = run.interpolator("temperature", code);
    auto module = constructSubmodel<RegionalSuperposition>(code, run.context);
    ASSERT_EQ(code, 0) << run.console();
    EXPECT_EQ(module->getFlowControl(), 0);
    run.step(*temperature);
    module->superpose(0, 0, 1, 4, 2015);
    EXPECT_EQ(temperature->getGrid()[4][4], 10.0);
  }
}

} // namespace

// An interpolation that keeps its grid for a step hands the superposed
// grid to its output: the range its statistics may hold is the
// interpolation's limits plus (or times) every rule's region values and its
// neutral value, whatever the months. A grid of no interpolation has none.
TEST(RegionalSuperposition, WidensTheRangeOfTheValuesItsTargetsHold) {
  Superposition s("superposition_ranges", "3  number of rules\n"
                                          "temperature add 4 4 3:2.0 7:-1.0   spring\n"
                                          "humidity mul 11 4 3:1.5   winter\n"
                                          "temperature add 5 9 3:100 7:100   summer\n");
  ASSERT_EQ(s.code, 0) << s.run.console();
  s.module->widenTargetRanges();
  const GridRegistryEntry* registry = s.run.context.registry;
  const GridValueRange& t = registry[s.temperature->getGridIndex()].valueRange;
  ASSERT_TRUE(t.known);
  // Limits -1000 ... 1000, amounts -1 ... 2 and 0 ... 100.
  EXPECT_DOUBLE_EQ(t.lowest, -1001.0);
  EXPECT_DOUBLE_EQ(t.highest, 1102.0);
  EXPECT_EQ(t.source, "the lower and upper limit -1000 ... 1000 of [temperature], plus the amount "
                      "-1 ... 2 of rule 1 of [RegionalSuperposition], plus the amount 0 ... 100 "
                      "of rule 3 of [RegionalSuperposition]");
  int humidity = 0;
  for (int i = 1; i < gridRegistryLimit && !humidity; ++i)
    if (registry[i].name == "humidity") humidity = i;
  ASSERT_GT(humidity, 0);
  EXPECT_FALSE(registry[humidity].valueRange.known);
}
