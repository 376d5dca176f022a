#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>

#include "core/binary_grid_header.h"
#include "tests/core/grid_file_values.h"
#include "tests/test_support.h"

namespace {

constexpr double nodata = -9999.0;

// Values that "%g" or a fixed number of decimals would change.
const GridValues sample = {{123456.7, 0.1, nodata, 2.5e-7},
                           {-0.5, 1.0 / 3.0, 1e20, 7.0},
                           {nodata, nodata, 42.0, -1234.5678901234}};

struct Module {
  explicit Module(const std::string& name) : dir(makeTestDirectory(name)), m(dir) {
    m.setGrid(4, 3, 3500000.0, 5200000.5, 1.0 / 120.0, nodata);
  }
  std::string dir;
  TestModule m;
};

std::string run(const std::string& command, const std::string& output) {
  EXPECT_EQ(std::system((command + " > " + output + " 2>&1").c_str()), 0) << command;
  return readFile(output);
}

// The numbers of a list that follows the pattern, up to the closing mark;
// ncdump shows a missing value as "_".
std::vector<double> numbersAfter(const std::string& text, const std::string& pattern,
                                 char closing) {
  std::smatch match;
  std::vector<double> numbers;
  if (!std::regex_search(text, match, std::regex(pattern))) return numbers;
  std::string list = text.substr(match.position(0) + match.length(0));
  list = list.substr(0, list.find(closing));
  std::replace(list.begin(), list.end(), ',', ' ');
  std::istringstream in(list);
  for (std::string word; in >> word;) numbers.push_back(word == "_" ? nodata : std::stod(word));
  return numbers;
}

// The binary header fields 6..11 of a file.
std::vector<double> statistics(const std::string& bytes, bool doubles) {
  std::vector<double> fields;
  for (int i = 6; i < 12; ++i) {
    if (doubles) {
      double v;
      std::memcpy(&v, bytes.data() + 8 * i, 8);
      fields.push_back(v);
    } else {
      float v;
      std::memcpy(&v, bytes.data() + 4 * i, 4);
      fields.push_back(v);
    }
  }
  return fields;
}

} // namespace

TEST(GridFileWriter, WritesAsciiValuesAndHeaderWithEveryDigit) {
  Module t("grid_writer_ascii");
  OwnedGrid g(t.m, 3, 4, 0.0);
  fillGrid(g, sample);
  t.m.writeGrid(t.dir + "/g.asc", g.grid, true, false, false);
  EXPECT_EQ(readFile(t.dir + "/g.asc"),
            "ncols\t4\nnrows\t3\nxllcorner\t3500000\nyllcorner\t5200000.5\n"
            "cellsize\t0.008333333333333333\nnodata_value\t-9999\n"
            "123456.7\t0.1\t-9999\t2.5e-07\n"
            "-0.5\t0.3333333333333333\t1e+20\t7\n"
            "-9999\t-9999\t42\t-1234.5678901234\n");
  EXPECT_EQ(readGridValues(t.m, t.dir + "/g.asc"), sample) << "written and read unchanged";
}

// Every format and type written and read back on one process; floats come
// back rounded to float. A cell size of 1/120 reads back as lying on the
// model grid (a resampled grid would differ in the last digits).
TEST(GridFileWriter, EveryFormatReadsBackUnchanged) {
  struct Case {
    const char* name;
    bool ascii, doubles, netcdf;
    const char* readSuffix;
  };
  const Case cases[] = {{"ascii", true, false, false, ""},
                        {"double", false, true, false, ""},
                        {"float", false, false, false, ""},
                        {"nc_double", false, true, true, ".nc<ncdouble>0"},
                        {"nc_float", false, false, true, ".nc<ncfloat>0"}};
  for (const Case& k : cases) {
    Module t(std::string("grid_writer_round_") + k.name);
    OwnedGrid g(t.m, 3, 4, 0.0);
    fillGrid(g, sample);
    const std::string path = t.dir + "/" + k.name;
    t.m.writeGrid(path, g.grid, k.ascii, k.doubles, k.netcdf);
    GridValues expected = sample;
    if (!k.doubles && !k.ascii)
      for (auto& row : expected)
        for (double& v : row) v = static_cast<float>(v);
    EXPECT_EQ(readGridValues(t.m, path + k.readSuffix), expected) << k.name;
  }
  Module t("grid_writer_old_header");
  t.m.setGrid(100, 2, 3500000.0, 5200000.5, 1.0 / 120.0, nodata);
  GridValues ramp(2, std::vector<double>(100));
  for (long c = 0; c < 100; ++c) ramp[0][c] = ramp[1][c] = c;
  OwnedGrid wide(t.m, 2, 100, 0.0);
  fillGrid(wide, ramp);
  t.m.writeGrid(t.dir + "/wide.asc", wide.grid, true, false, false);
  EXPECT_EQ(readGridValues(t.m, t.dir + "/wide.asc"), ramp);
  std::string old = readFile(t.dir + "/wide.asc");
  old.replace(old.find("0.008333333333333333"), 20, "0.008333");
  writeFile(t.dir + "/old.asc", old);
  EXPECT_NE(readGridValues(t.m, t.dir + "/old.asc")[0][50], 50.0)
      << "six decimals put the far cells off the model grid";
}

// Rows that the process does not hold: "-9999" from writeGrid, the model's
// nodata from writeGridMasked, nodata in binary files; the output of a module
// that has not written per-step output yet (its state files) alike. The mask
// sets the cells outside the valid columns, in the caller's grid too.
TEST(GridFileWriter, WritesMissingRowsAndMaskedCellsAsNodata) {
  Module t("grid_writer_masked");
  t.m.header.nodata = -1.0;
  OwnedGrid g(t.m, 3, 4, 5.0, 2); // row 1 not held
  std::vector<RowColumnRange> ranges = {{0, -1}, {1, 4}, {2, 3}, {0, -1}};
  t.m.rowColumnRange = ranges.data();
  t.m.writeAsciiGrids = true;
  const std::string plain = "-1\n-9999\t-9999\t-9999\t-9999\n5\t5\t5\t5\n5\t";
  const std::string masked = "-1\n-1\t-1\t-1\t-1\n-1\t5\t5\t-1\n-1\t-1\t-1\t-1\n";
  struct Case {
    const char* file;
    std::function<void(const std::string&)> write;
    const std::string& expected;
  };
  const std::vector<Case> cases = {
      {"output.asc", [&](const std::string& p) { t.m.writeOutputFile(0, g.grid, false, p); },
       plain},
      {"output_masked.asc", [&](const std::string& p) { t.m.writeOutputFile(0, g.grid, true, p); },
       masked},
      {"plain.asc", [&](const std::string& p) { t.m.writeGrid(p, g.grid, true, false, false); },
       plain},
      {"masked.asc",
       [&](const std::string& p) { t.m.writeGridMasked(p, g.grid, true, false, false); }, masked},
  };
  for (const Case& c : cases) {
    c.write(t.dir + "/" + c.file);
    EXPECT_NE(readFile(t.dir + "/" + c.file).find(c.expected), std::string::npos) << c.file;
  }
  EXPECT_EQ(g.grid[2][1], -1.0) << "the caller's grid is masked as well";
  EXPECT_EQ(g.grid[2][2], 5.0);
  t.m.writeGrid(t.dir + "/plain.bin", g.grid, false, true, false);
  const std::string bytes = readFile(t.dir + "/plain.bin");
  ASSERT_EQ(bytes.size(), 96u + 12 * 8);
  double firstCell;
  std::memcpy(&firstCell, bytes.data() + 96, 8);
  EXPECT_EQ(firstCell, -1.0);
}

// Header fields 6..11: count is the sum of the weights of "RelCellArea",
// the other fields the weighted statistics of the counted cells.
TEST(GridFileWriter, BinaryHeaderHoldsWeightedStatistics) {
  Module t("grid_writer_statistics");
  t.m.setGrid(2, 2);
  OwnedGrid g(t.m, 2, 2, 0.0);
  fillGrid(g, {{1.0, 2.0}, {4.0, nodata}});
  OwnedGrid area(t.m, 2, 2, 0.0);
  fillGrid(area, {{1.0, 0.5}, {2.0, 1.0}});
  std::vector<RowColumnRange> ranges = {{0, -1}, {1, 2}, {1, 2}};
  t.m.rowColumnRange = ranges.data();
  t.m.registerGrid(1, "rca", area.grid, nullptr, 0, "RelCellArea", 0, 1, 2);
  t.m.findCellWeights();
  ASSERT_EQ(t.m.cellWeights, area.grid);
  // count 3.5, sum 1 + 1 + 8 = 10, squares 1 + 2 + 32 = 35
  const double variance = (35.0 - 100.0 / 3.5) / 2.5;
  const std::vector<double> expected = {3.5, 1.0, 4.0, 10.0, 10.0 / 3.5, std::sqrt(variance)};
  for (bool doubles : {true, false}) {
    const std::string path = t.dir + (doubles ? "/stats.dbl" : "/stats.flt");
    t.m.writeGrid(path, g.grid, false, doubles, false);
    const std::vector<double> fields = statistics(readFile(path), doubles);
    for (size_t i = 0; i < expected.size(); ++i) {
      const double want = doubles ? expected[i] : static_cast<float>(expected[i]);
      EXPECT_DOUBLE_EQ(fields[i], want) << (doubles ? "double" : "float") << " field " << 6 + i;
      EXPECT_DOUBLE_EQ(t.m.binaryHeader[6 + i], expected[i]);
    }
  }
  t.m.unregisterGrid(1);
  t.m.findCellWeights();
  EXPECT_EQ(t.m.cellWeights, nullptr);
}

// A write that fails leaves neither a partial file nor its temporary file,
// and an older file of that name as it was.
TEST(GridFileWriter, FailedWritesLeaveNoPartialFile) {
  Module t("grid_writer_failures");
  OwnedGrid g(t.m, 3, 4, 1.0);
  const std::string missingDir = t.dir + "/absent/g.asc";
  EXPECT_EQ(exitCodeOf([&] { t.m.writeGrid(missingDir, g.grid, true, false, false); }), 26);
  EXPECT_NE(t.m.console().find("error creating " + missingDir +
                               " for writing in text mode (No such file or directory).\n"),
            std::string::npos);
  EXPECT_EQ(exitCodeOf([&] { t.m.writeGrid(missingDir, g.grid, false, true, false); }), 26);
  EXPECT_NE(t.m.console().find("for writing in binary mode (No such file or directory)."),
            std::string::npos);

  // A file size limit makes the writes themselves fail.
  const std::string path = t.dir + "/big.asc";
  writeFile(path, "older");
  OwnedGrid big(t.m, 300, 300, 1.0 / 3.0);
  t.m.setGrid(300, 300);
  rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit limited = old;
  limited.rlim_cur = 4096;
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const int asciiCode = exitCodeOf([&] { t.m.writeGrid(path, big.grid, true, false, false); });
  const int binaryCode = exitCodeOf([&] { t.m.writeGrid(path, big.grid, false, true, false); });
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(asciiCode, 18);
  EXPECT_EQ(binaryCode, 18);
  EXPECT_NE(t.m.console().find("write error " + path + " ! (18) (File too large)\n"),
            std::string::npos);
  EXPECT_EQ(readFile(path), "older");
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(t.dir))
    files += entry.path().filename() != "diag_0.xml";
  EXPECT_EQ(files, 1) << "no temporary file is left";
}

// A "<name>.partial" that a killed run left behind is replaced, not written
// through.
TEST(GridFileWriter, ReplacesAStalePartialFile) {
  Module t("grid_writer_stale");
  OwnedGrid g(t.m, 3, 4, 0.0);
  for (bool ascii : {true, false}) {
    const std::string path = t.dir + (ascii ? "/g.asc" : "/g.bin");
    const std::string other = leaveStalePartialLink(path);
    t.m.writeGrid(path, g.grid, ascii, true, false);
    expectNoStalePartialLink(path, other);
  }
}

// What GDAL and ncdump see in the model's files: size, corner, cell size,
// nodata and values.
TEST(GridFileWriter, GdalAndNcdumpReadTheModelsFiles) {
  Module t("grid_writer_external");
  OwnedGrid g(t.m, 3, 4, 0.0);
  fillGrid(g, sample);
  const std::string asc = t.dir + "/g.asc";
  t.m.writeGrid(asc, g.grid, true, false, false);
  const std::string info = run("gdalinfo -json " + asc, t.dir + "/info.json");
  EXPECT_EQ(numbersAfter(info, "\"size\":\\[", ']'), (std::vector<double>{4, 3}));
  const std::vector<double> transform = numbersAfter(info, "\"geoTransform\":\\[", ']');
  ASSERT_EQ(transform.size(), 6u) << info;
  EXPECT_DOUBLE_EQ(transform[0], 3500000.0);
  // gdalinfo prints 14 significant digits.
  EXPECT_NEAR(transform[1], 1.0 / 120.0, 1e-16);
  EXPECT_DOUBLE_EQ(transform[3], 5200000.5 + 3.0 / 120.0);
  EXPECT_NEAR(transform[5], -1.0 / 120.0, 1e-16);
  EXPECT_EQ(numbersAfter(info, "\"noDataValue\":", ','), std::vector<double>{nodata});
  const std::string copy = t.dir + "/gdal.asc";
  run("gdal_translate -q --config AAIGRID_DATATYPE Float64 -of AAIGrid " + asc + " " + copy,
      t.dir + "/translate.txt");
  EXPECT_EQ(readGridValues(t.m, copy), sample);

  // Registry entry 1 names the latitude grid, which goes into the file.
  OwnedGrid latitude(t.m, 3, 4, 47.5);
  t.m.registerGrid(1, "zone.asc", g.grid, nullptr, 0, "[zone_grid]", 0, 1, 3);
  t.m.registerGrid(2, "lat.asc", latitude.grid, nullptr, 0, "latitude", 0, 1, 3);
  t.m.getRegistry()[1].latitudeIndex = 2;
  t.m.writeGrid(t.dir + "/g", g.grid, false, true, true);
  const std::string dump = run("ncdump -p 9,17 " + t.dir + "/g.nc", t.dir + "/dump.txt");
  for (const char* text : {"x = 4 ;", "y = 3 ;", "g:missing_value = -9999. ;"})
    EXPECT_NE(dump.find(text), std::string::npos) << text << "\n" << dump;
  const std::vector<double> x = numbersAfter(dump, "\n x = ", ';');
  const std::vector<double> y = numbersAfter(dump, "\n y = ", ';');
  ASSERT_EQ(x.size(), 4u) << dump;
  ASSERT_EQ(y.size(), 3u) << dump;
  EXPECT_DOUBLE_EQ(x[0], 3500000.0);
  EXPECT_NEAR(x[1] - x[0], 1.0 / 120.0, 1e-9);
  EXPECT_DOUBLE_EQ(y[2], 5200000.5);
  EXPECT_NEAR(y[0] - y[1], 1.0 / 120.0, 1e-9);
  EXPECT_EQ(numbersAfter(dump, "\n lat =", ';'), std::vector<double>(12, 47.5));
  const std::vector<double> values = numbersAfter(dump, "\n g =", ';');
  ASSERT_EQ(values.size(), 12u) << dump;
  for (long c = 0; c < 4; ++c)
    for (long r = 0; r < 3; ++r) EXPECT_EQ(values[c * 3 + r], sample[r][c]) << r << "," << c;
}

// SIGINT is ignored while a file is written or read and the program's
// handler is installed again afterwards.
TEST(GridFileWriter, CtrlCHandlerIsInstalledAgainAfterFileAccess) {
  Module t("grid_writer_ctrl_c");
  OwnedGrid g(t.m, 3, 4, 1.0);
  auto handler = [] {
    struct sigaction action;
    sigaction(SIGINT, nullptr, &action);
    return action.sa_handler;
  };
  std::signal(SIGINT, SIG_DFL);
  t.m.writeGrid(t.dir + "/g.asc", g.grid, true, false, false);
  EXPECT_NE(handler(), SIG_DFL);
  EXPECT_NE(handler(), SIG_IGN);
  std::signal(SIGINT, SIG_DFL);
  readGridValues(t.m, t.dir + "/g.asc");
  EXPECT_NE(handler(), SIG_DFL);
  EXPECT_NE(handler(), SIG_IGN);
  std::signal(SIGINT, SIG_DFL);
}
