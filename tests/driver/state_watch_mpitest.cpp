#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <vector>

#include "core/diag_stream.h"
#include "core/non_finite_output.h"
#include "driver/state_watch.h"
#include "tests/test_support.h"

namespace {

constexpr long rows = 6;
constexpr long columns = 4;
constexpr double nodata = -9999.0;
constexpr unsigned stackLevels = 2; // three values a cell

// Every process holds every row of a grid; the regions grid gives each its
// strip of whole rows, as the decomposition does.
struct Field {
  explicit Field(double fill) : values(static_cast<size_t>(rows + 1), std::vector<double>()) {
    pointers.push_back(nullptr);
    for (long r = 1; r <= rows; ++r) {
      values[static_cast<size_t>(r)].assign(columns + 1, fill);
      pointers.push_back(values[static_cast<size_t>(r)].data());
    }
  }
  Grid grid() { return pointers.data(); }
  double& at(long r, long c) { return values[static_cast<size_t>(r)][static_cast<size_t>(c)]; }

  std::vector<std::vector<double>> values;
  std::vector<double*> pointers;
};

struct StackField {
  StackField() {
    cells.assign(static_cast<size_t>((rows + 1) * (columns + 1) * (stackLevels + 1)), 1.0);
    rowPointers.assign(static_cast<size_t>(rows + 1), std::vector<double*>(columns + 1));
    stack.push_back(nullptr);
    for (long r = 1; r <= rows; ++r) {
      for (long c = 0; c <= columns; ++c)
        rowPointers[static_cast<size_t>(r)][static_cast<size_t>(c)] =
            &cells[static_cast<size_t>((r * (columns + 1) + c) * (stackLevels + 1))];
      stack.push_back(rowPointers[static_cast<size_t>(r)].data());
    }
  }
  double& at(long r, long c, unsigned level) {
    return rowPointers[static_cast<size_t>(r)][static_cast<size_t>(c)][level];
  }

  std::vector<double> cells;
  std::vector<std::vector<double*>> rowPointers;
  std::vector<double**> stack;
};

long stripFirst(int rank, int size) { return 1 + rank * rows / size; }
long stripLast(int rank, int size) { return (rank + 1) * rows / size; }

// The catchment of every cell in every process's strip, with the grid
// "alpha" (alpha.asc) of 0.5 everywhere registered.
struct Watched {
  Watched() : registry(static_cast<size_t>(gridRegistryLimit)) {
    const int size = worldSize();
    for (int p = 0; p < size; ++p)
      for (long r = stripFirst(p, size); r <= stripLast(p, size); ++r)
        for (long c = 1; c <= columns; ++c) regions.at(r, c) = p;
    registerTestGrid(registry, "alpha", "alpha.asc", alpha.grid(), 1, rows);
    cells.firstRow = stripFirst(worldRank(), size);
    cells.lastRow = stripLast(worldRank(), size);
    cells.ncols = columns;
    cells.nodata = nodata;
    cells.rank = worldRank();
    cells.zone = zone.grid();
    cells.regions = regions.grid();
  }

  Field zone{1.0}, regions{0.0}, alpha{0.5};
  std::vector<GridRegistryEntry> registry;
  OwnCells cells;
};

// After every process has ended: rank 0's diagnostics file holds text.
void expectLogged(const std::string& dir, const std::string& text) {
  MPI_Barrier(MPI_COMM_WORLD);
  if (worldRank() != 0) return;
  std::string logged = readFile(dir + "/diag_0.xml");
  for (size_t at = logged.find("&quot;"); at != std::string::npos; at = logged.find("&quot;", at))
    logged.replace(at, 6, "\"");
  EXPECT_NE(logged.find(text), std::string::npos) << logged;
}

} // namespace

// Once a model day, after its first step, the first cell in row order of
// every grid and stack that is not finite is named, whichever process
// computes it; a cell outside the catchment is not looked at.
TEST(StateWatchMpi, NamesTheFirstCellThatIsNotFiniteOnceADay) {
  const std::string dir = makeTestDirectory("state_watch", true);
  Watched w;
  StackField beta;
  w.zone.at(1, 1) = nodata;
  GridRegistryEntry& stacked = registerTestGrid(w.registry, "beta", "beta.asc", nullptr, 1, rows);
  stacked.stack = beta.stack.data();
  stacked.levels = stackLevels;

  std::ostringstream console, errors;
  int secondDay = -1;
  {
    DiagStream diag(dir + "/diag.xml", 4, &console, &errors);
    StateWatch watch;
    const ModelDate first{0, 0, 1, 3, 2021};
    EXPECT_EQ(exitCodeOf([&] { watch.step(first, w.registry.data(), w.cells, rows, diag); }), -1);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    w.alpha.at(1, 1) = nan; // outside the catchment
    w.alpha.at(5, 3) = nan;
    w.alpha.at(2, 4) = -std::numeric_limits<double>::infinity();
    beta.at(4, 2, 1) = std::numeric_limits<double>::infinity();
    beta.at(4, 2, 2) = nan;
    // The same day is not looked at again.
    const ModelDate laterThatDay{0, 5, 1, 3, 2021};
    EXPECT_EQ(exitCodeOf([&] { watch.step(laterThatDay, w.registry.data(), w.cells, rows, diag); }),
              -1);
    const ModelDate next{0, 0, 2, 3, 2021};
    secondDay = exitCodeOf([&] { watch.step(next, w.registry.data(), w.cells, rows, diag); });
  }
  EXPECT_EQ(secondDay, nonFiniteOutputCode);
  expectLogged(dir, "after the step of 2021-03-02 00:00 the state of the model holds values that "
                    "are not finite (nan or inf), which it did not after the step of 2021-03-01 "
                    "00:00: \"alpha\" (alpha.asc) first at row 2, column 4; \"beta\" (beta.asc) "
                    "first at row 4, column 2, level 1. ");
}

// The first look of a run that finds a value says so instead of naming an
// earlier clean step.
TEST(StateWatchMpi, SaysWhenTheFirstLookFindsOne) {
  const std::string dir = makeTestDirectory("state_watch_first", true);
  Watched w;
  w.alpha.at(rows, columns) = std::nan("");
  std::ostringstream console, errors;
  int code = -1;
  {
    DiagStream diag(dir + "/diag.xml", 4, &console, &errors);
    StateWatch watch;
    code = exitCodeOf([&] {
      watch.step(ModelDate{0, 7, 1, 3, 2021}, w.registry.data(), w.cells, rows, diag);
    });
  }
  EXPECT_EQ(code, nonFiniteOutputCode);
  expectLogged(dir, "after the step of 2021-03-01 07:00, the first of the run, the state of the "
                    "model holds values that are not finite (nan or inf): \"alpha\" (alpha.asc) "
                    "first at row 6, column 4. ");
}
