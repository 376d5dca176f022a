#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

#include "tests/config/setup_model.h"
#include "tests/test_support.h"

namespace {

const std::string gridSections =
    "[zone_grid]\nzone.asc\n"
    "[elevation_model]\ndem.asc\n"
    "[standard_grids]\n1\nsoil.asc soil_types fillcode = 0 "
    "readcode = 0 defaultValue = 2\n"
    "[variable_grids]\n1\nv.asc v 0 1.5\n0  write code\n0  read code\n";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// A directory holding the control file, a 3 x 2 zone grid and elevation
// model, and the speed file; the set-up runs there.
struct SetupRun {
  explicit SetupRun(const std::string& name, const std::string& control, int variant = 2)
      : dir(std::filesystem::absolute(makeTestDirectory("setup_" + name)).string()) {
    writeFile(dir + "/MpiSpeedFactor.dat", "1\n");
    writeFile(dir + "/zone.asc", asciiGrid({"1 1 -9999", "2 2 2"}, 3));
    writeFile(dir + "/dem.asc", asciiGrid({"10 20 -9999", "30 40 50"}, 3));
    writeFile(dir + "/run.ctl", control);
    const WorkingDirectory here(dir);
    model = std::make_unique<SetupModel>(dir, dir + "/run.ctl", variant);
    exitCode = model->runSetup();
  }
  std::string dir;
  std::unique_ptr<SetupModel> model;
  int exitCode = 0;
};

} // namespace

// Every section the set-up needs, missing or with a value that cannot be
// read, ends the run with a message that names the section.
TEST(StagedSetup, MissingSectionsAndUnreadableValues) {
  const std::string valid = setupSections() + gridSections + laterSetupSections();
  struct Case {
    std::string name;
    std::string control;
    int code;
    std::string message;
  };
  const Case cases[] = {
      {"no [output_interval]", replaced(valid, "[output_interval]", "[other]"), 17,
       "error in control file, [output_interval]; (EOF)not found!"},
      {"no [meteo_names]", replaced(valid, "[meteo_names]", "[other]"), 17,
       "[meteo_names]; (EOF)not found!"},
      {"no [zone_grid]", replaced(valid, "[zone_grid]", "[other]"), 17,
       "error in control file, [zone_grid]; (EOF)not found!"},
      {"no zone grid name", replaced(valid, "[zone_grid]\nzone.asc\n", "[zone_grid]\n\n"), 17,
       "error in control file,  Name for ; [zone_grid], line 34 of "},
      {"no [elevation_model]", replaced(valid, "[elevation_model]", "[other]"), 17,
       "[elevation_model]; (EOF)not found!"},
      {"no [standard_grids]", replaced(valid, "[standard_grids]", "[other]"), 17,
       "[standard_grids]; (EOF)not found!"},
      {"unreadable number of standard grids",
       replaced(valid, "[standard_grids]\n1", "[standard_grids]\none"), 17,
       "counter/number of grids ; [standard_grids], line 37 of "},
      {"no [model_time]", replaced(valid, "[model_time]", "[other]"), 17,
       "[model_time]; (EOF)not found!"},
      {"no [irrigation]", replaced(valid, "[irrigation]", "[other]"), 17,
       "[irrigation]; (EOF)not found!"},
      {"no [radiation_correction]", replaced(valid, "[radiation_correction]", "[other]"), 17,
       "[radiation_correction]; (EOF)not found!"},
      {"unreadable radiation correction",
       replaced(valid, "[radiation_correction]\n1", "[radiation_correction]\non"), 17,
       "radiation correction switch; [radiation_correction], line 31 of "},
      {"no [variable_grids]", replaced(valid, "[variable_grids]", "[other]"), 17,
       "[variable_grids]; (EOF)not found!"},
      {"unreadable number of variable grids",
       replaced(valid, "[variable_grids]\n1", "[variable_grids]\nx"), 17,
       " number of variable grids ; [variable_grids], line 40 of "},
      {"variable grid without default value", replaced(valid, "v.asc v 0 1.5", "v.asc v 0"), 17,
       "\nfile for vargrid 1 or the identifier or the fillcode or the defaultvalue (which is new "
       "in version 7.7) in ; [variable_grids], line 41 of "},
      {"unreadable write code of a variable grid", replaced(valid, "0  write code", "w"), 17,
       "Writegrid for a variable grid ; [variable_grids], line 42 of "},
      {"unreadable read code of a variable grid", replaced(valid, "0  read code", "r"), 17,
       "Readgrid for a variable grid ; [variable_grids], line 43 of "},
      {"zone grid file missing", replaced(valid, "zone.asc\n", "nozone.asc\n"), 21,
       "error opening nozone.asc"},
      {"zone grid not a grid", replaced(valid, "zone.asc\n", "run.ctl\n"), 22,
       "could not recognise file format (ascii, float or double) for run.ctl"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SetupRun run("sections", c.control);
    EXPECT_EQ(run.exitCode, c.code);
    EXPECT_NE(run.model->console().find(c.message), std::string::npos) << run.model->console();
  }
}

TEST(StagedSetup, StepsOfTheModelVariant) {
  for (int variant : {1, 2}) {
    SCOPED_TRACE(variant);
    // Model variant 1 reads no irrigation.
    const std::string control =
        setupSections() + gridSections + laterSetupSections() + "[irrigation_table]\n0  types\n";
    const SetupRun run("variant", replaced(control, "0  irrigation off", "1  on"), variant);
    ASSERT_EQ(run.exitCode, -1) << run.model->console();
    const std::vector<std::string> entries = run.model->entries();
    auto logged = [&](const char* line) {
      return std::find(entries.begin(), entries.end(), line) != entries.end();
    };
    EXPECT_FALSE(logged("make_nFK_kWert_and_Na..."))
        << "variant 1's field capacities are not built";
    EXPECT_EQ(logged("check_irrig_Codes"), variant == 2);
    EXPECT_EQ(run.model->irrigationSwitch, variant == 2 ? 1 : 0);
    EXPECT_EQ(run.model->controlFile, nullptr);
  }
}

// A single land-use grid is layer 1 of itself, registered as "landuse1".
TEST(StagedSetup, SingleLanduseGridIsLayerOne) {
  const SetupRun run("landuse", replaced(setupSections() + gridSections + laterSetupSections(),
                                         "soil.asc soil_types", "lu.asc landuse"));
  ASSERT_EQ(run.exitCode, -1) << run.model->console();
  SetupModel& model = *run.model;
  EXPECT_EQ(model.findGrid("landuse"), 0);
  const int index = model.findGrid("landuse1");
  ASSERT_EQ(index, 3);
  EXPECT_EQ(model.getLanduseLayers(), 1);
  EXPECT_EQ(model.getLanduseLayerGrids(), std::vector<Grid>(2, model.entry(3).grid));
  const std::vector<std::string> entries = model.entries();
  EXPECT_NE(std::find(entries.begin(), entries.end(), "generateMultiLayerParameterGrids..."),
            entries.end());
}

TEST(GridHeaderProbe, FormatsAndBadHeaders) {
  const std::string dir = makeTestDirectory("header_probe");
  auto binary = [](const std::vector<double>& values, bool floats, std::size_t bytes = 0) {
    std::string text;
    for (double v : values) {
      const float f = static_cast<float>(v);
      text.append(floats ? reinterpret_cast<const char*>(&f) : reinterpret_cast<const char*>(&v),
                  floats ? sizeof f : sizeof v);
    }
    return bytes ? text.substr(0, bytes) : text;
  };
  const std::vector<double> head = {4, 3, 100.5, 200, 25, -9999, 0, 0, 0, 0, 0, 0};
  struct Case {
    std::string name;
    std::string content; // empty: no file
    int code;
    std::string message;
  };
  const Case cases[] = {
      {"ascii",
       "ncols 4\nnrows 3\nxllcorner 100.5\nyllcorner 200\ncellsize 25\nNODATA_value -9999\n", -1,
       ""},
      {"ascii in capitals",
       "NCOLS\t4\nNROWS\t3\nXLLCORNER\t100.5\nYLLCORNER\t200\nCELLSIZE\t25\n"
       "NODATA_VALUE\t-9999\n",
       -1, ""},
      // The nodata line is optional: -9999, the nodata value of horva's grids.
      {"ascii without nodata",
       "ncols 4\nnrows 3\nxllcorner 100.5\nyllcorner 200\ncellsize 25\n"
       "1 2 3 4\n",
       -1, ""},
      {"doubles", binary(head, false), -1, ""},
      {"floats", binary(head, true), -1, ""},
      {"mixed case", "Ncols 4\nnrows 3\n", 22,
       "could not recognise file format (ascii, float or double) for "},
      {"floats with another nodata", binary({4, 3, 100.5, 200, 25, -9998, 0, 0, 0, 0, 0, 0}, true),
       22, "could not recognise file format (ascii, float or double) for "},
      {"short double header", binary(head, false, 80), 22,
       "error reading double value from the header of "},
      {"short float header", binary(head, true, 30), 22,
       "error reading double value #8 from the header of "},
      {"unreadable ascii value", "ncols 4\nnrows three\n", 22, "error reading "},
      {"no columns", "ncols 0\nnrows 3\nxllcorner 0\nyllcorner 0\ncellsize 25\nnodata_value -9\n",
       22, "header value #1 (ncols 0 is not a whole number of at least 1) gives no model grid"},
      {"half a column",
       "ncols 4.5\nnrows 3\nxllcorner 0\nyllcorner 0\ncellsize 25\n"
       "nodata_value -9\n",
       22, "header value #1 (ncols 4.5 is not a whole number of at least 1) gives no model grid"},
      {"no cell size", "ncols 4\nnrows 3\nxllcorner 0\nyllcorner 0\ncellsize 0\nnodata_value -9\n",
       22, "header value #5 (cellsize 0 is not a finite number above 0) gives no model grid"},
      {"missing file", "", 21, "error opening "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "zone_" + std::to_string(&c - cases);
    std::filesystem::create_directories(dir + "/in");
    if (!c.content.empty()) writeFile(dir + "/in/" + name, c.content);
    SetupModel model(dir, "");
    model.inputDirectory = dir + "/in/";
    model.entry(1).fileName = name;
    int ncols = 0;
    int nrows = 0;
    double x = 0;
    double y = 0;
    double size = 0;
    double nodata = 0;
    std::signal(SIGINT, SIG_IGN);
    EXPECT_EQ(exitCodeOf([&] { model.readGridHeader(ncols, nrows, x, y, size, nodata); }), c.code);
    // Ctrl-C ends the process again once the file is closed.
    struct sigaction action;
    sigaction(SIGINT, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_DFL);
    if (c.code != -1) {
      EXPECT_NE(model.console().find(c.message), std::string::npos) << model.console();
      EXPECT_NE(model.console().find(dir + "/in/" + name), std::string::npos);
      continue;
    }
    EXPECT_EQ(ncols, 4);
    EXPECT_EQ(nrows, 3);
    EXPECT_EQ(x, 100.5);
    EXPECT_EQ(y, 200.0);
    EXPECT_EQ(size, 25.0);
    EXPECT_EQ(nodata, -9999.0);
  }
}

TEST(GridUtilities, NeighbourhoodMean) {
  struct Case {
    std::string name;
    long row;
    long column;
    std::vector<std::string> cells; // 3 x 3, "." nodata
    double expected;
  };
  const Case cases[] = {
      {"corner", 1, 1, {"5 1 .", "3 2 .", ". . ."}, 2.0},
      {"corner without data around it", 1, 1, {"5 . 7", ". . 7", "7 7 7"}, 5.0},
      {"centre, nodata left out", 2, 2, {"1 . 3", ". 100 .", "5 . 7"}, 4.0},
      {"centre with eight", 2, 2, {"1 2 3", "4 100 6", "7 8 9"}, 5.0},
      {"edge", 3, 2, {"9 9 9", "1 . 3", "4 0 6"}, 3.5},
  };
  const std::string dir = makeTestDirectory("neighbourhood");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetupModel model(dir, "");
    model.header.ncols = 3;
    model.header.nrows = 3;
    Grid grid = model.matrix(1, 3, 1, 3, 3);
    for (long r = 1; r <= 3; ++r) {
      std::istringstream row(c.cells[static_cast<size_t>(r - 1)]);
      for (long col = 1; col <= 3; ++col) {
        std::string cell;
        row >> cell;
        grid[r][col] = cell == "." ? -9999.0 : std::stod(cell);
      }
    }
    model.neighbourhoodMean(c.row, c.column, grid);
    EXPECT_EQ(grid[c.row][c.column], c.expected);
    model.free_matrix(grid, 1, 3, 1, 3);
  }
}

TEST(GridUtilities, IceFirnGridIsOptional) {
  const std::string dir = makeTestDirectory("ice_firn");
  SetupModel model(dir, "");
  model.header.ncols = 2;
  model.header.nrows = 2;
  Grid grid = model.matrix(1, 2, 1, 2, 2);
  model.registerGrid(1, "zone.asc", nullptr, nullptr, 0, "[zone_grid]", 0, 1, 2);
  model.registerGrid(2, "dem.asc", nullptr, nullptr, 0, "[elevation_model]", 0, 1, 2);
  model.registerGrid(3, "a.asc", nullptr, nullptr, 0, "a", 0, 1, 2);
  model.check_ice_firn_grid();
  EXPECT_EQ(model.getIceFirnGrid(), nullptr);
  EXPECT_NE(model.console().find("ice-grid not found in memory (at position 4)"),
            std::string::npos);

  model.registerGrid(4, "ice.asc", grid, nullptr, 0, "ice_firn", 0, 1, 2);
  model.check_ice_firn_grid();
  EXPECT_EQ(model.getIceFirnGrid(), grid);
  for (int i = 1; i <= 4; ++i) model.unregisterGrid(i);
  model.free_matrix(grid, 1, 2, 1, 2);
}
