#include <gtest/gtest.h>
#include <omp.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <stdexcept>

#include "tests/submodel/submodel_fixture.h"

namespace {

const std::string otherSection = "[other]\n1\n60\n\n";

// A module built the way the driver builds every module; its own part reads
// one value and may fail.
class ValueModule : public teilmodellklasse {
public:
  enum class Failure { none, code, other };
  ValueModule(const ModelContext& context, int& errorCode, Failure failure, int& value)
      : teilmodellklasse(context, "mod") {
    errorCode = catchModuleFailure([&] {
      if (getFlowControl() == 0) return;
      readControlValue(controlFile, "%d", value, "own value");
      closeControlFile();
      if (failure == Failure::code) throw 42;
      if (failure == Failure::other) throw std::runtime_error("broken");
    });
  }
  bool fileOpen() const { return controlFile != nullptr; }
};

} // namespace

TEST(Teilmodellklasse, ConstructorReadsItsSectionOrEndsWithItsCode) {
  struct Case {
    const char* what;
    std::string control; // empty: no control file at all
    double minToIntEnd;
    bool routingOnly;
    bool runsInRoutingOnlyMode;
    int code;          // -1: constructed
    std::string entry; // a text the log must hold
    int flow;          // after construction
    double minutes;    // after construction
    bool open;         // control file still open
  };
  const std::string tail = " is shorter than min_to_int_end (60 minutes) of [output_interval]\n";
  const std::vector<Case> cases = {
      {"active", otherSection + moduleSection("mod", "2", "90.7"), 0, false, false, -1,
       "initializing module mod", 2, 90.7, true},
      {"off", moduleSection("mod", "0", "30"), 60, false, false, -1, "", 0, 30, false},
      {"no section", otherSection, 0, false, false, -1,
       "no section [mod] in {file}: module mod is switched off", 0, 0, false},
      {"no control file", "", 0, false, false, 28, "error opening {file}", 0, 0, false},
      {"flow control missing", "[mod]\nnone\n60\n", 0, false, false, 17,
       "error in control file, flow control parameter for mod; [mod], line 2 of {file} reads "
       "\"none\": not found!",
       0, 0, false},
      {"time interval missing", "[mod]\n1\n", 0, false, false, 17,
       "error in control file, time interval for mod; (EOF)not found!", 0, 0, false},
      {"shorter than min_to_int_end", moduleSection("mod", "1", "30"), 60, false, false, 63,
       "\n-------- error --------\n\nthe time step 30 of mod" + tail, 0, 0, false},
      {"step of no length", moduleSection("mod", "1", "0"), 0, false, false, 63,
       "the time step 0 of mod must be greater than 0", 0, 0, false},
      {"routing-only", "", 0, true, false, -1, "module mod is off in routing-only mode", 0, 0,
       false},
      {"routing-only module", moduleSection("mod", "1", "1440"), 0, true, true, -1, "", 1, 1440,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SubmodelSetup s("sub_ctor", c.control);
    if (c.control.empty()) std::remove(s.controlFile.c_str());
    s.context.minToIntEnd = c.minToIntEnd;
    s.context.routingOnly = c.routingOnly;
    std::unique_ptr<TestSubmodel> m;
    const int code = exitCodeOf(
        [&] { m = std::make_unique<TestSubmodel>(s.context, "mod", c.runsInRoutingOnlyMode); });
    EXPECT_EQ(code, c.code);
    std::string entry = c.entry;
    if (entry.find("{file}") != std::string::npos)
      entry.replace(entry.find("{file}"), 6, s.controlFile);
    EXPECT_NE(s.log.console.str().find(entry), std::string::npos) << s.log.console.str();
    if (code == 17) {
      EXPECT_EQ(s.log.fatalCount(), 1);
    }
    if (!m) continue;
    EXPECT_EQ(m->getFlowControl(), c.flow);
    EXPECT_EQ(m->timeStepMinutes, c.minutes);
    EXPECT_EQ(m->controlFile != nullptr, c.open);
  }
}

TEST(Teilmodellklasse, ActiveModuleReadsOnBehindTheTwoLines) {
  SubmodelSetup s("sub_active", moduleSection("mod", "3", "90.7"));
  s.context.minToIntEnd = 90.0;
  TestSubmodel m(s.context, "mod");
  EXPECT_EQ(m.getFlowControl(), 3);
  EXPECT_EQ(m.getTimeStepMinutes(), 90);
  EXPECT_EQ(m.timeStep, 90);
  EXPECT_DOUBLE_EQ(m.stepsPerDay, 1440.0 / 90.7);
  int own = 0;
  m.readControlValue(m.controlFile, "%d", own, "own value");
  EXPECT_EQ(own, 42);
}

TEST(Teilmodellklasse, TakesOverTheModelContext) {
  SubmodelSetup s("sub_context", moduleSection("mod", "1", "90"));
  s.context.minToIntEnd = 90.0;
  s.context.endDate = ModelDate{30, 12, 31, 12, 2021};
  struct Weights : TestSubmodel {
    using teilmodellklasse::cellWeights;
    using TestSubmodel::TestSubmodel;
  };
  Weights without(s.context, "mod");
  EXPECT_EQ(without.getMinToIntEndHours(), 1.5);
  EXPECT_EQ(without.getEndMinuteIndex(), s.context.endMinuteIndex());
  EXPECT_EQ(without.cellWeights, nullptr);
  // Binary grids are weighted by "RelCellArea" once the set-up made it.
  s.addGrid("[zone_grid]", std::vector<double>(12, 1.0));
  const Grid area = s.addGrid("RelCellArea", std::vector<double>(12, 0.5));
  Weights with(s.context, "mod");
  EXPECT_EQ(with.cellWeights, area);
}

TEST(Teilmodellklasse, WalksItsOwnCellsWithTheirMasterCellsOptionally) {
  // 1 own, 2 another cell of the valid columns, 0 not visited; row 2 holds
  // columns 2 and 3, cell (1, 1) lies outside the zone grid, (3, 4) belongs
  // to process 1, and (1, 2) and (2, 3) are no master cells.
  const std::vector<double> all = {2, 1, 1, 1, 0, 1, 1, 0, 1, 1, 1, 2};
  const std::vector<double> masters = {2, 2, 1, 1, 0, 1, 2, 0, 1, 1, 1, 2};
  const struct {
    bool masterCellsOnly;
    int hruFlag;
    const std::vector<double>& visits;
  } cases[] = {{false, 1, all}, {true, 0, all}, {true, 1, masters}};
  for (const auto& c : cases) {
    SubmodelSetup s("sub_own_cells", moduleSection("mod", "1", "60"));
    std::vector<RowColumnRange> ranges = {{0, -1}, {1, 4}, {2, 3}, {1, 4}};
    s.context.rowColumnRange = ranges.data();
    s.context.hruFlag = c.hruFlag;
    s.addGrid("[zone_grid]", {-9999, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
    s.addGrid("MPIRegions", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    s.addGrid("MasterHydrologicResponseUnits", {1, -9999, 1, 1, 1, 1, -9999, 1, 1, 1, 1, 1});
    const Grid visits = s.addGrid("visits", std::vector<double>(12, 0.0));
    TestSubmodel m(s.context, "mod");
    m.ownCells(c.masterCellsOnly)
        .forEach([&](long r, long col) { visits[r][col] += 1; },
                 [&](long r, long col) { visits[r][col] += 2; });
    for (long k = 0; k < 12; ++k)
      EXPECT_EQ(visits[k / 4 + 1][k % 4 + 1], c.visits[k]) << c.masterCellsOnly << c.hruFlag << k;
  }
}

TEST(Teilmodellklasse, ClosingFailureEndsWithCode11) {
  SubmodelSetup s("sub_close", moduleSection("mod", "1", "60"));
  TestSubmodel m(s.context, "mod");
  ASSERT_NE(m.controlFile, nullptr);
  ::close(fileno(m.controlFile)); // the stream can no longer be closed cleanly
  EXPECT_EQ(exitCodeOf([&] { m.closeControlFile(); }), 11);
  EXPECT_TRUE(s.log.hasEntry("error closing " + s.controlFile + " (Bad file descriptor)"))
      << s.log.console.str();
  EXPECT_EQ(m.controlFile, nullptr);
  EXPECT_EQ(exitCodeOf([&] { m.closeControlFile(); }), -1) << "closing twice does nothing";
}

TEST(Teilmodellklasse, ConstructSubmodelHandsBackEveryFailure) {
  struct Case {
    const char* what;
    bool controlFile;
    ValueModule::Failure failure;
    int code;
  };
  const std::vector<Case> cases = {
      {"built", true, ValueModule::Failure::none, 0},
      {"the module's own code", true, ValueModule::Failure::code, 42},
      {"another exception", true, ValueModule::Failure::other, 103},
      {"the base constructor's code", false, ValueModule::Failure::none, 28},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SubmodelSetup s("sub_construct", moduleSection("mod", "1", "60"));
    if (!c.controlFile) std::remove(s.controlFile.c_str());
    int errorCode = -1;
    int value = 0;
    std::unique_ptr<ValueModule> m;
    EXPECT_NO_THROW(m = constructSubmodel<ValueModule>(errorCode, s.context, c.failure, value));
    EXPECT_EQ(errorCode, c.code);
    EXPECT_EQ(m != nullptr, c.code == 0);
    if (c.controlFile) {
      EXPECT_EQ(value, 42);
    }
    if (m) {
      EXPECT_FALSE(m->fileOpen());
    }
  }
}

TEST(Teilmodellklasse, WritesTheModelTimeLineOncePerOutputInterval) {
  struct Case {
    const char* what;
    std::string flow;
    unsigned interval;
    long stepMinutes;
    int steps;
    std::vector<std::string> lines;
  };
  const std::string line = "mod: model time ";
  const std::vector<Case> cases = {
      {"daily lines of hourly steps",
       "1",
       24,
       60,
       48,
       {line + "2020-02-28 23:00", line + "2020-02-29 00:00", line + "2020-03-01 00:00"}},
      {"six-hourly lines",
       "1",
       6,
       60,
       14,
       {line + "2020-02-28 23:00", line + "2020-02-29 00:00", line + "2020-02-29 06:00",
        line + "2020-02-29 12:00"}},
      {"unaligned steps",
       "1",
       1,
       25,
       6,
       {line + "2020-02-28 23:00", line + "2020-02-29 00:15", line + "2020-02-29 01:05"}},
      {"no interval", "1", 0, 60, 5, {}},
      {"module off", "0", 1, 60, 5, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SubmodelSetup s("sub_time", moduleSection("mod", c.flow, "60"));
    s.context.outputInterval = c.interval;
    TestSubmodel m(s.context, "mod");
    // From 2020-02-28 23:00 on, across the leap day.
    long minutes = 23 * 60;
    for (int k = 0; k < c.steps; ++k, minutes += c.stepMinutes) {
      const long day = 28 + minutes / 1440;
      const long month = day > 29 ? 3 : 2;
      m.reportModelTime(minutes % 60, minutes / 60 % 24, day > 29 ? day - 29 : day, month, 2020);
    }
    std::vector<std::string> written;
    for (const std::string& e : s.log.entries())
      if (e.find("model time") != std::string::npos) written.push_back(e);
    EXPECT_EQ(written, c.lines);
  }
}

TEST(Teilmodellklasse, ModelTimeLineTakesLabelAndTextButNotInsideThreads) {
  SubmodelSetup s("sub_time_label", moduleSection("mod", "1", "60"));
  TestSubmodel m(s.context, "mod");
#pragma omp parallel num_threads(2)
  {
#pragma omp single
    m.reportModelTime(0, 5, 2, 3, 2021, "snow", " (inside)");
  }
  EXPECT_EQ(m.currentDate.minuteIndex(), (ModelDate{0, 5, 2, 3, 2021}).minuteIndex());
  m.reportModelTime(0, 6, 2, 3, 2021, "snow", " substep 1");
  m.reportModelTime(30, 6, 2, 3, 2021);
  m.reportModelTime(0, 7, 2, 3, 2021);
  std::vector<std::string> written;
  for (const std::string& e : s.log.entries())
    if (e.find("model time") != std::string::npos) written.push_back(e);
  const std::vector<std::string> expected = {"snow: model time 2021-03-02 06:00 substep 1",
                                             "mod: model time 2021-03-02 07:00"};
  EXPECT_EQ(written, expected);
  EXPECT_NE(readFile(s.log.diag.getFileName())
                .find("level=\"4\" description= \"mod: model time 2021-03-02 07:00\""),
            std::string::npos)
      << "a DEBUG line";
}

TEST(Teilmodellklasse, ReportsAFloatingPointErrorOncePerSignal) {
  SubmodelSetup s("sub_fpe", moduleSection("mod", "1", "60"));
  auto first = std::make_unique<TestSubmodel>(s.context, "mod");
  TestSubmodel second(s.context, "mod");
  first.reset(); // a deleted module must never be touched by the handler

  struct sigaction handler {
  }, previous{};
  handler.sa_handler = [](int) { teilmodellklasse::raiseFloatingPointErrors(); };
  sigaction(SIGFPE, &handler, &previous);
  std::raise(SIGFPE);
  sigaction(SIGFPE, &previous, nullptr);
  EXPECT_EQ(second.floatingPointError.get(), 1);

#pragma omp parallel num_threads(2)
  second.reportFPE(9, 9, 9, 9, 0, 0, 0, 0, 0);
  EXPECT_EQ(second.floatingPointError.get(), 1) << "the report waits until outside the threads";

  second.reportFPE(1, 2, 3, 4, 0.5, 1.5, 2.5, 3.5, 4.5);
  EXPECT_EQ(second.floatingPointError.get(), 2);
  EXPECT_EQ(s.log.lastEntry(),
            "fpe in i1: 1, i2: 2, i3: 3, i4: 4\na1: 0.5 a2: 1.5 a3: 2.5 a4: 3.5 a5: 4.5");
  const size_t entries = s.log.entries().size();
  second.reportFPE(1, 2, 3, 4, 0, 0, 0, 0, 0);
  EXPECT_EQ(second.floatingPointError.get(), 0);
  EXPECT_EQ(s.log.entries().size(), entries);
}

TEST(Teilmodellklasse, MixesAndEnrichesConcentrations) {
  struct Mix {
    double c1, c2, v1, v2, expected;
  };
  for (const Mix& m : std::vector<Mix>{
           {2, 4, 1, 3, 3.5}, {2, 4, 0, 3, 4}, {2, 4, 0, 0, 0}, {2, 4, 5, -5, 0}, {-1, 1, 1, 1, 0}})
    EXPECT_EQ(teilmodellklasse::mixConcentration(m.c1, m.c2, m.v1, m.v2), m.expected)
        << m.c1 << " " << m.c2 << " " << m.v1 << " " << m.v2;
  struct Enrich {
    double c, v, e, expected;
  };
  for (const Enrich& e : std::vector<Enrich>{
           {2, 10, 5, 4}, {2, 10, 0, 2}, {2, 10, 10, 0}, {2, 0, 0, 0}, {2, 10, -10, 1}})
    EXPECT_EQ(teilmodellklasse::enrichConcentration(e.c, e.v, e.e), e.expected)
        << e.c << " " << e.v << " " << e.e;
}

namespace {

TracerRecord tracer(const std::string& name, int radioactive, double halfTime) {
  TracerRecord t;
  t.name = name;
  t.radioactive = radioactive;
  t.halfTime = halfTime;
  t.path = "tr_";
  t.statExt = "stat";
  t.gridExt = "asc";
  t.statCode = 2001;
  t.gridCode = 0;
  return t;
}

} // namespace

TEST(Teilmodellklasse, DecaysEachTracerOverItsOwnTimeStep) {
  SubmodelSetup s("sub_decay", moduleSection("unsatzone", "1", "60") +
                                   moduleSection("groundwater", "1", "1440"));
  s.addGrid("[zone_grid]", {1, 1, 2, 2, 1, 1, 2, 2, -9999, 3, 3, 3});
  s.context.outputDirectory = s.log.directory + "/";
  std::vector<TracerRecord> table = {TracerRecord{}, tracer("h3_", 1, 4500.25),
                                     tracer("no3", 0, -9999.0), tracer("cs1", 1, 0.0)};
  TestSubmodel hourly(s.context, "unsatzone");
  TestSubmodel daily(s.context, "groundwater");
  int error = -1;
  hourly.initTracers(error, 3, table, nullptr, 0);
  ASSERT_EQ(error, 0) << s.log.console.str();
  EXPECT_EQ(table[1].decayFactor, std::exp(-(1.0 / 24.0) / (1.442695041111 * 4500.25)));
  daily.initTracers(error, 3, table, nullptr, 0);
  ASSERT_EQ(error, 0) << s.log.console.str();

  struct Expected {
    const TestSubmodel& module;
    double days; // the module's step
  };
  for (const Expected& e : {Expected{hourly, 1.0 / 24.0}, Expected{daily, 1.0}}) {
    const auto& own = e.module.getTracers();
    ASSERT_EQ(own.size(), 3u);
    // Over one half-life the factors multiply to a half.
    const double steps = 4500.25 / e.days;
    EXPECT_NEAR(std::pow(own[0]->record.decayFactor, steps), 0.5, 1e-9);
    EXPECT_EQ(own[1]->record.decayFactor, 1.0) << "no decay without radioactivity";
    EXPECT_EQ(own[2]->record.decayFactor, 0.0) << "a half-life of 0 decays within one step";
  }
  // The shared record holds the factor of the module set up last.
  EXPECT_EQ(table[1].decayFactor, daily.getTracers()[0]->record.decayFactor);
  EXPECT_NE(table[1].decayFactor, hourly.getTracers()[0]->record.decayFactor);
}

TEST(Teilmodellklasse, SetsUpTracerGridsAndStatistics) {
  SubmodelSetup s("sub_tracers", moduleSection("unsatzone", "1", "60"));
  s.addGrid("[zone_grid]", {1, 1, 2, 2, 1, 1, 2, 2, -9999, 3, 3, 3});
  s.addGrid("zonegrid_soilmodel", {5, 5, 5, 7, 5, 5, 7, 7, -9999, 9, 9, 7});
  s.context.outputDirectory = s.log.directory + "/";
  std::vector<TracerRecord> table = {TracerRecord{}, tracer("no3", 0, -9999.0)};
  TestSubmodel m(s.context, "unsatzone");
  int error = -1;
  m.initTracers(error, 0, table, nullptr, 0);
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(m.getTracers().empty()) << "no tracers, nothing set up";

  m.initTracers(error, 1, table, nullptr, 0);
  ASSERT_EQ(error, 0) << s.log.console.str();
  const SubmodelTracer& t = *m.getTracers().at(0);
  EXPECT_EQ(t.gridFile, "tr_no3unsat.asc");
  EXPECT_EQ(t.fluxFile, "tr_no3unsat_flux.asc");
  EXPECT_EQ(t.statisticFile, s.log.directory + "/tr_no3unsat.stat");
  const int stor = m.findGrid("concstor_tracer_1_unsatzone");
  const int flux = m.findGrid("concflux_tracer_1_unsatzone");
  ASSERT_GT(stor, 0);
  ASSERT_GT(flux, 0);
  EXPECT_EQ(s.registry[stor].grid, t.concstor);
  EXPECT_EQ(s.registry[stor].fileName, "tr_no3unsat.asc");
  EXPECT_EQ(t.concstor[3][1], -9999.0) << "outside the zone grid";
  EXPECT_EQ(t.concflux[3][2], 0.0);
  // The module's zones are those of "zonegrid_soilmodel": 5, 7 and 9.
  ASSERT_EQ(t.zoneRecords.size(), 4u);
  EXPECT_EQ(t.zoneRecords[2].code, 7.0);
  EXPECT_EQ(t.zoneRecords[2].areaFraction, 4.0 / 11.0);
  EXPECT_EQ(readFile(t.statisticFile),
            "YY\tMM\tDD\tHH\t\"5\"\t\"7\"\t\"9\"\ttot_average\n"
            "unsatzone_submodel:tracer concentration for tracer 1 (no3) \n"
            "--\t--\t--\t--\t0.4545455\t0.3636364\t0.1818182\t1.0000\n");

  m.freeTracers();
  EXPECT_TRUE(m.getTracers().empty());
  EXPECT_EQ(m.findGrid("concstor_tracer_1_unsatzone"), 0);
  EXPECT_FALSE(s.registry[stor].hasFileName);
}

TEST(Teilmodellklasse, TracerFailuresComeBackAsErrorCodes) {
  SubmodelSetup s("sub_tracer_full", moduleSection("mod", "1", "60"));
  s.addGrid("[zone_grid]", std::vector<double>(12, 1.0));
  std::vector<TracerRecord> table = {TracerRecord{}, tracer("no3", 0, -9999.0)};
  for (int k = 2; k < gridRegistryLimit; ++k) {
    s.registry[k].hasFileName = s.registry[k].hasName = true;
    s.registry[k].name = "full" + std::to_string(k);
  }
  TestSubmodel m(s.context, "mod");
  int error = -1;
  EXPECT_NO_THROW(m.initTracers(error, 1, table, nullptr, 0));
  EXPECT_EQ(error, 12);
  EXPECT_NE(s.log.console.str().find(
                "no free grid left. Please contact the author to set the number of available "
                "grids to a larger value (concstor_tracer_1_mod of mod)"),
            std::string::npos);

  s.registry[999] = GridRegistryEntry{};
  EXPECT_NO_THROW(m.initTracers(error, 2, table, nullptr, 0));
  EXPECT_EQ(error, 103) << "the table holds one tracer, not two";
}

TEST(Teilmodellklasse, MoreThan16000ZonesEndTheRun) {
  SubmodelSetup s("sub_zones_many", moduleSection("mod", "1", "60"));
  s.context.header.ncols = s.context.header.nrows = s.context.header.lastRow = 127;
  std::vector<double> codes(127 * 127);
  for (size_t k = 0; k < codes.size(); ++k) codes[k] = static_cast<double>(k);
  s.addGrid("[zone_grid]", std::vector<double>(codes.size(), 1.0));
  s.addGrid("zonegrid_soilmodel", codes);
  TestSubmodel m(s.context, "mod");
  SubmodelZones table;
  EXPECT_EQ(exitCodeOf([&] { m.rankZones(table); }), 4);
  EXPECT_TRUE(s.log.hasEntry("too much zones in zonegrid_soilmodel.asc (zonegrid_soilmodel), "
                             "(max. 16000)!"))
      << s.log.lastEntry();

  codes.resize(16000);
  codes.resize(codes.size() + 129, 15999.0);
  s.free(s.registry[2].grid);
  s.grids.pop_back();
  s.registry[2] = GridRegistryEntry{};
  s.addGrid("zonegrid_soilmodel", codes);
  EXPECT_EQ(exitCodeOf([&] { m.rankZones(table); }), -1) << "16000 zones pass";
  EXPECT_EQ(table.zoneCount, 16000);
}
