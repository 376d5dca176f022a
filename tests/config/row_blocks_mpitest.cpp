#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "config/row_blocks.h"
#include "core/diag_stream.h"
#include "tests/test_support.h"

namespace {

constexpr double nd = -9999.0;

// Rows 1 .. nrows of columns 0 .. ncols, every cell `fill`.
struct WholeGrid {
  WholeGrid(long nrows, long ncols, double fill)
      : values(static_cast<size_t>(nrows * (ncols + 1)), fill),
        rows(static_cast<size_t>(nrows) + 1, nullptr) {
    for (long r = 1; r <= nrows; ++r)
      rows[static_cast<size_t>(r)] = &values[static_cast<size_t>((r - 1) * (ncols + 1))];
  }
  Grid grid() { return rows.data(); }
  std::vector<double> values;
  std::vector<double*> rows;
};

// Rows 1 .. nrows cut evenly among the processes, each block after the
// first sharing a row with the one before, as strips of a decomposition do.
RowSpan blockOf(long nrows, int processes, int rank) {
  const long base = nrows / processes;
  const long longer = nrows % processes;
  const long first = 1 + rank * base + std::min<long>(rank, longer);
  const long last = first + base + (rank < longer ? 1 : 0) - 1;
  return RowSpan{first > 1 && first <= last ? first - 1 : first, last};
}

} // namespace

// Every process adds up, for each cell of its block, the input of the rows
// within the margin; rank 0's whole results then hold every row, also where
// blocks share a row, a block is empty (fewer rows than processes) or the
// margin reaches past the grid. Absent grids stay absent.
TEST(RowBlockPass, RankZeroGetsEveryRowFromTheRowsWithinTheMargin) {
  struct Case {
    long nrows;
    long ncols;
    long margin;
  };
  const Case cases[] = {{1, 3, 0}, {2, 4, 1}, {7, 5, 2}, {13, 6, 20}};
  const int defaultThreads = omp_get_max_threads();
  for (const Case& t : cases)
    for (const int threads : {1, 4}) {
      SCOPED_TRACE(std::to_string(t.nrows) + " rows, margin " + std::to_string(t.margin) + ", " +
                   std::to_string(threads) + " threads");
      omp_set_num_threads(threads);
      std::ostringstream console;
      DiagStream diag(makeTestDirectory("row_blocks") + "/diag.xml", 0, &console, &console);
      auto value = [](long r, long c) { return 100.0 * static_cast<double>(r) + c; };
      WholeGrid input(t.nrows, t.ncols, nd), sums(t.nrows, t.ncols, nd),
          twice(t.nrows, t.ncols, nd);
      if (worldRank() == 0)
        for (long r = 1; r <= t.nrows; ++r)
          for (long c = 1; c <= t.ncols; ++c) input.grid()[r][c] = value(r, c);

      RowBlockPass pass(diag, t.nrows, t.ncols, nd, blockOf(t.nrows, worldSize(), worldRank()));
      pass.shareInputs({input.grid(), nullptr}, {t.margin, 0});
      pass.prepareOutputs({sums.grid(), nullptr, twice.grid()});
      EXPECT_EQ(pass.input(1), nullptr);
      EXPECT_EQ(pass.output(1), nullptr);
      const Grid in = pass.input(0);
      const RowSpan block = pass.block();
#pragma omp parallel for
      for (long r = block.first; r <= block.last; ++r)
        for (long c = 1; c <= t.ncols; ++c) {
          double sum = 0.0;
          for (long q = std::max(1L, r - t.margin); q <= std::min(t.nrows, r + t.margin); ++q)
            sum += in[q][c];
          pass.output(0)[r][c] = sum;
          pass.output(2)[r][c] = 2.0 * in[r][c];
        }
      pass.collectOutputs();
      if (worldRank() != 0) continue;
      for (long r = 1; r <= t.nrows; ++r)
        for (long c = 1; c <= t.ncols; ++c) {
          // Rows a .. b hold 100 (a + .. + b) + (b - a + 1) c.
          const double a = std::max(1L, r - t.margin), b = std::min(t.nrows, r + t.margin);
          EXPECT_EQ(sums.grid()[r][c], 100.0 * (a + b) * (b - a + 1) / 2 + (b - a + 1) * c)
              << r << "/" << c;
          EXPECT_EQ(twice.grid()[r][c], 2.0 * value(r, c)) << r << "/" << c;
        }
    }
  omp_set_num_threads(defaultThreads);
}
