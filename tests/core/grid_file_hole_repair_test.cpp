#include <gtest/gtest.h>

#include "tests/core/grid_file_values.h"
#include "tests/test_support.h"

namespace {

constexpr double n = -9999.0;

// A grid from text rows: '.' nodata, '#' a hole-to-be (nodata in the file),
// digits their value; the zone grid has data where the text is not '.'.
struct Picture {
  GridValues file;
  GridValues zone;
};

Picture picture(const std::vector<std::string>& rows, double fileNodata) {
  Picture p;
  for (const std::string& row : rows) {
    p.file.emplace_back();
    p.zone.emplace_back();
    for (char cell : row) {
      const bool digit = cell >= '0' && cell <= '9';
      p.file.back().push_back(digit ? cell - '0' : fileNodata);
      p.zone.back().push_back(cell == '.' ? n : 1.0);
    }
  }
  return p;
}

} // namespace

// Holes inside the zone grid, filled from the nearest value of a window that
// widens downwards, or with the fill value.
TEST(GridHoleRepair, FillsHolesInsideTheZoneGrid) {
  struct Case {
    const char* name;
    std::vector<std::string> rows;
    int fillCode;
    bool neighbours;
    double fileNodata;
    GridValues expected;
    int code;
  };
  // Row 3 column 3 is the hole in the first cases.
  const Case cases[] = {
      {"two to the right",
       {".....", ".....", "..#.7", ".....", "....."},
       1,
       true,
       n,
       {{n, n, n, n, n}, {n, n, n, n, n}, {n, n, 7, n, 7}, {n, n, n, n, n}, {n, n, n, n, n}},
       -1},
      {"up and left",
       {".....", ".5...", "..#..", ".....", "....."},
       1,
       true,
       n,
       {{n, n, n, n, n}, {n, 5, n, n, n}, {n, n, 5, n, n}, {n, n, n, n, n}, {n, n, n, n, n}},
       -1},
      {"other file nodata",
       {".....", ".5...", "..#..", ".....", "....."},
       1,
       true,
       -99999.0,
       {{n, n, n, n, n}, {n, 5, n, n, n}, {n, n, 5, n, n}, {n, n, n, n, n}, {n, n, n, n, n}},
       -1},
      // Data outside the zone grid ('9' there is read, then dropped).
      {"fill value",
       {"9....", ".12..", ".#3#.", ".....", "....."},
       2,
       true,
       n,
       {{n, n, n, n, n}, {n, 1, 2, n, n}, {n, 0, 3, 0, n}, {n, n, n, n, n}, {n, n, n, n, n}},
       -1},
      {"no neighbours",
       {".....", ".5...", "..#..", ".....", "....."},
       1,
       false,
       n,
       {{n, n, n, n, n}, {n, 5, n, n, n}, {n, n, 0, n, n}, {n, n, n, n, n}, {n, n, n, n, n}},
       -1},
      {"too big", {"############", "############"}, 1, true, n, {}, 25},
  };
  for (const Case& k : cases) {
    const std::string dir = makeTestDirectory("grid_hole_repair");
    TestModule m(dir);
    const long nrows = static_cast<long>(k.rows.size());
    const long ncols = static_cast<long>(k.rows[0].size());
    m.setGrid(ncols, nrows, 0.0, 0.0, 1.0, n);
    Picture p = picture(k.rows, k.fileNodata);
    if (std::string(k.name) == "fill value") p.zone[0][0] = n;
    OwnedGrid zone(m, nrows, ncols, 0.0);
    fillGrid(zone, p.zone);
    m.registerGrid(1, "zone.asc", zone.grid, nullptr, 0, "[zone_grid]", 0, 1, nrows);
    const std::string path = dir + "/grid.asc";
    char header[200];
    std::snprintf(header, sizeof header,
                  "ncols %ld\nnrows %ld\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value %g\n",
                  ncols, nrows, k.fileNodata);
    writeFile(path, asciiGridText(header, p.file));
    GridValues read;
    const int code = exitCodeOf([&] { read = readGridValues(m, path, k.fillCode, k.neighbours); });
    EXPECT_EQ(code, k.code) << k.name;
    if (k.code == 25) {
      EXPECT_NE(m.console().find("In " + path + " is a too big hole at x/y = 1/1!"),
                std::string::npos)
          << m.console();
      continue;
    }
    EXPECT_EQ(read, k.expected) << k.name;
    EXPECT_NE(m.console().find("In " + path + ": "), std::string::npos) << k.name;
    if (k.fillCode == 1 && k.neighbours) {
      EXPECT_NE(m.console().find("y: 3 x: 3in " + path + ": -9999 replaced by "), std::string::npos)
          << m.console();
      EXPECT_NE(
          readFile("modell_0.log").find("y: 3 x: 3  in " + path + " -9999.000000 replaced by "),
          std::string::npos);
    }
  }
}

// Without a hole the grid keeps what it read, also outside the zone grid.
TEST(GridHoleRepair, WithoutHolesCellsOutsideTheZoneStay) {
  const std::string dir = makeTestDirectory("grid_hole_none");
  TestModule m(dir);
  m.setGrid(3, 2, 0.0, 0.0, 1.0, n);
  const Picture p = picture({"12.", "345"}, n);
  OwnedGrid zone(m, 2, 3, n);
  zone.grid[1][1] = zone.grid[1][2] = 1.0;
  m.registerGrid(1, "zone.asc", zone.grid, nullptr, 0, "[zone_grid]", 0, 1, 2);
  writeFile(dir + "/g.asc", asciiGridText("ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\n"
                                          "cellsize 1\nnodata_value -9999\n",
                                          p.file));
  EXPECT_EQ(readGridValues(m, dir + "/g.asc", 1), p.file);
}
