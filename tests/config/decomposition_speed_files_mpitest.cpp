#include <gtest/gtest.h>

#include "tests/config/decomposition_fixture.h"
#include "tests/test_support.h"

// Run on two processes, each in a working directory of its own whose
// "MpiSpeedFactor.dat" holds the time of its rank: 1 for rank 0, 3 for rank 1.
TEST(MPIRegionsSpeedFiles, EachProcessTakesTheTimeOfItsOwnDirectory) {
  ASSERT_EQ(worldSize(), 2);
  const std::vector<std::string> eightCells = {".xx.....", "...x.xx.", "..xx....", "......x."};
  writeFile("model.ctl", controlFileText(0));
  DecompositionModel model(".", "model.ctl");
  model.setDomain(eightCells);
  model.decompose();
  // The slower process gets a quarter of the cells: the first two.
  EXPECT_EQ(model.cells, (std::vector<long>{6, 2}));
  expectSoundDecomposition(model, eightCells);
  if (worldRank() != 0) return;
  EXPECT_EQ(model.regionsGrid[1][2], 1.0);
  EXPECT_EQ(model.regionsGrid[1][3], 1.0);
  EXPECT_EQ(model.regionsGrid[2][4], 0.0);
  expectEntriesInOrder(
      model.console(),
      {"received MPI wtime: 1 for instance: 0", "received MPI wtime: 3 for instance: 1",
       "MPI performance weight: 0.75 for instance: 0",
       "MPI performance weight: 0.25 for instance: 1", "MPI regular cells: 8\nMPI river cells: 0",
       "MPI num cells: 6 for instance: 0", "MPI num cells: 2 for instance: 1"});
}
