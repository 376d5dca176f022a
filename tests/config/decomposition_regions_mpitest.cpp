#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <sstream>

#include "tests/config/decomposition_fixture.h"
#include "tests/test_support.h"

namespace {

// A ragged catchment with holes; with two and four processes a row holds a
// nodata gap between the runs of two processes.
const std::vector<std::string> ragged = {
    ".....xxxx.......", "...xxxxxxxx.....", "..xxx..xxxxxx...", ".xxxx...xxxxx...",
    ".xxxxx.xxx.xxx..", "xxx.xxxxxx..xxx.", "xxxx..xxxxxxxx..", ".xxxxxxxxx..xx..",
    "..xxx.xxxxxx....", "...xxxxxx..xx...", "....xx..xx......", "................"};

// Ten valid cells; with two processes row 2 holds process 1's run, a gap and
// process 0's run.
const std::vector<std::string> tenCells = {"..xx.x......", ".xx....x....", "...xxx......",
                                           "..........x."};

// Narrow rows that fall apart into many runs, below rows without gaps: each
// process's own strips fit into its rows, and rank 0 needs no pair for runs
// its walk skips.
const std::vector<std::string> narrow = {"xxxxxxxx", "xxxxxxxx", "xxxxxxxx", "xxxxxxxx",
                                         "x.x.x.x.", ".x.x.x.x", "x.x..x.x"};

} // namespace

TEST(MPIRegions, EveryDomainIsDividedIntoOneRunPerProcess) {
  struct Case {
    const char* name;
    const std::vector<std::string>* mask;
  };
  for (const Case& c : {Case{"ragged", &ragged}, Case{"ten", &tenCells}, Case{"narrow", &narrow}}) {
    SCOPED_TRACE(c.name);
    SpeedDirectory here(std::string("regions_") + c.name, "1.5\n");
    writeFile(here.controlFile(), controlFileText(0));
    DecompositionModel model(".", here.controlFile());
    model.setDomain(*c.mask);
    model.decompose();
    expectSoundDecomposition(model, *c.mask);
  }
}

TEST(MPIRegions, EqualTimesShareTheCellsAndLogTheShares) {
  // Quotas for 1 to 4 processes of ten cells: floor(10 / N + 0.4999), the
  // last process the rest.
  const std::vector<std::vector<long>> quotas = {{10}, {5, 5}, {3, 3, 4}, {2, 2, 2, 4}};
  const int size = worldSize();
  ASSERT_LE(size, 4);
  SpeedDirectory here("regions_equal", "2\n");
  writeFile(here.controlFile(), controlFileText(0));
  DecompositionModel model(".", here.controlFile());
  model.setDomain(tenCells);
  model.decompose();
  const std::vector<long>& expected = quotas[static_cast<size_t>(size - 1)];
  EXPECT_EQ(model.cells, expected);
  expectSoundDecomposition(model, tenCells);
  if (worldRank() != 0) return;

  std::ostringstream weight;
  weight << 1.0 / size;
  std::vector<std::string> lines;
  for (int r = 0; r < size; ++r)
    lines.push_back("received MPI wtime: 2 for instance: " + std::to_string(r));
  for (int r = 0; r < size; ++r)
    lines.push_back("MPI performance weight: " + weight.str() +
                    " for instance: " + std::to_string(r));
  lines.push_back("MPI regular cells: 10\nMPI river cells: 0");
  for (int r = 0; r < size; ++r)
    lines.push_back("MPI num cells: " + std::to_string(expected[static_cast<size_t>(r)]) +
                    " for instance: " + std::to_string(r));
  lines.push_back("After broadcasting numLinks: 0 for instance: 0");
  expectEntriesInOrder(model.console(), lines);
  for (const std::string& entry : consoleEntries(model.console())) {
    EXPECT_NE(entry.rfind("MPI wtime: ", 0), 0u) << "no measurement with a time file";
    EXPECT_EQ(entry.find("link cells"), std::string::npos);
  }
}

TEST(MPIRegions, TimesOfZeroOrBelowWeighLikeOneAndUnreadableFilesAreMeasured) {
  // Rank 0 reads 0, the others -3: every weight as for a time of 1.
  {
    SpeedDirectory here("regions_zero_time", worldRank() == 0 ? "0\n" : "-3\n");
    writeFile(here.controlFile(), controlFileText(0));
    DecompositionModel model(".", here.controlFile());
    model.setDomain(ragged);
    model.decompose();
    std::ostringstream weight;
    weight << "MPI performance weight: " << 1.0 / worldSize() << " for instance: 0\n";
    if (worldRank() == 0) {
      EXPECT_NE(model.console().find(weight.str()), std::string::npos);
    }
    expectSoundDecomposition(model, ragged);
  }
  // A file without a number: the benchmark runs and its time is logged.
  SpeedDirectory here("regions_measured", "fast\n");
  writeFile(here.controlFile(), controlFileText(0));
  DecompositionModel model(".", here.controlFile());
  model.setDomain(ragged);
  model.decompose();
  expectSoundDecomposition(model, ragged);
  if (worldRank() != 0) return;
  const std::vector<std::string> entries = consoleEntries(model.console());
  EXPECT_NE(
      std::find(entries.begin(), entries.end(),
                "MpiSpeedFactor.dat holds no number; measuring the speed of process 0 instead"),
      entries.end());
  const auto measured = std::find_if(entries.begin(), entries.end(), [](const std::string& e) {
    return e.rfind("MPI wtime: ", 0) == 0;
  });
  ASSERT_NE(measured, entries.end()) << model.console();
  EXPECT_GT(std::stod(measured->substr(11)), 0.0);
  EXPECT_EQ(measured->substr(measured->find("for instance")), "for instance: 0");
}
