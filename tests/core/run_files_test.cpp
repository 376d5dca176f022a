#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>

#include "core/diag_stream.h"
#include "core/run_files.h"
#include "tests/test_support.h"

namespace {

struct FileRun {
  explicit FileRun(const std::string& name)
      : dir(makeTestDirectory(name)), diag(dir + "/diag.xml", 4, &console, &errors), files(diag) {
    writeFile(dir + "/dem.asc", "grid\n");
    mkdir((dir + "/output").c_str(), 0755);
  }
  // The exit code of a step, -1 when it passes.
  static int codeOf(const std::function<void()>& step) {
    try {
      step();
    } catch (int code) {
      return code;
    }
    return -1;
  }

  std::string dir;
  std::ostringstream console;
  std::ostringstream errors;
  DiagStream diag;
  RunFiles files;
};

} // namespace

// Two names of one file are one file, in whichever order the input and
// the output are noted; another file, or no run, is no conflict.
TEST(RunFiles, RefusesAnOutputThatIsAFileTheRunReads) {
  struct Case {
    const char* what;
    const char* output;
    bool outputFirst;
    bool refused;
  };
  const Case cases[] = {
      {"the same name", "dem.asc", false, true},
      {"through dots", "output/./../output/../dem.asc", false, true},
      {"through a link", "output/link.asc", false, true},
      {"the output noted first", "output/../dem.asc", true, true},
      {"a name beside it", "output/dem.asc", false, false},
      {"the name with another ending", "dem.asc.out", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FileRun run("run_files_conflict");
    ASSERT_EQ(symlink("../dem.asc", (run.dir + "/output/link.asc").c_str()), 0);
    const std::string input = run.dir + "/dem.asc";
    const std::string output = run.dir + "/" + c.output;
    const int code = FileRun::codeOf([&] {
      if (c.outputFirst) noteOutputFile(output, "the table of reservoir 2");
      noteInputFile(input, "the elevation model");
      if (!c.outputFirst) noteOutputFile(output, "the table of reservoir 2");
    });
    EXPECT_EQ(code, c.refused ? outputRefusedCode : -1);
    if (c.refused) {
      EXPECT_NE(run.console.str().find("the output file " + output +
                                       " (the table of reservoir 2) is the file " + input +
                                       " that the run reads as the elevation model"),
                std::string::npos)
          << run.console.str();
    }
  }
  // A module built alone notes nothing.
  EXPECT_EQ(RunFiles::current(), nullptr);
  EXPECT_EQ(FileRun::codeOf([] {
              noteInputFile("same.txt", "an input");
              noteOutputFile("same.txt", "an output");
            }),
            -1);
}

// An output that cannot be written is found before the first step, with the
// system's reason.
TEST(RunFiles, FindsOutputsThatCannotBeWritten) {
  struct Case {
    const char* what;
    const char* output;
    const char* reason; // null: it can be written
  };
  const Case cases[] = {
      {"a new file", "output/state_0", nullptr},
      {"an existing file", "dem.asc", nullptr},
      {"a folder in its place", "output", "(Is a directory)"},
      {"a missing folder", "missing/state_0", "(No such file or directory)"},
      {"a file in place of the folder", "dem.asc/state_0", "(Not a directory)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FileRun run("run_files_creatable");
    const std::string output = run.dir + "/" + c.output;
    run.files.noteOutput(output, "the state file");
    const int code = FileRun::codeOf([&] { run.files.checkOutputsCreatable(); });
    EXPECT_EQ(code, c.reason ? outputRefusedCode : -1);
    if (c.reason) {
      EXPECT_NE(run.console.str().find("the output file " + output +
                                       " (the state file) cannot "
                                       "be written " +
                                       c.reason),
                std::string::npos)
          << run.console.str();
    }
  }
}

// One file written for two uses would hold only the later; a file that
// several modules write in turn, each its part, is noted so by each.
TEST(RunFiles, RefusesTwoOutputsOfOneFile) {
  struct Case {
    const char* what;
    const char* firstUse;
    bool firstShared;
    const char* secondUse;
    bool secondShared;
    bool refused;
  };
  const Case cases[] = {
      {"two uses", "the statistics QD", false, "the statistics QI", false, true},
      {"one use noted twice", "the statistics QD", false, "the statistics QD", false, false},
      {"a file written in turn", "the state file of A", true, "the state file of B", true, false},
      {"a part of a file and a whole", "the state file of A", true, "the statistics QI", false,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FileRun run("run_files_twice");
    const std::string output = run.dir + "/output/qd.stat";
    const auto note = [&](const char* use, bool shared, const std::string& path) {
      if (shared)
        noteSharedOutputFile(path, use);
      else
        noteOutputFile(path, use);
    };
    const int code = FileRun::codeOf([&] {
      note(c.firstUse, c.firstShared, output);
      note(c.secondUse, c.secondShared, run.dir + "/output/../output/qd.stat");
    });
    EXPECT_EQ(code, c.refused ? outputRefusedCode : -1);
    if (c.refused) {
      EXPECT_NE(run.console.str().find(std::string(" (") + c.secondUse + ") is the file " + output +
                                       " that the run writes as " + c.firstUse),
                std::string::npos)
          << run.console.str();
    }
  }
}

// What a run creates while it is built is written only once every output
// was checked; a run refused before leaves no file behind.
TEST(RunFiles, CreatesOutputsOnlyOnceChecked) {
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "refused" : "checked");
    const std::string dir = makeTestDirectory("run_files_held");
    const std::string table = dir + "/table.txt";
    const std::string grid = dir + "/grid.asc";
    {
      std::ostringstream console, errors;
      DiagStream diag(dir + "/diag.xml", 4, &console, &errors);
      RunFiles files(diag);
      files.noteOutput(table, "a table");
      files.noteOutput(grid, "a grid");
      OutputText text;
      std::fprintf(text.file(), "YY\tMM\n%s\n", "first");
      EXPECT_EQ(createOutputFile(table, "replaced by the later creation\n"), 0);
      EXPECT_EQ(createOutputFile(table, text.text()), 0);
      createOutputsWhenChecked([&] { writeFile(grid, "ncols 1\n"); });
      EXPECT_FALSE(fileExists(table));
      EXPECT_FALSE(fileExists(grid));
      if (!refused) {
        files.checkOutputsCreatable();
        files.createHeldOutputs();
        EXPECT_EQ(readFile(table), "YY\tMM\nfirst\n");
        EXPECT_EQ(readFile(grid), "ncols 1\n");
        // From now on at once.
        EXPECT_EQ(createOutputFile(table, "again\n"), 0);
        EXPECT_EQ(readFile(table), "again\n");
      }
    }
    EXPECT_EQ(fileExists(table), !refused);
    EXPECT_EQ(fileExists(grid), !refused);
  }
  // Outside a run at once; a folder that is missing gives the system's reason.
  const std::string dir = makeTestDirectory("run_files_alone");
  EXPECT_EQ(createOutputFile(dir + "/alone.txt", "x\n"), 0);
  EXPECT_EQ(readFile(dir + "/alone.txt"), "x\n");
  EXPECT_EQ(createOutputFile(dir + "/missing/alone.txt", "x\n"), ENOENT);
}

// A log's lines of a run being built are appended once every output was
// checked, after the creations and in their order; a refused run leaves the
// log as it was.
TEST(RunFiles, AppendsToALogOnlyOnceChecked) {
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "refused" : "checked");
    const std::string dir = makeTestDirectory("run_files_log");
    const std::string log = dir + "/modell_0.log";
    const std::string table = dir + "/table.txt";
    writeFile(log, "former run\n");
    {
      std::ostringstream console, errors;
      DiagStream diag(dir + "/diag.xml", 4, &console, &errors);
      RunFiles files(diag);
      files.noteOutput(table, "a table");
      EXPECT_EQ(appendOutputFile(log, "first\n"), 0);
      EXPECT_EQ(appendOutputFile(table, "after its header\n"), 0);
      EXPECT_EQ(createOutputFile(table, "header\n"), 0);
      EXPECT_EQ(appendOutputFile(log, "second\n"), 0);
      EXPECT_EQ(readFile(log), "former run\n");
      if (!refused) {
        files.checkOutputsCreatable();
        files.createHeldOutputs();
        EXPECT_EQ(readFile(log), "former run\nfirst\nsecond\n");
        EXPECT_EQ(readFile(table), "header\nafter its header\n");
        EXPECT_EQ(appendOutputFile(log, "in the run\n"), 0);
        EXPECT_EQ(readFile(log), "former run\nfirst\nsecond\nin the run\n");
      }
    }
    if (refused) {
      EXPECT_EQ(readFile(log), "former run\n");
      EXPECT_FALSE(fileExists(table));
    }
  }
  const std::string dir = makeTestDirectory("run_files_log_alone");
  EXPECT_EQ(appendOutputFile(dir + "/new.log", "x\n"), 0);
  EXPECT_EQ(appendOutputFile(dir + "/new.log", "y\n"), 0);
  EXPECT_EQ(readFile(dir + "/new.log"), "x\ny\n");
  EXPECT_EQ(appendOutputFile(dir + "/missing/new.log", "x\n"), ENOENT);
}
