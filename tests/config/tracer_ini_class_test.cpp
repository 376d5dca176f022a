#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <streambuf>

#include "config/tracer_ini_class.h"
#include "tests/config/captured_log.h"
#include "tests/test_support.h"

namespace {

// The tracer set-up built as the driver builds it, on a control file of its
// own.
struct TracerSetUp {
  TracerSetUp(const std::string& name, const std::string& controlText, bool writeFile_ = true)
      : log(name), controlPath(log.directory + "/model.ctl.intern") {
    if (writeFile_) writeFile(controlPath, controlText);
    tracers = std::make_unique<tracer_ini_class>(errorCode, &log.diag, controlPath, 0, true, false,
                                                 false, "", "", nullptr, nullptr, nullptr, 0, 0);
  }
  const TracerRecord& record(int k) { return tracers->getTracerInfoTable().at(k); }

  CapturedLog log;
  std::string controlPath;
  int errorCode = -1;
  std::unique_ptr<tracer_ini_class> tracers;
};

std::string section(const std::string& count, const std::vector<std::string>& lines) {
  std::string text = "[model_time]\n1\n\n[substance_transport]\n" + count + "  number of tracers\n";
  for (const std::string& line : lines) text += line + "\n";
  return text + "\n[next_section]\n1\n";
}

const std::string nitrate = "NO3 non_radioactive evaporating min_conc = 0.5 max_conc = 100 mg/l "
                            "soilini = 1.5 gwini = 2.5 statcode = 3 gridcode = 4 path = ./tracers/ "
                            "statext = sta gridext = grd";
// Keywords in another order, "=" joined to a value and to a key.
const std::string tritium =
    "Tritium gridext = .g radioactive half_time =4500.5 d non_evaporating "
    "statext = .s min_conc=0 max_conc = 7 kg/kg soilini = 0.25 gwini = 0.75 "
    "statcode =5 gridcode = 6 path = /data/radioactive/";

} // namespace

TEST(TracerIni, ReadsEveryTracerRecord) {
  TracerSetUp s("tracer_read", section("2", {nitrate, tritium}));
  ASSERT_EQ(s.errorCode, 0) << s.log.console.str();
  ASSERT_EQ(s.tracers->getTracerCount(), 2);
  ASSERT_EQ(s.tracers->getTracerInfoTable().size(), 3u);

  const TracerRecord& n = s.record(1);
  EXPECT_EQ(n.name, "no3");
  EXPECT_EQ(n.radioactive, 0);
  EXPECT_EQ(n.halfTime, -9999.0);
  EXPECT_EQ(n.evaporating, 1);
  EXPECT_EQ(n.minConc, 0.5);
  EXPECT_EQ(n.maxConc, 100.0);
  EXPECT_EQ(n.soilIni, 1.5);
  EXPECT_EQ(n.gwIni, 2.5);
  EXPECT_EQ(n.statCode, 3);
  EXPECT_EQ(n.gridCode, 4);
  EXPECT_EQ(n.path, "./tracers/");
  EXPECT_EQ(n.statExt, "sta");
  EXPECT_EQ(n.gridExt, "grd");

  const TracerRecord& t = s.record(2);
  EXPECT_EQ(t.name, "tri");
  EXPECT_EQ(t.radioactive, 1);
  EXPECT_EQ(t.halfTime, 4500.5);
  EXPECT_EQ(t.evaporating, 0);
  EXPECT_EQ(t.minConc, 0.0);
  EXPECT_EQ(t.maxConc, 7.0);
  EXPECT_EQ(t.soilIni, 0.25);
  EXPECT_EQ(t.gwIni, 0.75);
  EXPECT_EQ(t.statCode, 5);
  EXPECT_EQ(t.gridCode, 6);
  EXPECT_EQ(t.path, "/data/radioactive/");
  EXPECT_EQ(t.statExt, ".s");
  EXPECT_EQ(t.gridExt, ".g");

  // Fields that the modules fill later start cleared.
  for (const TracerRecord* r : {&n, &t}) {
    EXPECT_EQ(r->decayFactor, 0.0);
    EXPECT_EQ(r->subIntervalDecayFactor, 0.0);
    EXPECT_EQ(r->delayDecayFactor, 0.0);
    EXPECT_EQ(r->gwIniIsStorage, 0);
    EXPECT_EQ(r->takenFromOtherStore, 0);
  }
  EXPECT_TRUE(s.log.hasEntry("reading parameters for tracer 2 ..."));
  EXPECT_TRUE(s.log.hasEntry("done."));

  s.tracers->FreeMemory();
  EXPECT_EQ(s.tracers->getTracerCount(), 0);
  EXPECT_TRUE(s.tracers->getTracerInfoTable().empty());
  EXPECT_EQ(s.log.lastEntry(), "deleting module tracer_ini");
}

TEST(TracerIni, AcceptsTheWrittenForms) {
  // One tracer line each; the line, then the field and its value.
  struct Case {
    std::string line;
    std::string name;
    double halfTime;
    double maxConc;
    std::string path;
  };
  const std::string rest = " min_conc = 0 soilini = 0 gwini = 0 statcode = 1 gridcode = 1 "
                           "statext = s gridext = g";
  const std::string longPath = "/" + std::string(400, 'p') + "/";
  const std::vector<Case> cases = {
      {"N non_radioactive evaporating path = a" + rest + " max_conc = 5", "n__", -9999.0, 5.0, "a"},
      {"Ab non_radioactive radioactive evaporating max_conc = 5 g/l path = a" + rest, "ab_",
       -9999.0, 5.0, "a"},
      {"Cs137 radioactive half_time = 0 d evaporating max_conc = 5 kg/kg path = a" + rest, "cs1",
       0.0, 5.0, "a"},
      {"Cs radioactive half_time=12d evaporating max_conc = 5 Kg/Kg path = a" + rest, "cs_", 12.0,
       5.0, "a"},
      {"Cs radioactive half_time = 12 d evaporating max_conc=5mg/l path = a" + rest, "cs_", 12.0,
       5.0, "a"},
      {"Cs non_radioactive evaporating path =" + longPath + rest + " max_conc = 5", "cs_", -9999.0,
       5.0, longPath},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    TracerSetUp s("tracer_forms_" + std::to_string(i), section("1", {c.line}));
    ASSERT_EQ(s.errorCode, 0) << c.line << "\n" << s.log.console.str();
    EXPECT_EQ(s.record(1).name, c.name) << c.line;
    EXPECT_EQ(s.record(1).halfTime, c.halfTime) << c.line;
    EXPECT_EQ(s.record(1).maxConc, c.maxConc) << c.line;
    EXPECT_EQ(s.record(1).path, c.path) << c.line;
  }
}

TEST(TracerIni, CountsOutsideOneToNine) {
  for (const char* count : {"0", "-3"}) {
    TracerSetUp s("tracer_none", section(count, {"no tracer line is read"}));
    EXPECT_EQ(s.errorCode, 0);
    EXPECT_EQ(s.tracers->getTracerCount(), 0);
    EXPECT_TRUE(s.tracers->getTracerInfoTable().empty());
    EXPECT_FALSE(s.log.hasEntry("reading parameters for tracer 1 ..."));
  }
  // Decimal: "010" is ten, not eight.
  for (const char* count : {"10", "010"}) {
    TracerSetUp s("tracer_ten", section(count, std::vector<std::string>(10, nitrate)));
    EXPECT_EQ(s.errorCode, 58) << count;
    EXPECT_EQ(s.log.lastEntry(), "not more than 9 tracer species are allowed at one time (they "
                                 "need a very lot of memory!)");
    EXPECT_FALSE(s.log.hasEntry("reading parameters for tracer 1 ..."));
  }
  TracerSetUp nine("tracer_nine", section("09", {"A" + nitrate, "B" + nitrate, "C" + nitrate,
                                                 "D" + nitrate, "E" + nitrate, "F" + nitrate,
                                                 "G" + nitrate, "H" + nitrate, "I" + nitrate}));
  EXPECT_EQ(nine.errorCode, 0) << nine.log.console.str();
  EXPECT_EQ(nine.tracers->getTracerCount(), 9);
  EXPECT_EQ(nine.record(9).name, "ino");
}

TEST(TracerIni, FailuresNameTheTracerAndKey) {
  // Tracer 2 of 2 fails; each case changes one part of a sound line.
  const std::string head = "Cl non_radioactive evaporating";
  const std::string concentrations = " min_conc = 0 max_conc = 9 g/l soilini = 0 gwini = 0";
  const std::string codes = " statcode = 1 gridcode = 2";
  const std::string files = " path = p/ statext = s gridext = g";
  const std::string rest = " non_evaporating" + concentrations + codes + files;
  struct Case {
    std::string line;
    std::string message;
  };
  const std::string needRadioactive =
      "error reading parameters for tracer 2:\n need a key word \"radioactive\" or "
      "\"non_radioactive\"\n(may be, the number of tracers (2) is wrong?\n";
  const std::vector<Case> cases = {
      {"Cl" + rest, needRadioactive},
      // A key word inside a value or the name is no key word.
      {"Cl" + rest + " statext = /radioactive/", needRadioactive},
      {"radioactive" + rest, needRadioactive},
      {"Cl radioactive" + rest,
       "error in tracer_info_table tracer 2: need a \"half_time = xxxx d\" sequence!"},
      {"Cl radioactive half_time 12 d" + rest,
       "error reading half_time for tracer 2: no \"half_time =\" found!"},
      {"Cl radioactive half_time = x d" + rest, "error reading half_time for tracer 2"},
      {"Cl radioactive half_time = 12" + rest,
       "error reading half_time for tracer 2: no \"d\" for measure found!"},
      {"Cl radioactive half_time = 12 days" + rest,
       "error reading half_time for tracer 2: no \"d\" for measure found!"},
      {"Cl radioactive half_time = -1 d" + rest,
       "error in half_time for tracer 2: must be greater than 0!"},
      {"Cl non_radioactive" + concentrations + codes + files,
       "error reading parameters for tracer 2:\n need a key word \"evaporating\" or "
       "\"non_evaporating\"\n(may be, the number of tracers (2) is wrong?"},
      {head + " max_conc = 9 g/l soilini = 0 gwini = 0" + codes + files,
       "error reading parameters for tracer 2:\nneed a key word \"min_conc = xxxx\""},
      {head + " min_conc 0 max_conc = 9 g/l soilini = 0 gwini = 0" + codes + files,
       "error reading min_conc for tracer 2: no \"min_conc =\" found!"},
      {head + " min_conc = x max_conc = 9 g/l soilini = 0 gwini = 0" + codes + files,
       "error reading min_conc for tracer 2"},
      {head + " min_conc = 0 soilini = 0 gwini = 0" + codes + files,
       "error reading parameters for tracer 2:\nneed a key word \"max_conc = xxxx\""},
      {head + " min_conc = 0 max_conc 9 g/l soilini = 0 gwini = 0" + codes + files,
       "error reading max_conc for tracer 2: no \"max_conc =\" found!"},
      {head + " min_conc = 0 max_conc = lots soilini = 0 gwini = 0" + codes + files,
       "error reading max_conc for tracer 2"},
      {head + " min_conc = 0 max_conc = 5 ppm soilini = 0 gwini = 0" + codes + files,
       "error reading max_conc for tracer 2:\nwrong measure (only mg/l, g/l or kg/kg resp. no "
       "measure are allowed!)\nread here: ppm"},
      {head + " min_conc = 0 max_conc = 5 soilini = 0 gwini = 0" + codes + files,
       "error reading max_conc for tracer 2:\nwrong measure (only mg/l, g/l or kg/kg resp. no "
       "measure are allowed!)\nread here: soilini"},
      {head + " min_conc = 0 max_conc = 9 g/l gwini = 0" + codes + files,
       "error reading parameters for tracer 2:\nneed a key word \"soilini = xxxx\""},
      {head + " min_conc = 0 max_conc = 9 g/l soilini 0 gwini = 0" + codes + files,
       "error reading soilini for tracer 2: no \"soilini =\" found!"},
      {head + " min_conc = 0 max_conc = 9 g/l soilini = wet gwini = 0" + codes + files,
       "error reading soilini for tracer 2!"},
      {head + " min_conc = 0 max_conc = 9 g/l soilini = 0" + codes + files,
       "error reading parameters for tracer 2:\nneed a key word \"gwini = xxxx\""},
      {head + " min_conc = 0 max_conc = 9 g/l soilini = 0 gwini = none" + codes + files,
       "error reading gwini for tracer 2!"},
      {head + concentrations + " statcode=1 gridcode = 2" + files,
       "error reading statcode for tracer 2:\nneed a key word \"statcode = xxxx\""},
      {head + concentrations + " statcode = one gridcode = 2" + files,
       "error reading statcode for tracer 2!"},
      {head + concentrations + " statcode = 1" + files,
       "error reading gridcode for tracer 2:\nneed a key word \"gridcode = xxxx\""},
      {head + concentrations + " statcode = 1 gridcode = x" + files,
       "error reading gridcode for tracer 2!"},
      // A value holds a number as a whole.
      {head + " min_conc = 0.5x max_conc = 9 g/l soilini = 0 gwini = 0" + codes + files,
       "error reading min_conc for tracer 2"},
      {head + concentrations + " statcode = 1001x gridcode = 2" + files,
       "error reading statcode for tracer 2!"},
      {head + concentrations + codes + " statext = s gridext = g",
       "error reading path for tracer 2:\nneed a key word \"path = xxxx\""},
      {head + concentrations + codes + " statext = s gridext = g path =",
       "error reading path for tracer 2!"},
      {head + concentrations + codes + " path = p/ gridext = g",
       "error reading statext for tracer 2:\nneed a key word \"statext = xxxx\""},
      {head + concentrations + codes + " path = p/ statext = s",
       "error reading gridext for tracer 2:\nneed a key word \"gridext = xxxx\""},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    TracerSetUp s("tracer_fail_" + std::to_string(i), section("2", {nitrate, c.line}));
    EXPECT_EQ(s.errorCode, 56) << c.line;
    EXPECT_EQ(s.log.lastEntry(), c.message) << c.line;
    EXPECT_EQ(s.log.fatalCount(), 1) << c.line;
  }
}

TEST(TracerIni, SetUpFailuresCarryTheirCodes) {
  struct Case {
    std::string control;
    int code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {section("2", {nitrate, "no3x" + nitrate.substr(3)}), 59,
       "\n----------- ERROR in substance_transport ---------\n\nsubstance #2 and substance #1 "
       "have the same\nfirst 3 chars (lowercase) in its name (no3 <-> no3)\n\n"
       "--------------------------------------------------\n"},
      // Fewer lines than the count: the next line has no key words.
      {section("3", {nitrate, tritium}) + "", 56,
       "error reading parameters for tracer 3:\n need a key word \"radioactive\" or "
       "\"non_radioactive\"\n(may be, the number of tracers (3) is wrong?\n"},
      {"[model_time]\n1\n", 17, "error in control file, [substance_transport]; (EOF)not found!"},
      {"[substance_transport]\nmany tracers\n", 17,
       "error in control file,  number of tracers in ; [substance_transport], line 2 of "
       "testdata_tracer_setup_3_np1_rank0/model.ctl.intern reads \"many\": not found!"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    TracerSetUp s("tracer_setup_" + std::to_string(i), c.control);
    EXPECT_EQ(s.errorCode, c.code) << c.control;
    EXPECT_EQ(s.log.lastEntry(), c.message) << c.control;
    EXPECT_EQ(s.log.fatalCount(), 1) << c.control;
  }

  TracerSetUp missing("tracer_nofile", "", false);
  EXPECT_EQ(missing.errorCode, 28);
  EXPECT_EQ(missing.log.lastEntry(), "error opening " + missing.controlPath);
}

namespace {

// A console that fails with an exception that is not an exit code.
class FailingBuffer : public std::streambuf {
protected:
  int overflow(int) override { throw std::runtime_error("console lost"); }
};

} // namespace

TEST(TracerIni, OtherExceptionsBecomeCode103) {
  const std::string directory = makeTestDirectory("tracer_103");
  const std::string control = directory + "/model.ctl.intern";
  writeFile(control, section("1", {nitrate}));
  FailingBuffer buffer;
  std::ostream console(&buffer);
  console.exceptions(std::ios::badbit);
  std::ostringstream errors;
  DiagStream diag(directory + "/diag.xml", 4, &console, &errors);
  int errorCode = -1;
  tracer_ini_class tracers(errorCode, &diag, control, 0, true, false, false, "", "", nullptr,
                           nullptr, nullptr, 0, 0);
  EXPECT_EQ(errorCode, 103);
}
