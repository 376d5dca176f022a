#include <gtest/gtest.h>

#include "tests/config/setup_model.h"
#include "tests/test_support.h"

namespace {

struct Parsed {
  int exitCode = -1;
  std::string console;
  std::vector<StandardGrid> grids;
  std::vector<GridRegistryEntry> entries; // 0 .. 3
};

// readStandardGrids on a control file whose "[standard_grids]" holds the
// given count (line 7) and lines (from line 8).
Parsed parse(const std::string& name, const std::string& count, const std::string& lines,
             const std::string& outputDirectory = "") {
  const std::string dir = makeTestDirectory("standard_" + name);
  const std::string control = dir + "/run.ctl.intern";
  writeFile(control, "[zone_grid]\nzone.asc\n[elevation_model]\ndem.asc\n\n[standard_grids]\n" +
                         count + "  grids\n" + lines + "[variable_grids]\n0\n");
  SetupModel model(dir, control);
  model.outputDirectory = outputDirectory;
  model.openControlFile();
  Parsed p;
  p.exitCode = exitCodeOf([&] { model.readStandardGrids(); });
  p.console = model.console();
  p.grids = model.getStandardGrids();
  for (int i = 0; i <= 3; ++i) p.entries.push_back(model.entry(i));
  return p;
}

} // namespace

TEST(StandardGrids, BothLineStylesAndEveryKey) {
  struct Case {
    std::string name;
    std::string line;
    int fillCode;
    int readCode;
    double defaultValue;
    long writeCode;
    std::string outputName;
    std::string statFile;
    int statCode;
    int periodCount;
    std::string unit;
    int periodSteps;
    bool persistent;
    int restoreAfter;
  };
  const Case cases[] = {
      {"old style", "dem.asc elevation2 0", 0, 1, 0.0, 0, "dem.asc", "", 0, -1, "", -1, true, 0},
      {"new style",
       "soil.asc soil_types fillcode = 1 readcode = 0 defaultValue = 3.5 writecode = 1", 1, 0, 3.5,
       1, "soil.asc", "", 0, -1, "", -1, true, 0},
      {"old style with a fill-code key", "a.asc a 1 fillcode = 2", 2, 1, 0.0, 0, "a.asc", "", 0, -1,
       "", -1, true, 0},
      {"keys in any order, without blanks",
       "a.asc a writecode=2153 statcode=1001 statfile=a.stat fillcode=2 outname=out/a.grd", 2, 1,
       0.0, 2153, "out/a.grd", "a.stat", 1001, -1, "", -1, true, 0},
      {"periodicity without persistent", "a.asc a 0 periodicity = 1 D 6", 0, 1, 0.0, 0, "a.asc", "",
       0, 1, "D", 6, true, 0},
      {"not persistent", "a.asc a 0 periodicity = 2 Month 1 persistent = 0 3", 0, 1, 0.0, 0,
       "a.asc", "", 0, 2, "Month", 1, false, 3},
      {"a unit in capitals", "a.asc a 0 periodicity = 3 MONTH 1", 0, 1, 0.0, 0, "a.asc", "", 0, 3,
       "MONTH", 1, true, 0},
      {"a unit in small letters", "a.asc a 0 periodicity = 1 hours 2", 0, 1, 0.0, 0, "a.asc", "", 0,
       1, "hours", 2, true, 0},
      {"persistent only counts with a periodicity", "a.asc a 0 persistent = 0 3", 0, 1, 0.0, 0,
       "a.asc", "", 0, -1, "", -1, true, 0},
      {"a key's text inside a file name", "a.asc a 0 outname = readcode_writecode.asc", 0, 1, 0.0,
       0, "readcode_writecode.asc", "", 0, -1, "", -1, true, 0},
      {"old style fill code followed by free text", "a.asc a 2 this grid holds things", 2, 1, 0.0,
       0, "a.asc", "", 0, -1, "", -1, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Parsed p = parse("styles", "1", c.line + "\n");
    ASSERT_EQ(p.exitCode, -1) << p.console;
    ASSERT_EQ(p.grids.size(), 1u);
    const StandardGrid& g = p.grids[0];
    EXPECT_EQ(g.index, 3);
    EXPECT_EQ(g.fillCode, c.fillCode);
    EXPECT_EQ(g.readCode, c.readCode);
    EXPECT_EQ(g.defaultValue, c.defaultValue);
    EXPECT_EQ(g.writeCode, c.writeCode);
    EXPECT_EQ(p.entries[3].firstFileName, c.outputName);
    EXPECT_EQ(g.statFile, c.statFile);
    EXPECT_EQ(g.statCode, c.statCode);
    EXPECT_EQ(g.periodCount, c.periodCount);
    EXPECT_EQ(g.periodUnit, c.unit);
    EXPECT_EQ(g.periodSteps, c.periodSteps);
    EXPECT_EQ(g.persistent, c.persistent);
    EXPECT_EQ(g.restoreAfter, c.restoreAfter);
    EXPECT_EQ(g.periodCounter, 0);
    EXPECT_EQ(g.lastWatched, 9999);
    // Until set-up step 8 the entry holds the names only.
    EXPECT_TRUE(p.entries[3].hasFileName);
    EXPECT_EQ(p.entries[3].grid, nullptr);
  }
}

TEST(StandardGrids, SectionsFillTheFirstEntriesAndMarkCoordinates) {
  const Parsed p = parse("entries", "3",
                         "lon.asc longitude 0\n\n  b.asc b 1\nlat.asc latitude 0 writecode = 0\n");
  ASSERT_EQ(p.exitCode, -1) << p.console;
  EXPECT_EQ(p.entries[1].fileName, "zone.asc");
  EXPECT_EQ(p.entries[1].name, "[zone_grid]");
  EXPECT_EQ(p.entries[2].fileName, "dem.asc");
  EXPECT_EQ(p.entries[2].name, "[elevation_model]");
  EXPECT_EQ(p.entries[3].name, "longitude");
  EXPECT_EQ(p.entries[1].longitudeIndex, 3);
  EXPECT_EQ(p.entries[1].latitudeIndex, 5);
  EXPECT_NE(p.console.find("found longitude grid on position: 1"), std::string::npos);
  EXPECT_NE(p.console.find("found latitude grid on position: 3"), std::string::npos);
  EXPECT_EQ(p.grids.size(), 3u);
}

// A line after the counted grids that reads as one is named, and not read;
// free text there is no grid.
TEST(StandardGrids, NamesTheLinesBeyondTheCount) {
  struct Case {
    const char* what;
    const char* lines;  // after "a.asc a 0", the one counted grid
    const char* warned; // the line named, or null
  };
  const Case cases[] = {
      {"an old-style line", "b.asc b 0\n", "line 9 of "},
      {"a new-style line after a blank one", "\nb.asc b fillcode = 1 readcode = 1\n",
       "line 10 of "},
      {"free text", "the grids of the basin\n", nullptr},
      {"a name and an identifier alone", "b.asc b\n", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Parsed p = parse("beyond_count", "1", std::string("a.asc a 0\n") + c.lines);
    ASSERT_EQ(p.exitCode, -1) << p.console;
    EXPECT_EQ(p.grids.size(), 1u);
    const std::size_t at = p.console.find("[standard_grids], ");
    EXPECT_EQ(at != std::string::npos, c.warned != nullptr) << p.console;
    if (!c.warned) continue;
    EXPECT_NE(p.console.find(c.warned, at), std::string::npos) << p.console;
    EXPECT_NE(p.console.find("this line reads as a standard grid, but the section's count is 1, "
                             "so it is not read; raise the count to read the grid \"b\""),
              std::string::npos)
        << p.console;
  }
}

// A grid read from its file is never written over it.
TEST(StandardGrids, OutputNeverReplacesTheInputFile) {
  struct Case {
    std::string name;
    std::string line;
    std::string outputDirectory;
    std::string outputName;
  };
  const Case cases[] = {
      {"written every step", "in.asc g 0 writecode = 1", "", "in.asc.out"},
      {"time-stamped, and at the end under its name", "in.asc g 0 writecode = 2", "", "in.asc.out"},
      {"filled grid", "in.asc g 1 writecode = 8", "", "in.asc.out"},
      {"statistics only", "in.asc g 0 writecode = 10", "", "in.asc"},
      {"created, not read", "in.asc g 0 readcode = 0 writecode = 1", "", "in.asc"},
      {"an output name of its own", "in.asc g 0 writecode = 1 outname = out.asc", "", "out.asc"},
      {"the same output name", "in.asc g 0 writecode = 1 outname = in.asc", "", "in.asc.out"},
      {"an output directory of its own", "in.asc g 0 writecode = 1", "out/", "in.asc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Parsed p = parse("protect", "1", c.line + "\n", c.outputDirectory);
    ASSERT_EQ(p.exitCode, -1) << p.console;
    EXPECT_EQ(p.entries[3].fileName, "in.asc");
    EXPECT_EQ(p.entries[3].firstFileName, c.outputName);
    const bool warned =
        p.console.find("the standard grid g would be written over its input file in.asc; it is "
                       "written as in.asc.out instead") != std::string::npos;
    EXPECT_EQ(warned, c.outputName == "in.asc.out");
  }
}

TEST(StandardGrids, BadLinesEndTheRunNamingTheSection) {
  struct Case {
    std::string name;
    std::string count;
    std::string lines;
    std::string message;
  };
  const Case cases[] = {
      {"new style without fill code", "1", "a.asc a readcode = 1\n",
       "error in control file, \nerror reading the fillcode for standard grid 1 (found neither in "
       "old nor in new style standard grid definition) in\n; [standard_grids], line 8 of "},
      {"name without identifier", "2", "a.asc a 0\nb.asc\n",
       "error in control file, \nerror reading a grid name or identifier 2 in\n; "
       "[standard_grids], line 9 of "},
      {"fewer lines than grids", "2", "a.asc a 0\n",
       "\nerror reading a grid name or identifier 2 in\n; [standard_grids], line 9 of "
       "testdata_standard_bad_np1_rank0/run.ctl.intern reads \"[variable_grids]\": not found!"},
      {"unreadable count", "many", "", "counter/number of grids ; [standard_grids], line 7 of "},
      {"unreadable key value", "1", "a.asc a 0 readcode = x\n",
       "\nvalue of readcode for standard grid 1 in\n; [standard_grids], line 8 of "},
      {"periodicity without its step", "1", "a.asc a 0 periodicity = 1 D\n",
       "value of periodicity for standard grid 1"},
      {"not persistent without its steps", "1", "a.asc a 0 periodicity = 1 D 2 persistent = 0\n",
       "value of persistent for standard grid 1"},
      {"persistent neither 0 nor 1", "1", "a.asc a 0 periodicity = 1 D 2 persistent = 2 1\n",
       "value of persistent for standard grid 1"},
      {"empty output name", "1", "a.asc a 0 outname =\n", "value of outname for standard grid 1"},
      {"a unit that is no unit", "1", "a.asc a 0 periodicity = 1 week 1\n",
       "error in control file, unknown unit \"week\" in the periodicity of standard grid 1: "
       "[standard_grids], line 8 of "},
      {"a number for the unit", "1", "a.asc a 0 periodicity = 1 2 3\n",
       "unknown unit \"2\" in the periodicity of standard grid 1: [standard_grids], line 8 of "},
      {"a negative count", "-1", "",
       "section [standard_grids]: the value -1 of \"counter/number of grids \" must be 0 or more "
       "(line 7 of testdata_standard_bad_np1_rank0/run.ctl.intern)"},
      {"fill code 3 in the old style", "1", "a.asc a 3\n",
       "section [standard_grids]: the value 3 of \"fillcode\" of the grid \"a\" must be 0 (keep "
       "nodata), 1 (nearest value) or 2 (defaultValue) (line 8 of "
       "testdata_standard_bad_np1_rank0/run.ctl.intern)"},
      {"fill code -1 as a key", "1", "a.asc a fillcode = -1\n",
       "the value -1 of \"fillcode\" of the grid \"a\" must be 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Parsed p = parse("bad", c.count, c.lines);
    EXPECT_EQ(p.exitCode, 17);
    EXPECT_NE(p.console.find(c.message), std::string::npos) << p.console;
  }
}

TEST(StandardGrids, RegistryOverflowIsRefused) {
  std::string lines;
  for (int k = 1; k <= 998; ++k) lines += "g.asc g" + std::to_string(k) + " 0\n";
  const Parsed p = parse("overflow", "998", lines);
  EXPECT_EQ(p.exitCode, 12);
  EXPECT_NE(p.console.find("no free grid in memory,(max. 1000)!"), std::string::npos);
}
