#include <gtest/gtest.h>
#include <mpi.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/core/owned_grid.h"
#include "tests/test_decomposition.h"
#include "tests/test_support.h"

namespace {

// Values that a float holds exactly, so that every format keeps them.
double original(const StripModule& s, long r, long c) {
  return s.owner[r][c] >= 0 ? cellValue(r, c) + 0.25 : nodata;
}

// The ragged catchment on a georeferenced grid, and a directory that every
// process of the run shares.
struct Decomposed {
  explicit Decomposed(const std::string& name)
      : s(name, ragged(worldSize())), dir(makeTestDirectory(name + "_files", true)) {
    s.m.header.xllcorner = 3500000.0;
    s.m.header.yllcorner = 5200000.0;
    s.m.header.cellsize = 25.0;
  }
  // Rank 0 writes the original grid as one process would.
  void writeOriginal(const std::string& path, bool ascii, bool doubles, bool netcdf) {
    if (s.rank == 0) {
      OwnedGrid whole(s.m, s.nrows, s.ncols, 0.0);
      for (long r = 1; r <= s.nrows; ++r)
        for (long c = 1; c <= s.ncols; ++c) whole.grid[r][c] = original(s, r, c);
      s.m.writeGrid(path, whole.grid, ascii, doubles, netcdf);
    }
    MPI_Barrier(MPI_COMM_WORLD);
  }
  StripModule s;
  std::string dir;
};

struct Format {
  const char* name;
  bool ascii, doubles, netcdf;
  const char* readSuffix;
};
const Format formats[] = {{"ascii", true, false, false, ""},
                          {"double", false, true, false, ""},
                          {"float", false, false, false, ""},
                          {"ncdouble", false, true, true, ".nc<ncdouble>0"},
                          {"ncfloat", false, false, true, ".nc<ncfloat>0"}};

} // namespace

// Read on every process (scattered from rank 0, or at each process's
// offsets), gathered and written again by rank 0: the file is byte for byte
// the one a single process writes.
TEST(GridFilesMPI, RoundTripsGiveTheFileOfOneProcess) {
  for (const Format& f : formats) {
    Decomposed d(std::string("grid_mpi_round_") + f.name);
    StripModule& s = d.s;
    const std::string single = d.dir + "/" + f.name;
    d.writeOriginal(single, f.ascii, f.doubles, f.netcdf);
    Grid g = nullptr;
    s.m.readGrid(single + f.readSuffix, g, 0, true, false, true, 0, false, false, 0.0);
    for (long r = s.m.header.firstRow; r <= s.m.header.lastRow; ++r)
      for (long c = 1; c <= s.ncols; ++c)
        if (s.owner[r][c] == s.rank) {
          ASSERT_EQ(g[r][c], original(s, r, c)) << f.name << r << c;
        }
    Grid whole = s.m.MPIGatherGridCopy(0, g);
    if (s.rank == 0) {
      // The same name in another directory, as netCDF names the variable by it.
      std::filesystem::create_directory(d.dir + "/many");
      const std::string many = d.dir + "/many/" + f.name;
      s.m.writeGrid(many, whole ? whole : g, f.ascii, f.doubles, f.netcdf);
      const std::string extension = f.netcdf ? ".nc" : "";
      EXPECT_EQ(readFile(many + extension), readFile(single + extension)) << f.name;
      EXPECT_FALSE(readFile(single + extension).empty());
    }
    if (whole) s.m.free_matrix(whole, 1, s.nrows, 1, s.ncols);
    s.m.free_matrix(g, s.m.header.firstRow, s.m.header.lastRow, 1, s.ncols);
  }
}

// The rows each process ends with, on the path through rank 0 (ASCII) and
// at its own offsets (binary): halo rows filled by their owners, the whole
// grid kept on rank 0, and the caller's own grid filled.
TEST(GridFilesMPI, ProcessesHoldTheirRowsHaloAndRankZeroTheWholeGrid) {
  for (const Format& f : {formats[0], formats[1]}) {
    Decomposed d(std::string("grid_mpi_rows_") + f.name);
    StripModule& s = d.s;
    const std::string path = d.dir + "/grid";
    d.writeOriginal(path, f.ascii, f.doubles, false);
    const long first = s.m.header.firstRow, last = s.m.header.lastRow;

    Grid halo = nullptr;
    s.m.readGrid(path, halo, 0, true, false, true, 0, false, true, 0.0);
    for (long r = std::max(1L, first - 1); r <= std::min(s.nrows, last + 1); ++r)
      for (long c = 1; c <= s.ncols; ++c)
        if (s.owner[r][c] == s.rank || s.isHalo(s.rank, r, c)) {
          ASSERT_EQ(halo[r][c], original(s, r, c)) << f.name << " halo " << r << "," << c;
        }
    s.m.free_matrix(halo, std::max(1L, first - 1), std::min(s.nrows, last + 1), 1, s.ncols);

    Grid kept = nullptr;
    s.m.readGrid(path, kept, 0, true, false, true, 1, false, false, 0.0);
    const long keptFirst = s.rank == 0 ? 1 : first, keptLast = s.rank == 0 ? s.nrows : last;
    for (long r = keptFirst; r <= keptLast; ++r)
      for (long c = 1; c <= s.ncols; ++c)
        if (s.rank == 0 || s.owner[r][c] == s.rank) {
          ASSERT_EQ(kept[r][c], original(s, r, c)) << f.name << " kept " << r << "," << c;
        }
    s.m.free_matrix(kept, keptFirst, keptLast, 1, s.ncols);

    Grid given = s.grid(-1.0);
    s.m.readGrid(path, given, 0, false, false, true, 0, false, false, 0.0);
    for (long r = first; r <= last; ++r)
      for (long c = 1; c <= s.ncols; ++c)
        if (s.owner[r][c] == s.rank) {
          ASSERT_EQ(given[r][c], original(s, r, c)) << f.name;
        }
  }
}

// A failure on one process ends the read on every process with its code,
// and rank 0 logs it.
TEST(GridFilesMPI, FailuresEndTheReadOnEveryProcess) {
  Decomposed d("grid_mpi_failures");
  StripModule& s = d.s;
  const std::string path = d.dir + "/grid.dbl";
  d.writeOriginal(path, false, true, false);
  if (s.rank == 0) {
    std::string bytes = readFile(path);
    writeFile(path, bytes.substr(0, bytes.size() - 8));
  }
  MPI_Barrier(MPI_COMM_WORLD);
  Grid g = nullptr;
  EXPECT_EQ(exitCodeOf([&] { s.m.readGrid(path, g, 0, true, false, true, 0, false, false, 0); }),
            22);
  if (s.rank == 0) {
    EXPECT_NE(s.m.console().find("error reading double grid " + path + ": it holds "),
              std::string::npos);
  }

  // The last process has no grid for an existing file.
  d.writeOriginal(path, false, true, false);
  Grid given = s.rank == s.size - 1 ? nullptr : s.grid(-1.0);
  EXPECT_EQ(
      exitCodeOf([&] { s.m.readGrid(path, given, 0, false, false, true, 0, false, false, 0); }),
      22);
  if (s.rank == 0) {
    EXPECT_NE(s.m.console().find("error reading grid " + path +
                                 " no memory allocated (pointer given to function is NULL)"),
              std::string::npos);
  }
}
