#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
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

// Ten cells; with two processes row 2 holds process 1's run, a gap and
// process 0's run.
const std::vector<std::string> tenCells = {"..xx.x......", ".xx....x....", "...xxx......",
                                           "..........x."};

// Narrow rows falling apart into many runs below rows without gaps: rank 0
// needs no pair for the runs its strip walk skips.
const std::vector<std::string> narrow = {"xxxxxxxx", "xxxxxxxx", "xxxxxxxx", "xxxxxxxx",
                                         "x.x.x.x.", ".x.x.x.x", "x.x..x.x"};

std::string text(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

} // namespace

TEST(MPIRegions, DividesRaggedDomainsIntoOneRunPerProcess) {
  for (const auto* mask : {&ragged, &narrow}) {
    SCOPED_TRACE(mask == &ragged ? "ragged" : "narrow");
    SpeedDirectory here(mask == &ragged ? "regions_ragged" : "regions_narrow", "1.5\n");
    writeFile(here.controlFile(), controlFileText(0));
    DecompositionModel model(".", here.controlFile());
    model.setDomain(*mask);
    model.decompose();
    expectSoundDecomposition(model, *mask);
  }
}

TEST(MPIRegions, EqualTimesShareTheCellsAndLogTheShares) {
  // Ten cells: floor(10 / N + 0.4999) each, the last process the rest.
  const std::vector<std::vector<long>> quotas = {{10}, {5, 5}, {3, 3, 4}, {2, 2, 2, 4}};
  const int size = worldSize();
  ASSERT_LE(size, 4);
  SpeedDirectory here("regions_equal", "2\n");
  writeFile(here.controlFile(), controlFileText(0));
  DecompositionModel model(".", here.controlFile());
  model.setDomain(tenCells);
  model.decompose();
  EXPECT_EQ(model.cells, quotas[size - 1]);
  expectSoundDecomposition(model, tenCells);
  if (worldRank() != 0) return;

  std::vector<std::string> lines;
  for (int r = 0; r < size; ++r)
    lines.push_back("received MPI wtime: 2 for instance: " + std::to_string(r));
  for (int r = 0; r < size; ++r)
    lines.push_back("MPI performance weight: " + text(1.0 / size) +
                    " for instance: " + std::to_string(r));
  lines.push_back("MPI regular cells: 10\nMPI river cells: 0");
  for (int r = 0; r < size; ++r)
    lines.push_back("MPI num cells: " + std::to_string(quotas[size - 1][r]) +
                    " for instance: " + std::to_string(r));
  lines.push_back("After broadcasting numLinks: 0 for instance: 0");
  expectEntriesInOrder(model.console(), lines);
  for (const std::string& entry : consoleEntries(model.console())) {
    EXPECT_NE(entry.rfind("MPI wtime: ", 0), 0u) << "no measurement with a time file";
    EXPECT_EQ(entry.find("link cells"), std::string::npos);
  }
}

TEST(MPIRegions, TimesOfZeroOrBelowWeighOneAndFilesWithoutNumberAreMeasured) {
  struct Case {
    const char* name;
    std::string time;
    std::string expected; // an entry of rank 0's log
  };
  const std::vector<Case> cases = {
      {"zero and below", worldRank() == 0 ? "0\n" : "-3\n",
       "MPI performance weight: " + text(1.0 / worldSize()) + " for instance: 0"},
      {"no number", "fast\n",
       "MpiSpeedFactor.dat holds no number; measuring the speed of process 0 instead"},
      {"a number that is not finite", "nan\n",
       "MpiSpeedFactor.dat holds no number; measuring the speed of process 0 instead"},
      {"letters glued on", "2x\n",
       "MpiSpeedFactor.dat holds no number; measuring the speed of process 0 instead"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpeedDirectory here(std::string("regions_time_") + c.name[0], c.time);
    writeFile(here.controlFile(), controlFileText(0));
    DecompositionModel model(".", here.controlFile());
    model.setDomain(ragged);
    model.decompose();
    expectSoundDecomposition(model, ragged);
    if (worldRank() != 0) continue;
    const std::vector<std::string> entries = consoleEntries(model.console());
    EXPECT_NE(std::find(entries.begin(), entries.end(), c.expected), entries.end());
    // Measured: "MPI wtime: " time "for instance: " rank.
    const auto measured = std::find_if(entries.begin(), entries.end(), [](const std::string& e) {
      return e.rfind("MPI wtime: ", 0) == 0;
    });
    ASSERT_EQ(measured != entries.end(), &c != &cases[0]);
    if (measured == entries.end()) continue;
    EXPECT_GT(std::stod(measured->substr(11)), 0.0);
    EXPECT_EQ(measured->substr(measured->find("for instance")), "for instance: 0");
  }
}

// Rank 0 finds these alone; every process ends with the same code.
TEST(MPIRegions, DomainsThatCannotBeDividedFailOnEveryProcess) {
  const int size = worldSize();
  std::vector<std::string> fewCells(3, "....");
  for (int p = 0; p + 1 < size; ++p) fewCells[p % 3][p / 3] = 'x';
  // Each process's cells of a row form one strip, however many gaps lie
  // between them.
  std::vector<std::string> workerGaps;
  for (int r = 0; r < 20; ++r) workerGaps.push_back(r % 2 == 0 ? "xx.xx..xx." : "xxxxxxxxxx");
  struct Case {
    const char* name;
    std::vector<std::string> mask;
    std::string time; // of this rank
    int code;         // -1: success
    std::string message;
  };
  const std::vector<Case> cases = {
      {"fewer cells than processes", fewCells, "1\n", 122,
       "MPI-Regions: cannot divide the " + std::to_string(size - 1) +
           " valid cells of the zone grid zone.asc among " + std::to_string(size) +
           " MPI processes"},
      {"quota rounded to zero", tenCells, worldRank() == 0 ? "1\n" : "1000\n", size > 1 ? 122 : -1,
       "MPI-Regions: process 1 gets a quota of 0 of the 10 regular cells"},
      {"ragged rows of a worker", workerGaps, "1\n", -1, ""},
      {"more processes in a row than it can list",
       {"x.x.xx"},
       "1\n",
       size > 2 ? 120 : -1,
       "MPI-Regions: to much strips to be stored in a grid row in row 1 (" +
           std::to_string(2 * size - 3) + " strips; a row of 6 columns holds at most 2)"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpeedDirectory here("regions_fail_" + std::to_string(&c - cases.data()), c.time);
    writeFile(here.controlFile(), controlFileText(0));
    DecompositionModel model(".", here.controlFile());
    model.setDomain(c.mask);
    EXPECT_EQ(exitCodeOf([&] { model.decompose(); }), c.code);
    if (c.code < 0) expectSoundDecomposition(model, c.mask);
    if (c.code > 0 && worldRank() == 0) {
      EXPECT_NE(model.console().find(c.message), std::string::npos) << model.console();
    }
  }
}

TEST(MPIRegions, TheThreeGridsTakeFreeRegistryEntriesOrFailWithCode12) {
  std::vector<int> upTo996(994);
  std::iota(upTo996.begin(), upTo996.end(), 3);
  std::vector<int> upTo998 = upTo996;
  upTo998.insert(upTo998.end(), {997, 998});
  struct Case {
    const char* name;
    std::vector<int> used;     // beside entries 1 and 2 of the domain
    std::vector<int> expected; // "MPIRegions", "MPIHelper", "MPIHalo"; none: full
  };
  const std::vector<Case> cases = {{"empty", {}, {3, 4, 5}},
                                   {"a hole", {3, 4, 6}, {5, 7, 8}},
                                   {"the last three", upTo996, {997, 998, 999}},
                                   {"two left", upTo998, {}}};
  const bool last = worldRank() == worldSize() - 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpeedDirectory here("regions_registry_" + std::to_string(&c - cases.data()), "1\n");
    writeFile(here.controlFile(), controlFileText(0));
    DecompositionModel model(".", here.controlFile());
    model.setDomain(ragged);
    // A full registry on the last process alone still ends every process.
    Grid other = model.ownedGrid(1, 1);
    for (int i : (c.expected.empty() && !last) ? std::vector<int>{} : c.used)
      model.registerGrid(i, "other.asc", other, nullptr, 0, "other", 0, 1, 1);
    if (c.expected.empty()) {
      EXPECT_EQ(exitCodeOf([&] { model.decompose(); }), 12);
      if (last) {
        EXPECT_NE((worldSize() == 1 ? model.console() : model.errors())
                      .find("when trying to create MPI-Regions: no free grid found in memory (at "
                            "position 1000)"),
                  std::string::npos);
      }
      continue;
    }
    model.decompose();
    const std::vector<int> indices = {model.getRegionsIndex(), model.getHelperIndex(),
                                      model.getHaloIndex()};
    EXPECT_EQ(indices, c.expected);
    const char* names[3] = {"MPIRegions", "MPIHelper", "MPIHalo"};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(model.entries()[c.expected[i]].name, names[i]);
    for (int i : c.used) EXPECT_EQ(model.entries()[i].name, "other") << "entry " << i;
    EXPECT_EQ(model.gridCount, 3);
    expectSoundDecomposition(model, ragged);
  }
}
