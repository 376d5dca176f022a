#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <spawn.h>
#include <thread>

#include "driver/command_line.h"
#include "tests/driver/model_run.h"
#include "tests/test_support.h"

extern char** environ;

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

std::string absoluteTestDirectory(const std::string& name) {
  return std::filesystem::absolute(makeTestDirectory(name)).string();
}

// The last two entries of a failed run, and its code as logged (the status
// of the process is the code modulo 256).
void expectTopLevelFailure(const RunResult& run, int code, const std::string& xmlFile) {
  const std::string lines = "Exception " + std::to_string(code) +
                            " caught at top level!\n(mpi-rank  0) Program aborted with exit code " +
                            std::to_string(code) + "\n";
  EXPECT_NE(run.output.find(lines), std::string::npos) << run.output;
  EXPECT_EQ(run.status, code % 256);
  const std::string xml = readFile(xmlFile);
  EXPECT_NE(xml.find("description= \"Program aborted with exit code " + std::to_string(code) +
                     "\"/>\n\t<line level=\"3\" description= \"Horva finished at "),
            std::string::npos)
      << xml;
  EXPECT_TRUE(wellFormedXml(xmlFile));
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
  EXPECT_TRUE(wellFormedXml(dir + "/out/diag_0.xml"));
}

TEST(HorvaProgram, ParsesItsOptions) {
  struct Case {
    std::vector<const char*> arguments;
    DumpOptions dump;
    std::string invalid;
  };
  const Case cases[] = {
      {{}, {0, 0, 0, 0}, ""},
      {{"-dumpmode"}, {1, 0, 0, 0}, ""},
      {{"-dumpmode:25", "-closeAfterDump", "-repairAfterDump"}, {1, 1, 1, 25}, ""},
      {{"-dumpmode:0"}, {1, 0, 0, 0}, ""},
      {{"-dumpmode:"}, {0, 0, 0, 0}, "-dumpmode:"},
      {{"-dumpmode:-3"}, {0, 0, 0, 0}, "-dumpmode:-3"},
      {{"-dumpmode:12x", "-dumpmodes"}, {0, 0, 0, 0}, "-dumpmode:12x"},
      {{"-dumpmode=5"}, {0, 0, 0, 0}, "-dumpmode=5"},
      {{"-dumpmode:99999999999999999999"}, {0, 0, 0, 0}, "-dumpmode:99999999999999999999"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv = {
        "horva", "-diagfile:run.diag.xml", "-diaglevel:warning", "-mode:routing", "-bogus",
        "a.ctl"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    argv.push_back("b.ctl");
    const CommandLine options = parseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(options.diagFile, "run.diag.xml");
    EXPECT_EQ(options.diagLevel, 2);
    EXPECT_TRUE(options.routingOnly);
    EXPECT_EQ(options.unknownOptions, std::vector<std::string>{"-bogus"});
    EXPECT_EQ(options.controlFiles, (std::vector<std::string>{"a.ctl", "b.ctl"}));
    EXPECT_EQ(options.dumpOptions.dumpMode, c.dump.dumpMode);
    EXPECT_EQ(options.dumpOptions.closeAfterDump, c.dump.closeAfterDump);
    EXPECT_EQ(options.dumpOptions.repairAfterDump, c.dump.repairAfterDump);
    EXPECT_EQ(options.dumpOptions.maxDumpFiles, c.dump.maxDumpFiles);
    EXPECT_EQ(options.invalidDumpMode, c.invalid);
  }
}

TEST(HorvaProgram, EndsWith1061OnAnInvalidNumberOfDumpFiles) {
  const std::string dir = absoluteTestDirectory("prog_dump");
  const RunResult run = runHorva(dir, "-dumpmode:many run.ctl");
  EXPECT_NE(run.output.find("invalid option -dumpmode:many"), std::string::npos) << run.output;
  expectTopLevelFailure(run, 1061, dir + "/Horva_Diag_0.xml");
}

// Two control files run one after the other in one process; each run
// replaces the netCDF files an earlier run wrote, and the exit code is that
// of the last run.
TEST(HorvaProgram, RunsEveryControlFileToItsEnd) {
  const std::string dir = absoluteTestDirectory("prog_runs");
  TinyCatchment catchment;
  catchment.outputKeys = "WriteNetcdfGrids = 1\n";
  catchment.temperatureOutput = "temperature 1";
  catchment.write(dir);
  std::filesystem::copy_file(dir + "/run.ctl", dir + "/again.ctl");
  const RunResult run = runHorva(dir, "run.ctl again.ctl");
  EXPECT_EQ(run.status, 0) << run.output;
  const std::size_t second = run.output.find("control file again.ctl");
  ASSERT_NE(second, std::string::npos);
  EXPECT_NE(run.output.rfind("model time 2020-01-01 05:00", second), std::string::npos);
  EXPECT_NE(run.output.find("model time 2020-01-01 05:00", second), std::string::npos);
  const int records = std::system(
      ("ncdump -h " + dir + "/temperature.nc | grep -q 'UNLIMITED ; // (6 currently)'").c_str());
  EXPECT_EQ(records, 0) << "six records of one run, not twelve of two";
  EXPECT_TRUE(wellFormedXml(dir + "/Horva_Diag_0.xml"));
}

// A failure ends the run with the two top-level lines, a closed diagnostics
// file and the code as status: two of the construction (no date source, an
// output folder that does not exist) and one inside a module during the run
// (a folder stands where an interpolator writes its first time-stamped grid).
TEST(HorvaProgram, EndsAFailedRunWithItsCode) {
  struct Case {
    const char* name;
    TinyCatchment catchment;
    int code;
    std::string message;
    const char* folder; // made in the run's directory, or null
  };
  TinyCatchment noMeteo;
  noMeteo.meteoSections = "[meteo_data_count]\n0\n[meteo_names]\n";
  TinyCatchment badOutput;
  badOutput.temperatureOutput = "nowhere/temperature.asc 1";
  TinyCatchment stamped;
  stamped.temperatureOutput = "temperature.asc 2";
  const Case cases[] = {
      {"no date source", noMeteo, 85,
       "exception 85 caught in ModellApplication::init (looking for the date of the steps)",
       nullptr},
      {"no output folder", badOutput, 26,
       "exception 26 caught in ModellApplication::init (checking that every output can be "
       "written)",
       nullptr},
      {"write failure", stamped, 27,
       "caught in ModellApplication::run (the step of 2020-01-01 00:00)",
       "temperature_20200101.0000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = absoluteTestDirectory("prog_fail");
    c.catchment.write(dir);
    if (c.folder) {
      ASSERT_EQ(mkdir((dir + "/" + c.folder).c_str(), 0755), 0);
    }
    const RunResult run = runHorva(dir, "-diagfile:fail.xml run.ctl");
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    expectTopLevelFailure(run, c.code, dir + "/fail_0.xml");
  }
}

namespace {

// Waits up to a minute for a text to appear in a file: horva under the
// sanitizers starts within seconds also on two busy cores.
bool waitForText(const std::string& file, const std::string& text) {
  for (int k = 0; k < 6000; ++k) {
    if (readFile(file).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// This test process is an MPI program itself: a job of its own must not
// see the variables of this one, only those of the test settings.
std::string freshMpiEnvironment() {
  std::string env = "env -i";
  for (const char* name :
       {"PATH", "HOME", "OMP_NUM_THREADS", "OMP_WAIT_POLICY", "OMPI_ALLOW_RUN_AS_ROOT",
        "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "OMPI_MCA_btl",
        "OMPI_MCA_btl_vader_single_copy_mechanism", "OMPI_MCA_mpi_yield_when_idle",
        "OMPI_MCA_hwloc_base_binding_policy", "OMPI_MCA_mca_base_component_disable_dlclose",
        "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
    if (const char* value = std::getenv(name)) env += std::string(" ") + name + "='" + value + "'";
  return env;
}

// Starts horva in a directory with its output in out.txt and the given text
// waiting on its standard input, under mpirun with that many processes when
// there are any (freshMpiEnvironment); returns the process id of horva or
// mpirun.
pid_t startHorva(const std::string& dir, const std::string& arguments, const std::string& input,
                 int processes = 0) {
  int in[2];
  if (pipe(in) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  const std::string launcher =
      processes > 0
          ? freshMpiEnvironment() + " mpirun --oversubscribe -np " + std::to_string(processes) + " "
          : "";
  const std::string command =
      "cd " + dir + " && exec " + launcher + HORVA_EXECUTABLE + " " + arguments + " > out.txt 2>&1";
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv), environ) != 0)
    pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  if (write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) pid = -1;
  close(in[1]);
  return pid;
}

// Runs horva under mpirun in a directory with its output in out.txt;
// returns its exit status, -1 when it did not exit.
int runHorvaUnderMpirun(const std::string& dir, int processes, const std::string& arguments) {
  const std::string command = "cd " + dir + " && " + freshMpiEnvironment() +
                              " mpirun --oversubscribe -np " + std::to_string(processes) + " " +
                              HORVA_EXECUTABLE + " " + arguments + " > out.txt 2>&1";
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// A grid wide enough for three strips.
std::string wideGrid(const std::vector<std::string>& rows) {
  std::string text = "ncols 10\nnrows 4\nxllcorner 1000\nyllcorner 2000\ncellsize 100\n"
                     "nodata_value -9999\n";
  for (const std::string& row : rows) text += row + "\n";
  return text;
}

// The zone grid (subbasins 1 and 2) and elevation model of that grid.
void writeWideGrids(const std::string& dir) {
  writeFile(dir + "/zone.asc", wideGrid({"1 1 1 1 2 2 2 2 -9999 -9999", "1 1 1 2 2 2 2 2 2 -9999",
                                         "-9999 1 1 1 2 2 2 2 2 2", "1 1 1 1 1 2 2 2 2 2"}));
  writeFile(dir + "/dem.asc", wideGrid({"500 510 520 530 540 550 560 570 -9999 -9999",
                                        "490 500 510 520 530 540 550 560 570 -9999",
                                        "-9999 490 500 510 520 530 540 550 560 570",
                                        "470 480 490 500 510 520 530 540 550 560"}));
}

const std::string couplingWithoutGrids =
    "[ExternalCoupling]\n1  on\nsem_ext.txt\n5  wait interval\nI\n60\n0  grids to read\n"
    "0  grids to write\n0  statistics\nsem_model.txt\nContinue\n";

// Runs horva (under mpirun with processes > 0) in the directory on a
// catchment whose first step waits for the external program, sends it the
// signal once it waits, and then writes the external program's semaphore
// file with the command when there is one. Returns the exit status, -1
// after a signal ended the process.
int signalWhileWaiting(const std::string& dir, int processes, int signal, const std::string& input,
                       const std::string& command) {
  TinyCatchment catchment;
  catchment.extraSections = couplingWithoutGrids;
  catchment.write(dir);
  const pid_t pid = startHorva(dir, "run.ctl", input, processes);
  if (pid <= 0) {
    ADD_FAILURE() << "horva does not start";
    return -2;
  }
  if (!waitForText(dir + "/out.txt", "waiting for the semaphore file"))
    ADD_FAILURE() << "horva does not wait for the external program";
  kill(pid, signal);
  if (!command.empty()) writeFile(dir + "/sem_ext.txt", command);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

// Ctrl-C answer 2 and the external program's "StopWithoutSaving" end the
// process at once with code 98; the diagnostics file is closed all the same.
// Under mpirun, which keeps Ctrl-C for itself, SIGUSR1 sent to mpirun opens
// the menu, and its answer comes through mpirun's standard input.
TEST(HorvaProgram, StopsWithoutSavingWith98) {
  struct Case {
    const char* name;
    int processes; // under mpirun when above 0
    int signal;    // sent while the model waits in its first step; 0: the command instead
  };
  const Case cases[] = {
      {"Ctrl-C", 0, SIGINT}, {"SIGUSR1 to mpirun", 2, SIGUSR1}, {"semaphore file", 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = absoluteTestDirectory("prog_stop");
    int status = -1;
    if (c.signal != 0) {
      // The signal reaches the model in its first step, while it waits for
      // the external program, and is answered in the next step.
      status = signalWhileWaiting(dir, c.processes, c.signal, "2\n", "Command=Continue\n");
    } else {
      TinyCatchment catchment;
      catchment.extraSections = couplingWithoutGrids;
      catchment.write(dir);
      writeFile(dir + "/sem_ext.txt", "Command=StopWithoutSaving\n");
      status = runHorva(dir, "run.ctl").status;
    }
    const std::string output = readFile(dir + "/out.txt");
    EXPECT_EQ(status, 98) << output;
    EXPECT_EQ(output.find("your choice: ") != std::string::npos, c.signal != 0) << output;
    EXPECT_NE(output.find("run cancelled without saving buffers, exit code 98"), std::string::npos);
    // A signal ends the run at the start of the step after it, "StopWithoutSaving" at once.
    EXPECT_EQ(fileExists(dir + "/sem_model.txt"), c.signal != 0);
    EXPECT_TRUE(wellFormedXml(dir + "/Horva_Diag_0.xml"));
  }
}

namespace {

// Writes the text into a FIFO once a reader has opened it; false when none
// does within a minute.
bool feedFifo(const std::string& path, const std::string& text) {
  int fd = -1;
  for (int k = 0; k < 6000 && fd < 0; ++k) {
    fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (fd < 0) return false;
  fcntl(fd, F_SETFL, 0);
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return written;
}

} // namespace

// Ctrl-C or SIGUSR1 during the set-up ends the run in order with code 98.
// The set-up stops at the station file, a FIFO, until the signal is in.
TEST(HorvaProgram, EndsAnInterruptedSetUpWith98) {
  for (int signal : {SIGINT, SIGUSR1}) {
    SCOPED_TRACE(signal);
    const std::string dir = absoluteTestDirectory("prog_setup_stop");
    TinyCatchment().write(dir);
    const std::string stations = readFile(dir + "/stations.txt");
    std::filesystem::remove(dir + "/stations.txt");
    ASSERT_EQ(mkfifo((dir + "/stations.txt").c_str(), 0600), 0);
    const pid_t pid = startHorva(dir, "run.ctl", "");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForText(dir + "/out.txt", "file meteoint.cpp, compiled at"));
    kill(pid, signal);
    EXPECT_TRUE(feedFifo(dir + "/stations.txt", stations));
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    const RunResult run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(dir + "/out.txt")};
    EXPECT_NE(run.output.find("the set-up was interrupted by Ctrl-C (or SIGUSR1) before building "
                              "RegionalSuperposition"),
              std::string::npos)
        << run.output;
    expectTopLevelFailure(run, 98, dir + "/Horva_Diag_0.xml");
  }
}

// However the run is stopped, the diagnostics file is well-formed and ends
// with the last entry written: Ctrl-C under mpirun (Open MPI then ends every
// process within a second, with exit code 1) and a process killed outright.
TEST(HorvaProgram, LeavesAWellFormedDiagnosticsFileHoweverItIsStopped) {
  struct Case {
    const char* name;
    int processes;
    int signal;
    int status; // -1: killed by the signal
  };
  const Case cases[] = {{"Ctrl-C under mpirun", 2, SIGINT, 1}, {"SIGKILL", 0, SIGKILL, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = absoluteTestDirectory("prog_killed");
    EXPECT_EQ(signalWhileWaiting(dir, c.processes, c.signal, "", ""), c.status);
    const std::string xml = readFile(dir + "/Horva_Diag_0.xml");
    EXPECT_NE(xml.find("waiting for the semaphore file sem_ext.txt of the external "
                       "program\"/>\n</Diag>\n"),
              std::string::npos)
        << xml;
    EXPECT_TRUE(wellFormedXml(dir + "/Horva_Diag_0.xml"));
  }
}

// The standard grids, their statistics and the interpolated grids of a run
// are the same on 1, 2 and 3 processes.
TEST(HorvaProgram, GivesTheSameResultsOnOneTwoAndThreeProcesses) {
  TinyCatchment catchment;
  catchment.secondStation = true;
  catchment.temperatureOutput = "temperature 352";
  catchment.standardGridCount = 2;
  catchment.standardGrids =
      "wetness.asc wetness fillcode = 0 readcode = 1 writecode = 11 outname = wet "
      "statfile = wet_stat.txt statcode = 2001\n"
      "wetness.asc moist fillcode = 0 readcode = 1 writecode = 3 outname = moist_end "
      "statfile = moist_stat.txt statcode = 1001\n";
  std::vector<std::map<std::string, std::string>> results;
  for (int processes : {1, 2, 3}) {
    SCOPED_TRACE(processes);
    const std::string dir = absoluteTestDirectory("prog_procs" + std::to_string(processes));
    catchment.write(dir);
    writeWideGrids(dir);
    writeFile(dir + "/wetness.asc", wideGrid({"0.1 0.2 0.3 0.4 0.5 0.6 0.7 0.8 0.9 1.0",
                                              "1.1 1.2 1.3 1.4 1.5 1.6 1.7 1.8 1.9 2.0",
                                              "2.1 2.2 2.3 2.4 2.5 2.6 2.7 2.8 2.9 3.0",
                                              "3.1 3.2 3.3 3.4 3.5 3.6 3.7 3.8 3.9 4"}));
    ASSERT_EQ(runHorvaUnderMpirun(dir, processes, "run.ctl"), 0) << readFile(dir + "/out.txt");
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      const std::string name = entry.path().filename().string();
      if (name == "out.txt" || name.rfind("MPIRegions", 0) == 0) continue;
      files[name] = readFile(entry.path().string());
    }
    results.push_back(files);
  }
  ASSERT_EQ(results.size(), 3u);
  for (const char* name : {"wet", "wetness.sum", "moist_end", "wet_stat.txt", "moist_stat.txt",
                           "temperature_20200101.0500", "temperature.mit", "temperature.max"}) {
    SCOPED_TRACE(name);
    std::string found;
    for (const auto& [file, text] : results[0])
      if (file.rfind(name, 0) == 0) found = file;
    ASSERT_FALSE(found.empty()) << "no output " << name;
  }
  for (const auto& [file, text] : results[0]) {
    SCOPED_TRACE(file);
    if (file == "Horva_Diag_0.xml" || file.rfind("modell_", 0) == 0) continue;
    EXPECT_EQ(results[1].at(file), text);
    EXPECT_EQ(results[2].at(file), text);
  }
}

namespace {

// Routing of the tiny catchment's two subbasins, subbasin 1 flowing into 2,
// on the runoff of a former run of hours 0 .. 8 (in steps of `hours`).
void writeRoutingOnlyRun(const std::string& dir, int hours) {
  TinyCatchment catchment;
  std::string unsatzon = "[unsatzon_model]\n";
  for (int k = 1; k <= 20; ++k) unsatzon += "0  line " + std::to_string(k) + "\n";
  catchment.extraSections =
      "[routing_model]\n1  on\n60  minutes\n1 1000 20 2\nrouted.stat 2001\nnone.txt\n0\n0\n"
      "TG 2 (AREA = 0.34, F = 1) OL 1 (K = 2, KF = 4, B = 5, BF = 50, T = 0.5, M = 30, MF = 15, "
      "I = 0.001, L = 3000, A = 0.15)\nend of the descriptions\n\n" +
      unsatzon + "qg.stat 2001  total runoff of the former run\n";
  catchment.write(dir);
  writeWideGrids(dir);
  std::string table = "YY\tMM\tDD\tHH\t\"1\"\t\"2\"\ttot_average\nunsatzon_model_submodel:qg\n"
                      "--\t--\t--\t--\t0.44\t0.56\t1.0000\n";
  for (int k = 0; k <= 8; k += hours)
    table += "2020\t 1\t 1\t " + std::to_string(k) + "\t" + std::to_string(0.5 * k) + "\t" +
             std::to_string(0.2 + 0.1 * k) + "\t0\n";
  writeFile(dir + "/qg.stat", table);
}

} // namespace

// Routing-only runs take their dates and runoff from the former run and write
// the same routed discharge on 1, 2 and 3 processes; the record of the end
// date (hour 5) is the last routed. Records that do not follow the steps end
// the run with 1420.
TEST(HorvaProgram, RoutesAFormerRunAloneOnOneTwoAndThreeProcesses) {
  std::vector<std::string> statistics;
  for (int processes : {1, 2, 3}) {
    SCOPED_TRACE(processes);
    const std::string dir = absoluteTestDirectory("prog_routing" + std::to_string(processes));
    writeRoutingOnlyRun(dir, 1);
    ASSERT_EQ(runHorvaUnderMpirun(dir, processes, "-mode:routing run.ctl"), 0)
        << readFile(dir + "/out.txt");
    EXPECT_NE(
        readFile(dir + "/out.txt")
            .find("routing_model: model time 2020-01-01 05:00 routing only for day 2020-01-01"),
        std::string::npos);
    statistics.push_back(readFile(dir + "/routed.stat"));
  }
  EXPECT_EQ(std::count(statistics[0].begin(), statistics[0].end(), '\n'), 3 + 6);
  EXPECT_NE(statistics[0].find("\n2020\t 1\t 1\t 5\t"), std::string::npos);
  EXPECT_EQ(statistics[1], statistics[0]);
  EXPECT_EQ(statistics[2], statistics[0]);

  const std::string dir = absoluteTestDirectory("prog_routing_gap");
  writeRoutingOnlyRun(dir, 2);
  const RunResult run = runHorva(dir, "-mode:routing -diagfile:fail.xml run.ctl");
  EXPECT_NE(run.output.find("error: the records of qg.stat at 2020-01-01 00:00 and "
                            "2020-01-01 02:00 do not lie one routing step (60 minutes) apart"),
            std::string::npos)
      << run.output;
  expectTopLevelFailure(run, 1420, dir + "/fail_0.xml");
}

// A second abstraction feeding one internal inflow ends the set-up with its
// full code in the log and its low 8 bits as the status of the process.
TEST(HorvaProgram, EndsOnAnInflowFedTwice) {
  const std::string dir = absoluteTestDirectory("prog_links");
  writeRoutingOnlyRun(dir, 1);
  std::string control = readFile(dir + "/run.ctl");
  const std::string feeder = " AL 1 = intern 0 0.5 1 mm";
  control.replace(control.find("TG 2"), 0, "TG 1 (AREA = 0.15, F = 1)" + feeder + feeder + "\n");
  control.replace(control.find("A = 0.15)\n") + 9, 0,
                  " ZL 1 = intern (K = 2, KF = 4, B = 5, BF = 50, T = 0.5, M = 30, MF = 15, "
                  "I = 0.001, L = 3000, A = 0.15)");
  writeFile(dir + "/run.ctl", control);
  const RunResult run = runHorva(dir, "-mode:routing -diagfile:fail.xml run.ctl");
  EXPECT_NE(run.output.find("Inflow 1 is already connected to an internal abstraction."),
            std::string::npos)
      << run.output;
  expectTopLevelFailure(run, 300, dir + "/fail_0.xml");
}
