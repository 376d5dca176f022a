#include <gtest/gtest.h>
#include <netcdf>

#include <cstdlib>
#include <vector>

#include "tests/test_model.h"
#include "tests/test_support.h"

namespace {

constexpr int columns = 4;
constexpr int rows = 3;

// The value the reader must return for column j, row k from the north.
double expected(int record, int j, int k) { return 100.0 * record + 10.0 * j + k + 0.5; }

// A file with two records of "v" laid out as asked, plus dimensions whose
// names merely contain "x" or "y".
template <typename T>
void writeLayout(const std::string& path, bool xFirst, bool ascending, const netCDF::NcType& type) {
  netCDF::NcFile file(path, netCDF::NcFile::replace, netCDF::NcFile::nc4);
  const netCDF::NcDim x = file.addDim("x", columns);
  const netCDF::NcDim y = file.addDim("y", rows);
  const netCDF::NcDim t = file.addDim("t");
  file.addDim("xbnds", 2);
  file.addDim("ybnds", 5);
  std::vector<double> yValues(rows);
  for (int r = 0; r < rows; r++) yValues[r] = ascending ? 10.0 * r : 10.0 * (rows - 1 - r);
  file.addVar("y", netCDF::ncDouble, y).putVar(yValues.data());
  netCDF::NcVar v = file.addVar("v", type,
                                xFirst ? std::vector<netCDF::NcDim>{t, x, y}
                                       : std::vector<netCDF::NcDim>{t, y, x});
  for (int record = 0; record < 2; record++) {
    std::vector<T> stored(columns * rows);
    for (int j = 0; j < columns; j++)
      for (int r = 0; r < rows; r++) {
        const int k = ascending ? rows - 1 - r : r; // row from the north
        stored[xFirst ? j * rows + r : r * columns + j] = static_cast<T>(expected(record, j, k));
      }
    v.putVar({static_cast<size_t>(record), 0, 0},
             {1, static_cast<size_t>(xFirst ? columns : rows),
              static_cast<size_t>(xFirst ? rows : columns)},
             stored.data());
  }
}

struct ReadResult {
  std::vector<double> values;
  int nrows = 0;
  int ncols = 0;
};

ReadResult readGrid(TestModule& m, const std::string& name) {
  ReadResult result;
  std::string text = name;
  m.netcdfReader->readNetCDFGrid(text, result.values, result.nrows, result.ncols, -9999.0);
  return result;
}

} // namespace

TEST(NetCDFGridReader, ReadsBothLayoutsAndRowOrdersNorthFirst) {
  const std::string dir = makeTestDirectory("ncr_layouts");
  TestModule m(dir);
  for (const bool xFirst : {true, false})
    for (const bool ascending : {true, false})
      for (const bool isDouble : {true, false}) {
        SCOPED_TRACE(std::string(xFirst ? "(t, x, y)" : "(t, y, x)") +
                     (ascending ? " ascending" : " descending") +
                     (isDouble ? " double" : " float"));
        const std::string path = dir + "/l" + std::to_string(xFirst) + std::to_string(ascending) +
                                 std::to_string(isDouble) + ".nc";
        if (isDouble)
          writeLayout<double>(path, xFirst, ascending, netCDF::ncDouble);
        else
          writeLayout<float>(path, xFirst, ascending, netCDF::ncFloat);
        const ReadResult r = readGrid(m, path + "<v>1");
        ASSERT_EQ(r.nrows, rows);
        ASSERT_EQ(r.ncols, columns);
        for (int j = 0; j < columns; j++)
          for (int k = 0; k < rows; k++)
            EXPECT_EQ(r.values[j * rows + k], expected(1, j, k)) << "column " << j << " row " << k;
        EXPECT_EQ(readGrid(m, path + "<v>").values[0], readGrid(m, path + "<v>0").values[0]);
      }
}

TEST(NetCDFGridReader, UnpacksValuesAndKeepsStoredFillValuesEmpty) {
  const std::string dir = makeTestDirectory("ncr_packed");
  writeFile(dir + "/packed.cdl", "netcdf packed {\n"
                                 "dimensions:\n  x = 3 ;\n  y = 2 ;\n  t = UNLIMITED ;\n"
                                 "variables:\n  double y(y) ;\n"
                                 "  short temp(t, y, x) ;\n"
                                 "    temp:scale_factor = 0.1 ;\n"
                                 "    temp:add_offset = 273.15 ;\n"
                                 "    temp:_FillValue = -32767s ;\n"
                                 "    temp:missing_value = -999s ;\n"
                                 "  float rain(t, x, y) ;\n"
                                 "    rain:_FillValue = NaNf ;\n"
                                 "  double plain(t, x, y) ;\n"
                                 "data:\n  y = 100, 200 ;\n"
                                 "  temp = 1, 2, _, 4, -999, 6 ;\n"
                                 "  rain = 1.5, _, 3, 4, 5, 6 ;\n"
                                 "  plain = 1, 2, _, 4, 5, 6 ;\n}\n");
  ASSERT_EQ(std::system(("ncgen -k nc4 -o " + dir + "/packed.nc " + dir + "/packed.cdl").c_str()),
            0);
  TestModule m(dir);
  const std::string file = dir + "/packed.nc";

  // "y" ascends: the second stored row is the northern one.
  const ReadResult temp = readGrid(m, file + "<temp>0");
  const std::vector<double> packed = {4, 1, -999, 2, 6, -32767};
  for (size_t i = 0; i < packed.size(); i++) {
    const bool empty = packed[i] == -999 || packed[i] == -32767;
    EXPECT_EQ(temp.values[i], empty ? -9999.0 : packed[i] * 0.1 + 273.15) << "cell " << i;
  }
  const ReadResult rain = readGrid(m, file + "<rain>0");
  EXPECT_EQ(rain.values, (std::vector<double>{-9999, 1.5, 4, 3, 6, 5}));
  const ReadResult plain = readGrid(m, file + "<plain>0");
  EXPECT_EQ(plain.values, (std::vector<double>{2, 1, 4, -9999, 6, 5}));
}

TEST(NetCDFGridReader, ReportsMalformedNamesAndMissingData) {
  const std::string dir = makeTestDirectory("ncr_errors");
  const std::string file = dir + "/f.nc";
  writeLayout<double>(file, true, false, netCDF::ncDouble);
  const std::string format = "Give netcdf input files as filename<varname>timestep.";
  const struct {
    std::string name;
    int code;
    std::string message;
  } cases[] = {
      {"<v>3", 50, format},
      {file, 50, format},
      {file + "<v", 50, format},
      {file + ">v<2", 50, format},
      {file + "<v>1x", 50,
       "Give netcdf input files as filename<varname>timestep; the record of " + file +
           "<v>1x reads \"1x\", which is not a whole number."},
      {file + "<>3", 21, "No variable name given for reading from netCDF."},
      {file + "<w>0", 21, "cannot find variable w in file " + file + " for reading from netCDF."},
      {dir + "/missing.nc<v>0", 21,
       "exception occured when reading from netCDF file " + dir +
           "/missing.nc. Internal message is: "},
      {file + "<v>2", 21,
       "exception occured when reading from netCDF file " + file +
           ". Internal message is: record 2 of variable v does not exist; the file holds 2 "
           "records"},
      {file + "<v>-1", 21,
       "exception occured when reading from netCDF file " + file +
           ". Internal message is: record -1 of variable v does not exist"},
      {file + "<y>0", 21,
       "exception occured when reading from netCDF file " + file +
           ". Internal message is: variable y has 1 dimensions instead of three"},
  };
  for (const auto& c : cases) {
    const std::string logDir = makeTestDirectory("ncr_errors_log");
    {
      TestModule m(logDir);
      std::string name = c.name;
      std::vector<double> values;
      int nrows = 0;
      int ncols = 0;
      EXPECT_EQ(exitCodeOf([&] { m.netcdfReader->readNetCDFGrid(name, values, nrows, ncols, 0); }),
                c.code)
          << c.name;
      EXPECT_NE(m.console().find(c.message), std::string::npos) << c.name << "\n" << m.console();
    }
    const std::string fatal = "<line level=\"0\" description= \"" + escapeDiagText(c.message);
    EXPECT_NE(readFile(logDir + "/diag_0.xml").find(fatal), std::string::npos) << c.name;
  }
}

TEST(NetCDFGridReader, KeepsAtMost200FilesOpen) {
  NetCDFGridWriter::resetWrittenFiles();
  const std::string dir = makeTestDirectory("ncr_limit");
  TestModule m(dir);
  const std::vector<float> grid(2, 1.0f);
  for (int i = 0; i <= 200; i++)
    m.netcdfWriter->writeNetCDFGrid(dir + "/f" + std::to_string(i) + ".nc", "g", grid.data(), 1, 2,
                                    -9999.0);
  for (int i = 0; i < 200; i++) readGrid(m, dir + "/f" + std::to_string(i) + ".nc<g>0");
  EXPECT_EQ(m.netcdfReader->openFileCount(), 200u);
  EXPECT_EQ(readGrid(m, dir + "/f0.nc<g>0").values, (std::vector<double>{1.0, 1.0}));
  EXPECT_EQ(exitCodeOf([&] { readGrid(m, dir + "/f200.nc<g>0"); }), 1100);
  EXPECT_NE(m.console().find("more than 200 different netCDF files can not be hold open at "
                             "the same time. If you read time series of input grids from netCDF, "
                             "please put all the single nc files into one large file or into "
                             "some groups of files"),
            std::string::npos);
  m.netcdfReader->closeAllFiles();
  EXPECT_EQ(readGrid(m, dir + "/f200.nc<g>0").values.size(), 2u);
}
