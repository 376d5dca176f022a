#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/core/gif_encoder.h"
#include "tests/core/grid_file_values.h"
#include "tests/test_support.h"

namespace {

constexpr double nodata = -9999.0;

const GridValues values3x4 = {{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}};

std::string asciiHeader(double xll, double yll, double cellsize, double fileNodata = nodata,
                        long ncols = 4, long nrows = 3) {
  char text[256];
  std::snprintf(text, sizeof text,
                "ncols %ld\nnrows %ld\nxllcorner %.17g\nyllcorner %.17g\ncellsize %.17g\n"
                "nodata_value %.17g\n",
                ncols, nrows, xll, yll, cellsize, fileNodata);
  return text;
}

// A binary grid: the twelve header values, then the rows.
template <typename T>
std::string binaryGrid(std::vector<double> header, const GridValues& values, size_t keep = 0) {
  std::string bytes;
  auto put = [&bytes](double v) {
    const T value = static_cast<T>(v);
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
  };
  header.resize(12, 0.0);
  for (double v : header) put(v);
  for (const auto& row : values)
    for (double v : row) put(v);
  if (keep) bytes.resize(keep);
  return bytes;
}

// Every cell of a grid of values sampled by a function of row and column.
GridValues sampled(long nrows, long ncols, double (*f)(long, long)) {
  GridValues v(nrows, std::vector<double>(ncols));
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c) v[r - 1][c - 1] = f(r, c);
  return v;
}

} // namespace

// The format comes from the first bytes; names carry none.
TEST(GridFileReader, RecognisesTheFormatFromTheFirstBytes) {
  const std::string dir = makeTestDirectory("grid_reader_formats");
  TestModule m(dir);
  m.setGrid(4, 3, 100.0, 200.0, 10.0, nodata);
  const std::vector<double> header = {4, 3, 100, 200, 10, nodata};
  std::vector<double> otherNodata = header;
  otherNodata[5] = -9998.0;
  const std::vector<uint8_t> pixels = {0, 1, 255, 254};
  const std::string gif = gif_test::GifWriter(2, 2, 7)
                              .image(2, 2, gif_test::lzwEncode(pixels, {8, true, 0}), 8)
                              .trailer();
  struct Case {
    const char* name;
    std::string bytes;
    int code;
  };
  const Case cases[] = {
      {"upper.asc",
       asciiGridText("NCOLS\t4\r\nNROWS\t3\r\nXLLCORNER\t100\r\nYLLCORNER\t200\r\n"
                     "CELLSIZE\t10\r\nNODATA_VALUE\t-9999\r\n",
                     values3x4),
       -1},
      {"lower.asc", asciiGridText(asciiHeader(100, 200, 10), values3x4), -1},
      // The centre of the lower left cell half a cell from the corner.
      {"centre.asc",
       asciiGridText("ncols 4\nnrows 3\nxllcenter 105\nYLLCENTER 205\ncellsize 10\n"
                     "nodata_value -9999\n",
                     values3x4),
       -1},
      // The nodata line is optional: no value of the file is nodata then.
      {"no_nodata.asc",
       asciiGridText("ncols 4\nnrows 3\nxllcorner 100\nyllcorner 200\ncellsize 10\n", values3x4),
       -1},
      {"mixed.asc",
       asciiGridText("Ncols 4\nnrows 3\nxllcorner 100\nyllcorner 200\n"
                     "cellsize 10\nnodata_value -9999\n",
                     values3x4),
       22},
      {"grid.dbl", binaryGrid<double>(header, values3x4), -1},
      {"grid.flt", binaryGrid<float>(header, values3x4), -1},
      {"nodata.dbl", binaryGrid<double>(otherNodata, values3x4), 22},
      {"three.cdf", "CDF", 50}, // netCDF, but without a variable in its name
      {"zero.cdf", std::string("\0CDF\1junk", 9), 22},
      {"image.gif", gif, -1},
  };
  for (const Case& k : cases) {
    const std::string path = dir + "/" + k.name;
    writeFile(path, k.bytes);
    if (k.code >= 0) {
      EXPECT_EQ(exitCodeOf([&] { readGridValues(m, path); }), k.code) << k.name;
      continue;
    }
    if (std::string(k.name) != "image.gif") {
      EXPECT_EQ(readGridValues(m, path), values3x4) << k.name;
      continue;
    }
    // The image on the default georeference of GIF input: 1000 m cells.
    m.setGrid(2, 2, 255000.0, -160000.0, 1000.0, nodata);
    const GridValues image = {{0.0, m.gifF1 * std::exp(m.gifX1)}, {nodata, nodata}};
    EXPECT_EQ(readGridValues(m, path), image);
    m.setGrid(4, 3, 100.0, 200.0, 10.0, nodata);
  }
  EXPECT_NE(m.console().find("could not recognise file format (neither ascii, nor single, "
                             "double, or GIF) for " +
                             dir + "/mixed.asc\n"),
            std::string::npos);
}

// Each bad input ends with its message and code, names the file and leaves
// the caller without a grid.
TEST(GridFileReader, BadInputEndsWithItsMessageAndCode) {
  const std::string dir = makeTestDirectory("grid_reader_bad");
  TestModule m(dir);
  m.setGrid(4, 3, 100.0, 200.0, 10.0, nodata);
  const std::vector<double> header = {4, 3, 100, 200, 10, nodata};
  const std::string ascii = asciiGridText(asciiHeader(100, 200, 10), values3x4);
  struct Case {
    const char* name;
    std::string bytes;
    int code;
    std::string message; // "@" stands for the file name
  };
  const Case cases[] = {
      {"truncated.asc", ascii.substr(0, ascii.rfind("7")), 22,
       "error reading ascii grid @ in ASCII-Format in row 2, col 3"},
      {"garbage.asc", ascii.substr(0, ascii.rfind("10")) + "1O 11 12\n", 22,
       "error reading ascii grid @ in ASCII-Format in row 3, col 2"},
      {"nan.asc", ascii.substr(0, ascii.rfind("10")) + "10 NaN 12\n", 22,
       "error reading ascii grid @ in ASCII-Format in row 3, col 3"},
      {"inf.asc", ascii.substr(0, ascii.rfind("10")) + "-inf 11 12\n", 22,
       "error reading ascii grid @ in ASCII-Format in row 3, col 2"},
      {"overflow.asc", ascii.substr(0, ascii.rfind("12")) + "1e999\n", 22,
       "error reading ascii grid @ in ASCII-Format in row 3, col 4"},
      {"nan_nodata.asc", asciiGridText(asciiHeader(100, 200, 10, NAN), values3x4), 22,
       "error reading ascii value #6 from @"},
      {"huge.asc", asciiGridText(asciiHeader(100, 200, 10, nodata, 100000, 100000), values3x4), 22,
       "error reading ascii grid @ in ASCII-Format in row 1, col 5: line 7 holds 4 values, but "
       "the header gives ncols 100000; each of the nrows 100000 rows stands on a line of its own"},
      // Each row stands on a line of its own, and nothing follows the last.
      {"long_row.asc", asciiHeader(100, 200, 10) + "1 2 3 4\n5 6 7 8 8.5\n9 10 11 12\n", 22,
       "error reading ascii grid @ in ASCII-Format in row 2, col 5: line 8 holds 5 values, but "
       "the header gives ncols 4"},
      {"short_row.asc", asciiHeader(100, 200, 10) + "1 2 3\n4 5 6 7 8\n9 10 11 12\n", 22,
       "error reading ascii grid @ in ASCII-Format in row 1, col 4: line 7 holds 3 values, but "
       "the header gives ncols 4"},
      {"extra_row.asc", asciiGridText(asciiHeader(100, 200, 10), values3x4) + "\n13 14\n", 22,
       "error reading ascii grid @: line 11 begins 2 values behind the nrows 3 rows of ncols 4 "
       "values that the header gives"},
      {"header_line.asc",
       "ncols 4\nnrows 3\nxllcorner 100\nyllcorner 200\ncellsize 10\nnodata_value -9999 1 2 3 4\n"
       "5 6 7 8\n9 10 11 12\n13 14 15 16\n",
       22, "error reading ascii grid @: line 6 holds 4 values behind the header's last value"},
      // Too short for its header: the message names the first missing value.
      {"cut.asc", asciiGridText(asciiHeader(100, 200, 10, nodata, 4, 30), values3x4), 22,
       "error reading ascii grid @ in ASCII-Format in row 4, col 1"},
      {"negative.asc", asciiGridText(asciiHeader(100, 200, 10, nodata, -4, 3), values3x4), 22,
       "error reading ascii value #1 from @"},
      // A size that is no whole number would be cut and shift every row.
      {"half_column.asc",
       asciiGridText("ncols 4.5\nnrows 3\nxllcorner 100\nyllcorner 200\ncellsize 10\n"
                     "nodata_value -9999\n",
                     values3x4),
       22, "error reading ascii value #1 from @: ncols 4.5 is not a whole number of at least 1"},
      {"half_row.dbl", binaryGrid<double>({4, 3.5, 100, 200, 10, nodata}, values3x4), 22,
       "error reading double value from the header of @"},
      {"short.dbl", binaryGrid<double>(header, values3x4, 96 + 11 * 8), 22,
       "error reading double grid @: it holds 184 bytes, but its header (ncols 4, nrows 3) asks "
       "for 192, 96 of the header and 8 for each value"},
      {"short.flt", binaryGrid<float>(header, values3x4, 48 + 4), 22,
       "error reading double grid @: it holds 52 bytes, but its header (ncols 4, nrows 3) asks "
       "for 96, 48 of the header and 4 for each value"},
      {"long.flt", binaryGrid<float>(header, values3x4) + std::string(4, '\0'), 22,
       "error reading double grid @: it holds 100 bytes, but its header (ncols 4, nrows 3) asks "
       "for 96"},
      {"shifted.flt", binaryGrid<float>({4, 3, 105, 200, 10, nodata}, values3x4, 60), 22,
       "error reading (irregular) float  grid @"},
      {"negative.dbl", binaryGrid<double>({4, -3, 100, 200, 10, nodata}, values3x4), 22,
       "error reading double value from the header of @"},
      {"flat.flt", binaryGrid<float>({4, 3, 100, 200, 0, nodata}, values3x4), 22,
       "error reading double value #5 from the header of @"},
      {"directory", "", 22, "could not recognise file format"},
  };
  for (const Case& k : cases) {
    const std::string path = dir + "/" + k.name;
    if (k.bytes.empty())
      std::filesystem::create_directory(path);
    else
      writeFile(path, k.bytes);
    Grid g = nullptr;
    EXPECT_EQ(exitCodeOf([&] { m.readGrid(path, g, 0, true, false, true, 0, false, false, 0); }),
              k.code)
        << k.name;
    EXPECT_EQ(g, nullptr) << k.name;
    std::string message = k.message;
    if (message.find('@') != std::string::npos) message.replace(message.find('@'), 1, path);
    EXPECT_NE(m.console().find(message), std::string::npos) << k.name << "\n" << m.console();
  }
  Grid none = nullptr;
  const std::string good = dir + "/good.asc";
  writeFile(good, ascii);
  EXPECT_EQ(exitCodeOf([&] { m.readGrid(good, none, 0, false, false, true, 0, false, false, 0); }),
            22);
  EXPECT_NE(m.console().find("error reading grid " + good +
                             " no memory allocated (pointer given to function is NULL)"),
            std::string::npos);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    files += entry.is_regular_file() && entry.path().extension() != ".xml";
  EXPECT_EQ(files, 22) << "reading wrote no file";
}

// Opening retries for a second, logged as warnings; a file that appears in
// that time is read.
TEST(GridFileReader, RetriesOpeningAndWarnsUntilTheLastAttempt) {
  const std::string dir = makeTestDirectory("grid_reader_retry");
  TestModule m(dir);
  m.setGrid(4, 3, 100.0, 200.0, 10.0, nodata);
  const std::string late = dir + "/late.asc";
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    writeFile(late + ".part", asciiGridText(asciiHeader(100, 200, 10), values3x4));
    std::filesystem::rename(late + ".part", late);
  });
  const GridValues read = readGridValues(m, late);
  writer.join();
  EXPECT_EQ(read, values3x4);
  const std::string missing = dir + "/missing.asc";
  EXPECT_EQ(exitCodeOf([&] { readGridValues(m, missing); }), 21);
  const std::string diagnostics = readFile(dir + "/diag_0.xml");
  for (int left = 5; left >= 1; --left)
    EXPECT_NE(diagnostics.find(
                  "<line level=\"2\" description= \"error opening " + missing +
                  ". Will try again in 200 ms... (retriesleft = " + std::to_string(left) + ")\"/>"),
              std::string::npos)
        << left;
  EXPECT_NE(diagnostics.find("<line level=\"0\" description= \"still error opening " + missing +
                             " - no retry. (No such file or directory)\"/>"),
            std::string::npos);
  EXPECT_EQ(diagnostics.find("<line level=\"0\" description= \"error opening"), std::string::npos);
}

// A file that does not lie on the model grid is resampled at the model's
// cell centres from its true corner; one that does comes back unchanged.
TEST(GridFileReader, ResamplesFilesOffTheModelGrid) {
  const std::string dir = makeTestDirectory("grid_reader_resample");
  TestModule m(dir);
  const double cs = 0.01;
  m.setGrid(4, 3, 10.0, 47.0, cs, nodata);
  auto value = [](long r, long c) { return 100.0 * r + c; };
  const GridValues grid = sampled(3, 4, [](long r, long c) { return 100.0 * r + c; });
  GridValues halfCell = grid; // the file's cells lie half a cell further east
  for (long r = 1; r <= 3; ++r)
    for (long c = 2; c <= 4; ++c) halfCell[r - 1][c - 1] = value(r, c) - 0.5;
  GridValues withZeros = grid;
  withZeros[1][2] = 0.0;
  GridValues zerosAsNodata = grid;
  zerosAsNodata[1][2] = nodata;
  GridValues lowNodata = grid;
  lowNodata[0][0] = -99999.0;
  GridValues lowAsNodata = grid;
  lowAsNodata[0][0] = nodata;
  struct Case {
    const char* name;
    std::string bytes;
    GridValues expected;
  };
  const Case cases[] = {
      {"aligned.asc", asciiGridText(asciiHeader(10.0, 47.0, cs), grid), grid},
      {"nearly.asc", asciiGridText(asciiHeader(10.0 + 1e-7, 47.0 - 1e-7, cs), grid), grid},
      {"half.asc", asciiGridText(asciiHeader(10.005, 47.0, cs), grid), halfCell},
      {"half.dbl", binaryGrid<double>({4, 3, 10.005, 47.0, cs, nodata}, grid), halfCell},
      // Two cells of 0.02 in each row: 0 in the west, 40 in the east.
      {"coarse.asc",
       asciiGridText(asciiHeader(10.0, 47.0, 2 * cs, nodata, 2, 3), {{0, 40}, {0, 40}, {0, 40}}),
       {{0, 10, 30, 40}, {0, 10, 30, 40}, {0, 10, 30, 40}}},
      {"zero.asc", asciiGridText(asciiHeader(10.0, 47.0, cs, 0.0), withZeros), zerosAsNodata},
      {"low.asc", asciiGridText(asciiHeader(10.0, 47.0, cs, -99999.0), lowNodata), lowAsNodata},
  };
  for (const Case& k : cases) {
    writeFile(dir + "/" + k.name, k.bytes);
    const GridValues read = readGridValues(m, dir + "/" + k.name);
    for (long r = 0; r < 3; ++r)
      for (long c = 0; c < 4; ++c)
        EXPECT_NEAR(read[r][c], k.expected[r][c], 1e-9) << k.name << " " << r + 1 << "," << c + 1;
  }
}

// A file of cells of 2 over model cells of 1, two cells wide, one row high:
// a model cell between the centres of a cell with a value and one without
// has no value, which a cell of the catchment must have unless its own
// file cell has none either, or a fill code fills it.
TEST(GridFileReader, RefusesCatchmentCellsThatResamplingLeavesWithoutValues) {
  struct Case {
    const char* what;
    GridValues file;
    std::vector<double> zone; // row 1 of the zone grid; row 2 alike
    int fillCode;
    int code;
  };
  const Case cases[] = {
      {"a catchment cell beside the file's nodata", {{5, nodata}}, {1, 1, 1, 1}, 0, 22},
      {"that cell outside the catchment", {{5, nodata}}, {1, nodata, 1, 1}, 0, -1},
      {"a fill code fills it", {{5, nodata}}, {1, 1, 1, 1}, 2, -1},
      {"values in every file cell", {{5, 7}}, {1, 1, 1, 1}, 0, -1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const std::string dir = makeTestDirectory("grid_reader_gaps");
    TestModule m(dir);
    m.setGrid(4, 2, 0.0, 0.0, 1.0, nodata);
    OwnedGrid zone(m, 2, 4, 0.0);
    fillGrid(zone, {k.zone, k.zone});
    m.registerGrid(1, "zone.asc", zone.grid, nullptr, 0, "[zone_grid]", 0, 1, 2);
    const std::string path = dir + "/coarse.asc";
    writeFile(path, asciiGridText(asciiHeader(0.0, 0.0, 2.0, nodata, 2, 1), k.file));
    GridValues read;
    EXPECT_EQ(exitCodeOf([&] { read = readGridValues(m, path, k.fillCode); }), k.code);
    if (k.code == 22) {
      EXPECT_NE(m.console().find("the grid file " + path +
                                 ", of cells of 2 from (0, 0), resampled onto the model's cells "
                                 "of 1 gives no value at row 1, column 2, a cell of the "
                                 "catchment, although the file's cell under its centre holds 5"),
                std::string::npos)
          << m.console();
      continue;
    }
    if (k.file[0][1] != nodata) {
      const std::vector<double> blended = {5.0, 5.5, 6.5, 7.0};
      EXPECT_EQ(read[0], blended);
    }
  }
}

// netCDF input "file<variable>record" with the input directory in front:
// without a georeference its size must be the model's, with one it is
// resampled.
TEST(GridFileReader, ReadsNetCDFWithAndWithoutGeoreference) {
  const std::string dir = makeTestDirectory("grid_reader_netcdf");
  TestModule writer(dir);
  writer.setGrid(4, 3, 100.0, 200.0, 10.0, nodata);
  OwnedGrid g(writer, 3, 4, 0.0);
  fillGrid(g, values3x4);
  writer.writeGrid(dir + "/rain", g.grid, false, true, true);
  writer.writeGrid(dir + "/rain", g.grid, false, true, true);

  TestModule m(dir);
  m.inputDirectory = dir + "/";
  m.setGrid(4, 3, 100.0, 200.0, 10.0, nodata);
  EXPECT_EQ(readGridValues(m, "rain.nc<rain>1"), values3x4);
  m.setGrid(2, 3, 110.0, 200.0, 10.0, nodata);
  EXPECT_EQ(exitCodeOf([&] { readGridValues(m, "rain.nc<rain>0"); }), 22);
  EXPECT_NE(m.console().find("error assigning cell values from a netCDF file to Horva grids "
                             "from file " +
                             dir +
                             "/rain.nc<rain>0. number of columns (4) and/or rows (3) in "
                             "nc-file not matching those in Horva (2 and 3 resp.)."),
            std::string::npos)
      << m.console();
  m.setGIFGeoreference(nullptr, 100.0, 200.0, 10.0);
  EXPECT_EQ(readGridValues(m, "rain.nc<rain>0"), (GridValues{{2, 3}, {6, 7}, {10, 11}}));
}
