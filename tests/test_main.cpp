// gtest main for every test binary: tests run inside MPI. Each rank runs the
// same tests and returns its own result, so a failure on any rank fails the
// run; only rank 0 prints the full report, the other ranks print failures.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdio>

namespace {

class WorkerFailurePrinter : public testing::EmptyTestEventListener {
public:
  explicit WorkerFailurePrinter(int rank) : rank(rank) {}
  void OnTestPartResult(const testing::TestPartResult& result) override {
    if (!result.failed()) return;
    std::fprintf(stderr, "(mpi-rank %2d) failure in %s:%d\n%s\n", rank,
                 result.file_name() ? result.file_name() : "?", result.line_number(),
                 result.summary());
  }
  void OnTestEnd(const testing::TestInfo& info) override {
    if (info.result()->Failed())
      std::fprintf(stderr, "(mpi-rank %2d) FAILED %s.%s\n", rank, info.test_suite_name(),
                   info.name());
  }

private:
  int rank;
};

} // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  testing::InitGoogleTest(&argc, argv);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank != 0) {
    testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new WorkerFailurePrinter(rank));
  }
  const int result = RUN_ALL_TESTS();
  MPI_Finalize();
  return result;
}
