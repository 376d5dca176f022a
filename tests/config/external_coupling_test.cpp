#include <gtest/gtest.h>

#include <vector>

#include "tests/config/coupling_run.h"

using coupling_run::CouplingRun;
using coupling_run::couplingSection;

namespace {

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

const std::string head = "-----------------error------------\n";
const std::string reason =
    "defaults\npossible reason: parameter missing or a linefeed \nbefore the end of the "
    "parameter block";

} // namespace

// Each value of the section in turn unreadable, or the section cut short.
TEST(ExternalCoupling, BadSectionsEndTheSetUpWithCode10) {
  const std::string valid = couplingSection('D');
  const auto cutAt = [&](const std::string& marker, const std::string& rest) {
    return valid.substr(0, valid.find(marker)) + rest;
  };
  struct Case {
    std::string section, text, line;
  };
  const Case cases[] = {
      {replaced(valid, "1  coupling on", "on"), "error reading coupling mode for ", "line 52"},
      {replaced(valid, "sem_ext.txt", "[next]"),
       "error reading name of the external groundwater table grid for ", "line 53"},
      {replaced(valid, "50  wait", "soon"),
       "error reading of wait interval for scanning for external gw table grid ", "line 54"},
      {replaced(valid, "D  grid", " D  grid"),
       "error reading Coupling Mode (I, H, D, M or Y) for external gw table grid ", "line 55"},
      {replaced(valid, "D  grid", "W  grid"), "error reading Coupling Mode", "line 55"},
      {replaced(valid, "D  grid", "d  grid"), "error reading Coupling Mode", "line 55"},
      {replaced(valid, "60  external", "sixty"),
       "error reading time step of the external model (should be given in minutes after "
       "coupling mode) ",
       "line 56"},
      {replaced(valid, "3  grids to read", "-1  grids"),
       "error reading number of external grids to read in ", "line 57"},
      {replaced(valid, "GWTableExtern 2 0", "GWTableExtern 2 x"),
       "error reading external (read) grid name/entity/fill code/rename code ", "line 59"},
      {replaced(valid, "10  grids to write", "ten"),
       "error reading number of external grids to write in ", "line 61"},
      {cutAt("out/now.asc", "out/now.asc flux\n"),
       "error reading external (write) grid name/entity/Writecode", "end of"},
      {replaced(valid, "4  statistics", "four"),
       "error reading number of external Stats to write in ", "line 72"},
      {cutAt("out/stat_now.txt", "out/stat_now.txt runoff_total\n"),
       "error reading external (write) Statfile name/entity/writecode", "end of"},
      {cutAt("sem_model.txt", ""),
       "error reading semaphore file name for file to be written by horva ", "end of"},
      {replaced(valid, "Continue", "[end]"),
       "error reading semaphore Content for file to be written by horva ", "line 78"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " at " + c.line);
    CouplingRun run("bad" + std::to_string(++n), c.section);
    EXPECT_EQ(run.exitCode, 10);
    const std::string console = run.model->console();
    const std::string tail = c.text == "error reading coupling mode for " ? "\n" : "";
    EXPECT_NE(console.find(head + c.text), std::string::npos) << console;
    EXPECT_NE(console.find(reason + tail + "\n[ExternalCoupling], " + c.line), std::string::npos)
        << console;
  }
}

TEST(ExternalCoupling, ReadsTheSectionAndStaysOffWithoutIt) {
  CouplingRun run("valid", couplingSection('M', "2\n a.asc GWTableExtern 1 0 b.asc\n"
                                                "gw_level\n 2 1  free text\n"));
  ASSERT_EQ(run.exitCode, -1) << run.model->console();
  const SetupModel& m = *run.model;
  EXPECT_TRUE(m.isExternalCouplingActive());
  EXPECT_EQ(m.getSemaphoreFileName(), "sem_ext.txt");
  EXPECT_EQ(m.getCouplingWaitInterval(), 50);
  EXPECT_EQ(m.getCouplingGridMode(), 'M');
  EXPECT_EQ(m.getExternalTimeStep(), 60);
  EXPECT_EQ(m.getExternalSemaphoreFileName(), "sem_model.txt");
  EXPECT_EQ(m.getExternalSemaphoreContent(), "Continue");
  EXPECT_TRUE(m.hasExternalGWTable());
  const CouplingSettings& s = m.getCouplingSettings();
  ASSERT_EQ(s.readGrids.size(), 2u);
  EXPECT_EQ(s.readGrids[1].fileName, "b.asc");
  EXPECT_EQ(s.readGrids[1].internalName, "gw_level");
  EXPECT_EQ(s.readGrids[1].fillCode, 2);
  EXPECT_EQ(s.readGrids[1].renameCode, 1);
  ASSERT_EQ(s.writeGrids.size(), 10u);
  ASSERT_EQ(s.statistics.size(), 4u);
  const CouplingWriteKind kinds[] = {CouplingWriteKind::sum, CouplingWriteKind::mean,
                                     CouplingWriteKind::sumTotal, CouplingWriteKind::sumTotal};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(s.writeGrids[static_cast<size_t>(k)].kind, kinds[k]) << k;
    EXPECT_NE(s.writeGrids[static_cast<size_t>(k)].accumulation, nullptr) << k;
  }
  EXPECT_EQ(s.writeGrids[9].kind, CouplingWriteKind::current);
  EXPECT_EQ(s.writeGrids[9].accumulation, nullptr);
  EXPECT_EQ(s.statistics[3].kind, CouplingWriteKind::current);
  run.model->FreeMemory();
  EXPECT_TRUE(m.getCouplingSettings().writeGrids.empty());

  // Without the section, or with mode 0, coupling is off whatever follows.
  for (const std::string& section : {std::string(), std::string("[ExternalCoupling]\n0\nx\n")}) {
    CouplingRun off("off" + std::to_string(section.size()), section);
    ASSERT_EQ(off.exitCode, -1) << off.model->console();
    SetupModel& o = *off.model;
    EXPECT_FALSE(o.isExternalCouplingActive());
    EXPECT_EQ(o.getSemaphoreFileName(), "");
    EXPECT_EQ(o.getCouplingWaitInterval(), 100);
    EXPECT_EQ(o.getCouplingGridMode(), 'I');
    EXPECT_EQ(o.getExternalTimeStep(), 0);
    EXPECT_FALSE(o.hasExternalGWTable());
    EXPECT_EQ(exitCodeOf([&] {
                o.resolveCouplingNames(nullptr, 0);
                o.exchangeExternalGrids(2020, 1, 1, 0);
                o.accumulateCouplingStatistics();
                o.writeCouplingStatistics(0, 1, 1, 2020, true, true, true);
              }),
              -1);
  }
}

// The set-up reads its copy of the control file from memory: the copy on the
// disk, which a refused run must leave as it was, is not read back.
TEST(ExternalCoupling, ReadsTheCopyKeptInMemory) {
  CouplingRun run("memory", couplingSection('I'));
  SetupModel m(run.dir, run.dir + "/run.ctl");
  int done = 0;
  while (m.setupStep < 22) m.initStep(done);
  writeFile(run.dir + "/run.ctl.intern", "[ExternalCoupling]\n0\n");
  EXPECT_EQ(exitCodeOf([&] { m.initStep(done); }), -1) << m.console();
  EXPECT_TRUE(m.isExternalCouplingActive());
  EXPECT_EQ(m.getCouplingGridMode(), 'I');
}

// Internal names are exact; statistic names match with "_" for their blanks.
TEST(ExternalCoupling, ResolvesGridsAndStatisticsByName) {
  const std::string read = "1\next_move.asc gw_level 0 1\n";
  struct Case {
    std::string from, to;
    int code;
    std::string message;
  };
  const Case cases[] = {
      {"ext_move.asc gw_level", "ext_move.asc GW_level", 1003,
       "error looking for internal grid to read from ext_move.asc, with internal name "
       "\"GW_level\"\npossible reason: internal name of the grid is wrong (case sensitive!)"},
      {"out/mean.asc flux", "out/mean.asc Flux", 1004,
       "error looking for internal grid to write to out/mean.asc with internal name \"Flux\"\n"
       "possible reason: internal name of the grid is wrong (case sensitive!)"},
      {"out/stat_mean.txt runoff_total", "out/stat_mean.txt Snow", 1005,
       "error looking for zonal statistic with internal name \"Snow\"\npossible reason: name of "
       "the statistic entity is wrong (case sensitive!)"},
      {"out/stat_mean.txt runoff_total", "out/stat_mean.txt snow_storage", -1, ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    CouplingRun run("names" + std::to_string(++n),
                    replaced(couplingSection('D', read), c.from, c.to));
    ASSERT_EQ(run.exitCode, -1) << run.model->console();
    char snow[] = "snow_submodel:snow storage total";
    char runoff[] = "flux_submodel:runoff total";
    std::vector<double> values = {0.0, 1.5, 2.5};
    std::uint64_t codes[] = {0, 7, 0};
    std::vector<StatisticTableEntry> table(3);
    table[0] = {0, 0, 0, 0, 0, 2, values.data(), nullptr, values.data(), snow, codes};
    table[2] = {0, 0, 0, 0, 0, 2, values.data(), nullptr, values.data(), runoff, codes};
    const std::vector<StatisticTableEntry> before = table;
    EXPECT_EQ(exitCodeOf([&] { run.model->resolveCouplingNames(table.data(), 3); }), c.code);
    if (c.code > 0) {
      EXPECT_NE(run.model->console().find(head + c.message), std::string::npos)
          << run.model->console();
      continue;
    }
    // The coupling keeps its own entries: the table stays as its owners left it.
    for (size_t k = 0; k < 3; ++k) {
      EXPECT_EQ(table[k].currentValues, before[k].currentValues) << k;
      EXPECT_EQ(table[k].name, before[k].name) << k;
    }
    const CouplingSettings& s = run.model->getCouplingSettings();
    EXPECT_EQ(s.statistics[0].entry.name, runoff);
    EXPECT_EQ(s.statistics[1].entry.name, snow);
    EXPECT_EQ(s.readGrids[0].index, run.model->findGrid("gw_level"));
    EXPECT_EQ(s.readGrids[0].keepWholeOnRoot, 1);
    EXPECT_EQ(s.writeGrids[0].index, run.model->findGrid("flux"));
    run.model->writeCouplingStatistics(5, 2, 1, 2021, false, false, false);
    EXPECT_EQ(readFile("out/stat_mean.txt"),
              "date: 2021-01-02\nhour: 05h\nsnow_submodel:snow storage total; 1 zones\n"
              "7\t1.5\naverage\t2.25\n");
  }
}
