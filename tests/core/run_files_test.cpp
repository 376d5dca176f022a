#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
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

// The diagnostics files and the logs are the run's own outputs; a relative
// name of a file that does not exist yet is the same file as another name
// of it.
TEST(RunFiles, RefusesAnOutputOverTheRunsOwnFiles) {
  struct Case {
    const char* what;
    const char* output; // relative to the working folder
    int processes;
    const char* use; // of the file it would overwrite; null: no conflict
  };
  const Case cases[] = {
      {"the log through a folder", "output/../modell_0.log", 1, "the log file of process 0"},
      {"the log of another process", "modell_1.log", 2, "the log file of process 1"},
      {"a log of no process", "modell_2.log", 2, nullptr},
      {"the diagnostics file", "output/../diag_0.xml", 1, "the diagnostics file of process 0"},
      {"a worker's diagnostics file", "diag_2.xml", 3, "the diagnostics file of process 2"},
      {"a name beside them", "output/modell_0.log", 1, nullptr},
  };
  const std::string home = std::filesystem::current_path().string();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string dir = makeTestDirectory("run_files_own");
    mkdir((dir + "/output").c_str(), 0755);
    std::filesystem::current_path(dir);
    std::ostringstream console, errors;
    {
      DiagStream diag("diag.xml", 4, &console, &errors);
      RunFiles files(diag);
      const int code = FileRun::codeOf([&] {
        files.noteOwnFiles(c.processes);
        noteOutputFile(c.output, "the statistics QD");
      });
      EXPECT_EQ(code, c.use ? outputRefusedCode : -1);
      if (c.use) {
        EXPECT_NE(console.str().find(std::string("the output file ") + c.output +
                                     " (the statistics QD) is the file "),
                  std::string::npos)
            << console.str();
        EXPECT_NE(console.str().find(std::string(" that the run writes as ") + c.use),
                  std::string::npos)
            << console.str();
      }
    }
    std::filesystem::current_path(home);
  }
  // Two relative names of a file that does not exist yet.
  const std::string dir = makeTestDirectory("run_files_relative");
  mkdir((dir + "/output").c_str(), 0755);
  std::filesystem::current_path(dir);
  std::ostringstream console, errors;
  {
    DiagStream diag("diag.xml", 4, &console, &errors);
    RunFiles files(diag);
    EXPECT_EQ(FileRun::codeOf([&] {
                noteOutputFile("copy.intern", "the preprocessed copy");
                noteOutputFile("output/../copy.intern", "the statistics QD");
              }),
              outputRefusedCode);
  }
  std::filesystem::current_path(home);
}

// A missing folder is named; a name that repeats the output folder is told
// how it came about.
TEST(RunFiles, TellsOfAnOutputFolderNamedTwice) {
  struct Case {
    const char* output;
    bool twice;
  };
  const Case cases[] = {{"output/output/balance_residual.stat", true},
                        {"output/nowhere/balance_residual.stat", false}};
  const std::string home = std::filesystem::current_path().string();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    FileRun run("run_files_twice_folder");
    // The folder is put in front of names as written.
    std::filesystem::current_path(run.dir);
    run.files.setOutputDirectory("output/");
    run.files.noteOutput(c.output, "the balance residual");
    EXPECT_EQ(FileRun::codeOf([&] { run.files.checkOutputsCreatable(); }), outputRefusedCode);
    std::filesystem::current_path(home);
    const std::string text = run.console.str();
    EXPECT_NE(text.find("(No such file or directory); found before the first step, so that the "
                        "run does not fail at its end: create its folder"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("or give the name without the folder output/") != std::string::npos,
              c.twice)
        << text;
  }
}
