#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "tests/test_model.h"
#include "tests/test_support.h"

namespace {

std::string commandOutput(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return output;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  pclose(pipe);
  return output;
}

// Column-major, north first; record r of a 4 x 3 grid, one cell empty.
template <typename T> std::vector<T> sampleGrid(int record) {
  std::vector<T> values(12);
  for (int i = 0; i < 12; i++) values[i] = static_cast<T>(100 * record + i + 0.25);
  values[5] = -9999;
  return values;
}

template <typename T> void expectRoundTrip(const char* typeName) {
  SCOPED_TRACE(typeName);
  NetCDFGridWriter::resetWrittenFiles();
  const std::string dir = makeTestDirectory(std::string("ncw_") + typeName);
  TestModule m(dir);
  const std::string outputName = dir + "/out/snow_depth.grd";
  const std::string file = appendNetCDFExtension(dir + "/snow_depth.grd");
  const std::string variable = makeNetCDFVariableName(outputName);
  std::vector<double> latitude(12, 47.5);
  m.netcdfWriter->setLatitudeValues(latitude);
  m.netcdfWriter->setLongitudeValues(std::vector<double>(12, 11.25));
  for (int record = 0; record < 3; record++) {
    m.netcdfWriter->setGeoreference(1000.0, 2000.0, 0.5);
    m.netcdfWriter->writeNetCDFGrid(file, variable, sampleGrid<T>(record).data(), 3, 4, -9999.0);
  }
  EXPECT_TRUE(NetCDFGridWriter::isVariableWritten(file, "snowdepth"));

  const std::string header = commandOutput("ncdump -hs " + file);
  const std::string type = typeName;
  for (const std::string& line : std::vector<std::string>{
           "x = 4 ;", "y = 3 ;", "t = UNLIMITED ; // (3 currently)", "double x(x) ;",
           "x:units = \"m East of reference point\" ;", "x:_DeflateLevel = 9 ;", "double y(y) ;",
           "y:units = \"m North of reference point\" ;", "double t(t) ;", "double lat(x, y) ;",
           "lat:units = \"degrees north\" ;", "double lon(x, y) ;",
           "lon:units = \"degrees east\" ;", type + " snowdepth(t, x, y) ;",
           "snowdepth:missing_value = -9999. ;", "snowdepth:_DeflateLevel = 9 ;",
           ":_Format = \"netCDF-4\" ;"})
    EXPECT_NE(header.find(line), std::string::npos) << line << "\n" << header;
  EXPECT_EQ(header.find("\tt:_DeflateLevel"), std::string::npos) << header;
  EXPECT_EQ(header.find("_Shuffle"), std::string::npos) << header;
  const std::string data = commandOutput("ncdump -v x,y,t " + file);
  EXPECT_NE(data.find("x = 1000, 1000.5, 1001, 1001.5 ;"), std::string::npos) << data;
  EXPECT_NE(data.find("y = 2001, 2000.5, 2000 ;"), std::string::npos) << data;
  EXPECT_NE(data.find("t = 0, 1, 2 ;"), std::string::npos) << data;

  for (int record = 0; record < 3; record++) {
    std::string name = file + "<snowdepth>" + std::to_string(record);
    std::vector<double> values;
    int nrows = 0;
    int ncols = 0;
    m.netcdfReader->readNetCDFGrid(name, values, nrows, ncols, -9999.0);
    EXPECT_EQ(name, file);
    EXPECT_EQ(nrows, 3);
    EXPECT_EQ(ncols, 4);
    const std::vector<T> written = sampleGrid<T>(record);
    ASSERT_EQ(values.size(), written.size());
    for (size_t i = 0; i < values.size(); i++)
      EXPECT_EQ(values[i], static_cast<double>(written[i])) << "record " << record << " cell " << i;
  }
}

} // namespace

TEST(NetCDFNames, FollowTheOutputName) {
  const struct {
    const char* outputName;
    const char* variable;
  } cases[] = {{"out/snow_depth.grd", "snowdepth"},
               {"a.b.c", "a"},
               {"dir\\sub/x_y-z.asc", "xyz"},
               {"plain", "plain"}};
  for (const auto& c : cases) EXPECT_EQ(makeNetCDFVariableName(c.outputName), c.variable);
  EXPECT_EQ(appendNetCDFExtension("grid.nc"), "grid.nc.nc");
}

TEST(NetCDFGridWriter, AppendsOneRecordPerWriteAndReadsBackCellForCell) {
  expectRoundTrip<double>("double");
  expectRoundTrip<float>("float");
}

TEST(NetCDFGridWriter, ModulesShareTheWrittenFilesUntilTheNextRun) {
  NetCDFGridWriter::resetWrittenFiles();
  const std::string dir = makeTestDirectory("ncw_shared");
  TestModule first(dir);
  TestModule second(dir);
  const std::string file = dir + "/g.nc";
  const std::vector<double> grid = sampleGrid<double>(0);
  first.netcdfWriter->writeNetCDFGrid(file, "g", grid.data(), 3, 4, -9999.0);
  second.netcdfWriter->writeNetCDFGrid(file, "g", grid.data(), 3, 4, -9999.0);
  second.netcdfWriter->writeNetCDFGrid(file, "h", grid.data(), 3, 4, -9999.0);
  first.netcdfWriter->writeNetCDFGrid(file, "g", grid.data(), 3, 4, -9999.0);
  second.netcdfWriter->writeNetCDFGrid(file, "h", grid.data(), 3, 4, -9999.0);
  // Each variable keeps its writes in consecutive records.
  const std::string header = commandOutput("ncdump -h " + file);
  EXPECT_NE(header.find("t = UNLIMITED ; // (3 currently)"), std::string::npos) << header;
  std::string name = file + "<h>1";
  std::vector<double> values;
  int nrows = 0;
  int ncols = 0;
  first.netcdfReader->readNetCDFGrid(name, values, nrows, ncols, -9999.0);
  EXPECT_EQ(values[0], grid[0]);
  first.netcdfReader->closeAllFiles();

  NetCDFGridWriter::resetWrittenFiles();
  EXPECT_FALSE(NetCDFGridWriter::isFileWritten(file));
  second.netcdfWriter->writeNetCDFGrid(file, "g", grid.data(), 3, 4, -9999.0);
  const std::string replaced = commandOutput("ncdump -h " + file);
  EXPECT_NE(replaced.find("t = UNLIMITED ; // (1 currently)"), std::string::npos) << replaced;
  EXPECT_EQ(replaced.find(" h("), std::string::npos) << replaced;
}

TEST(NetCDFGridWriter, ReportsFailuresWithCode26) {
  NetCDFGridWriter::resetWrittenFiles();
  const std::string dir = makeTestDirectory("ncw_fail");
  TestModule m(dir);
  const std::vector<double> grid = sampleGrid<double>(0);
  const std::string missingDir = dir + "/no/such/dir/g.nc";
  EXPECT_EQ(exitCodeOf([&] {
              m.netcdfWriter->writeNetCDFGrid(missingDir, "g", grid.data(), 3, 4, -9999.0);
            }),
            26);
  EXPECT_NE(m.console().find("error creating " + missingDir + " for writing in netCDF: "),
            std::string::npos)
      << m.console();

  const std::string file = dir + "/g.nc";
  m.netcdfWriter->writeNetCDFGrid(file, "g", grid.data(), 3, 4, -9999.0);
  EXPECT_EQ(
      exitCodeOf([&] { m.netcdfWriter->writeNetCDFGrid(file, "g", grid.data(), 4, 3, -9999.0); }),
      26);
  EXPECT_NE(m.console().find("does not fit the dimensions"), std::string::npos);
  EXPECT_EQ(
      exitCodeOf([&] { m.netcdfWriter->writeNetCDFGrid(file, "", grid.data(), 3, 4, -9999.0); }),
      26);
}
