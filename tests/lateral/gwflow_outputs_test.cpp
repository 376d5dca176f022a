#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>

#include "tests/lateral/aquifer_fixture.h"

namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t fieldCount(const std::string& line) {
  return static_cast<size_t>(std::count(line.begin(), line.end(), '\t')) + 1;
}

// The control point "3 4" of a 5 x 4 block, and "1 2" for a cell in the
// first row: heads of the cell and its neighbours per layer, the west
// neighbour's baseflow, -8888 beyond the grid.
TEST(GroundwaterOutputs, ControlPointSeries) {
  struct Case {
    const char* control;
    int layers;
    long capacity;
    const char* header;
  } cases[] = {
      {"3 4", 1, 23831,
       "YY\tMM\tDD\tHH\tcontrol_point_fluxes[3][4][lr: 1, 1]\t[lr: 1, 2]\t[lr: 1, 3]\t[lr: 1, "
       "4]\t[lr: 1, up]\t[lr: 1, down]\t"},
      {"1 2", 2, 15420,
       "YY\tMM\tDD\tHH\tcontrol_point_fluxes[1][2][lr: 1, 1]\t[lr: 1, 2]\t[lr: 1, 3]\t[lr: 1, "
       "4]\t[lr: 1, up]\t[lr: 1, down]\t[lr: 2, 1]\t[lr: 2, 2]\t[lr: 2, 3]\t[lr: 2, 4]\t[lr: 2, "
       "up]\t[lr: 2, down]\t"},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.control);
    AquiferSection s;
    s.control = t.control;
    s.layers = t.layers;
    AquiferModel m("gw_control", blockOwners(5, 4, 1), s);
    // heads 100 r + c from the unsaturated zone, far above the layers
    m.set("groundwater_distance", [](long r, long c) { return 100.0 * r + c - 50.0; });
    m.set("gw_boundary_fix_h_1", [](long r, long c) { return 100.0 * r + c; });
    if (t.layers == 2)
      m.set("gw_boundary_fix_h_2", [](long r, long c) { return 1000.0 + 10.0 * r + c; });
    m.build();
    ASSERT_EQ(m.code, 0) << m.log();
    EXPECT_EQ(m.module->getControlPointCapacity(), t.capacity);
    const std::string file = m.dir + "/cp.txt";
    EXPECT_EQ(readFile(file), std::string(t.header) + "\n");
    m.step(24, 5);
    EXPECT_EQ(readFile(file), std::string(t.header) + "\n"); // buffered
    m.module->flushGroundwaterOutputs();
    const std::vector<std::string> lines = linesOf(readFile(file));
    ASSERT_EQ(lines.size(), 25u);
    EXPECT_EQ(fieldCount(lines[1]), 4u + 6u * static_cast<size_t>(t.layers));
    if (t.layers == 1) {
      EXPECT_EQ(lines[1], "2021\t3\t2\t5\t304\t204\t-8888\t404\t303\t0");
      EXPECT_NE(m.log().find("(2112 of 2097152 buffer-bytes)"), std::string::npos);
    } else {
      EXPECT_EQ(lines[24],
                "2021\t3\t2\t5\t102\t-8888\t103\t202\t101\t0\t1012\t-8888\t1013\t1022\t1011\t0");
      EXPECT_NE(m.log().find("(3264 of 2097152 buffer-bytes)"), std::string::npos);
    }
  }
}

TEST(GroundwaterOutputs, ControlPointWritesNothingWithoutRecords) {
  AquiferModel m("gw_control_empty", blockOwners(2, 2, 1), AquiferSection{});
  m.build();
  ASSERT_EQ(m.code, 0) << m.log();
  std::vector<gwflowclass::ControlPointRecord> buffer(1);
  long count = 0;
  const std::string missing = m.dir + "/no/such/file.txt";
  m.module->writeControlPointFluxes(missing, buffer, count);
  EXPECT_EQ(m.log().find("write "), std::string::npos);
  count = 1;
  buffer[0].values.assign(7, 0.0);
  EXPECT_EQ(exitCodeOf([&] { m.module->writeControlPointFluxes(missing, buffer, count); }), 65);
  EXPECT_NE(m.log().find("error opening file " + missing), std::string::npos);
}

// The lines of a layer at the end of a sub-step.
TEST(GroundwaterOutputs, SweepLogLines) {
  struct Case {
    const char* what;
    long maxiter;
    double sor;
    bool fixed;
    const char* line;
  } cases[] = {
      {"one sweep allowed", 1, 1.0, false, "GWlevel 1, MPI-rank 0, Steps 1 err "},
      {"every head fixed", 50, 1.0, true,
       "GWlevel 1, MPI-rank 0, Steps 1 err 0, SOR 1, osc. at 0 points (av: 0, max 0)"},
      {"adaptive on unchanged heads", 50, 0.0, false, ", SOR 1, osc. at 0 points (av: 0, max 0)"},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.what);
    AquiferSection s;
    s.maxiter = t.maxiter;
    s.sor = t.sor;
    AquiferModel m("gw_log", blockOwners(3, 3, 1), s);
    m.set("groundwater_distance", [](long r, long c) { return 0.1 * r * c; });
    if (t.fixed) m.set("gw_boundary_fix_h_1", [](long r, long c) { return 40.0 + r + c; });
    if (t.sor == 0.0) m.set("groundwater_distance", -1.0);
    m.build();
    ASSERT_EQ(m.code, 0) << m.log();
    m.step();
    EXPECT_NE(m.log().find(t.line), std::string::npos) << m.log();
  }
}

// Fully glaciated cells keep their head and give no baseflow; the others
// fill from a fixed flux.
TEST(GroundwaterOutputs, GlaciatedCellsStayOut) {
  AquiferSection s;
  AquiferModel m("gw_glacier", blockOwners(2, 3, 1), s);
  m.set("GlacierizedCells", [](long r, long c) { return r == 1 && c == 1 ? 1.0 : 0.0; });
  m.set("gw_boundary_fix_q_1", 1e-6);
  m.build();
  ASSERT_EQ(m.code, 0) << m.log();
  m.step();
  EXPECT_EQ(m.grid("gw_head_1")[1][1], 49.0);
  EXPECT_EQ(m.grid("baseflow")[1][1], 0.0);
  // 1e-6 m/s over 3600 s into S = 0.1: 36 mm more head, read as negative baseflow
  EXPECT_NEAR(m.grid("gw_head_1")[2][3], 49.036, 1e-9);
  EXPECT_NEAR(m.grid("baseflow")[2][3], -1e-6, 1e-15);
}

std::vector<TracerRecord> tracerTable(double gwIni, int isStorage) {
  std::vector<TracerRecord> table(2);
  TracerRecord& t = table[1];
  t.name = "tri";
  t.radioactive = 1;
  t.halfTime = 1.0;
  t.gwIni = gwIni;
  t.gwIniIsStorage = isStorage;
  t.statExt = "sta";
  t.gridExt = "asc";
  return table;
}

// A tracer of a half-life of one day in an aquifer without flow: the
// store decays by exp(-(1/24) ln 2 / 1.0000000000...) per hourly step.
TEST(GroundwaterOutputs, TracerStartsAsConcentrationAndDecays) {
  struct Case {
    double gwIni;
    int isStorage;
  } cases[] = {{2.0, 0}, {4000.0, 1}}; // 4000 / (10 m * 0.2 * 1000) = 2
  for (const Case& t : cases) {
    SCOPED_TRACE(t.isStorage);
    AquiferSection s;
    s.layers = 2;
    AquiferModel m("gw_tracer", blockOwners(2, 2, 1), s);
    m.set("gw_storage_coeff_2", 0.2);
    m.build();
    ASSERT_EQ(m.code, 0) << m.log();
    std::vector<TracerRecord> table = tracerTable(t.gwIni, t.isStorage);
    std::vector<StatisticTableEntry> statistics(statisticTableEntries);
    int code = -1;
    m.module->initTracers(code, 1, table, statistics.data(), statisticTableEntries);
    ASSERT_EQ(code, 0) << m.log();
    const Grid store = m.grid("concstor_tracer_1_layer_2_groundwater_flow");
    ASSERT_NE(store, nullptr);
    EXPECT_DOUBLE_EQ(store[2][2], 2.0);
    m.step();
    EXPECT_NEAR(store[2][2] / 2.0, 0.9715319411579243, 1e-15);
    m.step(23);
    EXPECT_NEAR(store[2][2] / 2.0, 0.50000000005, 1e-11);
    m.module->freeTracers();
    EXPECT_EQ(m.grid("concstor_tracer_1_layer_2_groundwater_flow"), nullptr);
  }
}

// Water from a fixed-head cell carries its concentration into the strip:
// the middle cell mixes its stored water S1 A b = 0.1 * 1e4 m^2 * 2 m with
// the inflow and loses water of its own concentration.
TEST(GroundwaterOutputs, TracerMixesWithTheInflow) {
  AquiferModel m("gw_mixing", blockOwners(1, 3, 1), AquiferSection{});
  m.set("groundwater_distance", 5.0); // 55 m: 3 m above the top of the 2 m layer
  m.set("gw_boundary_fix_h_1", [](long, long c) { return c == 1 ? 60.0 : nodata; });
  m.build();
  ASSERT_EQ(m.code, 0) << m.log();
  std::vector<TracerRecord> table = tracerTable(0.0, 0);
  table[1].radioactive = 0;
  std::vector<StatisticTableEntry> statistics(statisticTableEntries);
  int code = -1;
  m.module->initTracers(code, 1, table, statistics.data(), statisticTableEntries);
  ASSERT_EQ(code, 0) << m.log();
  const Grid store = m.grid("concstor_tracer_1_layer_1_groundwater_flow");
  store[1][1] = 10.0;
  m.step();
  const Grid h = m.grid("gw_head_1");
  const double t = 2.0 * 1e-4, dt = 3600.0; // confined: b = d = 2 m
  const double in = dt * t * (h[1][1] - h[1][2]), out = dt * t * (h[1][2] - h[1][3]);
  EXPECT_GT(in, 0.0);
  EXPECT_NEAR(store[1][2], 10.0 * in / (2000.0 + in - out), 1e-12);
  EXPECT_EQ(store[1][3], 0.0);
  m.module->freeTracers(); // while the statistics table exists
}

TEST(GroundwaterOutputs, TracerGridsNeedFreeRegistryEntries) {
  AquiferModel m("gw_tracer_full", blockOwners(2, 2, 1), AquiferSection{});
  m.build();
  ASSERT_EQ(m.code, 0) << m.log();
  while (m.module->firstFreeRegistryIndex() < gridRegistryLimit)
    m.registry.add("filler", m.strips.grid(0.0));
  std::vector<TracerRecord> table = tracerTable(1.0, 0);
  std::vector<StatisticTableEntry> statistics(statisticTableEntries);
  int code = -1;
  m.module->initTracers(code, 1, table, statistics.data(), statisticTableEntries);
  EXPECT_EQ(code, 12);
  EXPECT_NE(m.log().find("no free grid left 1000"), std::string::npos);
  m.module->freeTracers();
}

} // namespace
