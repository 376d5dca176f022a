#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdio>
#include <map>

#include "tests/submodel/submodel_fixture.h"
#include "tests/test_decomposition.h"

namespace {

// The subbasins of the soil model on the ragged catchment.
double soilZone(long r, long c) { return r == 9 ? 40.0 : c <= 4 ? 7.0 : c <= 8 ? 3.0 : 12.0; }
double relativeArea(long r, long c) { return 0.5 + 0.5 * ((r + c) % 3); }

// A sub-model on this process's share of the ragged catchment, with the
// registry the set-up would leave: the zone grid at entry 1 and, on rank 0,
// every row of the set-up and standard grids.
struct DecomposedSubmodel {
  DecomposedSubmodel(const std::string& name, bool soilZones, bool weights, double badCode = 0.0)
      : strips(name, ragged(worldSize())), directory(makeTestDirectory(name + "_files")),
        registry(gridRegistrySize) {
    const std::string control = directory + "/model.ctl.intern";
    writeFile(control, moduleSection("unsatzone", "1", "60"));
    Grid zone = strips.grid(nodata);
    Grid soil = strips.grid(nodata);
    Grid area = strips.grid(nodata);
    for (long r = strips.lo; r <= strips.hi; ++r)
      for (long c = 1; c <= strips.ncols; ++c)
        if (strips.owner[r][c] >= 0) {
          zone[r][c] = 1.0;
          soil[r][c] = soilZone(r, c);
          area[r][c] = relativeArea(r, c);
        }
    if (badCode != 0.0 && strips.held(2)) soil[2][6] = badCode;
    add("[zone_grid]", zone);
    add("MPIRegions", strips.regions);
    add("MPIHelper", strips.helper);
    if (soilZones) add("zonegrid_soilmodel", soil);
    if (weights) add("RelCellArea", area);

    shareStrips(context, strips);
    context.controlFileName = control;
    context.registry = registry.data();
    context.outputInterval = 1;
    module = std::make_unique<TestSubmodel>(context, "unsatzone");
  }

  void add(const std::string& name, Grid grid) {
    registerTestGrid(registry, name, name + ".asc", grid, strips.lo, strips.hi);
  }

  StripModule strips;
  std::string directory;
  std::vector<GridRegistryEntry> registry;
  ModelContext context;
  std::unique_ptr<TestSubmodel> module;
};

// The zone table every process must hold, from the whole map.
SubmodelZones expectedZones(const StripModule& s, bool soilZones, bool weights) {
  std::map<int, std::pair<double, double>> zones; // code: cells, weight
  for (long r = 1; r <= s.nrows; ++r)
    for (long c = 1; c <= s.ncols; ++c)
      if (s.owner[r][c] >= 0) {
        auto& z = zones[soilZones ? static_cast<int>(soilZone(r, c)) : 1];
        z.first += 1.0;
        z.second += weights ? relativeArea(r, c) : 1.0;
      }
  SubmodelZones table;
  table.zoneCount = static_cast<int>(zones.size());
  table.maxCode = zones.rbegin()->first;
  table.indexOfCode.assign(table.maxCode + 1, 0);
  table.records.push_back(ZoneRecord{0, 0, 1, 1, 0});
  double total = 0.0;
  for (const auto& z : zones) total += z.second.second;
  for (const auto& [code, sums] : zones) {
    table.indexOfCode[code] = static_cast<int>(table.records.size());
    table.records.push_back(
        ZoneRecord{sums.second, sums.first, double(code), sums.second / total, sums.second});
  }
  return table;
}

void expectSameRecords(const std::vector<ZoneRecord>& a, const std::vector<ZoneRecord>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t k = 0; k < a.size(); ++k) {
    EXPECT_EQ(a[k].weightSum, b[k].weightSum) << k;
    EXPECT_EQ(a[k].valueSum, b[k].valueSum) << k;
    EXPECT_EQ(a[k].code, b[k].code) << k;
    EXPECT_EQ(a[k].areaFraction, b[k].areaFraction) << k;
    EXPECT_EQ(a[k].effectiveWeight, b[k].effectiveWeight) << k;
  }
}

TracerRecord nitrate(const std::string& path) {
  TracerRecord t;
  t.name = "no3";
  t.path = path;
  t.statExt = "stat";
  t.gridExt = "asc";
  t.statCode = 2001;
  return t;
}

} // namespace

TEST(SubmodelZonesMpi, EveryProcessHoldsRankZerosTable) {
  struct Case {
    const char* what;
    bool soilZones;
    bool weights;
  };
  for (const Case& c : {Case{"soil-model zones weighted by cell area", true, true},
                        Case{"soil-model zones", true, false},
                        Case{"the zone grid when there are none", false, true}}) {
    SCOPED_TRACE(c.what);
    DecomposedSubmodel d("zones_ranked", c.soilZones, c.weights);
    SubmodelZones table;
    d.module->rankZones(table);
    const SubmodelZones expected = expectedZones(d.strips, c.soilZones, c.weights);
    EXPECT_EQ(table.zoneCount, expected.zoneCount);
    EXPECT_EQ(table.maxCode, expected.maxCode);
    EXPECT_EQ(table.indexOfCode, expected.indexOfCode);
    expectSameRecords(table.records, expected.records);
    EXPECT_EQ(table.gridIndex, c.soilZones ? 4 : 1);
    EXPECT_EQ(table.grid, d.registry[table.gridIndex].grid);
    EXPECT_EQ(table.indexOf(nodata), 0);
    if (c.soilZones) {
      EXPECT_EQ(table.indexOf(3.9), 1);
      EXPECT_EQ(table.indexOf(40.0), 4);
      EXPECT_EQ(table.indexOf(41.0), 0);
    }
  }
}

TEST(SubmodelZonesMpi, AWrongZoneCodeEndsEveryProcess) {
  for (double bad : {32768.0, -2.0}) {
    DecomposedSubmodel d("zones_bad", true, false, bad);
    SubmodelZones table;
    EXPECT_EQ(exitCodeOf([&] { d.module->rankZones(table); }), 3);
    if (worldRank() == 0) {
      const std::string text = "wrong zone index in zonegrid_soilmodel.asc (zonegrid_soilmodel) "
                               "at row 2, column 6: ";
      EXPECT_NE(d.strips.m.console().find(text), std::string::npos) << d.strips.m.console();
    }
  }
}

TEST(SubmodelZonesMpi, TracerStatisticsDoNotDependOnTheDecomposition) {
  DecomposedSubmodel d("tracer_statistics", true, true);
  std::vector<TracerRecord> table = {TracerRecord{}, nitrate(d.directory + "/")};
  std::vector<StatisticTableEntry> statistics(statisticTableEntries);
  int error = -1;
  d.module->initTracers(error, 1, table, statistics.data(), statisticTableEntries);
  ASSERT_EQ(error, 0) << d.strips.m.console();
  const SubmodelTracer& t = *d.module->getTracers().at(0);
  EXPECT_EQ(d.registry[t.concstorIndex].firstRow, t.firstRow);
  EXPECT_EQ(d.registry[t.concstorIndex].lastRow, t.lastRow);
  if (worldRank() == 0) {
    ASSERT_NE(statistics[0].currentValues, nullptr) << "registered in the statistics table";
    EXPECT_STREQ(statistics[0].name, "unsatzone_submodel:tracer concentration for tracer 1 (no3) ");
  }

  // Two steps, each process adding the cells it owns.
  const SubmodelZones& zones = d.module->getZones();
  for (long step = 1; step <= 2; ++step) {
    t.statistic->resetZones();
    for (long r = d.strips.lo; r <= d.strips.hi; ++r)
      for (long c = 1; c <= d.strips.ncols; ++c)
        if (d.strips.owner[r][c] == worldRank())
          t.statistic->addValue(r, c, zones.indexOf(soilZone(r, c)), cellValue(r, c) + step, 1.0);
    t.statistic->storeStep(2020, 1, 1, step, 0, 1);
  }
  const std::string file = t.statistic->getFileName();
  d.module->freeTracers();
  EXPECT_TRUE(d.module->getTracers().empty());
  if (worldRank() != 0) return;

  // The file as the whole catchment gives it, weighted by cell area.
  const SubmodelZones expected = expectedZones(d.strips, true, true);
  std::string text = "YY\tMM\tDD\tHH";
  char buffer[64];
  for (int k = 1; k <= expected.zoneCount; ++k) {
    std::snprintf(buffer, sizeof buffer, "\t\"%.0lf\"", expected.records[k].code);
    text += buffer;
  }
  text +=
      "\ttot_average\nunsatzone_submodel:tracer concentration for tracer 1 (no3) \n--\t--\t--\t--";
  for (int k = 1; k <= expected.zoneCount; ++k) {
    std::snprintf(buffer, sizeof buffer, "\t%.7lf", expected.records[k].areaFraction);
    text += buffer;
  }
  text += "\t1.0000\n";
  for (long step = 1; step <= 2; ++step) {
    std::vector<double> sum(expected.zoneCount + 1, 0.0), weight(expected.zoneCount + 1, 0.0);
    for (long r = 1; r <= d.strips.nrows; ++r)
      for (long c = 1; c <= d.strips.ncols; ++c)
        if (d.strips.owner[r][c] >= 0) {
          const int k = expected.indexOfCode[static_cast<int>(soilZone(r, c))];
          sum[k] += (cellValue(r, c) + step) * relativeArea(r, c);
          weight[k] += relativeArea(r, c);
        }
    std::snprintf(buffer, sizeof buffer, "%2ld\t%2ld\t%2ld\t%2ld", 2020L, 1L, 1L, step);
    text += buffer;
    double totalSum = 0.0, totalWeight = 0.0;
    for (int k = 1; k <= expected.zoneCount; ++k) {
      std::snprintf(buffer, sizeof buffer, "\t%.6g", sum[k] / weight[k]);
      text += buffer;
      totalSum += sum[k];
      totalWeight += weight[k];
    }
    std::snprintf(buffer, sizeof buffer, "\t%.6g\n", totalSum / totalWeight);
    text += buffer;
  }
  EXPECT_EQ(readFile(file), text);
}

TEST(SubmodelZonesMpi, ATracerFailureOnRankZeroReachesEveryProcess) {
  DecomposedSubmodel d("tracer_failure", true, false);
  std::vector<TracerRecord> table = {TracerRecord{}, nitrate(d.directory + "/missing/")};
  int error = -1;
  d.module->initTracers(error, 1, table, nullptr, 0);
  EXPECT_EQ(error, 15);
  if (worldRank() == 0) {
    EXPECT_NE(d.strips.m.console().find("error opening \n" + d.directory + "/missing/no3unsat.sta"),
              std::string::npos)
        << d.strips.m.console();
  }
}

TEST(SumFlowTimeRecordsMpi, ReducesOnRankZero) {
  const int rank = worldRank();
  const int size = worldSize();
  const double own[10] = {rank + 1.0, 5, 7, 9, 2.0 * (rank + 1), 10.0 * rank, 6, 8, 4, 1};
  const double ranks = size * (size + 1) / 2.0;
  const double expected[10] = {
      ranks, size > 1 ? 0.0 : 5.0, 7, 9, 2 * ranks, 10.0 * (ranks - size), size > 1 ? 0.0 : 6.0, 8,
      4,     double(size)};
  MPI_Datatype record = MPI_DATATYPE_NULL;
  MPI_Op op = MPI_OP_NULL;
  ASSERT_EQ(MPI_Type_contiguous(5, MPI_DOUBLE, &record), MPI_SUCCESS);
  ASSERT_EQ(MPI_Type_commit(&record), MPI_SUCCESS);
  ASSERT_EQ(MPI_Op_create(sumFlowTimeRecords, 0, &op), MPI_SUCCESS);
  // Records as one type each or as plain doubles; one process calls no
  // operator, so field 1 keeps its value there.
  for (auto [type, count] : {std::pair<MPI_Datatype, int>{record, 2}, {MPI_DOUBLE, 10}}) {
    double result[10] = {};
    ASSERT_EQ(MPI_Reduce(own, result, count, type, op, 0, MPI_COMM_WORLD), MPI_SUCCESS);
    if (rank != 0) continue;
    for (int i = 0; i < 10; ++i) EXPECT_EQ(result[i], expected[i]) << i;
  }
  MPI_Op_free(&op);
  MPI_Type_free(&record);
}
