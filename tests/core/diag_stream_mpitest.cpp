#include <gtest/gtest.h>
#include <mpi.h>

#include <sstream>

#include "core/diag_stream.h"
#include "tests/test_support.h"

// Only rank 0 prints and writes the whole file; a FATAL or ERROR raised on a
// worker alone still reaches standard error there and a diagnostics file of
// the worker's own, which holds nothing else.
TEST(DiagStreamMpi, OnlyRankZeroWritesAndWorkerFatalReachesStandardError) {
  const std::string dir = makeTestDirectory("diag_mpi", true);
  std::ostringstream console;
  std::ostringstream errors;
  {
    DiagStream diag(dir + "/diag.xml", 4, &console, &errors);
    diag << "INFO: hello from every rank"
         << "[end-entry]";
    if (worldRank() == 1) diag << "FATAL: broken on rank " << 1 << "[end-entry]";
    diag << "ERROR: shared failure"
         << "[end-entry]";
  }
  MPI_Barrier(MPI_COMM_WORLD);
  if (worldRank() == 0) {
    EXPECT_NE(console.str().find("hello from every rank"), std::string::npos);
    EXPECT_TRUE(errors.str().empty());
    EXPECT_TRUE(fileExists(dir + "/diag_0.xml"));
    for (int r = 1; r < worldSize(); ++r) {
      const std::string text = readFile(dir + "/diag_" + std::to_string(r) + ".xml");
      EXPECT_EQ(text.find("<line level=\"0\" description= \"broken on rank 1\"/>\n") !=
                    std::string::npos,
                r == 1)
          << text;
      EXPECT_NE(text.find("<line level=\"1\" description= \"shared failure\"/>\n</Diag>"),
                std::string::npos)
          << text;
      EXPECT_EQ(text.find("hello"), std::string::npos) << text;
    }
  } else {
    EXPECT_TRUE(console.str().empty());
    std::string expected = "(mpi-rank  " + std::to_string(worldRank()) + ") ";
    if (worldRank() == 1) {
      EXPECT_NE(errors.str().find(expected + "FATAL: broken on rank 1\n"), std::string::npos);
    }
    EXPECT_NE(errors.str().find(expected + "ERROR: shared failure\n"), std::string::npos);
    EXPECT_EQ(errors.str().find("hello"), std::string::npos);
  }
}
