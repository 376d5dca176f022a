#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/mpi_strips.h"
#include "tests/test_decomposition.h"
#include "tests/test_model.h"
#include "tests/test_support.h"

// Scatter from rank 0, a change on every owner, gather back: rank 0 ends with
// the changed grid of the whole catchment, whatever the number of processes;
// the cells outside the catchment, also those inside a strip, never move.
TEST(MPIStrips, ScatterAndGatherMoveEveryStripToItsPlace) {
  // A map with rank 0's run at the start of a row and runs split by gaps.
  const OwnerMap mixed = {"..00.22.1111", "00112..22222", "222222222222", "..0.....1..."};
  for (const auto& [map, spans] : {std::pair{ragged(worldSize()), false},
                                   {mixed, false},
                                   {ragged(worldSize()), true},
                                   {mixed, true}}) {
    StripModule s("strips_roundtrip", map, spans);
    const long L = 2;
    Grid g = s.grid(untouched);
    Stack st = s.stack(L, untouched);
    const int stackIndex = s.add("soil_moisture", nullptr, st, L);
    for (long r = s.lo; r <= s.hi && s.rank == 0; ++r)
      for (long c = 1; c <= s.ncols; ++c) {
        const bool valid = s.owner[r][c] >= 0;
        g[r][c] = valid ? cellValue(r, c) : nodata;
        for (long l = 0; l <= L; ++l) st[r][c][l] = valid ? cellValue(r, c) + 0.1 * l : nodata;
      }
    s.m.MPIScatterGrid(0, g);
    s.m.MPIScatterStack(stackIndex);
    for (long r = s.lo; r <= s.hi; ++r)
      for (long c = 1; c <= s.ncols; ++c) {
        const double expected = s.rank == 0 ? (s.owner[r][c] >= 0 ? cellValue(r, c) : nodata)
                                            : s.valueOn(s.rank, r, c, untouched);
        ASSERT_EQ(g[r][c], expected) << "row " << r << " column " << c;
        ASSERT_EQ(st[r][c][L], expected < 0.0 ? expected : expected + 0.1 * L);
        if (s.owner[r][c] != s.rank) continue;
        g[r][c] = 2 * g[r][c] + 1;
        st[r][c][1] = -st[r][c][1];
      }
    s.m.MPIGatherGrid(0, g);
    s.m.MPIGatherStack(stackIndex);
    if (s.rank != 0) continue;
    for (long r = 1; r <= s.nrows; ++r)
      for (long c = 1; c <= s.ncols; ++c) {
        const bool valid = s.owner[r][c] >= 0;
        ASSERT_EQ(g[r][c], valid ? 2 * cellValue(r, c) + 1 : nodata);
        ASSERT_EQ(st[r][c][1], valid ? -(cellValue(r, c) + 0.1) : nodata);
        ASSERT_EQ(st[r][c][2], valid ? cellValue(r, c) + 0.2 : nodata);
      }
    if (s.size == 1) continue; // nothing moves, nothing is logged
    EXPECT_NE(s.m.console().find("re-distributing stack soil_moisture for mpi-rank 0"),
              std::string::npos);
    EXPECT_NE(s.m.console().find("synchronising stack soil_moisture for mpi-rank 0"),
              std::string::npos);
  }
}

TEST(MPIStrips, GatherCopiesLeaveTheSourceAndFillNodataOutside) {
  StripModule s("strips_copy", ragged(worldSize()));
  const long L = 1;
  Grid g = s.grid(untouched);
  Stack st = s.stack(L, untouched);
  const int gridIndex = s.add("temperature", g);
  const int stackIndex = s.add("snow_layers", nullptr, st, L);
  for (long r = s.lo; r <= s.hi; ++r)
    for (long c = 1; c <= s.ncols; ++c) {
      if (s.owner[r][c] != s.rank) continue;
      g[r][c] = cellValue(r, c);
      st[r][c][0] = st[r][c][1] = -cellValue(r, c);
    }
  Grid copy = s.m.MPIGatherGridCopy(gridIndex);
  Stack stackCopy = s.m.MPIGatherStackCopy(stackIndex);
  if (s.rank != 0 || s.size == 1) {
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(stackCopy, nullptr);
    return;
  }
  ASSERT_NE(copy, nullptr);
  ASSERT_NE(stackCopy, nullptr);
  for (long r = 1; r <= s.nrows; ++r)
    for (long c = 1; c <= s.ncols; ++c) {
      const bool valid = s.owner[r][c] >= 0;
      EXPECT_EQ(copy[r][c], valid ? cellValue(r, c) : nodata) << r << "," << c;
      EXPECT_EQ(stackCopy[r][c][1], valid ? -cellValue(r, c) : nodata) << r << "," << c;
      EXPECT_EQ(g[r][c], s.valueOn(0, r, c, untouched)) << "the source stays as it was";
    }
  s.m.free_matrix(copy, 1, s.nrows, 1, s.ncols);
  s.m.free_three_d_matrix(stackCopy, 1, s.nrows);
}

// Each process holds its own values and a marker elsewhere; after the
// exchange every halo cell holds its owner's value and no other cell moved.
TEST(MPIStrips, HaloExchangeFillsEveryHaloCellFromItsOwner) {
  struct Form {
    const char* name;
    std::function<void(StripModule&, int, int)> exchange;
  };
  const std::vector<Form> forms = {{"complete",
                                    [](StripModule& s, int grid, int stack) {
                                      s.m.MPIExchangeGridHalo(grid);
                                      s.m.MPIExchangeStackHalo(stack, 10);
                                    }},
                                   {"split", [](StripModule& s, int grid, int stack) {
                                      s.m.MPIStartHaloReceive(grid);
                                      s.m.MPIStartHaloSend(grid);
                                      s.m.MPIWaitHaloExchange(grid);
                                      s.m.MPIExchangeStackHalo(stack, 10);
                                    }}};
  for (const Form& form : forms) {
    StripModule s("strips_halo", ragged(worldSize()));
    const long L = 3;
    Grid g = s.grid(untouched);
    Stack st = s.stack(L, untouched);
    const int gridIndex = s.add("ponding", g);
    const int stackIndex = s.add("soil_heat", nullptr, st, L);
    for (long r = s.lo; r <= s.hi; ++r)
      for (long c = 1; c <= s.ncols; ++c) {
        if (s.owner[r][c] != s.rank) continue;
        g[r][c] = cellValue(r, c);
        for (long l = 0; l <= L; ++l) st[r][c][l] = cellValue(r, c) + l;
      }
    form.exchange(s, gridIndex, stackIndex);
    std::vector<std::vector<bool>> covered(s.nrows + 1, std::vector<bool>(s.ncols + 1, false));
    for (const HaloStrip& h : s.receives)
      for (long c = h.startColumn; c < h.startColumn + h.count; ++c) {
        covered[h.row][c] = true;
        const double expected = s.valueOn(h.peer, h.row, c, untouched);
        EXPECT_EQ(g[h.row][c], expected) << form.name << " row " << h.row << " column " << c;
        EXPECT_EQ(st[h.row][c][L], expected == untouched ? untouched : expected + L);
      }
    for (long r = s.lo; r <= s.hi; ++r)
      for (long c = 1; c <= s.ncols; ++c) {
        if (s.isHalo(s.rank, r, c)) {
          EXPECT_TRUE(covered[r][c]) << "halo cell " << r << "," << c << " has no strip";
          EXPECT_EQ(g[r][c], cellValue(r, c)) << form.name;
        } else if (!covered[r][c]) {
          EXPECT_EQ(g[r][c], s.valueOn(s.rank, r, c, untouched)) << form.name << r << "," << c;
        }
      }
    EXPECT_EQ(s.m.requestCount, 0u);
  }
}

// More strips than the 1000 requests the module starts with: each process
// exchanges 600 one-cell strips with itself in both directions.
TEST(MPIStrips, SplitHaloExchangeGrowsItsRequestArray) {
  const int rows = 600;
  TestModule m(makeTestDirectory("strips_many"));
  m.setGrid(2, rows);
  Grid g = m.matrix(1, rows, 1, 2, rows);
  std::vector<HaloStrip> receives, sends;
  for (int r = 1; r <= rows; ++r) {
    g[r][1] = r;
    receives.push_back(HaloStrip{r, 2, 1, worldRank()});
    sends.push_back(HaloStrip{r, 1, 1, worldRank()});
  }
  m.haloReceiveList = &receives;
  m.haloSendList = &sends;
  m.MPIStartHaloReceive(0, g);
  EXPECT_EQ(exitCodeOf([&] { m.MPIStartHaloReceive(0, g); }), 121)
      << "a second start must not lose the pending receives";
  m.MPIStartHaloSend(0, g);
  EXPECT_EQ(m.requestCount, 2u * rows);
  EXPECT_GE(m.requests.size(), 2u * rows);
  m.MPIWaitHaloExchange(0);
  for (int r = 1; r <= rows; ++r) ASSERT_EQ(g[r][2], r);
  EXPECT_EQ(m.requestCount, 0u);
  m.free_matrix(g, 1, rows, 1, 2);
}

TEST(MPIStrips, ZoneRecordsAreSummedOnRankZeroAndBroadcast) {
  const long n = 4;
  const int rank = worldRank(), size = worldSize();
  auto recordsOf = [n](int p) {
    std::vector<ZoneRecord> records(n + 1);
    for (long i = 0; i <= n; ++i)
      records[i] = ZoneRecord{1.0 * i + p, 10.0 * i * (p + 1), 100.0 + i + p, 0.5 * i + p,
                              1000.0 + i + 7 * p};
    return records;
  };
  for (bool sumEffectiveWeight : {false, true}) {
    TestModule m(makeTestDirectory("strips_zones"));
    std::vector<ZoneRecord> records = recordsOf(rank);
    m.MPIReduceZoneRecords(records.data(), n, sumEffectiveWeight);
    const std::vector<ZoneRecord> before = recordsOf(rank);
    for (long i = 0; i <= n; ++i) {
      ZoneRecord expected = before[i];
      if (rank == 0) {
        expected.weightSum = expected.valueSum = 0.0;
        if (sumEffectiveWeight) expected.effectiveWeight = 0.0;
        for (int p = 0; p < size; ++p) {
          expected.weightSum += recordsOf(p)[i].weightSum;
          expected.valueSum += recordsOf(p)[i].valueSum;
          if (sumEffectiveWeight) expected.effectiveWeight += recordsOf(p)[i].effectiveWeight;
        }
      }
      EXPECT_EQ(records[i].weightSum, expected.weightSum) << i;
      EXPECT_EQ(records[i].valueSum, expected.valueSum) << i;
      EXPECT_EQ(records[i].code, expected.code) << i;
      EXPECT_EQ(records[i].areaFraction, expected.areaFraction) << i;
      EXPECT_EQ(records[i].effectiveWeight, expected.effectiveWeight) << i << sumEffectiveWeight;
    }
    records = recordsOf(rank);
    m.MPIBroadcastZoneRecords(records.data(), n);
    for (long i = 0; i <= n; ++i) {
      EXPECT_EQ(records[i].weightSum, recordsOf(0)[i].weightSum);
      EXPECT_EQ(records[i].valueSum, recordsOf(0)[i].valueSum);
      EXPECT_EQ(records[i].effectiveWeight, recordsOf(0)[i].effectiveWeight);
      EXPECT_EQ(records[i].code, before[i].code);
      EXPECT_EQ(records[i].areaFraction, before[i].areaFraction);
    }
  }
  ZoneRecord in{1, 2, 3, 4, 5}, inout{10, 20, 30, 40, 50};
  int one = 1;
  MPI_Datatype type = MPI_DOUBLE;
  sumZoneRecords(&in, &inout, &one, &type);
  EXPECT_EQ(inout.weightSum, 11);
  EXPECT_EQ(inout.valueSum, 22);
  EXPECT_EQ(inout.code, 30);
  EXPECT_EQ(inout.areaFraction, 40);
  EXPECT_EQ(inout.effectiveWeight, 55);
}

// Selected cells (mask above nodata) are every third valid cell; rank 0
// lists them all with their owners and holds one value per cell.
TEST(MPIStrips, PackedTransfersMoveTheSelectedCellsOnly) {
  StripModule s("strips_packed", ragged(worldSize()));
  Grid values = s.grid(untouched);
  Grid mask = s.grid(nodata);
  const int valueIndex = s.add("lake_values", values);
  const int maskIndex = s.add("lake_codes", mask);
  std::vector<long> counts(s.size, 0);
  std::vector<PackedCell> cells;
  auto selected = [&](long r, long c) { return s.owner[r][c] >= 0 && (7 * r + c) % 3 == 0; };
  for (long r = 1; r <= s.nrows; ++r)
    for (long c = 1; c <= s.ncols; ++c) {
      if (selected(r, c)) ++counts[s.owner[r][c]];
      if (selected(r, c) && s.rank == 0) cells.push_back(PackedCell{r, c, s.owner[r][c]});
      if (s.held(r) && selected(r, c)) mask[r][c] = 1.0;
      if (s.held(r) && s.owner[r][c] == s.rank) values[r][c] = cellValue(r, c);
    }
  std::vector<double> gathered;
  s.m.MPIGatherPackedGrid(valueIndex, maskIndex, counts, cells, gathered);
  ASSERT_EQ(gathered.size(), cells.size());
  std::vector<double> back;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    EXPECT_EQ(gathered[i], cellValue(cells[i].row, cells[i].column)) << i;
    back.push_back(-cellValue(cells[i].row, cells[i].column));
  }
  s.m.MPIScatterPackedGrid(valueIndex, maskIndex, counts, cells, back);
  for (long r = s.lo; r <= s.hi; ++r)
    for (long c = 1; c <= s.ncols; ++c) {
      const bool moved = s.owner[r][c] == s.rank && selected(r, c);
      const double expected = moved ? -cellValue(r, c) : s.valueOn(s.rank, r, c, untouched);
      EXPECT_EQ(values[r][c], expected) << r << "," << c;
    }
  if (s.size == 1) return;
  // Counts that do not match the mask fail on every process, after the
  // transfers, so that no process waits for a message that never comes.
  for (long& count : counts) ++count;
  EXPECT_EQ(
      exitCodeOf([&] { s.m.MPIGatherPackedGrid(valueIndex, maskIndex, counts, cells, gathered); }),
      121);
  EXPECT_EQ(
      exitCodeOf([&] { s.m.MPIScatterPackedGrid(valueIndex, maskIndex, counts, cells, back); }),
      121);
  const std::string log = s.rank == 0 ? s.m.console() : s.m.errors();
  EXPECT_NE(log.find("selected cells, the cell counts say"), std::string::npos);
}

// With a single process, or without the decomposition grids, the strip and
// packed operations return at once and touch nothing.
TEST(MPIStrips, OperationsWithoutPartnersTouchNothing) {
  for (bool withoutDecomposition : {false, true}) {
    StripModule s("strips_single", ragged(worldSize()));
    if (withoutDecomposition) {
      s.m.unregisterGrid(s.m.findGrid("MPIRegions", 1));
      s.m.unregisterGrid(s.m.findGrid("MPIHelper", 1));
    } else {
      s.m.mpiSize = 1;
    }
    Grid g = s.grid(untouched);
    Stack st = s.stack(1, untouched);
    const int gridIndex = s.add("grid", g);
    const int stackIndex = s.add("stack", nullptr, st, 1);
    s.m.MPIScatterGrid(gridIndex);
    s.m.MPIGatherGrid(gridIndex);
    EXPECT_EQ(s.m.MPIGatherGridCopy(gridIndex), nullptr);
    s.m.MPIGatherStack(stackIndex);
    EXPECT_EQ(s.m.MPIGatherStackCopy(stackIndex), nullptr);
    s.m.MPIScatterStack(stackIndex);
    s.m.MPIScatterStack(0, st, 0);
    s.m.MPIExchangeGridHalo(-1, g);
    s.m.MPIStartHaloReceive(-1, g);
    s.m.MPIStartHaloSend(-1, g);
    s.m.MPIWaitHaloExchange(-1);
    std::vector<double> none;
    s.m.MPIGatherPackedGrid(gridIndex, gridIndex, s.cells, {}, none);
    s.m.MPIScatterPackedGrid(gridIndex, gridIndex, s.cells, {}, none);
    EXPECT_TRUE(none.empty());
    for (long r = s.lo; r <= s.hi; ++r)
      for (long c = 1; c <= s.ncols; ++c) {
        ASSERT_EQ(g[r][c], untouched);
        ASSERT_EQ(st[r][c][1], untouched);
      }
    EXPECT_EQ(s.m.requestCount, 0u);
  }
}

// Pair k of a row lies in elements 2k-1 and 2k of elements 0..ncols, so a
// row holds floor(ncols/2) - 1 strips and its end mark.
TEST(MPIStrips, StripWalkReadsAtMostHalfARowOfPairs) {
  const char* const tooMany = "limit";
  struct Case {
    int rank;
    long ncols;
    std::vector<double> pairs; // elements 1.. of the row
    std::vector<HaloStrip> strips;
    const char* message; // of a failure
  };
  const std::vector<Case> cases = {
      // rank 0: "..00.22.1111": rank 0's run and the gaps only move the cursor
      {0, 12, {0, 2, nodata, 1, 2, 2, nodata, 1, 1, 4}, {{1, 6, 2, 2}, {1, 9, 4, 1}}, nullptr},
      // "1.11100000" and "1.111.0000", then the same with one column more
      {0, 10, {1, 1, nodata, 1, 1, 3, 0, 5}, {{1, 1, 1, 1}, {1, 3, 3, 1}}, nullptr},
      {0, 10, {1, 1, nodata, 1, 1, 3, nodata, 1, 0, 4}, {{1, 1, 1, 1}, {1, 3, 3, 1}}, tooMany},
      {0, 11, {1, 1, nodata, 1, 1, 3, 0, 6}, {{1, 1, 1, 1}, {1, 3, 3, 1}}, nullptr},
      {0, 11, {1, 1, nodata, 1, 1, 3, nodata, 1, 0, 5}, {{1, 1, 1, 1}, {1, 3, 3, 1}}, tooMany},
      {0, 10, {2, 11}, {}, "strip of 11 cells from column 1 does not fit into row 1 of 10 columns"},
      {1,
       10,
       {1, 1, 3, 1, 5, 1, 7, 1},
       {{1, 1, 1, 0}, {1, 3, 1, 0}, {1, 5, 1, 0}, {1, 7, 1, 0}},
       nullptr},
      {1,
       10,
       {1, 1, 3, 1, 5, 1, 7, 1, 9, 1},
       {{1, 1, 1, 0}, {1, 3, 1, 0}, {1, 5, 1, 0}, {1, 7, 1, 0}, {1, 9, 1, 0}},
       tooMany},
      {1, 1, {}, {}, tooMany}, // a single column cannot hold a pair
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& k = cases[i];
    for (bool stackMessage : {false, true}) {
      TestModule m(makeTestDirectory("strips_walk"));
      m.setGrid(k.ncols, 1);
      m.mpiRank = k.rank;
      std::vector<RowColumnRange> ranges = {{0, -1}, {1, k.ncols}};
      if (i == 0) ranges[1].first = 3;
      m.rowColumnRange = ranges.data();
      Grid helper = m.matrix(1, 1, 1, k.ncols, 1);
      std::copy(k.pairs.begin(), k.pairs.end(), helper[1] + 1);
      std::vector<HaloStrip> strips;
      const int code = exitCodeOf([&] {
        TestModule::StripCursor cursor;
        HaloStrip strip;
        while (m.nextStrip(1, helper, stackMessage, cursor, strip)) strips.push_back(strip);
      });
      EXPECT_EQ(code, k.message ? 120 : -1) << "case " << i;
      ASSERT_EQ(strips.size(), k.strips.size()) << "case " << i;
      for (size_t j = 0; j < strips.size(); ++j) {
        EXPECT_EQ(strips[j].startColumn, k.strips[j].startColumn) << "case " << i;
        EXPECT_EQ(strips[j].count, k.strips[j].count) << "case " << i;
        EXPECT_EQ(strips[j].peer, k.strips[j].peer) << "case " << i;
      }
      std::string message = k.message ? k.message : "";
      if (k.message == tooMany)
        message = stackMessage ? "MPI-Regions: to much strips to be stored in a grid row (in row 1)"
                               : "MPI-Regions: to much strips to be stored in a grid row in row 1";
      const std::string log = worldRank() == 0 ? m.console() : m.errors();
      if (k.message) {
        EXPECT_NE(log.find(message), std::string::npos) << log;
      }
      m.free_matrix(helper, 1, 1, 1, k.ncols);
    }
  }
}

// The same limit in the collective operations: rank 0's row 2 holds
// floor(ncols/2) - 1 runs (fine) or one more (120); the workers' strips of
// that row all come before the failing pair, so nobody waits.
TEST(MPIStrips, TooManyStripsInARowEndTheTransferWithCode120) {
  if (worldSize() < 2) GTEST_SKIP() << "a single process moves no strips";
  const struct {
    std::string row;
    int code;
  } cases[] = {{"1.11100000", -1}, {"1.111.0000", 120}, {"1.111000000", -1}, {"1.111.00000", 120}};
  for (const auto& k : cases) {
    StripModule s("strips_limit", {std::string(k.row.size(), '2'), k.row});
    Grid g = s.grid(untouched);
    Stack st = s.stack(0, untouched);
    const int stackIndex = s.add("stack", nullptr, st, 0);
    for (long c = 1; c <= s.ncols && s.rank == 0; ++c) g[2][c] = cellValue(2, c);
    const int expected = s.rank == 0 ? k.code : -1;
    EXPECT_EQ(exitCodeOf([&] { s.m.MPIScatterGrid(0, g); }), expected) << k.row;
    if (s.owner[2][1] == s.rank && s.rank != 0) {
      EXPECT_EQ(g[2][3], cellValue(2, 3));
    }
    EXPECT_EQ(exitCodeOf([&] { s.m.MPIGatherGrid(0, g); }), expected) << k.row;
    EXPECT_EQ(exitCodeOf([&] { s.m.MPIGatherStack(stackIndex); }), expected) << k.row;
    if (s.rank == 0 && k.code == 120) {
      EXPECT_NE(s.m.console().find("to much strips to be stored in a grid row in row 2"),
                std::string::npos);
      EXPECT_NE(s.m.console().find("to much strips to be stored in a grid row (in row 2)"),
                std::string::npos);
    }
  }
}

TEST(MPIStrips, StackScatterWithoutIndexNeedsALevelCount) {
  StripModule s("strips_levels", ragged(worldSize()));
  Stack st = s.stack(0, untouched);
  const int code = exitCodeOf([&] { s.m.MPIScatterStack(0, st, 0); });
  if (s.size == 1) {
    EXPECT_EQ(code, -1) << "a single process returns before the check";
    return;
  }
  EXPECT_EQ(code, 1010);
  const std::string log = s.rank == 0 ? s.m.console() : s.m.errors();
  EXPECT_NE(log.find("no level-count given as (optional) parameter to MPIScatterStack. "
                     "Please report to the author."),
            std::string::npos);
}

// Disagreements that MPI itself would let pass: a message shorter than the
// strip that expects it, and an error returned under MPI_ERRORS_RETURN.
TEST(MPIStrips, FailedTransfersEndWithCode121) {
  if (worldSize() < 2) GTEST_SKIP() << "a single process moves no strips";
  {
    StripModule s("strips_short", {"22222222", "11.00000"});
    Grid g = s.grid(untouched);
    if (s.rank == 1) { // expects 3 cells where rank 0 sends 2
      s.helper[2][2] = 3;
      s.regions[2][3] = 1;
    }
    EXPECT_EQ(exitCodeOf([&] { s.m.MPIScatterGrid(0, g); }), s.rank == 1 ? 121 : -1);
    if (s.rank == 1) {
      EXPECT_NE(s.m.errors().find("received 2 values instead of 3 in MPIScatterGrid (row 2"),
                std::string::npos)
          << s.m.errors();
    }
    // Gathered, the longer strip reaches rank 0, which names it and takes
    // none of its values.
    if (s.rank == 1) g[2][1] = 5.0;
    EXPECT_EQ(exitCodeOf([&] { s.m.MPIGatherGrid(0, g); }), s.rank == 0 ? 121 : -1);
    if (s.rank == 0) {
      EXPECT_NE(s.m.console().find("received 3 values instead of 2 in MPIGatherGrid (row 2, "
                                   "column 1, process 1)"),
                std::string::npos)
          << s.m.console();
      EXPECT_EQ(g[2][1], untouched);
    }
  }
  {
    StripModule s("strips_rank", {"22222222", "11.00000"});
    Grid g = s.grid(untouched);
    if (s.rank == 0) { // a process that does not exist
      s.helper[2][1] = s.regions[2][1] = s.regions[2][2] = s.size;
    }
    if (s.rank == 1) s.helper[2][1] = 0; // so rank 1 expects nothing in row 2
    MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN);
    const int code = exitCodeOf([&] { s.m.MPIScatterGrid(0, g); });
    MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_ARE_FATAL);
    EXPECT_EQ(code, s.rank == 0 ? 121 : -1);
    if (s.rank == 0) {
      EXPECT_NE(s.m.console().find("MPI-Regions: MPI_Send failed in MPIScatterGrid (row 2"),
                std::string::npos)
          << s.m.console();
    }
  }
}
