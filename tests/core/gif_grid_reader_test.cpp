#include <gtest/gtest.h>

#include <cmath>

#include "core/gif_grid_reader.h"
#include "tests/core/gif_encoder.h"
#include "tests/core/owned_grid.h"
#include "tests/test_model.h"
#include "tests/test_support.h"

using gif_test::GifWriter;
using gif_test::lzwEncode;

namespace {

std::string gifFile(int width, int height, const std::vector<uint8_t>& pixels) {
  return GifWriter(width, height, 7)
      .image(width, height, lzwEncode(pixels, {8, true, 0}), 8)
      .trailer();
}

// The values of the mapping with the module defaults, to 8 significant digits.
constexpr double mapped100 = 0.19210643;
constexpr double mapped127 = 1.52595577;
constexpr double mapped250 = 19210.654;

void expectRelativelyNear(double actual, double expected, const std::string& what) {
  // The expected values carry 8 significant digits.
  EXPECT_NEAR(actual, expected, 1e-7 * std::max(1.0, std::fabs(expected))) << what;
}

} // namespace

TEST(GIFReader, DecodesColourIndicesIntoTheGrid) {
  const std::string dir = makeTestDirectory("gif_reader_decode");
  const std::string path = dir + "/two.gif";
  writeFile(path, gifFile(2, 2, {0, 1, 255, 254}));
  memory_handling memory;
  GIFReader reader(path);
  int width = 0;
  int height = 0;
  reader.readScreenSize(width, height);
  ASSERT_EQ(width, 2);
  ASSERT_EQ(height, 2);
  OwnedGrid grid(memory, 2, 2, 42.0);
  reader.decode(grid.grid);
  EXPECT_EQ(grid.grid[1][1], 0.0);
  EXPECT_EQ(grid.grid[1][2], 1.0);
  EXPECT_EQ(grid.grid[2][1], -9999.0);
  EXPECT_EQ(grid.grid[2][2], 254.0);

  GIFReader missing(dir + "/absent.gif");
  std::string text;
  try {
    missing.readScreenSize(width, height);
  } catch (const std::string& thrown) {
    text = thrown;
  }
  EXPECT_EQ(text, "cannot open the file");
}

TEST(GIFReader, MapsColourIndicesToValues) {
  struct Case {
    const char* name;
    double index;
    int threshold;
    double f1;
    double x1;
    double f2;
    double x2;
    double expected;
  };
  const double f = 8.916787e-05;
  const double x = 0.0767528404;
  const std::vector<Case> cases = {
      {"0 stays 0", 0, 127, f, x, f, x, 0.0},
      {"100", 100, 127, f, x, f, x, mapped100},
      {"127 at the threshold", 127, 127, f, x, f, x, mapped127},
      {"250 at the fixed limit", 250, 127, f, x, f, x, mapped250},
      {"251 has no value", 251, 127, f, x, f, x, -9999.0},
      {"no data stays", -9999, 127, f, x, f, x, -9999.0},
      {"below no data stays", -12000, 127, f, x, f, x, -12000.0},
      {"above the threshold takes f2 and x2", 128, 127, f, x, 6e-6, 0.098, 1.6824464},
      {"at the threshold takes f1 and x1", 128, 128, f, x, 6e-6, 0.098, 1.6476891},
      {"the limit 250 does not move", 250, 127, f, x, 6e-6, 0.098, 262039.07},
      {"a resampled value between indices", 99.5, 127, f, x, f, x, 0.18487374},
  };
  memory_handling memory;
  for (const Case& c : cases) {
    OwnedGrid one(memory, 1, 1, c.index);
    GIFReader::applyGIFMapping(one.grid, 1, 1, 1, 1, c.threshold, c.f1, c.x1, c.f2, c.x2);
    expectRelativelyNear(one.grid[1][1], c.expected, c.name);
  }
  // Only the given rows and columns are touched.
  OwnedGrid grid(memory, 2, 4, 100.0);
  GIFReader::applyGIFMapping(grid.grid, 2, 3, 1, 1, 127, f, x, f, x);
  for (long column = 1; column <= 4; ++column) {
    const bool inside = column == 2 || column == 3;
    expectRelativelyNear(grid.grid[1][column], inside ? mapped100 : 100.0, "row 1");
    EXPECT_EQ(grid.grid[2][column], 100.0);
  }
}

TEST(ReadGIFGrid, AlignedImageGivesTheMappedPixels) {
  const std::string dir = makeTestDirectory("gif_read_aligned");
  const std::string path = dir + "/rain.gif";
  writeFile(path, gifFile(3, 2, {0, 100, 127, 250, 251, 255}));
  TestModule m(dir);
  m.setGrid(3, 2, 4000.0, 7000.0, 500.0);
  m.setGIFGeoreference(nullptr, 4000.0, 7000.0, 500.0);
  OwnedGrid grid(m, 2, 3, 1.0);
  m.readGIFGrid(path, grid.grid);
  EXPECT_EQ(grid.grid[1][1], 0.0);
  expectRelativelyNear(grid.grid[1][2], mapped100, "row 1 column 2");
  expectRelativelyNear(grid.grid[1][3], mapped127, "row 1 column 3");
  expectRelativelyNear(grid.grid[2][1], mapped250, "row 2 column 1");
  EXPECT_EQ(grid.grid[2][2], -9999.0);
  EXPECT_EQ(grid.grid[2][3], -9999.0);
  EXPECT_EQ(m.console().find("georeference"), std::string::npos);

  // The reference grid keeps its no-data cells whatever the image holds.
  OwnedGrid reference(m, 2, 3, 1.0);
  reference.grid[1][2] = -9999.0;
  reference.grid[2][1] = -10000.0;
  m.setGIFGeoreference(reference.grid, 4000.0, 7000.0, 500.0);
  m.readGIFGrid(path, grid.grid);
  EXPECT_EQ(grid.grid[1][1], 0.0);
  EXPECT_EQ(grid.grid[1][2], -9999.0);
  expectRelativelyNear(grid.grid[1][3], mapped127, "masked read, row 1 column 3");
  EXPECT_EQ(grid.grid[2][1], -10000.0);
}

TEST(ReadGIFGrid, UnsetGeoreferenceFallsBackToTheFixedGridWithAWarning) {
  const std::string dir = makeTestDirectory("gif_read_default");
  const std::string path = dir + "/rain.gif";
  writeFile(path, gifFile(2, 2, {100, 0, 127, 250}));
  TestModule m(dir);
  // The model grid lies on the fallback grid, so the pixels arrive unchanged.
  m.setGrid(2, 2, 255000.0, -160000.0, 1000.0);
  OwnedGrid grid(m, 2, 2, 1.0);
  m.readGIFGrid(path, grid.grid);
  expectRelativelyNear(grid.grid[1][1], mapped100, "row 1 column 1");
  EXPECT_EQ(grid.grid[1][2], 0.0);
  expectRelativelyNear(grid.grid[2][1], mapped127, "row 2 column 1");
  expectRelativelyNear(grid.grid[2][2], mapped250, "row 2 column 2");
  EXPECT_EQ(m.gifX0, 255000.0);
  EXPECT_EQ(m.gifY0, -160000.0);
  EXPECT_EQ(m.gifCellSize, 1000.0);
  const std::string warning =
      "<line level=\"2\" description= \"no complete georeference set for GIF input " + path +
      " of module testmodule: assuming the lower left corner at x0 = 255000, y0 = -160000 and "
      "the cell size 1000\"/>";
  const std::string log = readFile(dir + "/diag_0.xml");
  EXPECT_NE(log.find(warning), std::string::npos) << log;

  // Stored back, the fallback is not reported again.
  m.readGIFGrid(path, grid.grid);
  EXPECT_EQ(readFile(dir + "/diag_0.xml"), log);

  // A partly set georeference keeps what is set and names what it assumes.
  TestModule partial(makeTestDirectory("gif_read_partial"));
  partial.setGrid(2, 2, 255000.0, 3000.0, 1000.0);
  partial.setGIFGeoreference(nullptr, 0.0, 3000.0, 0.0);
  OwnedGrid other(partial, 2, 2, 1.0);
  partial.readGIFGrid(path, other.grid);
  EXPECT_NE(partial.console().find("assuming the lower left corner at x0 = 255000, y0 = 3000 and "
                                   "the cell size 1000"),
            std::string::npos);
  expectRelativelyNear(other.grid[1][1], mapped100, "partial georeference");
}

TEST(ReadGIFGrid, FailuresEndWithCode22) {
  const std::string dir = makeTestDirectory("gif_read_fail");
  const std::string good = gifFile(2, 2, {1, 2, 3, 4});
  struct Case {
    const char* name;
    std::string bytes; // empty: no file
    double cellSize;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"bad block label", good.substr(0, good.size() - 1) + "\x99", 1000.0,
       "invalid extension type ID \"0x99\" found"},
      {"truncated", good.substr(0, 20), 1000.0, "file ends at byte 20 before the trailer 0x3B"},
      {"missing file", "", 1000.0, "cannot open the file"},
      {"forged screen size", std::string(good).replace(6, 4, "\xff\xff\xff\xff"), 1000.0,
       "the logical screen of 65535 x 65535 pixels is larger than the " +
           std::to_string(good.size()) + " bytes of the file can describe"},
      {"negative cell size", good, -1000.0,
       "unusable georeference x0 = 255000, y0 = -160000, cell size -1000"},
  };
  int number = 0;
  for (const Case& c : cases) {
    const std::string path = dir + "/case" + std::to_string(++number) + ".gif";
    if (!c.bytes.empty()) writeFile(path, c.bytes);
    TestModule m(dir);
    m.setGrid(2, 2, 255000.0, -160000.0, 1000.0);
    m.setGIFGeoreference(nullptr, 255000.0, -160000.0, c.cellSize);
    OwnedGrid grid(m, 2, 2, 1.0);
    EXPECT_EQ(exitCodeOf([&] { m.readGIFGrid(path, grid.grid); }), 22) << c.name;
    EXPECT_NE(m.console().find("error reading GIF " + path + " (" + c.text + ")"),
              std::string::npos)
        << c.name << ": " << m.console();
  }
}
