#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
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
  std::vector<std::pair<long, long>> rows;
};

// Without wholeOnRoot every grid is whole on rank 0.
Outcome readAll(StripModule& s, const std::vector<std::string>& paths, bool together,
                const std::vector<bool>& wholeOnRoot = {}) {
  Outcome out;
  const size_t mark = s.m.console().size();
  std::vector<TestModule::GridReadRequest> requests;
  for (size_t k = 0; k < paths.size(); ++k)
    requests.push_back({paths[k], 0, 0.0, wholeOnRoot.empty() || wholeOnRoot[k]});
  out.code = exitCodeOf([&] {
    if (together) {
      s.m.readGrids(requests, [&](size_t k, Grid g, long first, long last) {
        out.taken.push_back(k);
        out.grids.push_back(g);
        out.rows.emplace_back(first, last);
      });
      return;
    }
    for (size_t k = 0; k < paths.size(); ++k) {
      Grid g = nullptr;
      s.m.readGrid(paths[k], g, 0, true, true, true, 1, false, true, 0.0);
      out.taken.push_back(k);
      out.grids.push_back(g);
      out.rows.emplace_back(s.lo, s.hi);
    }
  });
  out.log = s.m.console().substr(mark);
  return out;
}

void release(StripModule& s, Outcome& out) {
  for (size_t k = 0; k < out.grids.size(); ++k)
    s.m.free_matrix(out.grids[k], out.rows[k].first, out.rows[k].second, 1, s.ncols);
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
    writeFile(dir + "/b.asc", asciiFile(s, 2));
    OwnedGrid whole(s.m, s.nrows, s.ncols, 0.0);
    for (long r = 1; r <= s.nrows; ++r)
      for (long c = 1; c <= s.ncols; ++c) whole.grid[r][c] = fileValue(s, 3, r, c);
    s.m.writeGrid(dir + "/c.bin", whole.grid, false, true, false);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  const std::vector<std::string> paths = {dir + "/a.asc", dir + "/b.asc", dir + "/a.asc",
                                          dir + "/c.bin", dir + "/b.asc", dir + "/b.asc"};
  const int files[] = {1, 2, 1, 3, 2, 2};
  // Whole on rank 0 or not, as rank 0 asks: a.asc is parsed once for both
  // of its grids, so whole for both as one of them asks.
  const std::vector<bool> whole = {false, true, true, false, false, true};
  const bool wholeHeld[] = {true, true, true, false, false, true};
  std::vector<bool> asked = whole;
  if (s.rank != 0) asked.flip();
  Outcome alone = readAll(s, paths, false);
  for (const auto& flags : {std::vector<bool>(), asked}) {
    Outcome together = readAll(s, paths, true, flags);
    ASSERT_EQ(together.code, -1);
    EXPECT_EQ(together.taken, std::vector<size_t>({0, 1, 2, 3, 4, 5}));
    if (s.rank == 0) {
      EXPECT_EQ(together.log, alone.log);
    }
    // Rank 0's own rows with their halo rows.
    const long stripFirst = std::max(1L, s.m.header.firstRow - 1);
    const long stripLast = std::min(s.nrows, s.m.header.lastRow + 1);
    for (size_t k = 0; k < together.grids.size(); ++k) {
      const bool narrow = s.rank == 0 && !flags.empty() && !wholeHeld[k];
      const auto rows = together.rows[k];
      EXPECT_EQ(rows, narrow ? std::make_pair(stripFirst, stripLast) : std::make_pair(s.lo, s.hi))
          << "grid " << k;
      for (long r = rows.first; r <= rows.second; ++r)
        for (long c = 1; c <= s.ncols; ++c) {
          const bool held = s.rank == 0 || s.owner[r][c] == s.rank || s.isHalo(s.rank, r, c);
          // A binary file read for the strips leaves the values of the file
          // in other processes' cells, where no one looks.
          if (!held && k == 3 && !flags.empty()) continue;
          ASSERT_EQ(together.grids[k][r][c], held ? fileValue(s, files[k], r, c) : nodata)
              << "grid " << k << " row " << r << " column " << c;
        }
    }
    release(s, together);
  }
  release(s, alone);
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
