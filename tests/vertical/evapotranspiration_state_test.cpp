#include <gtest/gtest.h>

#include <string>

#include "tests/test_support.h"
#include "tests/vertical/evapotranspiration_fixture.h"

namespace {

const std::string stateFile = "unsatzon_state_0";

} // namespace

// The sunshine memory that carries a night goes into the state file and
// comes back in a warm start to the last bit (grids written as doubles),
// with the daylight period.
TEST(EvapotranspirationState, CarriesTheSunshineMemoryIntoAWarmStart) {
  const double values[3] = {0.1 + 0.2, 1.0 / 3.0, 2e-17}; // cells (1,2), (2,1), (2,2)
  Evapotranspiration before("etp_state_before", evapotranspirationEntries());
  before.s.context.writeDoubleGrids = true;
  before.add("sunshine_duration", 0.5);
  before.build();
  before.module->readStorage(&stateFile, 0);
  before.module->setWriteStorageFlag(1);
  before.setCells("SSDTemp", 0.0);
  Grid memory = before.grid("SSDTemp");
  memory[1][2] = values[0];
  memory[2][1] = values[1];
  memory[2][2] = values[2];
  before.module->daylightPeriod = true;
  before.module->daylightSteps = 7;
  before.module->releaseModule();

  Evapotranspiration after("etp_state_after", evapotranspirationEntries());
  after.s.context.inputDirectory = before.s.log.directory + "/";
  after.add("sunshine_duration", 0.5);
  after.build();
  after.module->readStorage(&stateFile, 1);
  Grid read = after.grid("SSDTemp");
  EXPECT_EQ(read[1][2], values[0]);
  EXPECT_EQ(read[2][1], values[1]);
  EXPECT_EQ(read[2][2], values[2]);
  EXPECT_TRUE(after.module->daylightPeriod);
  EXPECT_EQ(after.module->daylightSteps, 7);
}

// A state of an earlier version (no section, or no grid) starts the night
// at 0.5; a broken section is refused with the line it holds.
TEST(EvapotranspirationState, StartsAnOldStateColdAndRefusesABrokenSection) {
  struct Case {
    const char* text;
    int code; // -1: none
    const char* message;
  };
  const Case cases[] = {
      {"[unsatzon_model]\n1 (number of subasins)\n\n", -1,
       "[evapotranspiration] not found in storage content file"},
      {"[evapotranspiration]\n1 3 (daylight period running and its steps)\n", -1,
       "no grid SSDTemp of a former run"},
      {"[evapotranspiration]\n1 (daylight period running and its steps)\n", 71,
       "\"1 (daylight period running and its steps)\" is not two whole numbers"},
      {"[evapotranspiration]\n", 71, "reading the daylight period in [evapotranspiration]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Evapotranspiration e("etp_state_refused", evapotranspirationEntries());
    writeFile(e.s.log.directory + "/" + stateFile, c.text);
    e.s.context.inputDirectory = e.s.log.directory + "/";
    e.add("sunshine_duration", 0.5);
    e.build();
    EXPECT_EQ(exitCodeOf([&] { e.module->readStorage(&stateFile, 1); }), c.code);
    EXPECT_NE(e.s.log.console.str().find(c.message), std::string::npos) << e.s.log.console.str();
    EXPECT_EQ(e.grid("SSDTemp")[2][2], 0.5);
  }
}
