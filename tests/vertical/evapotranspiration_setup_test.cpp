#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/vertical/evapotranspiration_fixture.h"

namespace {

using Entries = std::vector<std::string>;
Entries with(Entries e, size_t entry, const std::string& text) {
  e[entry - 1] = text;
  return e;
}

} // namespace

TEST(Verdunstungsmodellklasse, FailsWithTheMessageOfEachFault) {
  struct Case {
    const char* what;
    Entries entries;
    int layers;
    std::function<void(Evapotranspiration&)> prepare;
    int code;
    std::string message;
  };
  auto none = [](Evapotranspiration&) {};
  auto freeEntries = [](int n) {
    return [n](Evapotranspiration& e) {
      int first = 1;
      while (e.s.registry[first].hasFileName) ++first;
      for (int i = first + n; i < gridRegistryLimit; ++i)
        e.s.registry[i].hasFileName = e.s.registry[i].hasName = true;
    };
  };
  const Entries base = evapotranspirationEntries();
  const std::string eleven = "1 1 1 1 1 1 1 1 1 1 1";
  const std::vector<Case> cases = {
      {"layered Wendling", evapotranspirationEntries(3), 2, none, 44,
       "only possible\nfor unlayered Vegetation. Actual parameters: method: 3, number of layers: "
       "2"},
      {"hourly Hamon", evapotranspirationEntries(2), 1, none, 0,
       "The actual time step is less than 1440 min.\nactual parameters: method: 2, timestep: 60 "
       "minutes"},
      {"eleven PEC", with(base, 2, eleven), 1, none, 45,
       "12 (monthly) values for the PEC-parameter for \nHAMON-evaporation in the control file."},
      {"eleven fh", with(base, 3, eleven), 1, none, 45,
       "12 (monthly) values for the fh-parameter for \nHAUDE-evaporation in the control file."},
      {"day share", with(base, 29, "1.2 0.0"), 1, none, 10, "read: amplitude_fraction_day: 1.2"},
      {"no annual variability", with(base, 29, "0.6 x"), 1, none, 10,
       "error reading fraction for temperature amplitude for day/night\nor the annual variability"},
      {"diffuse 0.04", with(base, 24, "0.04 0.96 0 0"), 1, none, 10,
       "fraction of diffuse radiation is too small: 0.04 (should be 0.05 ... 0.5)"},
      {"diffuse 0.6", with(base, 24, "0.6 0.4 0 0"), 1, none, 10,
       "fraction of diffuse radiation is too large: 0.6"},
      {"CR summing to 1.02", with(base, 24, "0.25 0.77 0 0"), 1, none, 10,
       "Summe 1 ergeben\n derzeitige Summe: 0.25 + 0.77 + 0 + 0 = 1.02\nerror in control file"},
      {"CR summing to 1.02, explained", with(base, 24, "0.25 0.77 0 0"), 1, none, 10,
       " must sum to 1 (within 0.01), but CR0 + CR1 + CR2 + CR3 = 0.25 + 0.77 + 0 + 0 = 1.02"},
      {"CR summing to 1.005", with(base, 24, "0.25 0.755 0 0"), 1, none, 0, ""},
      {"CS constant", with(base, 25, "0.5 0 0 0"), 1, none, 10,
       "There must be at minimum a linear relationship\nbetween radiation and sunshine "
       "duration\nCS[0]=0.5, CS[1]=0, CS[2]=0, CS[3]=0"},
      {"CS without a root", with(base, 25, "0.5 0.1 0 0"), 1, none, 10,
       "No null point (root) was found between 0 and 1!\nCS[0]=0.5, CS[1]=0.1, CS[2]=0, CS[3]=0"},
      {"neither sunshine nor radiation", base, 1, none, 46,
       "erlative sunshine duration (SSD, in 1/1)  or global radiation"},
      {"Haude without humidity", evapotranspirationEntries(4), 1,
       [](Evapotranspiration& e) { e.add("temperature_14", 20.0); }, 46,
       "or relative air humidity (RLF, in 1/1).\n-------------------------------------------------"
       "------------------\nevapotranspiration method 4 of [evapotranspiration] (Haude, from the "
       "values at 14:00) requires the relative air humidity \"air_humidity_14\" (1/1) or the "
       "vapor pressure "
       "\"vapor_pressure_14\" (hPa), a meteorological variable of [meteo_names]; the run has "
       "vapor_pressure, which this method does not take"},
      {"Haude with the day's humidity", evapotranspirationEntries(4), 1,
       [](Evapotranspiration& e) {
         e.add("temperature_14", 20.0);
         e.add("air_humidity", 0.5);
       },
       46, "; the run has air_humidity, which this method does not take; add air_humidity_14"},
      {"registry full before a layer", evapotranspirationEntries(2), 1, freeEntries(0), 12,
       "no free grid left1000"},
      {"registry full after pot_transpiration0", evapotranspirationEntries(2), 1, freeEntries(1),
       12, "no free grid left of 1000!\n"},
      {"registry full after real_transpiration0", evapotranspirationEntries(2), 1, freeEntries(2),
       12, "no free ghrid left of 1000!\n"},
      {"entry 9 missing", Entries(base.begin(), base.begin() + 8), 1, none, 17,
       "error in control file, Writegrid ETR for    ; (EOF)not found!"},
      {"unknown method", evapotranspirationEntries(7), 1, none, 10,
       "the method 7 (\"Methode fuer \") is none of 1 (Penman-Monteith), 2 (Hamon), 3 (Wendling) "
       "and 4 (Haude)"},
      // Bounds that no climate exceeds.
      {"PEC 0 in March", with(base, 2, "1 1 0 1 1 1 1 1 1 1 1 1"), 1, none, 10,
       "the value 0 of \"PEC-parameter for HAMON-evaporation\" (month 3) must be above 0 and at "
       "most 10"},
      {"fh 1.5 in December", with(base, 3, "0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 1.5"), 1,
       none, 10,
       "the value 1.5 of \"fh-parameter for HAUDE-evaporation\" (month 12) must be above "
       "0 and at most 1 (mm/hPa)"},
      {"fk 2.5", with(base, 4, "2.5  fk"), 1, none, 10,
       "the value 2.5 of \"fk - Coastfactor (WENDLING) for\" must be above 0 and at most 2"},
      {"CS 1e9", with(base, 25, "0.072 -0.808 1e9 -0.239"), 1, none, 10,
       "the value 1e+09 of \"coefficients CS of sunshine duration from radiation for \" (CS[2]) "
       "must be -100 ... 100"},
      {"altitude scale 1e6", with(base, 27, "1e6  H"), 1, none, 10,
       "the value 1e+06 of \"altitude scale of the temperature amplitude for \" must be above 0 "
       "and at most 100000 (m)"},
      {"amplitude -1 in June", with(base, 28, "6 6 6 6 6 -1\n6 6 6 6 6 6  A"), 1, none, 10,
       "the value -1 of \"monthly temperature amplitudes for \" (month 6) must be 0 ... 40 (K)"},
      {"amplitude -1 in July, on the next line", with(base, 28, "6 6 6 6 6 6\n-1 6 6 6 6 6  A"), 1,
       none, 10, "(month 7) must be 0 ... 40 (K) (line 32 of "},
      {"annual variability past the night", with(base, 29, "0.6 -0.5  fd Aa"), 1, none, 10,
       "the value -0.5 of \"annual variability of the day share\" with amplitude_fraction_day 0.6 "
       "gives a day share from 0.1 to 1.1"},
      {"annual variability within the day", with(base, 29, "0.6 -0.4  fd Aa"), 1, none, 0, ""},
      {"Hamon factor on lakes 0", with(base, 31, "HamonCorrectionOpenWater = 0"), 1, none, 10,
       "the value 0 of \"HamonCorrectionOpenWater\" must be above 0 and at most 10"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Evapotranspiration e("etp_faults", c.entries, 60, c.layers);
    if (std::string(c.what) != "neither sunshine nor radiation") e.add("global_radiation", 500.0);
    c.prepare(e);
    e.module = constructSubmodel<TestEvapotranspiration>(e.code, e.s.context);
    EXPECT_EQ(e.code, c.code);
    EXPECT_NE(e.s.log.console.str().find(c.message), std::string::npos) << e.s.log.console.str();
  }
}

TEST(Verdunstungsmodellklasse, RegistersThreeGridsPerLayerAndSix) {
  // A cloudiness line too short for a file and code: no such statistics.
  Evapotranspiration e("etp_grids", with(with(evapotranspirationEntries(), 5, "etp.grd"), 30, "c"),
                       60, 3);
  e.add("sunshine_duration", 0.5);
  e.grid("MPIRegions")[1][2] = 1.0; // another process's cell
  int first = 1;
  while (e.s.registry[first].hasFileName) ++first;
  e.build();
  std::vector<std::string> names, files;
  for (int i = first; e.s.registry[i].hasName; ++i) {
    names.push_back(e.s.registry[i].name);
    files.push_back(e.s.registry[i].fileName);
  }
  std::vector<std::string> expectedNames, expectedFiles;
  for (int k = 0; k <= 3; ++k) {
    const std::string n = std::to_string(k);
    const std::string layer = k == 0 ? "" : "_Layer_" + n;
    expectedNames.insert(expectedNames.end(), {"pot_transpiration" + n, "real_transpiration" + n,
                                               "potential_InterceptionEvap" + n});
    expectedFiles.insert(expectedFiles.end(),
                         {"etp" + layer + ".grd", "etr" + layer + ".asc", "eip" + layer + ".asc"});
  }
  expectedNames.insert(expectedNames.end(),
                       {"potential_evaporation", "real_evaporation", "snow_evaporation",
                        "AspectCorrectedGlobalRadiation", "cloudiness", "SSDTemp"});
  expectedFiles.insert(expectedFiles.end(), {"evap.asc", "evar.asc", "evrs.asc",
                                             "correctedradiation", "cloudiness", "SSDTemp"});
  EXPECT_EQ(names, expectedNames);
  EXPECT_EQ(files, expectedFiles);
  const Grid memory = e.grid("SSDTemp");
  EXPECT_EQ(memory[2][2], 0.5);
  EXPECT_EQ(memory[1][1], -9999.0);
  EXPECT_EQ(memory[1][2], -9999.0);
  EXPECT_EQ(e.grid("pot_transpiration2")[2][1], 0.0);
  EXPECT_EQ(e.grid("pot_transpiration2")[1][2], -9999.0);
  // The statistics of every layer, with the method in the title.
  EXPECT_NE(readFile(e.s.log.directory + "/etp_Layer_2.stat")
                .find("evapotranspiration_submodel:pot_transpiration2(Penman/Monteith)_"),
            std::string::npos);
  for (const char* file : {"/c", "/cloudiness"})
    EXPECT_FALSE(std::filesystem::exists(e.s.log.directory + file)) << file;
  EXPECT_TRUE(std::filesystem::exists(e.s.log.directory + "/rgex.stat"));
  EXPECT_NE(readFile(e.s.log.directory + "/etr.stat")
                .find("total_Evapotranspiration_as_sum_of_ETR1..n_EI1..n_EVAR_and_EVRS_"),
            std::string::npos);
}

TEST(Verdunstungsmodellklasse, SolvesQuadraticsAndFindsTheSunshineThreshold) {
  struct Root {
    double p, q;
    int count;
    double x1, x2;
  };
  Evapotranspiration solver("etp_roots", evapotranspirationEntries());
  solver.add("sunshine_duration", 0.5);
  solver.build();
  for (const Root& c : std::vector<Root>{{-3, 2, 2, 1, 2}, {2, 1, 1, -1, -1}, {0, 1, 0, 0, 0}}) {
    double x1 = 9, x2 = 9;
    EXPECT_EQ(solver.module->solveQuadratic(c.p, c.q, x1, x2), c.count);
    EXPECT_EQ(x1, c.x1);
    EXPECT_EQ(x2, c.x2);
  }
  // A cubic's turning point, a parabola's and a line's zero in [0, 1].
  struct Threshold {
    std::string cs;
    double r0;
  };
  for (const Threshold& c : std::vector<Threshold>{
           {"0.072 -0.808 1.749 -0.239", 0.243103}, {"0.1 -1.1 1 0", 1.0}, {"-0.2 1 0 0", 0.2}}) {
    SCOPED_TRACE(c.cs);
    Evapotranspiration e("etp_threshold", with(evapotranspirationEntries(), 25, c.cs));
    e.add("sunshine_duration", 0.5);
    e.build();
    EXPECT_NEAR(e.module->sunshineThreshold, c.r0, 5e-7);
  }
}

TEST(Verdunstungsmodellklasse, ReadsTheLakeSection) {
  struct Case {
    const char* what;
    bool lakeGrid;
    const char* pond;
    std::string section;
    int code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no lake grid", false, "ponding_storage", "", 0,
       "no LAKE-grid was found in evapotranspiration\nLake modelling is switched off for "
       "evapotranspiration.\n"},
      {"no pond grid", true, "", "1\n1\n0.08\n0.001\n", 28,
       "LAKE-grid was found, but no POND-Grid. For using lakes,\nboth grids as well as the MAXPOND "
       "grid must be present."},
      {"initialization 3", true, "ponding_storage_top", "1\n3\n0.08\n0.001\n", 211,
       "Error in initialization method for [lake_model].\nAllowed values are 1 (no change of "
       "grids) or 2 (adjust DEM, SLOPE, DRAIN).\n"},
      {"albedo missing", true, "ponding_storage", "1\n2\n", 17,
       "error in control file, Albedo_OpenWater for ; (EOF)not found!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Evapotranspiration e("etp_lakes", evapotranspirationEntries(2), 1440, 1,
                         "[lake_model]\n" + c.section);
    if (c.lakeGrid) e.add("lake_codes", 1.0);
    if (*c.pond) e.add(c.pond, 0.0);
    e.build();
    EXPECT_EQ(exitCodeOf([&] { e.module->readLakeCodes("[lake_model]"); }),
              c.code == 0 ? -1 : c.code);
    EXPECT_NE(e.s.log.console.str().find(c.message), std::string::npos) << e.s.log.console.str();
  }
}

// With spin-up response units the master cell of a unit is computed and the
// unit's other cells take its values; a unit without a master is refused.
TEST(Verdunstungsmodellklasse, CopiesTheMasterCellOfEachResponseUnit) {
  for (const double unit : {1.0, 5.0}) {
    SCOPED_TRACE(unit);
    Evapotranspiration e("etp_units", evapotranspirationEntries(), 60);
    e.add("global_radiation", 300.0);
    e.grid("temperature")[1][2] = 20.0; // a cell of the unit, not computed
    e.add("HydrologicResponseUnits", [unit](long r, long) { return r == 1 ? unit : 1.0; });
    e.add("MasterHydrologicResponseUnits",
          [](long r, long c) { return r == 2 && c == 2 ? 1.0 : -9999.0; });
    const std::vector<HRUMasterCell> masters = {{0, 0}, {2, 2}};
    e.s.context.hruFlag = 1;
    e.s.context.hruMasterCells = &masters;
    e.module = constructSubmodel<TestEvapotranspiration>(e.code, e.s.context);
    if (unit > 1.0) {
      EXPECT_EQ(e.code, 1030);
      EXPECT_NE(e.s.log.lastEntry().find("row 1, column 2 of \"HydrologicResponseUnits\" names the unit 5"), std::string::npos)
          << e.s.log.lastEntry();
      continue;
    }
    ASSERT_EQ(e.code, 0);
    e.potential(1, 21, 3);
    for (const char* g : {"pot_transpiration0", "potential_InterceptionEvap1",
                          "potential_evaporation", "cloudiness"}) {
      EXPECT_EQ(e.grid(g)[1][2], e.grid(g)[2][2]) << g;
      EXPECT_EQ(e.grid(g)[2][1], e.grid(g)[2][2]) << g;
    }
    EXPECT_NEAR(e.grid("pot_transpiration1")[1][2], 0.0017625, 5e-7);
  }
}
