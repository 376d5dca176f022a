#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/ascii_grid_text.h"
#include "tests/core/stack_file_bytes.h"
#include "tests/test_model.h"
#include "tests/test_support.h"

namespace {

constexpr double nodata = -9999.0;

double levelValue(long r, long c, long l) { return 10.0 * r + c + 0.5 * l; }

// A stack of a 3 x 2 grid (2 x 2 with two columns) that holds row 1 only:
// row 2 belongs to another process.
Stack firstRowOnly(TestModule& m, long columns, long L) {
  Stack st = m.three_d_matrix(1, 1, 1, columns, L, 2);
  for (long c = 1; c <= columns; ++c)
    for (long l = 0; l <= L; ++l) st[1][c][l] = levelValue(1, c, l);
  return st;
}

double writtenValue(long r, long c, long l) { return r == 1 ? levelValue(r, c, l) : nodata; }

// Reads a stack through both paths and compares every cell.
void expectReadBack(TestModule& m, const std::string& path, long L) {
  for (bool keepWholeOnRoot : {false, true}) {
    Stack read = nullptr;
    ASSERT_EQ(m.readStack(path, read, keepWholeOnRoot), L) << m.console();
    for (long r = 1; r <= 2; ++r)
      for (long c = 1; c <= m.header.ncols; ++c)
        for (long l = 0; l <= L; ++l)
          EXPECT_EQ(read[r][c][l], writtenValue(r, c, l)) << r << "," << c << "," << l;
    m.free_three_d_matrix(read, 1, 2);
  }
}

} // namespace

TEST(StackFiles, BinaryFilesHoldTheHeaderAndTheLevelsOfEveryCell) {
  for (bool doubles : {true, false}) {
    SCOPED_TRACE(doubles ? "doubles" : "floats");
    const std::string dir = makeTestDirectory("stack_layout");
    TestModule m(dir);
    m.setGrid(3, 2, 1000.5, 2000.25, 25.0, nodata);
    Stack st = firstRowOnly(m, 3, 1);
    // A relative name lies in the output directory, and is read from the
    // input directory.
    m.outputDirectory = dir + "/";
    m.inputDirectory = dir + "/";
    const std::string other = leaveStalePartialLink(dir + "/layers.stack");
    m.writeStack("layers.stack", st, 1, false, doubles, false);
    expectNoStalePartialLink(dir + "/layers.stack", other);
    const std::string expected =
        doubles ? expectedBinaryStack<double>(3, 2, 1000.5, 2000.25, 25.0, nodata, 1, writtenValue)
                : expectedBinaryStack<float>(3, 2, 1000.5, 2000.25, 25.0, nodata, 1, writtenValue);
    EXPECT_TRUE(readFile(dir + "/layers.stack") == expected);
    EXPECT_EQ(expected.size(), (12 + 3 * 2 * 2) * (doubles ? 8u : 4u));
    expectReadBack(m, "layers.stack", 1);
    m.free_three_d_matrix(st, 1, 1);
  }
}

TEST(StackFiles, AsciiFilesHoldTwelveHeaderLinesThenOneValuePerLine) {
  const std::string dir = makeTestDirectory("stack_ascii_layout");
  TestModule m(dir);
  m.setGrid(2, 2, 1000.5, 2000.25, 25.0, nodata);
  Stack st = firstRowOnly(m, 2, 1);
  const std::string other = leaveStalePartialLink(dir + "/layers.stack");
  m.writeStack(dir + "/layers.stack", st, 1, true, true, false);
  expectNoStalePartialLink(dir + "/layers.stack", other);
  EXPECT_EQ(readFile(dir + "/layers.stack"),
            "stack_ncols\t2.000000\nnrows\t2.000000\nxll\t1000.500000\nyll\t2000.250000\n"
            "cs\t25.000000\nnodata\t-9999.000000\ncnt\t0.000000\nmin\t0.000000\nmax\t0.000000\n"
            "sum\t0.000000\naverage\t0.000000\nnumlevels\t1.000000\n"
            "11\n11.5\n12\n12.5\n-9999\n-9999\n-9999\n-9999\n");
  expectReadBack(m, dir + "/layers.stack", 1);
  m.free_three_d_matrix(st, 1, 1);
}

// Stack values are written as the C library's "%g" writes them: six
// significant digits, rounded, with the exponent form outside 1e-4..1e6.
TEST(StackFiles, AsciiValuesReadAsTheCLibraryWritesThem) {
  const std::vector<double> values = {0.0,        -0.0,     1.0,      -9999.0,    0.1,
                                      1234567.0,  999999.5, 999999.4, 0.00012345, 0.000099999,
                                      123456.5,   2.5e-7,   -1.5e300, 4.9e-324,   1.0 / 3.0,
                                      0.30000000000000004};
  for (double v : values) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "%g", v);
    char text[maxGridValueChars];
    EXPECT_EQ(std::string(text, formatStackValue(v, text)), expected) << expected;
  }
}

TEST(StackFiles, ReaderRecognisesItsFormatsAndRejectsOthers) {
  const std::string dir = makeTestDirectory("stack_formats");
  const auto value = [](long r, long c, long) { return 10.0 * r + c; };
  const std::string doubles = expectedBinaryStack<double>(3, 2, 0, 0, 1, nodata, 0, value);
  // 72 bytes, shorter than a header of doubles.
  const std::string floats = expectedBinaryStack<float>(3, 2, 0, 0, 1, nodata, 0, value);
  const std::string asciiHeader =
      "stack_ncols 3\nnrows 2\nxll 0\nyll 0\ncs 1\nnodata -9999\ncnt 0\n"
      "min 0\nmax 0\nsum 0\naverage 0\nnumlevels ";
  std::string nanLevels = doubles;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::memcpy(&nanLevels[8 * 11], &nan, sizeof nan);
  const struct {
    const char* name;
    std::string content; // empty: no file
    int code;
    const char* message;
  } cases[] = {
      {"double.stack", doubles, -1, ""},
      {"float.stack", floats, -1, ""},
      {"ascii.stack", asciiHeader + "0\n11 12 13\n21 22 23\n", -1, ""},
      {"absent.stack", "", 21, "error opening "},
      {"tiny.stack", "stac", 22, "error reading from "},
      {"unknown.stack", std::string(100, 'x'), 22,
       "could not recognise file format (ascii, single float or double float) for stack "},
      {"header.stack", "stack_ncols 3\nnrows two\n", 22, "error reading ascii value #2 from "},
      {"key.stack", "stack" + std::string(300, 'k') + " 3\n", 22,
       "error reading ascii value #1 from "},
      {"value.stack", asciiHeader + "0\n11 12 13\n21 x 23\n", 22,
       "value.stackat row 2, column 2, level 0"},
      {"levels.stack", asciiHeader + "1e9\n11 12 13\n21 22 23\n", 22,
       "is too short for the 1000000001 levels its header gives"},
      {"nan.stack", nanLevels, 22, "invalid last level index"},
      {"floatshort.stack", floats.substr(0, floats.size() - 4), 22,
       "is too short for the 1 levels its header gives: 68 bytes where 72 are needed"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    TestModule m(dir);
    m.setGrid(3, 2);
    const std::string path = dir + "/" + k.name;
    if (!k.content.empty()) writeFile(path, k.content);
    for (bool keepWholeOnRoot : {false, true}) {
      Stack read = nullptr;
      EXPECT_EQ(exitCodeOf([&] { m.readStack(path, read, keepWholeOnRoot); }), k.code);
      if (k.code != -1) {
        EXPECT_EQ(read, nullptr);
        EXPECT_NE(m.console().find(k.message), std::string::npos) << m.console();
        continue;
      }
      for (long r = 1; r <= 2; ++r)
        for (long c = 1; c <= 3; ++c) EXPECT_EQ(read[r][c][0], value(r, c, 0));
      m.free_three_d_matrix(read, 1, 2);
    }
  }
}

// Rows the writing process does not hold are no-data in float output too.
TEST(StackFiles, NetCDFStacksMarkRowsNotHeldAsNoData) {
  NetCDFGridWriter::resetWrittenFiles();
  const std::string dir = makeTestDirectory("stack_netcdf_rows");
  for (bool doubles : {true, false}) {
    TestModule m(dir);
    m.setGrid(3, 2);
    Stack st = firstRowOnly(m, 3, 1);
    const std::string path = dir + (doubles ? "/heat.stack" : "/heatfloat.stack");
    m.writeStack(path, st, 1, false, doubles, true);
    for (long level = 0; level <= 1; ++level) {
      std::string name =
          path + ".nc<" + (doubles ? "heat" : "heatfloat") + ">" + std::to_string(level);
      std::vector<double> values;
      int nrows = 0, ncols = 0;
      m.netcdfReader->readNetCDFGrid(name, values, nrows, ncols, 1.0e30);
      ASSERT_EQ(values.size(), 6u);
      for (long r = 1; r <= 2; ++r)
        for (long c = 1; c <= 3; ++c)
          EXPECT_EQ(values[(c - 1) * 2 + (r - 1)], r == 1 ? levelValue(r, c, level) : 1.0e30)
              << r << "," << c << " level " << level;
    }
    m.free_three_d_matrix(st, 1, 1);
  }
}
