#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>

#include <cmath>
#include <vector>

#include "core/exact_sum.h"
#include "core/runoff_records.h"
#include "tests/test_support.h"

namespace {

// Runoff of cell k in step t: sizes and signs that plain sums would round
// differently in every grouping.
double cellValue(int k, int t) {
  return (k % 3 == 0 ? -1.0 : 1.0) * std::ldexp(1.0 + k, (k * 37 + t) % 60 - 30);
}
constexpr int cells = 90;
constexpr int zones = 3;

} // namespace

// Each process adds the cells it owns; the sums on rank 0 and, reduced to
// all, on every process are those of all cells added on one process.
TEST(ExactSumMPI, ReducedSumsEqualOneProcessSums) {
  for (bool toAll : {false, true}) {
    ExactSum own[zones], alone[zones];
    for (int k = 0; k < cells; ++k) {
      alone[k % zones].add(cellValue(k, 0));
      if (k % worldSize() == worldRank()) own[k % zones].add(cellValue(k, 0));
    }
    const char* call = "";
    ASSERT_EQ(reduceExactSums(own, zones, toAll, call), MPI_SUCCESS) << call;
    if (toAll || worldRank() == 0) {
      for (int z = 0; z < zones; ++z) EXPECT_EQ(own[z].value(), alone[z].value());
    }
  }
}

// Runoff on its way through three flow-time records over four steps:
// rank 0 holds what it holds adding every cell alone, the others hold
// nothing.
TEST(ExactSumMPI, RunoffRecordsSumOnRoot) {
  RunoffRecords own, alone;
  own.resize(4);
  alone.resize(4);
  for (int t = 0; t < 4; ++t) {
    own.shift();
    alone.shift();
    for (int k = 0; k < cells; ++k) {
      const std::size_t record = 1 + static_cast<std::size_t>(k % 3);
      if (worldRank() == 0) alone.add(record, cellValue(k, t), 1.0, 0.5);
      if (k % worldSize() == worldRank()) own.add(record, cellValue(k, t), 1.0, 0.5);
    }
    const char* call = "";
    std::vector<RunoffRecords*> sets{&alone};
    ASSERT_EQ(RunoffRecords::sumOnRoot(sets, call), MPI_SUCCESS) << call;
    sets = {&own};
    ASSERT_EQ(RunoffRecords::sumOnRoot(sets, call), MPI_SUCCESS) << call;
    for (std::size_t r = 1; r < 4; ++r) {
      const double expected = worldRank() == 0 ? alone[r].valueSum : 0.0;
      EXPECT_EQ(own[r].valueSum, expected) << "step " << t << ", record " << r;
      EXPECT_EQ(own[r].weightSum, worldRank() == 0 ? alone[r].weightSum : 0.0);
    }
  }
}

// The cells added by the threads of a parallel loop, also by more threads
// than there were when the records were sized, reach the same sums on rank
// 0 as when one thread adds them all in order, step after step.
TEST(ExactSumMPI, RunoffRecordsTakeTheAddsOfAllThreads) {
  const int defaultThreads = omp_get_max_threads();
  const struct {
    int sizedWith, addingWith;
  } cases[] = {{1, 1}, {4, 4}, {2, 5}};
  for (const auto& c : cases) {
    RunoffRecords threaded, alone;
    alone.resize(4);
    omp_set_num_threads(c.sizedWith);
    threaded.resize(4);
    for (int t = 0; t < 3; ++t) {
      threaded.shift();
      alone.shift();
      for (int k = 0; k < cells; ++k)
        if (k % worldSize() == worldRank()) alone.add(1 + k % 3, cellValue(k, t), 1.0, 0.5);
      omp_set_num_threads(c.addingWith);
#pragma omp parallel for schedule(dynamic, 1)
      for (int k = 0; k < cells; ++k)
        if (k % worldSize() == worldRank()) threaded.add(1 + k % 3, cellValue(k, t), 1.0, 0.5);
      const char* call = "";
      for (RunoffRecords* set : {&alone, &threaded}) {
        std::vector<RunoffRecords*> sets{set};
        ASSERT_EQ(RunoffRecords::sumOnRoot(sets, call), MPI_SUCCESS) << call;
      }
      for (std::size_t r = 1; r < 4; ++r) {
        EXPECT_EQ(threaded[r].valueSum, alone[r].valueSum)
            << c.addingWith << " threads, step " << t << ", record " << r;
        EXPECT_EQ(threaded[r].weightSum, alone[r].weightSum);
        EXPECT_EQ(threaded[r].effectiveWeight, alone[r].effectiveWeight);
      }
    }
  }
  omp_set_num_threads(defaultThreads);
}
