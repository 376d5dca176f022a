#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/config/decomposition_fixture.h"
#include "tests/test_support.h"

namespace {

const std::vector<std::string> catchment = {"..xxxxxx..", ".xxxxxxxx.", "xxx..xxxxx", "xxxxxxxxxx",
                                            ".xxxxx.xx.", "..xxxxxx..", "...xxxx...", "....xx...."};

// A meadow whose fix points move 4 days per 100 m above 600 m, a field with
// dynamic phenology and a forest of one fix point; the codes are not 1..3.
const std::string landuseTable =
    "[landuse_table]\n3\n"
    "4 meadow { FixDays = 30 120 240; LAI = 1 4 2; VCF = 0.3 0.9 0.5; RootDepth = 0.2 0.5 0.3;\n"
    "  Albedo = 0.25 0.18 0.2; Z0 = 0.02 0.1 0.05; RSC = 90 60 70; RSI = 100 80 90;\n"
    "  RSE = 200 150 180; ElevationShift = 4; ReferenceElevation = 600; VegStart = 80;\n"
    "  VegStop = 300; }\n"
    "9 field { FixDays = 100 180 260; LAI = 0 5 0.5; VCF = 0 1 0.2; RootDepth = 0.1 1 0.3;\n"
    "  Albedo = 0.2 0.15 0.22; Z0 = 0.01 0.3 0.02; RSC = 100 50 120; RSI = 110 90 100;\n"
    "  RSE = 210 160 190; SR_ResidCovrg = 0.8 0.2 0.4; VegStart = 100; VegStop = 280;\n"
    "  DynamicPhenology = 1; PhenoStartSum = 40; PhenoSearchStart = 60; }\n"
    "2 forest { FixDays = 150; LAI = 6; VCF = 1; RootDepth = 1.5; Albedo = 0.12; Z0 = 1.5;\n"
    "  RSC = 50; RSI = 70; RSE = 250; VegStart = 90; VegStop = 310; }\n";

bool valid(long r, long c) { return catchment[r - 1][c - 1] != '.'; }
double elevationAt(long r, long c) { return 300.0 + 60.0 * r + 10.0 * c; }
double temperatureAt(long day, long r, long c) {
  return 12.0 * std::sin(3.14159265 * (day - 80) / 183.0) + 0.8 * r - 0.5 * c;
}
// Record index of layer 1 and 2 (-9999 an empty layer).
double recordAt(int layer, long r, long c) {
  if (layer == 1) return 1 + (3 * r + c) % 3;
  return (r + c) % 4 == 0 ? -9999.0 : 1 + (r + 2 * c) % 3;
}

void monthAndDay(long doy, long& day, long& month) {
  static const int lengths[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  month = 1;
  while (doy > lengths[month - 1]) doy -= lengths[month++ - 1];
  day = doy;
}

// A control-file reader on a divided grid: every process holds its rows of
// the zone grid and the elevation model, as after the set-up's step 7.
class GridModel : public DecompositionModel {
public:
  explicit GridModel(const std::string& control)
      : DecompositionModel(".", written("model.ctl", control)) {
    controlFile = std::fopen(controlFileName.c_str(), "r");
    setDomain(catchment, {}, elevationAt);
    distributeBaseGrids(lo, hi);
    readLanduseTable();
  }

  Grid filled(double value) {
    Grid g = ownedGrid(lo, hi);
    for (long r = lo; r <= hi; ++r) std::fill(g[r] + 1, g[r] + header.ncols + 1, value);
    return g;
  }
  Grid addGrid(const std::string& name) {
    Grid g = filled(-9999.0);
    registerGrid(firstFreeRegistryIndex(), name, g, nullptr, 0, name, 0, lo, hi);
    return g;
  }
  bool owns(long r, long c) const {
    return r >= header.firstRow && r <= header.lastRow && valid(r, c) &&
           static_cast<int>(regionsGrid[r][c]) == mpiRank;
  }

  using defaultini::landuseTable;
  using modelobject::inputDirectory;
  using modelobject::minToIntEndHours;
  using modelobject::outputDirectory;
  using modelobject::writeAsciiGrids;
  long lo = 0;
  long hi = 0;

private:
  static std::string written(const std::string& name, const std::string& text) {
    writeFile(name, text);
    return name;
  }
};

// The expected state of the field's dynamic phenology per cell and layer:
// degree days above 5 degrees C from day 60; the day they reach 40 is the
// start of its vegetation (VegStart 100).
struct PhenologyReference {
  std::map<long, double> sum;
  std::map<long, double> shift;
  void advance(long doy, long r, long c) {
    const long key = r * 100 + c;
    if (doy == 60) sum[key] = 0.0;
    if (sum.count(key) == 0 || sum[key] < 0.0) return;
    sum[key] += std::max(0.0, temperatureAt(doy, r, c) - 5.0);
    if (sum[key] >= 40.0) {
      shift[key] = static_cast<double>(doy - 100);
      sum[key] = -1.0;
    }
  }
  double at(long r, long c) const {
    const auto found = shift.find(r * 100 + c);
    return found == shift.end() ? 0.0 : found->second;
  }
};

} // namespace

// A year of daily steps: every process's own cells and halo cells, and rank
// 0's gathered grids, hold what the records give for each cell's land use,
// elevation and phenology, whatever the number of processes.
TEST(LanduseParameterGrids, HoldEachCellsRecordValuesOnEveryProcessCount) {
  SpeedDirectory here("lu_grids", "1\n");
  GridModel m(controlFileText(0) + landuseTable);
  Grid layer[3] = {nullptr, m.addGrid("landuse1"), m.addGrid("landuse2")};
  Grid temperature = m.addGrid("temperature");
  for (long r = m.lo; r <= m.hi; ++r)
    for (long c = 1; c <= m.header.ncols; ++c)
      for (int k = 1; k <= 2; ++k)
        if (valid(r, c)) layer[k][r][c] = recordAt(k, r, c);
  ASSERT_EQ(exitCodeOf([&] { m.generateMultiLayerParameterGrids(2); }), -1) << m.console();
  ASSERT_GT(m.getPhenologyStackIndex(), 0);
  EXPECT_EQ(m.getPhenologyStackLevels(), 4u);
  // Rank 0 as well holds its strip and halo rows only.
  const GridRegistryEntry& stack = m.entries()[m.getPhenologyStackIndex()];
  EXPECT_EQ(stack.firstRow, std::max(1L, m.header.firstRow - 1));
  EXPECT_EQ(stack.lastRow, std::min(m.header.nrows, m.header.lastRow + 1));

  const char* const parameterNames[6] = {"root_depth",
                                         "vegetation_coverage_degree",
                                         "leaf_area_index",
                                         "SurfaceCanopyResistance",
                                         "SurfaceIntercepResistance",
                                         "RoughnessLength"};
  const LanduseParameter parameters[6] = {LanduseParameter::RootDepth, LanduseParameter::VCF,
                                          LanduseParameter::LAI,       LanduseParameter::RSC,
                                          LanduseParameter::RSI,       LanduseParameter::Z0};
  PhenologyReference reference[3];
  int failures = 0;
  std::string firstFailure;
  auto check = [&](double actual, double expected, const std::string& what, long r, long c) {
    if (std::fabs(actual - expected) <= 1e-9 * std::max(1.0, std::fabs(expected))) return;
    if (failures++ == 0)
      firstFailure = what + " at " + std::to_string(r) + "/" + std::to_string(c) + ": " +
                     std::to_string(actual) + " instead of " + std::to_string(expected);
  };

  for (long doy = 1; doy <= 366; ++doy) {
    long day = 0, month = 0;
    monthAndDay(doy, day, month);
    for (long r = m.lo; r <= m.hi; ++r)
      for (long c = 1; c <= m.header.ncols; ++c)
        temperature[r][c] = valid(r, c) ? temperatureAt(doy, r, c) : -9999.0;
    m.updateActualLanduseGrids(0, 24, day, month, 2020, 1440.0);
    for (long r = 1; r <= m.header.nrows; ++r)
      for (long c = 1; c <= m.header.ncols; ++c)
        for (int k = 1; k <= 2; ++k)
          if (valid(r, c) && recordAt(k, r, c) == 2) reference[k].advance(doy, r, c);
    if (doy % 61 != 0 && doy != 366) continue;

    // The expected value of every grid at a cell, by name.
    auto expected = [&](const std::string& name, long r, long c) {
      const int k = name.back() == '2' ? 2 : 1;
      const double index = recordAt(k, r, c);
      if (index < 1) return -9999.0;
      const landuse_class& record = m.landuseTable[static_cast<int>(index)];
      const double shift =
          record.elevationShift(elevationAt(r, c)) + (index == 2 ? reference[k].at(r, c) : 0.0);
      const FixPointWeight w = record.fixPointWeight(doy, shift, 366);
      for (int p = 0; p < 6; ++p)
        if (name == parameterNames[p] + std::to_string(k))
          return record.parameterAt(parameters[p], w);
      if (name == "albedo") return record.parameterAt(LanduseParameter::Albedo, w);
      if (name == "SurfaceEvaporationResistance")
        return record.parameterAt(LanduseParameter::RSE, w);
      if (name.rfind("VegetationStart", 0) == 0) return doy - record.getVegStart() - shift;
      if (name.rfind("VegetationStop", 0) == 0) return doy - record.getVegStop() - shift;
      return record.getVegStop() - record.getVegStart() + 1.0;
    };
    std::vector<std::string> names = {"albedo", "SurfaceEvaporationResistance"};
    for (int k = 1; k <= 2; ++k) {
      for (const char* p : parameterNames) names.push_back(p + std::to_string(k));
      for (const char* v : {"VegetationStart", "VegetationStop", "VegetationDuration"})
        names.push_back(v + std::to_string(k));
    }
    for (const std::string& name : names) {
      const int index = m.findGrid(name, 1);
      ASSERT_GT(index, 0) << name;
      Grid local = m.entries()[index].grid;
      for (long r = m.header.firstRow; r <= m.header.lastRow; ++r)
        for (long c = 1; c <= m.header.ncols; ++c)
          if (m.owns(r, c)) check(local[r][c], expected(name, r, c), name + " own cell", r, c);
      for (const HaloStrip& s : m.receiveList)
        for (long c = s.startColumn; c < s.startColumn + s.count; ++c)
          if (valid(s.row, c))
            check(local[s.row][c], expected(name, s.row, c), name + " halo cell", s.row, c);
      Grid all = m.MPIGatherGridCopy(index);
      for (long r = 1; all && r <= m.header.nrows; ++r)
        for (long c = 1; c <= m.header.ncols; ++c)
          if (valid(r, c)) check(all[r][c], expected(name, r, c), name + " gathered", r, c);
      if (all) m.free_matrix(all, 1, m.header.nrows, 1, m.header.ncols);
    }
    // The records find the same shifts through the phenology stack.
    for (long r = m.header.firstRow; r <= m.header.lastRow; ++r)
      for (long c = 1; c <= m.header.ncols; ++c)
        if (m.owns(r, c) && recordAt(2, r, c) == 2) {
          const landuse_class& field = m.landuseTable[2];
          const FixPointWeight w = field.fixPointWeight(doy, reference[2].at(r, c), 366);
          check(field.getSR_ResidCovrgByDate(nullptr, day, month, 2020, 2, r, c),
                field.parameterAt(LanduseParameter::SR_ResidCovrg, w), "residue cover", r, c);
        }
  }
  EXPECT_EQ(failures, 0) << firstFailure;
  int onsets = 0;
  for (const auto& shift : reference[2].shift) onsets += shift.second != 0.0;
  EXPECT_GT(onsets, 3) << "the field's start must move at some cells";
}

// Hourly steps with both conventions of the hour: the start flag is set at
// the first step of the start day and the end flag at the last step of the
// end day, each once, in every named registry entry.
TEST(LanduseParameterGrids, FlagTheVegetationPeriodOncePerDay) {
  struct Convention {
    long firstHour;
    double shiftHours;
  };
  for (const Convention& convention : {Convention{1, 0.0}, Convention{0, 1.0}}) {
    SpeedDirectory here("lu_flags_" + std::to_string(convention.firstHour), "1\n");
    GridModel m(controlFileText(0) + landuseTable);
    m.minToIntEndHours = convention.shiftHours;
    Grid layer = m.addGrid("landuse1");
    Grid temperature = m.addGrid("temperature");
    for (long r = m.lo; r <= m.hi; ++r)
      for (long c = 1; c <= m.header.ncols; ++c)
        if (valid(r, c)) {
          layer[r][c] = 3;
          temperature[r][c] = 10.0;
        }
    m.generateMultiLayerParameterGrids(1);
    const int unnamed = m.firstFreeRegistryIndex();
    ASSERT_LT(unnamed, gridRegistryLimit);

    // The table's period runs from the meadow's VegStart 80 to the forest's
    // VegStop 310.
    std::vector<std::string> started;
    std::vector<std::string> ended;
    for (long doy : {78L, 79L, 80L, 81L, 309L, 310L, 311L})
      for (long h = convention.firstHour; h < convention.firstHour + 24; ++h) {
        long day = 0, month = 0;
        monthAndDay(doy, day, month);
        m.updateActualLanduseGrids(0, h, day, month, 2020, 60.0);
        const std::string when = std::to_string(doy) + "/" + std::to_string(h);
        GridRegistryEntry* e = m.entries();
        for (int i = 1; i < unnamed; ++i) {
          EXPECT_EQ(e[i].vegPeriodStarted, e[1].vegPeriodStarted) << "entry " << i << " " << when;
          EXPECT_EQ(e[i].vegPeriodEnded, e[1].vegPeriodEnded) << "entry " << i << " " << when;
        }
        EXPECT_EQ(e[unnamed].vegPeriodStarted + e[unnamed].vegPeriodEnded, 0)
            << "no entry after the first without name";
        if (e[1].vegPeriodStarted) started.push_back(when);
        if (e[1].vegPeriodEnded) ended.push_back(when);
        for (int i = 1; i <= unnamed; ++i) e[i].vegPeriodStarted = e[i].vegPeriodEnded = 0;
      }
    const std::string first = std::to_string(convention.firstHour);
    const std::string last = std::to_string(convention.firstHour + 23);
    EXPECT_EQ(started, std::vector<std::string>({"80/" + first}));
    EXPECT_EQ(ended, std::vector<std::string>{"310/" + last});
  }
}

// The "DynamicPhenology" stack written at the end holds every process's own
// cells, in binary (each process writes its cells) and in ASCII (rank 0
// writes the whole stack once it has gathered it), and a warm start reads
// it back.
TEST(LanduseParameterGrids, WriteThePhenologyStackWithEveryProcessesCells) {
  const std::string shared =
      std::filesystem::absolute(makeTestDirectory("lu_stack_end", true)).string() + "/";
  SpeedDirectory here("lu_stack", "1\n");
  GridModel m(controlFileText(0) + landuseTable);
  m.outputDirectory = m.inputDirectory = shared;
  Grid layer = m.addGrid("landuse1");
  Grid temperature = m.addGrid("temperature");
  for (long r = m.lo; r <= m.hi; ++r)
    for (long c = 1; c <= m.header.ncols; ++c)
      if (valid(r, c)) layer[r][c] = recordAt(2, r, c) < 1 ? 1 : recordAt(2, r, c);
  m.generateMultiLayerParameterGrids(1);
  for (long doy = 1; doy <= 150; ++doy) {
    long day = 0, month = 0;
    monthAndDay(doy, day, month);
    for (long r = m.lo; r <= m.hi; ++r)
      for (long c = 1; c <= m.header.ncols; ++c)
        temperature[r][c] = valid(r, c) ? temperatureAt(doy, r, c) : -9999.0;
    m.updateActualLanduseGrids(0, 24, day, month, 2020, 1440.0);
  }
  const int index = m.getPhenologyStackIndex();
  ASSERT_GT(index, 0);
  const int levels = static_cast<int>(m.getPhenologyStackLevels());
  ASSERT_EQ(levels, 2);
  Stack own = m.entries()[index].stack;

  // Every process's own cells (row, column, levels 0..2) on rank 0.
  std::vector<double> mine;
  for (long r = m.header.firstRow; r <= m.header.lastRow; ++r)
    for (long c = 1; c <= m.header.ncols; ++c)
      if (m.owns(r, c))
        mine.insert(mine.end(), {double(r), double(c), own[r][c][0], own[r][c][1], own[r][c][2]});
  const std::vector<double> cells = gatherOnRankZero(mine);
  int moved = 0;
  for (std::size_t i = 0; i < cells.size(); i += 5) moved += cells[i + 3] != 0.0;
  if (worldRank() == 0) {
    EXPECT_GT(moved, 0) << "some cells must have found their start";
  }

  for (bool ascii : {false, true}) {
    m.writeAsciiGrids = ascii;
    ASSERT_EQ(exitCodeOf([&] { m.writeLanduseParameterStack(); }), -1) << m.console();
    Stack read = nullptr;
    ASSERT_EQ(m.readStack("DynamicPhenology_End", read, true), levels);
    int failures = 0;
    for (std::size_t i = 0; i < cells.size(); i += 5)
      for (int level = 0; level <= levels; ++level)
        failures += read[long(cells[i])][long(cells[i + 1])][level] != cells[i + 2 + level];
    EXPECT_EQ(failures, 0) << (ascii ? "ASCII" : "binary");
    m.free_three_d_matrix(read, worldRank() == 0 ? 1 : m.header.firstRow,
                          worldRank() == 0 ? m.header.nrows : m.header.lastRow);
  }

  // A warm start takes the degree days and starts of every own cell back
  // from the binary stack, to the last bit.
  m.writeAsciiGrids = false;
  ASSERT_EQ(exitCodeOf([&] { m.writeLanduseParameterStack(); }), -1) << m.console();
  GridModel warm(controlFileText(0) + landuseTable);
  warm.inputDirectory = shared;
  Grid warmLayer = warm.addGrid("landuse1");
  for (long r = warm.lo; r <= warm.hi; ++r)
    for (long c = 1; c <= warm.header.ncols; ++c) warmLayer[r][c] = layer[r][c];
  warm.generateMultiLayerParameterGrids(1);
  ASSERT_EQ(exitCodeOf([&] { warm.readLanduseParameterStack(); }), -1) << warm.console();
  Stack taken = warm.entries()[warm.getPhenologyStackIndex()].stack;
  int differing = 0;
  for (long r = m.header.firstRow; r <= m.header.lastRow; ++r)
    for (long c = 1; c <= m.header.ncols; ++c)
      if (m.owns(r, c))
        for (int level = 1; level <= levels; ++level) differing += taken[r][c][level] != own[r][c][level];
  EXPECT_EQ(differing, 0);
}
