#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/core/owned_grid.h"
#include "tests/test_decomposition.h"
#include "tests/test_support.h"

namespace {

// File k holds cellValue + k / 4 on every cell of the catchment.
double fileValue(const StripModule& s, int k, long r, long c) {
  return s.owner[r][c] >= 0 ? cellValue(r, c) + 0.25 * k : nodata;
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

std::string asciiFile(const StripModule& s, int k) {
  std::string text = "ncols " + std::to_string(s.ncols) + "\nnrows " + std::to_string(s.nrows) +
                     "\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -9999\n";
  for (long r = 1; r <= s.nrows; ++r)
    for (long c = 1; c <= s.ncols; ++c)
      text += number(fileValue(s, k, r, c)) + (c < s.ncols ? " " : "\n");
  return text;
}

// The text with the first character of value (r, c) replaced by x.
std::string spoilt(const StripModule& s, std::string text, long r, long c) {
  size_t at = text.find('\n', text.find("nodata_value")) + 1;
  for (long k = 1; k < (r - 1) * s.ncols + c; ++k) at = text.find_first_of(" \n", at) + 1;
  text[at] = 'x';
  return text;
}

struct Outcome {
  int code = 0;
  std::string log; // rank 0's
  std::vector<size_t> taken;
  std::vector<Grid> grids;
};

Outcome readAll(StripModule& s, const std::vector<std::string>& paths, bool together) {
  Outcome out;
  const size_t mark = s.m.console().size();
  std::vector<TestModule::GridReadRequest> requests;
  for (const std::string& path : paths) requests.push_back({path, 0, 0.0});
  out.code = exitCodeOf([&] {
    if (together) {
      s.m.readGrids(requests, [&](size_t k, Grid g) {
        out.taken.push_back(k);
        out.grids.push_back(g);
      });
      return;
    }
    for (size_t k = 0; k < paths.size(); ++k) {
      Grid g = nullptr;
      s.m.readGrid(paths[k], g, 0, true, true, true, 1, false, true, 0.0);
      out.taken.push_back(k);
      out.grids.push_back(g);
    }
  });
  out.log = s.m.console().substr(mark);
  return out;
}

void release(StripModule& s, Outcome& out) {
  for (Grid g : out.grids) s.m.free_matrix(g, s.lo, s.hi, 1, s.ncols);
  out.grids.clear();
  MPI_Barrier(MPI_COMM_WORLD);
}

} // namespace

// Files named twice, values behind a grid and a binary file, which the
// batch leaves to a read of its own, among ASCII grids: every grid holds
// what it holds when read alone, and the log is that of the reads one by
// one.
TEST(AsciiGridBatchMPI, ReadsAndLogsAsTheReadsOneByOne) {
  StripModule s("ascii_batch_reads", ragged(worldSize()));
  const std::string dir = makeTestDirectory("ascii_batch_reads_files", true);
  if (s.rank == 0) {
    writeFile(dir + "/a.asc", asciiFile(s, 1));
    writeFile(dir + "/b.asc", asciiFile(s, 2) + "7 8\n");
    OwnedGrid whole(s.m, s.nrows, s.ncols, 0.0);
    for (long r = 1; r <= s.nrows; ++r)
      for (long c = 1; c <= s.ncols; ++c) whole.grid[r][c] = fileValue(s, 3, r, c);
    s.m.writeGrid(dir + "/c.bin", whole.grid, false, true, false);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  const std::vector<std::string> paths = {dir + "/a.asc", dir + "/b.asc", dir + "/a.asc",
                                          dir + "/c.bin", dir + "/b.asc", dir + "/b.asc"};
  const int files[] = {1, 2, 1, 3, 2, 2};
  Outcome alone = readAll(s, paths, false);
  Outcome together = readAll(s, paths, true);
  ASSERT_EQ(together.code, -1);
  EXPECT_EQ(together.taken, std::vector<size_t>({0, 1, 2, 3, 4, 5}));
  if (s.rank == 0) {
    EXPECT_EQ(together.log, alone.log);
    EXPECT_NE(together.log.find("holds " + std::to_string(s.nrows * s.ncols + 2) + " values"),
              std::string::npos);
  }
  for (size_t k = 0; k < together.grids.size(); ++k)
    for (long r = s.lo; r <= s.hi; ++r)
      for (long c = 1; c <= s.ncols; ++c) {
        const bool held = s.rank == 0 || s.owner[r][c] == s.rank || s.isHalo(s.rank, r, c);
        ASSERT_EQ(together.grids[k][r][c], held ? fileValue(s, files[k], r, c) : nodata)
            << "grid " << k << " row " << r << " column " << c;
      }
  release(s, alone);
  release(s, together);
}

// A fault ends the batch at the grid the reads one by one end at, with their
// code and log, after handing over the grids before it.
TEST(AsciiGridBatchMPI, FailsAsTheReadsOneByOne) {
  StripModule s("ascii_batch_faults", ragged(worldSize()));
  const std::string dir = makeTestDirectory("ascii_batch_faults_files", true);
  const std::string good = asciiFile(s, 1);
  if (s.rank == 0) {
    writeFile(dir + "/good.asc", good);
    writeFile(dir + "/late.asc", spoilt(s, good, s.nrows - 1, 4));
    writeFile(dir + "/early.asc", spoilt(s, good, 2, 5));
    writeFile(dir + "/short.asc", good.substr(0, good.rfind(' ')));
  }
  MPI_Barrier(MPI_COMM_WORLD);
  struct Case {
    const char* name;
    std::vector<std::string> files;
    size_t taken;
    std::string message;
  };
  const std::string last = "row " + std::to_string(s.nrows) + ", col " + std::to_string(s.ncols);
  const std::vector<Case> cases = {
      {"a faulty file",
       {"good", "late", "good"},
       1,
       "row " + std::to_string(s.nrows - 1) + ", col 4"},
      {"two faulty files",
       {"good", "good", "late", "early"},
       2,
       "late.asc in ASCII-Format in row " + std::to_string(s.nrows - 1)},
      {"a file named again after a fault", {"early", "good", "early"}, 0, "row 2, col 5"},
      {"values missing", {"good", "short", "good"}, 1, last},
  };
  for (const Case& c : cases) {
    std::vector<std::string> paths;
    for (const std::string& f : c.files) paths.push_back(dir + "/" + f + ".asc");
    Outcome alone = readAll(s, paths, false);
    Outcome together = readAll(s, paths, true);
    EXPECT_EQ(together.code, 22) << c.name;
    EXPECT_EQ(together.code, alone.code) << c.name;
    EXPECT_EQ(together.taken.size(), c.taken) << c.name;
    EXPECT_EQ(together.taken.size(), alone.taken.size()) << c.name;
    if (s.rank == 0) {
      EXPECT_EQ(together.log, alone.log) << c.name;
      EXPECT_NE(together.log.find(c.message), std::string::npos) << c.name << "\n" << together.log;
    }
    release(s, alone);
    release(s, together);
  }
}
