#include <gtest/gtest.h>
#include <mpi.h>
#include <netcdf>

#include <cmath>
#include <string>
#include <vector>

#include "tests/test_decomposition.h"
#include "tests/test_support.h"

namespace {

constexpr int records = 3;
constexpr short fillValue = -32767;
constexpr double scale = 0.1;
constexpr double offset = 273.15;

// The packed value at a stored position of a record; every seventh is empty.
short packedAt(int record, long position) {
  if ((position + record) % 7 == 0) return fillValue;
  return static_cast<short>((position * 37 + record * 11) % 2000 - 1000);
}

// Row r and column c of the grid (rows from the north) are stored at
// position(r, c) of a record: rows of x or columns of y, south first when
// "y" ascends, and without an "x" dimension the record in its stored order
// as columns of the grid.
struct Layout {
  const char* name;
  const char* dims[3];
  bool southFirst;
  long position(long r, long c, long nrows, long ncols) const {
    const long storedRow = southFirst ? nrows - r : r - 1;
    return std::string(dims[2]) == "x" ? storedRow * ncols + c - 1 : (c - 1) * nrows + storedRow;
  }
};

// With xFrom, the file also gives the western edges of its columns from
// there on (cells of 1).
void writeRecords(const std::string& path, const Layout& layout, long nrows, long ncols,
                  double xFrom = std::nan("")) {
  netCDF::NcFile file(path, netCDF::NcFile::replace, netCDF::NcFile::nc4);
  const netCDF::NcDim t = file.addDim(layout.dims[0]);
  const bool xFirst = std::string(layout.dims[1]) == "x";
  const netCDF::NcDim d1 = file.addDim(layout.dims[1], xFirst ? ncols : nrows);
  const netCDF::NcDim d2 = file.addDim(layout.dims[2], xFirst ? nrows : ncols);
  if (std::string(layout.dims[2]) != "lon") {
    // The southern edges of the rows, cells of 1 from 0 as the model's, in
    // the stored order.
    std::vector<double> y(static_cast<size_t>(nrows));
    for (long k = 0; k < nrows; ++k)
      y[k] = static_cast<double>(layout.southFirst ? k : nrows - 1 - k);
    file.addVar("y", netCDF::ncDouble, xFirst ? d2 : d1).putVar(y.data());
  }
  if (!std::isnan(xFrom)) {
    std::vector<double> x(static_cast<size_t>(ncols));
    for (long c = 0; c < ncols; ++c) x[c] = xFrom + c;
    file.addVar("x", netCDF::ncDouble, xFirst ? d1 : d2).putVar(x.data());
  }
  netCDF::NcVar v = file.addVar("v", netCDF::ncShort, {t, d1, d2});
  v.putAtt("scale_factor", netCDF::ncDouble, scale);
  v.putAtt("add_offset", netCDF::ncDouble, offset);
  v.putAtt("_FillValue", netCDF::ncShort, fillValue);
  std::vector<short> stored(static_cast<size_t>(nrows * ncols));
  for (int record = 0; record < records; ++record) {
    for (size_t i = 0; i < stored.size(); ++i) stored[i] = packedAt(record, static_cast<long>(i));
    v.putVar({static_cast<size_t>(record), 0, 0}, {1, d1.getSize(), d2.getSize()}, stored.data());
  }
}

// A file of a layout, on the model grid (cell size 0) or a grid of its own
// that reaches `shift` cells beyond the model grid on every side.
struct Case {
  Layout layout;
  double cellSize;
  long shift;
  bool masked; // by the catchment as reference grid
};
const Case cases[] = {{{"rows_south_first", {"t", "y", "x"}, true}, 0.0, 0, false},
                      {{"rows_north_first", {"t", "y", "x"}, false}, 0.0, 0, true},
                      {{"columns_south_first", {"t", "x", "y"}, true}, 0.0, 0, false},
                      {{"columns_north_first", {"t", "x", "y"}, false}, 0.0, 0, false},
                      {{"no_x", {"t", "lat", "lon"}, false}, 0.0, 0, false},
                      {{"shifted", {"t", "y", "x"}, true}, 1.0, 2, false},
                      {{"coarser", {"t", "x", "y"}, false}, 0.75, 2, true}};

} // namespace

// Every process reads (or resamples) its own rows and the halo rows of each
// record: every held cell is the unpacked stored value (a grid shifted by
// whole cells included), each bit for bit what the whole read on rank 0
// hands the process, and each process keeps the files open.
TEST(NetCDFGridRowsMPI, ProcessesReadTheirRowsOfEveryRecord) {
  StripModule s("netcdf_rows", ragged(worldSize()));
  const std::string dir = makeTestDirectory("netcdf_rows_files", true);
  const long first = s.m.header.firstRow, last = s.m.header.lastRow;
  const long lo = first >= 2 ? first - 1 : first, hi = std::min(s.nrows, last + 1);
  Grid reference = s.catchmentGrid([](long, long) { return 1.0; });
  for (const Case& k : cases) {
    SCOPED_TRACE(k.layout.name);
    const std::string file = dir + "/" + k.layout.name + ".nc";
    const long nrows = s.nrows + 2 * k.shift, ncols = s.ncols + 2 * k.shift;
    if (s.rank == 0) writeRecords(file, k.layout, nrows, ncols);
    MPI_Barrier(MPI_COMM_WORLD);
    // Cells of the model's size come back as stored; coarser ones as rank 0
    // resamples them.
    s.m.setGIFGeoreference(k.masked ? reference : nullptr, -k.shift, -k.shift, k.cellSize);
    for (int record = 0; record < records; ++record) {
      const std::string name = file + "<v>" + std::to_string(record);
      Grid own = nullptr, whole = nullptr;
      s.m.readGrid(name, own, 0, true, false, true, 0, false, true, 0.0);
      s.m.readGrid(name, whole, 0, true, false, true, 1, false, true, 0.0);
      for (long r = lo; r <= hi; ++r)
        for (long c = 1; c <= s.ncols; ++c) {
          const long at = k.layout.position(r + k.shift, c + k.shift, nrows, ncols);
          const bool empty = packedAt(record, at) == fillValue || (k.masked && s.owner[r][c] < 0);
          const double expected = empty ? nodata : packedAt(record, at) * scale + offset;
          if (k.cellSize == 0.0 || k.cellSize == 1.0) {
            ASSERT_DOUBLE_EQ(own[r][c], expected) << record << ": " << r << "," << c;
          }
          if (s.owner[r][c] == s.rank || s.isHalo(s.rank, r, c)) {
            ASSERT_EQ(own[r][c], whole[r][c]) << record << ": " << r << "," << c;
          }
        }
      s.m.free_matrix(own, lo, hi, 1, s.ncols);
      s.m.free_matrix(whole, s.rank == 0 ? 1 : lo, s.rank == 0 ? s.nrows : hi, 1, s.ncols);
    }
  }
  EXPECT_EQ(s.m.netcdfReader->openFileCount(), std::size(cases));
  s.m.setGIFGeoreference(nullptr, 0.0, 0.0, 0.0);
}

// A record, variable or grid size that does not fit, or a file that one
// process cannot open, ends the read on every process with its code; rank 0
// logs the failure once.
TEST(NetCDFGridRowsMPI, FailuresEndTheReadOnEveryProcess) {
  StripModule s("netcdf_rows_failures", ragged(worldSize()));
  const std::string dir = makeTestDirectory("netcdf_rows_failures_files", true);
  const std::string file = dir + "/grid.nc", small = dir + "/small.nc";
  const std::string east = dir + "/east.nc";
  if (s.rank == 0) {
    writeRecords(file, cases[0].layout, s.nrows, s.ncols, 0.0);
    writeRecords(small, cases[0].layout, s.nrows - 1, s.ncols);
    writeRecords(east, cases[0].layout, s.nrows, s.ncols, 10.0);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  const struct {
    std::string name;
    int code;
    std::string message;
  } failures[] = {
      {file + "<v>3", 21,
       "exception occured when reading from netCDF file " + file +
           ". Internal message is: record 3 of variable v does not exist; the file holds 3 "
           "records"},
      {file + "<w>0", 21, "cannot find variable w in file " + file + " for reading from netCDF."},
      {small + "<v>0", 22,
       "error assigning cell values from a netCDF file to Horva grids from file " + small +
           "<v>0. number of columns (12) and/or rows (8) in nc-file not matching those in Horva "
           "(12 and 9 resp.)."},
      {east + "<v>0", 22,
       "the netCDF grid " + east +
           "<v>0 does not lie on the model grid: its coordinates x run from 10 to 21 and y from "
           "0 to 8"},
  };
  for (const auto& c : failures) {
    Grid g = nullptr;
    EXPECT_EQ(exitCodeOf([&] { s.m.readGrid(c.name, g, 0, true, false, true, 0, false, true, 0); }),
              c.code)
        << c.name;
    if (s.rank == 0) {
      const std::string console = s.m.console();
      const size_t at = console.find(c.message);
      EXPECT_NE(at, std::string::npos) << c.name << "\n" << console;
      EXPECT_EQ(console.find(c.message, at + 1), std::string::npos) << c.name;
    }
  }

  // Rank 0 reading the whole file checks the place as well.
  Grid whole = nullptr;
  EXPECT_EQ(exitCodeOf([&] {
              s.m.readGrid(east + "<v>1", whole, 0, true, false, true, 1, false, true, 0);
            }),
            22);

  // A file that rank 0 alone finds: rank 0 logs the failure of the first
  // other process.
  if (s.size == 1) return;
  const std::string inputDirectory = s.m.inputDirectory;
  if (s.rank > 0) s.m.inputDirectory = "absent/";
  Grid g = nullptr;
  EXPECT_EQ(
      exitCodeOf([&] { s.m.readGrid(file + "<v>0", g, 0, true, false, true, 0, false, true, 0); }),
      21);
  s.m.inputDirectory = inputDirectory;
  if (s.rank == 0) {
    EXPECT_NE(s.m.console().find("exception occured when reading from netCDF file absent/" + file +
                                 ". Internal message is: "),
              std::string::npos)
        << s.m.console();
  }
}
