#include <gtest/gtest.h>

#include "driver/data_assimilation.h"
#include "tests/submodel/submodel_fixture.h"

namespace {

std::string assimilationSection(const std::string& flow, const std::string& rules) {
  return "[data_assimilation]\n" + flow + "  flow control parameter\n60  time interval\n" + rules +
         "\n";
}

} // namespace

TEST(DataAssimilation, BadRulesEndWithCode83) {
  struct Case {
    std::string rule; // the block between its braces
    std::string what; // the FATAL entry up to " in block 1"
  };
  const std::vector<Case> cases = {
      {"kind = pond; target = snow; file = obs; weight = 1;",
       "the kind \"pond\" of key \"kind\" is not known (grid, lake)"},
      {"kind = lake; reservoir = 7; file = levels; column = 0; weight = 1;",
       "reservoir 7 is no reservoir of [routing_model]"},
      {"kind = lake; reservoir = 7; file = levels; column = 0; weight = 0;",
       "the weight 0 of key \"weight\" lies outside (0, 1]"},
      {"kind = grid; target = rain; file = obs; weight = 1;",
       "the grid \"rain\" of key \"target\" is not registered"},
      {"kind = grid; target = snow; profile = obs; weight = 1;",
       "unknown key \"profile\" (the keys are kind, target, file, weight)"},
      {"kind = grid; target = snow; file = obs;", "key \"weight\" is missing"},
      {"kind = grid; target = snow; file = obs; weight = half;",
       "the value \"half\" of key \"weight\" is not a number"},
      {"kind = grid; target = snow; file = obs; weight = 1.5;",
       "the weight 1.5 of key \"weight\" lies outside 0 .. 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    SubmodelSetup s("data_assimilation", assimilationSection("1", "1\n{" + c.rule + "}"));
    s.addGrid("snow", std::vector<double>(12, 1.0));
    int code = -1;
    const auto module = constructSubmodel<data_assimilation>(code, s.context);
    EXPECT_EQ(code, 83);
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(s.log.lastEntry(),
              c.what + " in block 1 {" + c.rule + "} of [data_assimilation] in " + s.controlFile);
  }
}
