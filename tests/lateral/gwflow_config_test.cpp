#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/lateral/aquifer_fixture.h"

namespace {

// Each case changes a good set-up of a 10 x 4 block and names the exit
// code and a piece of the message the construction ends with (the console
// shows an entry without its "FATAL: ").
TEST(GroundwaterConfig, FailuresEndTheConstruction) {
  struct Case {
    const char* name;
    std::function<void(AquiferSection&)> section;
    std::function<void(AquiferModel&)> model;
    int code;
    const char* message;
  } cases[] = {
      {"row", [](AquiferSection& s) { s.control = "11 2"; }, nullptr, 8,
       "in modul groundwater_flow:\nrow index (11) for output-cell must be between 1 and "
       "10 (Input as row col) or 0 0 "},
      {"column only", [](AquiferSection& s) { s.control = "5 0"; }, nullptr, 9,
       "column index (0) for output-cell must be between 1 and 4 (Input as row col) "},
      {"no layers", [](AquiferSection& s) { s.layers = 0; }, nullptr, 10, "number of layers (0)"},
      {"grid read parameter -1", [](AquiferSection& s) { s.readGrid = -1; }, nullptr, 17,
       "section [groundwater_flow]: the value -1 of \"grid read parameter in \" must be 0 (heads "
       "from the soil's table) or 1"},
      {"missing value",
       [](AquiferSection& s) { s.replacement = "[groundwater_flow]\n1\n60\n1 method\n"; }, nullptr,
       17, "maxiter in "},
      {"no kolmation", [](AquiferSection& s) { s.layers = 2; },
       [](AquiferModel& m) {
         for (GridRegistryEntry& e : m.registry.entries)
           if (e.hasName && e.name == "gw_kolmation_1") e.name = "renamed";
       },
       33, "gw_kolmation_1"},
      {"control file",
       [](AquiferSection& s) {
         s.control = "2 2";
         s.controlFile = "no/such/cp.txt";
       },
       nullptr, 62,
       "error opening file for gw-fluxes (single point) \n-> check disk space or "
       "user rights\n"},
      {"storage 0", nullptr,
       [](AquiferModel& m) {
         m.set("gw_storage_coeff_1", [](long r, long c) { return r == 3 && c == 2 ? 0.0 : 0.1; });
       },
       10, "grid \"gw_storage_coeff_1\" (gw_storage_coeff_1) holds 0 at row 3, column 2"},
      {"negative conductivity", nullptr,
       [](AquiferModel& m) {
         m.set("gw_k_y_1", [](long r, long c) { return r == 7 && c == 4 ? -1e-5 : 1e-4; });
       },
       10, "grid \"gw_k_y_1\" (gw_k_y_1) holds -1e-05 at row 7, column 4"},
      {"negative thickness", [](AquiferSection& s) { s.layers = 2; },
       [](AquiferModel& m) { m.set("aquifer_thickness_2", -2.0); }, 10,
       "grid \"aquifer_thickness_2\" (aquifer_thickness_2) holds -2 at row 1, column 1"},
      {"lake without pond flag",
       [](AquiferSection& s) { s.after = "[lake_model]\n1 flow\n1 init\n"; },
       [](AquiferModel& m) { m.set("lake_codes", 1.0); }, 214,
       "pond_use must be set in groundwater_flow\n"},
      {"lake method",
       [](AquiferSection& s) {
         s.pondLine = "1 ponds";
         s.after = "[lake_model]\n1 flow\n3 init\n";
       },
       [](AquiferModel& m) {
         m.set("lake_codes", 1.0);
         m.set("ponding_storage", 0.0);
       },
       214, "Lake initialization method (3) not valid.\n"},
      {"lake without ponds",
       [](AquiferSection& s) {
         s.pondLine = "1 ponds";
         s.after = "[lake_model]\n1 flow\n1 init\n";
       },
       [](AquiferModel& m) { m.set("lake_codes", 1.0); }, 28, "\"ponding_storage\""},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    AquiferSection s;
    if (t.section) t.section(s);
    AquiferModel m(std::string("gw_fail_") + std::to_string(&t - cases), blockOwners(10, 4, 1), s);
    if (t.model) t.model(m);
    m.build();
    EXPECT_EQ(m.code, t.code);
    EXPECT_NE(m.log().find(t.message), std::string::npos) << "[" << m.log() << "]";
  }
}

TEST(GroundwaterConfig, RegistryFullEndsWithCode12) {
  AquiferModel m("gw_registry_full", blockOwners(3, 3, 1), AquiferSection{});
  while (m.registry.used < gridRegistryLimit - 1) m.registry.add("filler", m.strips.grid(0.0));
  m.build();
  EXPECT_EQ(m.code, 12);
  EXPECT_NE(m.log().find("no free grid (gridmaxanzahl must be larger than 1000)!\n"),
            std::string::npos);
}

TEST(GroundwaterConfig, PondFlagLine) {
  struct Case {
    std::string line;
    bool pondGrid;
    const char* info;
    bool ponds;
    bool afterStack = false;
  } cases[] = {
      {"", false, "no POND-Grid will be used because Use-Pond-Flag is not present", false},
      // a head file whose name starts with a digit is no flag
      {"1_heads.asc", false, "no POND-Grid will be used because Use-Pond-Flag is not present",
       false},
      {"0 free text", true, "Use-Pond-Flag is 0; --> no PONDs will be used in GW-Model", false},
      {"1", true, "Use-Pond-Flag is 1\n POND-Grid was found --> PONDs will be used in GW-Model",
       true},
      {"1", false,
       "Use-Pond-Flag is 1\n POND-Grid was not found --> no PONDs will be used in GW-Model", false},
      // the soil registers its ponds after its stacks
      {"1", true, "Use-Pond-Flag is 1\n POND-Grid was found --> PONDs will be used in GW-Model",
       true, true},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.line);
    AquiferSection s;
    s.pondLine = t.line;
    if (t.line == "1_heads.asc") {
      s.pondLine = "";
      s.headFile = "1_heads.asc";
    }
    AquiferModel m("gw_pond", blockOwners(3, 3, 1), s);
    if (t.afterStack) m.registry.add("theta", nullptr);
    if (t.pondGrid) m.set("ponding_storage", 0.0);
    m.build();
    ASSERT_EQ(m.code, 0) << m.log();
    EXPECT_NE(m.log().find("in modul groundwater_flow: " + std::string(t.info)), std::string::npos)
        << m.log();
    EXPECT_EQ(m.module->usesPonds(), t.ponds);
    EXPECT_EQ(m.registry.entries[static_cast<size_t>(m.module->findGrid("gw_head_1", 1))].fileName,
              t.line == "1_heads.asc" ? "1_heads.asc" : "heads_1.asc");
  }
}

// The soil registers its frozen depth, surface routing its surface storage,
// behind the soil's stacks: groundwater finds them there too.
TEST(GroundwaterConfig, FindsOptionalGridsBehindStacks) {
  struct Case {
    std::vector<const char*> grids;
    bool frozen, silting;
  } cases[] = {
      {{}, false, false},
      {{"ThawDepthTMod", "frozenSoilInGroundwater"}, true, false},
      {{"ThawDepthTMod"}, false, false},
      {{"SurfStorSiltingUp"}, false, true},
      {{"SurfStorSiltingUp", "DirectRunoffSiltingUp"}, false, false},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.grids.empty() ? "none" : t.grids.front());
    AquiferModel m("gw_behind_stacks", blockOwners(3, 3, 1), AquiferSection{});
    m.registry.add("theta", nullptr);
    for (const char* name : t.grids) m.set(name, 0.0);
    m.build();
    ASSERT_EQ(m.code, 0) << m.log();
    EXPECT_EQ(m.module->usesFrozenGround(), t.frozen);
    EXPECT_EQ(m.module->usesSiltingStorage(), t.silting);
  }
}

TEST(GroundwaterConfig, TuningSectionReadsToTheNextSection) {
  struct Case {
    const char* text;
    double scaling;
  } cases[] = {
      {"[groundwater_tuning]\n  frozenDepthScaling = 0.25\n", 0.25},
      {"[groundwater_tuning]\r\n\tother = 3\r\nfrozenDepthScaling=0.5\r\n", 0.5},
      {"[groundwater_tuning]\nother = 1\n[next]\nfrozenDepthScaling = 0.5\n", 1.0},
      {"", 1.0},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.text);
    AquiferSection s;
    s.after = t.text;
    AquiferModel m("gw_tuning", blockOwners(2, 2, 1), s);
    m.build();
    ASSERT_EQ(m.code, 0) << m.log();
    EXPECT_EQ(m.module->getFrozenDepthScaling(), t.scaling);
  }
}

// The entries in order from the first free one; the heads of each layer
// are read under their names and "_old".
TEST(GroundwaterConfig, RegistersTheLayerGridsInOrder) {
  AquiferSection s;
  s.layers = 2;
  s.headFile = "out.d/h%d";
  AquiferModel m("gw_order", blockOwners(2, 3, 1), s);
  m.build();
  ASSERT_EQ(m.code, 0) << m.log();
  std::vector<std::string> names, files;
  for (int i = m.registry.used + 1; m.registry.entries[static_cast<size_t>(i)].hasName; ++i) {
    names.push_back(m.registry.entries[static_cast<size_t>(i)].name);
    files.push_back(m.registry.entries[static_cast<size_t>(i)].fileName);
  }
  std::vector<std::string> expected = {"gw_head_1", "gw_head_old_1", "gw_head_2", "gw_head_old_2"};
  for (const char* k : {"1", "2"})
    for (const char* base :
         {"gw_head_old_old_", "gw_head_old_old_", "gw_transmissivity_x_", "gw_transmissivity_y_",
          "gw_flow_x_", "gw_flow_y_", "gw_balance", "gw_leakage_", "aquifer_upper_limit"})
      expected.push_back(std::string(base) + k);
  EXPECT_EQ(names, expected);
  EXPECT_EQ(files[0], "out.d/h1");
  EXPECT_EQ(files[1], "out.d/h1_old");
  // top of layer 2: elevation - soil depth of the table (1.5 + 0.5 m)
  EXPECT_EQ(m.grid("aquifer_upper_limit2")[2][3], 48.0);
  EXPECT_EQ(m.grid("gw_head_2")[1][1], 49.0);
}

TEST(GroundwaterConfig, SwitchedOffWithSpinUpUnits) {
  AquiferModel m("gw_hru", blockOwners(2, 2, 1), AquiferSection{});
  m.context.hruFlag = 1;
  m.build();
  ASSERT_EQ(m.code, 0) << m.log();
  EXPECT_EQ(m.module->getFlowControl(), 0);
  EXPECT_EQ(m.grid("gw_head_1"), nullptr);
  EXPECT_NE(m.log().find("does not run with spin-up HRUs"), std::string::npos);
}

} // namespace

namespace {

// kolmation * dt / S above 2 makes the explicit leakage swing: the set-up
// names the worst cell.
TEST(GroundwaterConfig, WarnsOfSwingingLeakage) {
  struct Case {
    double kolmation;
    const char* warning; // empty: none
  } cases[] = {{2e-7, "gw_kolmation_1 * time step / storage coefficient is 7.2 at row 2, column 3"},
               {4e-8, ""}}; // 1.44
  for (const Case& t : cases) {
    SCOPED_TRACE(t.kolmation);
    AquiferSection s;
    s.layers = 2;
    AquiferModel m("gw_swing", blockOwners(3, 3, 1), s);
    m.set("gw_storage_coeff_2", [](long r, long c) { return r == 2 && c == 3 ? 1e-4 : 0.1; });
    m.set("gw_kolmation_1", t.kolmation);
    m.build();
    ASSERT_EQ(m.code, 0) << m.log();
    EXPECT_EQ(m.log().find("time step / storage coefficient") != std::string::npos,
              *t.warning != '\0');
    EXPECT_NE(m.log().find(t.warning), std::string::npos) << m.log();
  }
}

} // namespace
