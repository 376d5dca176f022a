#include <gtest/gtest.h>
#include <mpi.h>

#include <memory>
#include <string>
#include <vector>

#include "core/statistic_lines.h"
#include "tests/core/zonal_statistic_fixture.h"

// Channel routing makes its statistics on rank 0 alone: every process
// agrees that there are lines to carry, writes and reads them in the same
// collective calls, and rank 0 goes on with its line.
TEST(StatisticLinesMPI, RankZeroAloneHoldsTheRoutedStatistic) {
  StatisticFixture f("lines_mpi", {1, 2}, {0.5, 0.5}, true);
  const std::string state = f.path(statisticLinesFile);
  std::unique_ptr<zonalstatistic> routed;
  if (worldRank() == 0) routed = f.zonal(2004, 3, "routed.stat");
  EXPECT_TRUE(StatisticLines::anyOnAnyProcess(f.diag));
  if (routed) {
    routed->writeHeader("routing", "Q", f.table.data(), 8);
    for (int i = 1; i <= 2; ++i) {
      routed->resetZones();
      routed->addValue(1, 1, 1, i, 1.0);
      routed->storeStep(2021, 3, 1, i, 0, 0);
    }
  }
  EXPECT_EQ(exitCodeOf([&] { StatisticLines::write(f.diag, state); }), -1);
  MPI_Barrier(MPI_COMM_WORLD);
  if (worldRank() == 0) {
    EXPECT_EQ(fileLines(state),
              std::vector<std::string>{"2004 2 2 0 0 0 2 3 2 0 0 0 (routed.stat)"});
  }
  EXPECT_EQ(exitCodeOf([&] { StatisticLines::read(f.diag, state, true); }), -1);
  if (routed) {
    routed->resetZones();
    routed->addValue(1, 1, 1, 3, 1.0);
    routed->storeStep(2021, 3, 1, 3, 0, 0);
    routed->resetZones();
    routed->addValue(1, 1, 1, 4, 1.0);
    routed->storeStep(2021, 3, 1, 4, 0, 0);
    routed->release();
    // Zone 1's mean of 1 ... 4; zone 2 had no cell.
    EXPECT_EQ(fileLines(f.path("routed.stat")).back(), "2021\t 3\t 1\t 4\t2.500\t0.000\t2.500");
  }
  routed.reset();
  EXPECT_FALSE(StatisticLines::anyOnAnyProcess(f.diag));
  MPI_Barrier(MPI_COMM_WORLD);
}
