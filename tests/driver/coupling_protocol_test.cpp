#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "driver/coupling_protocol.h"
#include "tests/driver/model_run.h"
#include "tests/driver/recording_application.h"

namespace {

ModelDate at(long year, long month, long day, long hour) {
  return ModelDate{0, hour, day, month, year};
}

} // namespace

// Steps of one date sequence: which of them wait for the external program,
// and which end a coupling interval, as the driver decides it.
TEST(CouplingProtocol, IntervalsOfEveryGridMode) {
  struct Case {
    char mode;
    bool hourly;
    std::string due;  // one character per step: x the external program's grids are read
    std::string ends; // x the interval ends with the step
  };
  const std::vector<ModelDate> hourly = {at(2020, 1, 31, 22), at(2020, 1, 31, 23),
                                         at(2020, 2, 1, 0), at(2020, 2, 1, 1)};
  const std::vector<ModelDate> daily = {at(2020, 12, 30, 6), at(2020, 12, 31, 6), at(2021, 1, 1, 6),
                                        at(2021, 1, 2, 6)};
  const Case cases[] = {
      {'I', true, "xxxx", "xxxx"},  {'H', true, "xxxx", "xxxx"},  {'D', true, "x.x.", ".x.x"},
      {'M', true, "x.x.", ".x.x"},  {'Y', true, "x...", "...x"},  {'H', false, "xxxx", "xxxx"},
      {'D', false, "xxxx", "xxxx"}, {'M', false, "x.x.", ".x.x"}, {'Y', false, "x.x.", ".x.x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.mode) + (c.hourly ? " hourly" : " daily"));
    const std::vector<ModelDate>& steps = c.hourly ? hourly : daily;
    std::string due;
    std::string ends;
    ModelDate lastExchange;
    for (std::size_t k = 0; k < steps.size(); ++k) {
      const bool exchange = k == 0 || !sameCouplingInterval(c.mode, steps[k], lastExchange);
      if (exchange) lastExchange = steps[k];
      due += exchange ? 'x' : '.';
      const bool last = k + 1 == steps.size();
      ends += last || !sameCouplingInterval(c.mode, steps[k], steps[k + 1]) ? 'x' : '.';
    }
    EXPECT_EQ(due, c.due);
    EXPECT_EQ(ends, c.ends);
  }
}

TEST(CouplingProtocol, CalendarEnds) {
  struct Case {
    ModelDate step, next;
    bool day, month, year;
  };
  const Case cases[] = {
      {at(2020, 1, 1, 22), at(2020, 1, 1, 23), false, false, false},
      {at(2020, 1, 1, 23), at(2020, 1, 2, 0), true, false, false},
      {at(2020, 2, 29, 23), at(2020, 3, 1, 0), true, true, false},
      {at(2020, 12, 31, 23), at(2021, 1, 1, 0), true, true, true},
  };
  for (const Case& c : cases) {
    const CalendarEnds ends = calendarEndsBetween(c.step, c.next);
    EXPECT_EQ(ends.day, c.day);
    EXPECT_EQ(ends.month, c.month);
    EXPECT_EQ(ends.year, c.year);
  }
}

namespace {

// The external program: at every exchange it writes the grid "ext.asc" with
// the number of the exchange in every cell and then its semaphore file with
// the next command; after every coupling interval it takes the model's
// semaphore file and keeps its text.
class ExternalProgram {
public:
  ExternalProgram(const std::string& dir, std::vector<std::string> commands)
      : dir(dir), commands(std::move(commands)), thread([this] { play(); }) {}
  ~ExternalProgram() { finish(); }
  // Ends the program once the model is done.
  void finish() {
    stop = true;
    if (thread.joinable()) thread.join();
  }
  // The model's semaphore texts in the order written.
  std::vector<std::string> received;
  // Rounds played (exchanges provided).
  int rounds = 0;

private:
  void play() {
    for (std::size_t k = 0; k < commands.size() && !stop; ++k) {
      if (k > 0 && !takeModelSemaphore()) return;
      writeAtomically("ext.asc", grid(static_cast<double>(k + 1)));
      writeAtomically("sem_ext.txt", "Command=" + commands[k] + "\nfree text\n");
      ++rounds;
    }
    takeModelSemaphore();
  }
  bool takeModelSemaphore() {
    const std::string name = dir + "/sem_model.txt";
    // The model writes its last file before it stops the program.
    for (;;) {
      // Read the stop flag before looking: once the model has ended, its last
      // file is already there and must still be taken.
      const bool stopping = stop;
      if (fileExists(name)) {
        received.push_back(readFile(name));
        std::remove(name.c_str());
        return true;
      }
      if (stopping) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  void writeAtomically(const std::string& file, const std::string& text) {
    writeFile(dir + "/" + file + ".part", text);
    std::rename((dir + "/" + file + ".part").c_str(), (dir + "/" + file).c_str());
  }
  static std::string grid(double value) {
    std::string text = "ncols 4\nnrows 3\nxllcorner 1000\nyllcorner 2000\ncellsize 100\n"
                       "nodata_value -9999\n";
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 4; ++c) text += std::to_string(value) + " ";
      text += "\n";
    }
    return text;
  }

  std::string dir;
  std::vector<std::string> commands;
  std::atomic<bool> stop{false};
  std::thread thread;
};

std::string couplingSection(char gridMode) {
  return std::string("[ExternalCoupling]\n1  coupling on\nsem_ext.txt  semaphore\n"
                     "5  wait interval\n") +
         gridMode +
         "  grid interval\n60  external time step\n"
         "1  grids to read\next.asc external 0 0\n"
         "1  grids to write\nwet_out.asc wetness Current\n"
         "1  statistics\nwet_stat_out.txt wetness Mean\n"
         "sem_model.txt  semaphore for the external program\nContinue  its content\n";
}

} // namespace

// The model plays against an external program over several steps: it waits
// for the program's semaphore file at the start of every coupling interval,
// reads its grid, obeys its command, and at the end of the interval writes
// the grids, the statistics and its own semaphore file.
TEST(CouplingProtocol, RunsInStepWithAnExternalProgram) {
  struct Case {
    char mode;
    long lastHour;
    std::vector<std::string> commands;
    std::vector<std::string> values; // the external grid as the sub-models see it, per step
    std::vector<std::string> semaphores;
    int flushes; // those the commands ask for and one as each later day begins
  };
  const std::string go = "Command=Continue\n";
  const std::string end = "Command=Finish\n";
  const Case cases[] = {
      {'I',
       5,
       {"Continue", "SaveAndContinue", "Bogus", "Continue", "Finish"},
       {"1", "2", "3", "4", "5"},
       {go, go, go, go, end},
       2},
      {'D', 49, {"Continue", "Continue", "Continue"}, {}, {go, go, end}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    const std::string dir =
        std::filesystem::absolute(makeTestDirectory(std::string("coupling_") + c.mode)).string();
    TinyCatchment catchment;
    catchment.lastHour = c.lastHour;
    catchment.standardGridCount = 2;
    catchment.standardGrids = "wetness.asc wetness fillcode = 0 readcode = 0 defaultValue = 5 "
                              "statfile = wet_stat.txt statcode = 2001\n"
                              "ext_in.asc external fillcode = 0 readcode = 0 defaultValue = 0\n";
    catchment.extraSections = couplingSection(c.mode) + "[recorder]\n1\n60\n";
    catchment.write(dir);
    RunLog log(dir);
    RecordingApplication model(log.diag.get(), "run.ctl", CommandLine());
    std::vector<std::string> seen;
    model.atPlace = [&](RecordingApplication::Place place, const ModelDate&) {
      if (place == RecordingApplication::Place::dataAssimilation)
        seen.push_back(std::to_string(static_cast<int>(model.grid("external")[2][2])));
    };
    int code = 0;
    std::vector<std::string> semaphores;
    int rounds = 0;
    {
      ExternalProgram external(dir, c.commands);
      code = runModel(model, dir);
      external.finish();
      semaphores = external.received;
      rounds = external.rounds;
    }
    ASSERT_EQ(code, -1) << log.text();
    EXPECT_EQ(rounds, static_cast<int>(c.commands.size()));
    EXPECT_EQ(semaphores, c.semaphores);
    if (!c.values.empty()) {
      EXPECT_EQ(seen, c.values);
    }
    if (c.mode == 'D') {
      // Exchanges at the first step of every day; the grid stays between them.
      ASSERT_EQ(seen.size(), 50u);
      EXPECT_EQ(std::count(seen.begin(), seen.begin() + 24, "1"), 24);
      EXPECT_EQ(std::count(seen.begin() + 24, seen.begin() + 48, "2"), 24);
      EXPECT_EQ(std::count(seen.begin() + 48, seen.end(), "3"), 2);
    }
    EXPECT_EQ(std::count(model.journal.begin(), model.journal.end(), "flush"), c.flushes);
    EXPECT_EQ(log.has("unknown command \"Command=Bogus\""), c.mode == 'I');
    EXPECT_FALSE(fileExists(dir + "/ext.asc"));
    EXPECT_FALSE(fileExists(dir + "/sem_ext.txt"));
    EXPECT_NE(readFile(dir + "/wet_out.asc").find("5\t5\t5"), std::string::npos);
    const std::string stat = readFile(dir + "/wet_stat_out.txt");
    EXPECT_NE(stat.find(c.mode == 'I' ? "date: 2020-01-01\nhour: 04h\n" : "hour: 01h\n"),
              std::string::npos)
        << stat;
  }
}

// An external groundwater table moves the soil's water once the water
// balance has taken its storages, so that the balance books that water,
// and before any module of the step uses the soil.
TEST(CouplingProtocol, ExternalTableMovesAfterTheBalanceStart) {
  const std::string dir = std::filesystem::absolute(makeTestDirectory("coupling_table")).string();
  TinyCatchment catchment;
  catchment.lastHour = 1;
  catchment.standardGridCount = 2;
  catchment.standardGrids = "wetness.asc wetness fillcode = 0 readcode = 0 defaultValue = 5 "
                            "statfile = wet_stat.txt statcode = 2001\n"
                            "table_in.asc GWTableExtern fillcode = 0 readcode = 0 "
                            "defaultValue = 0\n";
  std::string section = couplingSection('I');
  const std::string read = "ext.asc external 0 0";
  section.replace(section.find(read), read.size(), "ext.asc GWTableExtern 0 0");
  catchment.extraSections = section + "[recorder]\n1\n60\n";
  catchment.write(dir);
  RunLog log(dir);
  RecordingApplication model(log.diag.get(), "run.ctl", CommandLine());
  int code = 0;
  {
    ExternalProgram external(dir, {"Continue", "Finish"});
    code = runModel(model, dir);
    external.finish();
  }
  ASSERT_EQ(code, -1) << log.text();
  const std::vector<std::string>& j = model.journal;
  auto first = [&](const char* place) { return std::find(j.begin(), j.end(), place) - j.begin(); };
  EXPECT_LT(first("waterBalanceStart"), first("externalGroundwaterTable"));
  EXPECT_LT(first("externalGroundwaterTable"), first("interpolatedGridOutput"));
  EXPECT_GE(std::count(j.begin(), j.end(), "externalGroundwaterTable"), 1);
}

// A semaphore file without a line end (here a link to /dev/zero) ends the
// run with a message that names it, instead of being read for ever.
TEST(CouplingProtocol, EndsOnASemaphoreFileWithoutLineEnd) {
  const std::string dir = std::filesystem::absolute(makeTestDirectory("coupling_endless")).string();
  TinyCatchment catchment;
  catchment.standardGridCount = 2;
  catchment.standardGrids = "wetness.asc wetness fillcode = 0 readcode = 0 defaultValue = 5 "
                            "statfile = wet_stat.txt statcode = 2001\n"
                            "ext_in.asc external fillcode = 0 readcode = 0 defaultValue = 0\n";
  catchment.extraSections = couplingSection('I');
  catchment.write(dir);
  std::filesystem::create_symlink("/dev/zero", dir + "/sem_ext.txt");
  RunLog log(dir);
  RecordingApplication model(log.diag.get(), "run.ctl", CommandLine());
  EXPECT_EQ(runModel(model, dir), 87);
  EXPECT_TRUE(log.has("semaphore file sem_ext.txt of the external program, line 1: the line is "
                      "longer than 1048576 bytes"))
      << log.text();
}
