#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/diag_stream.h"
#include "core/line_reader.h"
#include "meteo/station_file.h"
#include "tests/test_support.h"

namespace {

const std::string header = "X 1000 2000 3000\nY 500 600 700\nZ 400 500 600\nYY MM DD HH A B C\n";
const ModelDate start{0, 1, 1, 4, 2015};
const ModelDate end{0, 3, 1, 4, 2015};

struct StationFileRun {
  std::ostringstream console, errors;
  std::unique_ptr<DiagStream> diag;
  std::string path;
  StationFile::Settings settings;

  StationFileRun(const std::string& name, const std::string& text) {
    const std::string directory = makeTestDirectory(name);
    diag = std::make_unique<DiagStream>(directory + "/diag.xml", 4, &console, &errors);
    path = directory + "/stations.txt";
    writeFile(path, text);
    settings.path = path;
    settings.variable = "temperature";
    settings.start = start;
    settings.end = end;
    settings.timeStep = 60;
  }
};

TEST(StationFile, ReadsTheLinesFromTheStartDateOn) {
  StationFileRun run("station_read", header + "2015 4 1 0 1 2 3\n2015 4 1 1 4 5 6\n"
                                              "2015 4 1 2 7 -999 9\n2015 4 1 3 10 11 12\n");
  StationFile file(*run.diag, run.settings);
  EXPECT_EQ(file.stationCount(), 3);
  EXPECT_EQ(file.stationX(), (std::vector<double>{1000, 2000, 3000}));
  EXPECT_EQ(file.stationY(), (std::vector<double>{500, 600, 700}));
  EXPECT_EQ(file.stationZ(), (std::vector<double>{400, 500, 600}));
  std::vector<double> values;
  file.read(ModelDate{0, 1, 1, 4, 2015}, values);
  EXPECT_EQ(values, (std::vector<double>{4, 5, 6}));
  file.read(ModelDate{0, 2, 1, 4, 2015}, values);
  EXPECT_EQ(values, (std::vector<double>{7, -999, 9}));
  // A step left out is a date the file does not hold next.
  EXPECT_EQ(exitCodeOf([&] { file.read(ModelDate{0, 4, 1, 4, 2015}, values); }), 69);
  file.rewind();
  file.read(ModelDate{0, 1, 1, 4, 2015}, values);
  EXPECT_EQ(values, (std::vector<double>{4, 5, 6}));
}

TEST(StationFile, KnowsTheMinuteColumnAndFreeHeaderText) {
  StationFileRun run("station_minutes",
                     "air temperature, 15 minutes\nX 1 2\nY 3 4\nYY MM DD HH mm A B\n"
                     "2015 4 1 0 45 1 2\n2015 4 1 1 0 3 4\n2015 4 1 1 15 5 6\n");
  run.settings.start = ModelDate{0, 1, 1, 4, 2015};
  run.settings.end = ModelDate{15, 1, 1, 4, 2015};
  run.settings.timeStep = 15;
  StationFile file(*run.diag, run.settings);
  std::vector<double> values;
  file.read(ModelDate{0, 1, 1, 4, 2015}, values);
  EXPECT_EQ(values, (std::vector<double>{3, 4}));
  file.read(ModelDate{15, 1, 1, 4, 2015}, values);
  EXPECT_EQ(values, (std::vector<double>{5, 6}));
  EXPECT_EQ(file.stationZ(), (std::vector<double>{-9999, -9999}));
}

// Every fault ends the run with a FATAL message that names the file and
// the line.
TEST(StationFile, NamesTheFileAndTheLineOfEveryFault) {
  const std::string lines = "2015 4 1 0 1 2 3\n2015 4 1 1 4 5 6\n2015 4 1 2 7 8 9\n"
                            "2015 4 1 3 1 1 1\n";
  struct Case {
    const char* name;
    std::string text;
    bool needsElevation;
    int code;
    std::string where; // ", line n" or "" (no line)
    std::string what;
    const char* linkTo = nullptr; // the station file is a link to this file instead
  };
  const std::string tooLong =
      "the line is longer than 1048576 bytes (is the file a text file with line ends?)";
  const std::vector<Case> cases = {
      {"no_x", "Y 500 600 700\nYY MM DD HH A B C\n" + lines, false, 68, ", line 2",
       "no \"X\" line with the x coordinates"},
      {"no_y", "X 1 2 3\nYY MM DD HH A B C\n" + lines, false, 68, ", line 2", "no \"Y\" line"},
      {"no_z_for_regression", "X 1 2 3\nY 1 2 3\nYY MM DD HH A B C\n" + lines, true, 68, ", line 3",
       "no \"Z\" line with the elevations"},
      {"short_x", "X 1000 2000\nY 500 600 700\nYY MM DD HH A B C\n" + lines, false, 68, ", line 1",
       "2 x coordinates for 3 stations"},
      {"bad_coordinate", "X 1000 2km 3000\nY 500 600 700\nYY MM DD HH A B C\n" + lines, false, 68,
       ", line 1", "the x coordinate of station 2 \"2km\" is not a number"},
      {"fewer_columns", header + "2015 4 1 0 1 2 3\n2015 4 1 1 4 5\n" + lines, false, 68,
       ", line 6", "2 values for 3 stations"},
      {"more_columns", header + "2015 4 1 0 1 2 3 4\n" + lines, false, 68, ", line 5",
       "4 values for 3 stations"},
      {"not_a_number", header + "2015 4 1 0 1 2 3\n2015 4 1 1 4 abc 6\n" + lines, false, 68,
       ", line 6", "the value \"abc\" of station B (column 6) is not a number"},
      {"not_finite", header + "2015 4 1 0 1 nan 3\n" + lines, false, 68, ", line 5",
       "the value \"nan\" of station B"},
      {"fractional_hour", header + "2015 4 1 0.5 1 2 3\n" + lines, false, 68, ", line 5",
       "the date field \"0.5\" (column 4) is not a whole number"},
      {"date_gap",
       header + "2015 4 1 0 1 2 3\n2015 4 1 1 4 5 6\n2015 4 1 3 7 8 9\n2015 4 1 4 1 1 1\n", false,
       69, ", line 7",
       "the date 2015-04-01 03:00 does not follow the date 2015-04-01 01:00 of line 6 by the time "
       "step of 60 minutes"},
      {"no_such_date", header + "2015 4 31 0 1 2 3\n", false, 69, ", line 5",
       "the date 2015-04-31 00:00 does not exist"},
      {"starts_late", header + "2015 4 1 2 4 5 6\n2015 4 1 3 7 8 9\n", false, 69, ", line 5",
       "the start date 2015-04-01 01:00 is not in the file (this line holds 2015-04-01 02:00)"},
      {"ends_early", header + "2015 4 1 0 1 2 3\n2015 4 1 1 4 5 6\n", false, 69, ", line 6",
       "the file ends with the date 2015-04-01 01:00 before the end date 2015-04-01 03:00"},
      {"no_column_line", "X 1 2 3\nY 1 2 3\n" + lines, false, 68, ", line 3",
       "data before the column line"},
      {"no_station_names", "X 1 2 3\nY 1 2 3\nYY MM DD HH\n" + lines, false, 68, ", line 3",
       "the column line names no station"},
      {"endless_line", header + std::string(maxLineBytes + 1, '1'), false, 68, ", line 5", tooLong},
      {"link_to_dev_zero", "", false, 68, ", line 1", tooLong, "/dev/zero"},
  };
  for (const Case& c : cases) {
    StationFileRun run(std::string("station_fault_") + c.name, c.text);
    if (c.linkTo) {
      std::filesystem::remove(run.path);
      std::filesystem::create_symlink(c.linkTo, run.path);
    }
    run.settings.needsElevation = c.needsElevation;
    const int code = exitCodeOf([&] { StationFile file(*run.diag, run.settings); });
    EXPECT_EQ(code, c.code) << c.name;
    const std::string expected =
        "station file " + run.path + c.where + " (interpolation of temperature): " + c.what;
    EXPECT_NE(run.console.str().find(expected), std::string::npos)
        << c.name << "\nexpected: " << expected << "\nlog: " << run.console.str();
  }
}

TEST(StationFile, EndsWhenTheFileCannotBeOpened) {
  StationFileRun run("station_missing", "");
  run.settings.path += ".none";
  EXPECT_EQ(exitCodeOf([&] { StationFile file(*run.diag, run.settings); }), 67);
  EXPECT_NE(run.console.str().find("cannot open the station file " + run.settings.path +
                                   " for the interpolation of temperature"),
            std::string::npos);
}

TEST(StationFile, ChecksNoLineAfterTheEndDate) {
  StationFileRun run("station_after_end", header + "2015 4 1 0 1 2 3\n2015 4 1 1 4 5 6\n"
                                                   "2015 4 1 2 7 8 9\n2015 4 1 3 1 1 1\n"
                                                   "2015 4 1 9 broken\n");
  StationFile file(*run.diag, run.settings);
  EXPECT_EQ(file.stationCount(), 3);
}

} // namespace
