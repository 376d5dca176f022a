#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "driver/command_line.h"
#include "tests/test_support.h"

namespace {

struct RunResult {
  int status;
  std::string output;
};

// Runs the horva executable in a directory; returns its exit status and
// everything it printed.
RunResult runHorva(const std::string& directory, const std::string& arguments) {
  const std::string command =
      "cd " + directory + " && " + HORVA_EXECUTABLE + " " + arguments + " > out.txt 2>&1";
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(directory + "/out.txt")};
}

} // namespace

TEST(HorvaProgram, WithoutArgumentsPrintsUsageAndExitsWith2) {
  const std::string dir = makeTestDirectory("prog_usage");
  const RunResult run = runHorva(dir, "");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find(usageText), std::string::npos);
  EXPECT_NE(run.output.find("*** There are "), std::string::npos);
  EXPECT_NE(run.output.find("This is OpenMP thread 0"), std::string::npos);
  EXPECT_TRUE(fileExists(dir + "/Horva_Diag_0.xml"));
}

TEST(HorvaProgram, WritesAWellFormedDiagnosticsFileWhereAsked) {
  const std::string dir = makeTestDirectory("prog_diag");
  std::filesystem::create_directory(dir + "/out");
  const RunResult run = runHorva(dir, "-diagfile:out/diag.xml -diaglevel:info");
  EXPECT_EQ(run.status, 2);
  const std::string xml = readFile(dir + "/out/diag_0.xml");
  EXPECT_NE(xml.find("description= \"Horva start at "), std::string::npos);
  EXPECT_NE(xml.find("description= \"Horva finished at "), std::string::npos);
  EXPECT_NE(xml.find("compiled at"), std::string::npos);
  EXPECT_EQ(std::system(("xmllint --noout " + dir + "/out/diag_0.xml").c_str()), 0);
}

TEST(HorvaProgram, ParsesItsOptions) {
  const char* argv[] = {
      "horva", "-diagfile:run.diag.xml", "-diaglevel:warning", "-mode:routing", "-bogus", "a.ctl",
      "b.ctl"};
  const CommandLine options = parseCommandLine(7, argv);
  EXPECT_EQ(options.diagFile, "run.diag.xml");
  EXPECT_EQ(options.diagLevel, 2);
  EXPECT_TRUE(options.routingOnly);
  EXPECT_EQ(options.unknownOptions, std::vector<std::string>{"-bogus"});
  EXPECT_EQ(options.controlFiles, (std::vector<std::string>{"a.ctl", "b.ctl"}));
}
