#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/core/output_run.h"
#include "tests/test_decomposition.h"
#include "tests/test_support.h"

namespace {

// The ragged catchment between two rows that no process holds.
OwnerMap framed(int size) {
  OwnerMap map = ragged(size);
  map.insert(map.begin(), std::string(map[0].size(), '.'));
  map.push_back(std::string(map[0].size(), '.'));
  return map;
}

double original(const StripModule& s, long r, long c) {
  return s.owner[r][c] >= 0 ? cellValue(r, c) + 0.25 : nodata;
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

// An ASCII grid file of the original values: `separator(k)` follows value k
// (from 0), and fileNodata stands for nodata.
template <typename Separator>
std::string gridText(const StripModule& s, double fileNodata, Separator separator) {
  std::string text = "ncols " + std::to_string(s.ncols) + "\nnrows " + std::to_string(s.nrows) +
                     "\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value " +
                     number(fileNodata) + "\n";
  long k = 0;
  for (long r = 1; r <= s.nrows; ++r)
    for (long c = 1; c <= s.ncols; ++c, ++k) {
      const double v = original(s, r, c);
      text += number(v == nodata ? fileNodata : v) + separator(k, c == s.ncols);
    }
  return text;
}

void writeOnRankZero(const StripModule& s, const std::string& path, const std::string& text) {
  if (s.rank == 0) writeFile(path, text);
  MPI_Barrier(MPI_COMM_WORLD);
}

} // namespace

// However the rows are separated, every process ends with the cells the
// scatter of a whole grid leaves it: rank 0 every cell of its rows, the
// others their own cells and nodata around them.
TEST(AsciiGridRowsMPI, EveryLayoutGivesEachProcessItsCells) {
  StripModule s("ascii_rows_layouts", framed(worldSize()));
  const std::string dir = makeTestDirectory("ascii_rows_layouts_files", true);
  struct Layout {
    const char* name;
    double fileNodata;
    std::string (*separator)(long k, bool rowEnd);
  };
  const Layout layouts[] = {
      {"a row per line", nodata, [](long, bool end) { return std::string(end ? "\n" : " "); }},
      {"tabs and carriage returns", -99999.0,
       [](long, bool end) { return std::string(end ? " \r\n" : "\t"); }},
      {"blank lines between rows", nodata,
       [](long, bool end) { return std::string(end ? "\n \n" : "  "); }},
  };
  for (const Layout& layout : layouts) {
    const std::string path = dir + "/grid.asc";
    writeOnRankZero(s, path, gridText(s, layout.fileNodata, layout.separator));
    Grid g = nullptr;
    s.m.readGrid(path, g, 0, true, false, true, 0, false, false, 0.0);
    const long first = s.m.header.firstRow, last = s.m.header.lastRow;
    for (long r = first; r <= last; ++r)
      for (long c = 1; c <= s.ncols; ++c) {
        const double expected = s.rank == 0 || s.owner[r][c] == s.rank ? original(s, r, c) : nodata;
        ASSERT_EQ(g[r][c], expected) << layout.name << " " << r << "," << c;
      }
    s.m.free_matrix(g, first, last, 1, s.ncols);

    // Kept whole on rank 0 with halos: every row, those of the others and
    // those no process holds included, reaches it.
    Grid whole = nullptr;
    s.m.readGrid(path, whole, 0, true, false, true, 1, false, true, 0.0);
    const long lo = s.rank == 0 ? 1 : std::max(1L, first - 1);
    const long hi = s.rank == 0 ? s.nrows : std::min(s.nrows, last + 1);
    for (long r = lo; r <= hi; ++r)
      for (long c = 1; c <= s.ncols; ++c) {
        const bool held = s.rank == 0 || s.owner[r][c] == s.rank || s.isHalo(s.rank, r, c);
        ASSERT_EQ(whole[r][c], held ? original(s, r, c) : nodata)
            << layout.name << " whole " << r << "," << c;
      }
    s.m.free_matrix(whole, lo, hi, 1, s.ncols);
    MPI_Barrier(MPI_COMM_WORLD);
  }
}

// A grid rank 0 keeps whole holds every cell of the file on rank 0, those
// outside the catchment in the others' rows too, as a read of the whole
// file there would.
TEST(AsciiGridRowsMPI, RankZeroKeepsEveryCellOfTheFile) {
  StripModule s("ascii_rows_whole", framed(worldSize()));
  const std::string dir = makeTestDirectory("ascii_rows_whole_files", true);
  const auto fileValue = [](long r, long c) { return cellValue(r, c) + 0.5; };
  std::string text = gridText(s, nodata, [](long, bool end) { return std::string(end ? "\n" : " "); });
  text.resize(text.find("nodata_value"));
  text += "nodata_value -9999\n";
  for (long r = 1; r <= s.nrows; ++r)
    for (long c = 1; c <= s.ncols; ++c) text += number(fileValue(r, c)) + (c < s.ncols ? " " : "\n");
  const std::string path = dir + "/grid.asc";
  writeOnRankZero(s, path, text);
  Grid g = nullptr;
  s.m.readGrid(path, g, 0, true, false, true, 1, false, false, 0.0);
  const long first = s.rank == 0 ? 1 : s.m.header.firstRow;
  const long last = s.rank == 0 ? s.nrows : s.m.header.lastRow;
  for (long r = first; r <= last; ++r)
    for (long c = 1; c <= s.ncols; ++c) {
      const bool held = s.rank == 0 || s.owner[r][c] == s.rank;
      ASSERT_EQ(g[r][c], held ? fileValue(r, c) : nodata) << r << "," << c;
    }
  s.m.free_matrix(g, first, last, 1, s.ncols);
}

// A fault ends the read on every process with the message of the first one
// in the file, wherever it lies; so do a row that is not a line of its own
// and values behind the grid.
TEST(AsciiGridRowsMPI, TheFirstFaultInTheFileIsReported) {
  StripModule s("ascii_rows_faults", framed(worldSize()));
  const std::string dir = makeTestDirectory("ascii_rows_faults_files", true);
  const std::string path = dir + "/grid.asc";
  const std::string good = gridText(s, nodata, [](long, bool end) { return end ? "\n" : " "; });
  // The file offset of value (r, c), counted from the end of the header.
  auto at = [&](long r, long c) {
    size_t offset = good.find("nodata_value");
    offset = good.find('\n', offset) + 1;
    for (long k = 1; k < (r - 1) * s.ncols + c; ++k) offset = good.find_first_of(" \n", offset) + 1;
    return offset;
  };
  struct Case {
    const char* name;
    std::string text;
    int code; // -1: the read succeeds
    std::string message;
  };
  std::string twoBad = good;
  twoBad.replace(at(9, 4), 1, "x");
  twoBad.replace(at(3, 5), 1, "y");
  std::string outside = good;
  outside.replace(at(11, 12), 5, "1.5.5");
  outside.replace(at(1, 3), 1, "z");
  std::string longRow = good;
  longRow.insert(at(6, 1) - 1, " 7");
  std::string shortRow = good;
  shortRow.erase(at(4, 12) - 1, good.find('\n', at(4, 12)) - at(4, 12) + 1);
  const std::vector<Case> cases = {
      {"two faulty rows", twoBad, 22, "in ASCII-Format in row 3, col 5"},
      {"rows of no process", outside, 22, "in ASCII-Format in row 1, col 3"},
      {"a value missing", good.substr(0, good.rfind(' ')), 22, "in ASCII-Format in row 11, col 12"},
      {"values behind the grid", good + "1 2 3\n", 22,
       ": line 18 begins 3 values behind the nrows 11 rows of ncols 12 values"},
      {"a row one value too long", longRow, 22,
       "in ASCII-Format in row 5, col 13: line 11 holds 13 values, but the header gives ncols 12"},
      {"a value per line", gridText(s, nodata, [](long, bool) { return std::string("\n"); }), 22,
       "in ASCII-Format in row 1, col 2: line 7 holds 1 values, but the header gives ncols 12"},
      {"a row one value short", shortRow, 22,
       "in ASCII-Format in row 4, col 12: line 10 holds 11 values, but the header gives ncols 12"},
  };
  for (const Case& c : cases) {
    writeOnRankZero(s, path, c.text);
    Grid g = nullptr;
    const size_t logged = s.m.console().size();
    EXPECT_EQ(exitCodeOf([&] { s.m.readGrid(path, g, 0, true, false, true, 0, false, false, 0); }),
              c.code)
        << c.name;
    if (s.rank == 0) {
      EXPECT_NE(s.m.console().find(c.message, logged), std::string::npos) << c.name;
    }
    if (g) s.m.free_matrix(g, s.m.header.firstRow, s.m.header.lastRow, 1, s.ncols);
    MPI_Barrier(MPI_COMM_WORLD);
  }
}

// Each process writes its own cells only, others' values in its rows
// notwithstanding; the file is the whole grid with nodata outside the
// catchment, under both names of the last write. A write before any
// per-step output (a state file) finds the rows of every process itself;
// one process writes its grid as it is.
TEST(AsciiGridRowsMPI, OutputHoldsTheOwnersValues) {
  for (const bool perStep : {true, false}) {
    const std::string name = perStep ? "ascii_rows_output" : "ascii_rows_state";
    StripModule s(name, ragged(worldSize()));
    const std::string dir = makeTestDirectory(name + "_files", true);
    s.m.writeAsciiGrids = true;
    Grid g = s.grid(-1.0);
    for (long r = s.lo; r <= s.hi; ++r)
      for (long c = 1; c <= s.ncols; ++c)
        if (s.owner[r][c] == s.rank) g[r][c] = cellValue(r, c);
    const int index = addEntry(s, dir + "/snap.asc", g, 2);
    s.m.setEndDate(2020, 3, 1, 12, 0);
    s.m.currentDate = date(2020, 3, 1, 12);
    if (perStep)
      s.m.writeOutputGrids(index);
    else
      s.m.writeOutputFile(index, g, false, dir + "/state.asc");
    const double outside = perStep || s.size > 1 ? nodata : -1.0;
    if (s.rank == 0) {
      std::string expected = "ncols\t12\nnrows\t9\nxllcorner\t0\nyllcorner\t0\ncellsize\t1\n"
                             "nodata_value\t-9999\n";
      for (long r = 1; r <= s.nrows; ++r)
        for (long c = 1; c <= s.ncols; ++c)
          expected += number(s.owner[r][c] >= 0 ? cellValue(r, c) : outside) +
                      (c < s.ncols ? "\t" : "\n");
      std::vector<std::string> files;
      for (const auto& f : std::filesystem::directory_iterator(dir)) files.push_back(f.path());
      EXPECT_EQ(files.size(), perStep ? 2u : 1u) << name;
      for (const std::string& file : files) EXPECT_EQ(readFile(file), expected) << file;
    }
    releaseEntries(s);
    MPI_Barrier(MPI_COMM_WORLD);
  }
}
