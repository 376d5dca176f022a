#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
