#include <gtest/gtest.h>

#include "tests/config/control_file_reader_model.h"
#include "tests/test_support.h"

namespace {

// The sections after "[output_interval]", all valid.
const std::string otherSections = "[output_list]\n"
                                  "2   number of subbasins\n"
                                  "3   first code\n"
                                  "7   second code\n"
                                  "[coordinates]\n"
                                  "47.5   latitude\n"
                                  "8.25   longitude\n"
                                  "15     reference meridian\n"
                                  "-1     time shift\n"
                                  "[meteo_data_count]\n"
                                  "2\n"
                                  "[meteo_names]\n"
                                  "temperature   first name\n"
                                  "precipitation\n";

const std::string fullInterval = "[output_interval]\n"
                                 "24   output interval\n"
                                 "1    second switch\n"
                                 "1    third switch\n"
                                 "60   min_to_int_end\n"
                                 "WriteAsciiGrids = 1\n"
                                 "  WriteDoubleGrids = 1\n"
                                 "\tWriteNetcdfGrids=1\n"
                                 "InitialStateDirectory = init/ states of 1990\n"
                                 "DefaultOutputDirectory = out/\n"
                                 "timestep = 1440\n"
                                 "\n";

// CONTROL in an expected message stands for the control file's name.
std::string withFileName(std::string message, const std::string& control) {
  const size_t p = message.find("CONTROL");
  if (p != std::string::npos) message.replace(p, 7, control);
  return message;
}

std::string replacedAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t p = text.find(from); p != std::string::npos; p = text.find(from, p + to.size()))
    text.replace(p, from.size(), to);
  return text;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t p = text.find(from);
  EXPECT_NE(p, std::string::npos) << from;
  if (p != std::string::npos) text.replace(p, from.size(), to);
  return text;
}

} // namespace

TEST(OutputSettings, ReadsEverySectionAndKey) {
  const std::string dir = makeTestDirectory("out_full");
  const std::string control = dir + "/run.ctl.intern";
  const std::string longName(300, 'n');
  writeFile(control, fullInterval + replaced(otherSections, "precipitation", longName));
  ControlFileReaderModel reader(dir, control);
  reader.readOutputControl(control);

  EXPECT_EQ(reader.getOutputControlInterval(), 24);
  EXPECT_EQ(reader.getSecondOutputSwitch(), 1);
  EXPECT_EQ(reader.getThirdOutputSwitch(), 1);
  EXPECT_EQ(reader.getMinToIntEndMinutes(), 60.0);
  EXPECT_EQ(reader.getMinToIntEndHours(), 1.0);
  EXPECT_TRUE(reader.writeAsciiGrids);
  EXPECT_TRUE(reader.writeDoubleGrids);
  EXPECT_TRUE(reader.writeNetCDFGrids);
  EXPECT_EQ(reader.inputDirectory, "init/");
  EXPECT_EQ(reader.outputDirectory, "out/");
  EXPECT_EQ(reader.getTimeStep(), 1440);
  EXPECT_EQ(reader.getOutputList(), std::vector<int>({3, 7}));
  EXPECT_EQ(reader.getLatitude(), 47.5);
  EXPECT_EQ(reader.getLongitude(), 8.25);
  EXPECT_EQ(reader.getReferenceMeridian(), 15.0);
  EXPECT_EQ(reader.getTimeShift(), -1.0);
  EXPECT_EQ(reader.getMeteoNames(), std::vector<std::string>({"temperature", longName}));
  EXPECT_EQ(reader.controlFile, nullptr); // closed again
  EXPECT_EQ(reader.console().find("WARNING"), std::string::npos);
}

TEST(OutputSettings, ValuesAndKeysOfTheIntervalSection) {
  struct Case {
    std::string name;
    std::string interval; // lines after "[output_interval]"
    int second;
    int third;
    double minToIntEnd;
    bool ascii;
    bool netcdf;
    int timeStep;
    std::string warning; // "" for none
  };
  const Case cases[] = {
      {"only the interval", "24\n\n", 0, 0, 0, false, false, 0, ""},
      {"clamped", "24\n5\n7\n-60\n\n", 1, 0, 0, false, false, 0, ""},
      {"negative second switch", "24\n-1\n1\n30.5\n\n", 1, 1, 30.5, false, false, 0, ""},
      {"keys right after the interval", "24\nWriteAsciiGrids = 1\ntimestep = 60\n\n", 0, 0, 0, true,
       false, 60, ""},
      {"blank line before the values", "24\n\n1 switch\n1\n1440\n\n", 1, 1, 1440, false, false, 0,
       ""},
      {"unreadable second switch", "24\nx second switch\n1\n30\n\n", 0, 1, 30, false, false, 0,
       "[output_interval], line 3 of CONTROL reads \"x\": the second switch cannot be read; it "
       "is 0"},
      {"unreadable third switch", "24\n1\nyes\n30\n\n", 1, 0, 30, false, false, 0,
       "line 4 of CONTROL reads \"yes\": the third switch cannot be read"},
      {"unreadable min_to_int_end", "24\n1\n1\nabc\n\n", 1, 1, 0, false, false, 0,
       "line 5 of CONTROL reads \"abc\": min_to_int_end cannot be read; it is 0"},
      {"block without its empty line",
       "24\nWriteNetcdfGrids = 1\n[notes]\ntimestep = 99\n"
       "WriteAsciiGrids = 1\n\n",
       0, 0, 0, false, true, 0, ""},
      {"first key of a line wins", "24\nWriteAsciiGrids = 1 timestep = 60\n\n", 0, 0, 0, true,
       false, 0, ""},
      {"free text in the block", "24\nsome words = 3\nWriteNetcdfGrids = 1\n\n", 0, 0, 0, false,
       true, 0, ""},
      {"a key of other case", "24\nWriteNetcdfGrids = 1\nwriteasciigrids = 1\n\n", 0, 0, 0, false,
       true, 0,
       "line 4 of CONTROL reads \"writeasciigrids = 1\": \"writeasciigrids\" is no key of "
       "[output_interval], whose keys are WriteAsciiGrids, WriteDoubleGrids, WriteNetcdfGrids, "
       "InitialStateDirectory, DefaultOutputDirectory and timestep (keys are case-sensitive); the "
       "line is ignored"},
      {"empty line ends the block", "24\n \t\r\nWriteAsciiGrids = 1\n\n", 0, 0, 0, false, false, 0,
       ""},
      {"unreadable switch key", "24\nWriteAsciiGrids = 2\n\n", 0, 0, 0, false, false, 0,
       "line 3 of CONTROL reads \"WriteAsciiGrids = 2\": WriteAsciiGrids must be 0 or 1"},
      {"unreadable time step", "24\ntimestep = x\n\n", 0, 0, 0, false, false, 0,
       "reads \"timestep = x\": timestep cannot be read; it is 0"},
      // DIR stands for the test's own folder.
      {"output folder without its slash", "24\nDefaultOutputDirectory = DIR\n\n", 0, 0, 0, false,
       false, 0,
       "line 3 of CONTROL reads \"DefaultOutputDirectory = DIR\": DefaultOutputDirectory DIR "
       "names a folder, but is put in front of file names as it stands (DIRname); write DIR/ to "
       "use the folder"},
      {"input folder without its slash", "24\nInitialStateDirectory = DIR\n\n", 0, 0, 0, false,
       false, 0, "InitialStateDirectory DIR names a folder"},
      {"folders with their slash and a prefix of names",
       "24\nInitialStateDirectory = DIR/\nDefaultOutputDirectory = DIR/run_\n\n", 0, 0, 0, false,
       false, 0, ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string dir = makeTestDirectory("out_values" + std::to_string(n++));
    const std::string control = dir + "/run.ctl.intern";
    writeFile(control, "[output_interval]\n" + replacedAll(c.interval, "DIR", dir) + otherSections);
    ControlFileReaderModel reader(dir, control);
    reader.readOutputControl(control);
    EXPECT_EQ(reader.getOutputControlInterval(), 24) << c.name;
    EXPECT_EQ(reader.getSecondOutputSwitch(), c.second) << c.name;
    EXPECT_EQ(reader.getThirdOutputSwitch(), c.third) << c.name;
    EXPECT_EQ(reader.getMinToIntEndMinutes(), c.minToIntEnd) << c.name;
    EXPECT_EQ(reader.writeAsciiGrids, c.ascii) << c.name;
    EXPECT_EQ(reader.writeNetCDFGrids, c.netcdf) << c.name;
    EXPECT_EQ(reader.getTimeStep(), c.timeStep) << c.name;
    const std::string console = reader.console();
    if (c.warning.empty()) {
      EXPECT_EQ(console.find("WARNING"), std::string::npos) << c.name << console;
    } else {
      EXPECT_NE(console.find(replacedAll(withFileName(c.warning, control), "DIR", dir)),
                std::string::npos)
          << c.name << console;
    }
  }
}

TEST(OutputSettings, ListsAndNames) {
  struct Case {
    std::string name;
    std::string from;
    std::string to;
    std::vector<int> list;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"empty output list",
       "2   number of subbasins\n3   first code\n7   second code\n",
       "0\n",
       {},
       {"temperature", "precipitation"}},
      {"one code",
       "2   number of subbasins\n3   first code\n7   second code\n",
       "1\n9\n",
       {9},
       {"temperature", "precipitation"}},
      {"no meteorological variables",
       "[meteo_data_count]\n2\n",
       "[meteo_data_count]\n0\n",
       {3, 7},
       {}},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string dir = makeTestDirectory("out_lists" + std::to_string(n++));
    const std::string control = dir + "/run.ctl.intern";
    writeFile(control, fullInterval + replaced(otherSections, c.from, c.to));
    ControlFileReaderModel reader(dir, control);
    reader.readOutputControl(control);
    EXPECT_EQ(reader.getOutputList(), c.list) << c.name;
    EXPECT_EQ(reader.getMeteoNames(), c.names) << c.name;
  }
}

TEST(OutputSettings, FailsNamingTheSectionTheLineAndTheValue) {
  struct Case {
    std::string name;
    std::string from;
    std::string to;
    int code;
    std::string message; // CONTROL stands for the file name
  };
  const Case cases[] = {
      {"no [output_interval]", "[output_interval]", "[output_intervals]", 17,
       "error in control file, [output_interval]; (EOF)not found!"},
      {"no [output_list]", "[output_list]", "[outputlist]", 17,
       "error in control file, [output_list]; (EOF)not found!"},
      {"no [coordinates]", "[coordinates]", "[coordinate]", 17,
       "error in control file, [coordinates]; (EOF)not found!"},
      {"no [meteo_data_count]", "[meteo_data_count]", "[meteo_count]", 17,
       "error in control file, [meteo_data_count]; (EOF)not found!"},
      {"no [meteo_names]", "[meteo_names]", "[names]", 17,
       "error in control file, [meteo_names]; (EOF)not found!"},
      {"output interval", "24   output interval", "x24   output interval", 17,
       "error in control file, output control; [output_interval], line 2 of CONTROL reads "
       "\"x24\": not found!"},
      {"list count", "2   number of subbasins", "two", 17,
       "error in control file, number of subbasins in output list; [output_list], line 14 of "
       "CONTROL reads \"two\": not found!"},
      {"list code", "7   second code", "seven", 17,
       "error in control file, codes in output-list; [output_list], line 16 of CONTROL reads "
       "\"seven\": not found!"},
      {"list too short", "3   first code\n7   second code\n", "3\n", 17,
       "codes in output-list; [output_list], line 16 of CONTROL reads \"[coordinates]\": not "
       "found!"},
      {"codes not ascending", "3   first code\n7   second code\n", "7\n3\n", 97,
       "order of subbasin codes in output_list!\nif output should be written for a specified "
       "set of subbasins,\n(specified by a statcode of 5 for averaging in time or 6 for summing "
       "in time)\nthan the codes has to be arranged in ascendend order\n.look in "
       "[output_list]\ncode 3 on line 16 of CONTROL follows code 7\n"},
      {"codes repeated", "3   first code\n7   second code\n", "3\n3\n", 97,
       "code 3 on line 16 of CONTROL follows code 3"},
      {"latitude", "47.5   latitude", "north", 17,
       "geographic latitude; [coordinates], line 18 of CONTROL reads \"north\": not found!"},
      {"longitude", "8.25   longitude", "east", 17,
       "geographic longitude; [coordinates], line 19 of CONTROL reads \"east\": not found!"},
      {"reference meridian", "15     reference meridian", "m", 17,
       "reference meridian; [coordinates], line 20 of CONTROL reads \"m\": not found!"},
      {"time shift", "-1     time shift", "-", 17,
       "time shift of data time to lokal time; [coordinates], line 21 of CONTROL reads \"-\": "
       "not found!"},
      {"longitude beyond a turn", "8.25   longitude", "360.5", 17,
       "section [coordinates]: the value 360.5 of \"geographic longitude\" must lie within "
       "-180 ... 360 (degrees east)"},
      {"meridian west of -180", "15     reference meridian", "-181", 17,
       "section [coordinates]: the value -181 of \"reference meridian\" must lie within "
       "-180 ... 360 (degrees east)"},
      {"time shift beyond a day", "-1     time shift", "1e9", 17,
       "section [coordinates]: the value 1e+09 of \"time shift of data time to lokal time\" must "
       "lie within -24 ... 24 (hours)"},
      {"meteo count", "[meteo_data_count]\n2\n", "[meteo_data_count]\nzwei\n", 17,
       "number of meteorological variables; [meteo_data_count], line 23 of CONTROL reads "
       "\"zwei\": not found!"},
      {"too few names", "[meteo_data_count]\n2\n", "[meteo_data_count]\n3\n", 17,
       "name of meteorological variable 3; [meteo_names], end of CONTROL: not found!"},
      {"negative output interval", "24   output interval", "-1", 17,
       "section [output_interval]: the value -1 of \"output control\" must be 0 (no line) ... "
       "87600 (hours, ten years) (line 2 of CONTROL)"},
      {"output interval of eleven years", "24   output interval", "96360", 17,
       "the value 96360 of \"output control\" must be 0 (no line) ... 87600"},
      // A key that stands there with a value that is no whole number.
      {"switch beyond a double", "WriteAsciiGrids = 1", "WriteAsciiGrids = 1e999", 17,
       "[output_interval], line 6 of CONTROL reads \"WriteAsciiGrids = 1e999\": the value of "
       "WriteAsciiGrids, \"1e999\", is not a whole number; write a whole number there"},
      {"negative list count", "2   number of subbasins", "-1", 17,
       "section [output_list]: the value -1 of \"number of subbasins in output list\" must be "
       "0 ... 100000 (line 14 of CONTROL)"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string dir = makeTestDirectory("out_fail" + std::to_string(n++));
    const std::string control = dir + "/run.ctl.intern";
    writeFile(control, replaced(fullInterval + otherSections, c.from, c.to));
    ControlFileReaderModel reader(dir, control);
    EXPECT_EQ(exitCodeOf([&] { reader.readOutputControl(control); }), c.code) << c.name;
    EXPECT_NE(reader.console().find(withFileName(c.message, control)), std::string::npos)
        << c.name << "\n"
        << reader.console();
    EXPECT_EQ(reader.controlFile, nullptr) << c.name;
  }
}

TEST(OutputSettings, FailsOnAControlFileThatCannotBeOpened) {
  const std::string dir = makeTestDirectory("out_open");
  const std::string control = dir + "/absent.ctl.intern";
  ControlFileReaderModel reader(dir, control);
  EXPECT_EQ(exitCodeOf([&] { reader.readOutputControl(control); }), 28);
  EXPECT_NE(reader.console().find("Error opening " + control), std::string::npos);
  EXPECT_EQ(exitCodeOf([&] { reader.readSubsteps(); }), 28);
}

TEST(OutputSettings, SubstepCount) {
  struct Case {
    std::string section;
    int code;  // -1: read
    int count; // when read
    std::string message;
  };
  const std::string name = "[soil_surface_groundwater_substeps]";
  const Case cases[] = {
      {"", -1, 1, ""},
      {name + "\n4  sub-steps\n", -1, 4, ""},
      {name + "\nfour\n", 17, 0,
       "error in control file, sub step counter from " + name + " not found; " + name +
           ", line 5 of CONTROL reads \"four\": not found!"},
      {name + "\n0\n", 17, 0, name + ", line 5 of CONTROL reads \"0\": not found!"},
      {name + "\n", 17, 0, name + ", end of CONTROL: not found!"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string dir = makeTestDirectory("out_substeps" + std::to_string(n++));
    const std::string control = dir + "/run.ctl.intern";
    writeFile(control, "[other]\n1\n\n" + c.section);
    ControlFileReaderModel reader(dir, control);
    int count = 0;
    EXPECT_EQ(exitCodeOf([&] { count = reader.readSubsteps(); }), c.code) << c.section;
    if (c.code == -1) {
      EXPECT_EQ(count, c.count) << c.section;
      EXPECT_EQ(reader.getSubstepCount(), c.count) << c.section;
    } else {
      EXPECT_NE(reader.console().find(withFileName(c.message, control)), std::string::npos)
          << reader.console();
    }
    EXPECT_EQ(reader.controlFile, nullptr);
  }
}
