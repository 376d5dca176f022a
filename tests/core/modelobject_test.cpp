#include <gtest/gtest.h>

#include <tuple>

#include "core/control_file_lines.h"
#include "tests/test_model.h"
#include "tests/test_support.h"

TEST(ModelObject, MinuteIndexCountsEveryMonthAs31Days) {
  const std::string dir = makeTestDirectory("mo_dates");
  TestModule m(dir);
  m.setEndDate(2020, 12, 31, 23, 59);
  const long lastMinute = m.getEndMinuteIndex();
  m.setEndDate(2021, 1, 1, 0, 0);
  EXPECT_EQ(m.getEndMinuteIndex() - lastMinute, 1);
  EXPECT_EQ(m.getEndDate().year, 2021);
  EXPECT_EQ(m.getEndMinuteIndex(), 2021 * 535680 + 44640 + 1440);

  const ModelDate feb28{0, 0, 28, 2, 2020};
  const ModelDate mar1{0, 0, 1, 3, 2020};
  EXPECT_EQ(mar1.minuteIndex() - feb28.minuteIndex(), 4 * 1440);
}

TEST(ModelObject, ReadsSectionsAndLegacyValues) {
  const std::string dir = makeTestDirectory("mo_control");
  const std::string control = dir + "/model.ctl";
  writeFile(control, "[first_section]\n"
                     "1 something\n"
                     "\n"
                     "  [model_time]   trailing words\n"
                     "3600  time step in seconds\n"
                     "2.5 7.25  a pair\n"
                     "etp.stat 2001  a file and its code\n"
                     "grid.asc  a word\n"
                     "notanumber  broken value\n");
  TestModule m(dir, control);
  m.openControlFile();

  EXPECT_EQ(m.seekSection("[model_time]", true), 1);
  long step = 0;
  std::string rest;
  EXPECT_EQ(m.readControlValue(m.controlFile, "%ld", step, "time step", rest), 1);
  EXPECT_EQ(step, 3600);
  EXPECT_EQ(rest, "  time step in seconds\n");
  double a = 0;
  double b = 0;
  EXPECT_EQ(m.readControlValuePair(m.controlFile, "%lf %lf", a, b, "pair"), 2);
  EXPECT_EQ(a, 2.5);
  EXPECT_EQ(b, 7.25);
  std::string file;
  int code = 0;
  EXPECT_EQ(m.readControlValuePair(m.controlFile, "%s%d", file, code, "file and code"), 2);
  EXPECT_EQ(file, "etp.stat");
  EXPECT_EQ(code, 2001);
  EXPECT_EQ(m.lineBuffer, "  a file and its code\n");
  std::string word;
  m.readControlValue(m.controlFile, "%s", word, "a word");
  EXPECT_EQ(word, "grid.asc");
  EXPECT_EQ(m.lineBuffer, "  a word\n");

  int broken = 0;
  EXPECT_EQ(exitCodeOf([&] { m.readControlValue(m.controlFile, "%d", broken, "broken value"); }),
            17);
  EXPECT_NE(m.console().find("  Next line in Horva control file: "), std::string::npos);
  EXPECT_NE(m.console().find("notanumber"), std::string::npos);
  EXPECT_NE(m.console().find("error in control file, broken value; [model_time], line 9 of " +
                             control + " reads \"notanumber\": not found!"),
            std::string::npos);
  // The line holds a word, then "broken": no number.
  EXPECT_EQ(exitCodeOf([&] { m.readControlValuePair(m.controlFile, "%s%d", file, code, "pair"); }),
            17);
  EXPECT_NE(m.console().find("error in control file, pair; [model_time], line 9 of " + control +
                             " reads \"broken\": not found!"),
            std::string::npos);

  EXPECT_EQ(m.seekSection("[first_section]", true), 1);
  int first = 0;
  m.readControlValue(m.controlFile, "%d", first, "first");
  EXPECT_EQ(first, 1);
}

// A value is a whole word: letters glued to a number end the run, naming
// section, line and word; a line end after it, also "\r\n", does not.
TEST(ModelObject, LegacyValuesFillTheirWord) {
  const std::string dir = makeTestDirectory("mo_glued");
  const std::string control = dir + "/model.ctl";
  // line, read as a pair, the glued word (nullptr: read)
  const std::tuple<std::string, bool, const char*> cases[] = {{"20x1  start year", false, "20x1"},
                                                              {"1.5.3", false, "1.5.3"},
                                                              {"3600\r", false, nullptr},
                                                              {"2 5x pair", true, "5x"},
                                                              {"2\t5 pair", true, nullptr}};
  for (const auto& [line, pair, word] : cases) {
    writeFile(control, "[a]\n1\n\n[model_time]\n# note\n" + line + "\n");
    TestModule m(dir, control);
    m.openControlFile();
    m.seekSection("[model_time]", true);
    m.readControlValue(m.controlFile, "%s", m.lineBuffer, "note");
    double a = 0.0;
    const bool asPair = pair; // a lambda cannot capture a structured binding
    EXPECT_EQ(exitCodeOf([&] {
                asPair ? m.readControlValuePair(m.controlFile, "%lf %lf", a, a, "value")
                       : m.readControlValue(m.controlFile, "%lf", a, "value");
              }),
              word ? 17 : -1)
        << line;
    if (word) {
      EXPECT_NE(m.console().find("error in control file, value; [model_time], line 6 of " +
                                 control + " reads \"" + word + "\": not found!"),
                std::string::npos)
          << m.console();
    }
  }
}

// A value that cannot be scanned at all ("nan" where a whole number belongs,
// a word) names its line and the text read; nothing left names the end.
TEST(ModelObject, UnscannedValuesNameTheirLineAndText) {
  const std::string dir = makeTestDirectory("mo_unscanned");
  const std::string control = dir + "/model.ctl";
  enum class Read { integer, whole, pair, fileAndCode };
  // the value's line, how it is read, the text named (nullptr: the end)
  const std::tuple<std::string, Read, const char*> cases[] = {
      {"nan  hours between two lines", Read::integer, "nan"},
      {"  -x", Read::whole, "-x"},
      {"2 nan  a pair", Read::pair, "nan"},
      {"qd.stat inf", Read::fileAndCode, "inf"},
      {"", Read::integer, nullptr}};
  for (const auto& [line, read, text] : cases) {
    writeFile(control, "[a]\n1\n\n[model_time]\n" + line + "\n");
    TestModule m(dir, control);
    m.openControlFile();
    m.seekSection("[model_time]", true);
    const Read how = read; // a lambda cannot capture a structured binding
    EXPECT_EQ(exitCodeOf([&] {
                int i = 0;
                long l = 0, k = 0;
                std::string word;
                if (how == Read::integer) m.readControlValue(m.controlFile, "%d", i, "value");
                if (how == Read::whole) m.readControlValue(m.controlFile, "%ld", l, "value");
                if (how == Read::pair) m.readControlValuePair(m.controlFile, "%ld %ld", l, k, "value");
                if (how == Read::fileAndCode)
                  m.readControlValuePair(m.controlFile, "%s%d", word, i, "value");
              }),
              17)
        << line;
    const std::string named =
        text ? "; [model_time], line 5 of " + control + " reads \"" + text + "\": not found!"
             : "; (EOF)not found!";
    EXPECT_NE(m.console().find("error in control file, value" + named), std::string::npos)
        << m.console();
  }
}

TEST(ModelObject, MissingSectionIsFatalOnlyWhenRequired) {
  const std::string dir = makeTestDirectory("mo_missing");
  const std::string control = dir + "/model.ctl";
  writeFile(control, "[a]\n1\n");
  TestModule m(dir, control);
  m.openControlFile();
  EXPECT_EQ(m.seekSection("[model_time]", false), 0);
  EXPECT_EQ(exitCodeOf([&] { m.seekSection("[model_time]", true); }), 17);
  EXPECT_NE(m.console().find("error in control file, [model_time]; (EOF)not found!"),
            std::string::npos);
  EXPECT_EQ(exitCodeOf([&] { m.seekSection("[A]", true); }), 17)
      << "section names are case-sensitive";
}

TEST(ModelObject, FatalReportsCarryTheirCodes) {
  const std::string dir = makeTestDirectory("mo_fatal");
  TestModule m(dir);
  EXPECT_EQ(exitCodeOf([&] { m.writeError("out.asc", 3); }), 18);
  EXPECT_EQ(exitCodeOf([&] { m.readError("in.asc", 4); }), 19);
  EXPECT_NE(m.console().find("write error out.asc ! (3)"), std::string::npos);
  EXPECT_NE(m.console().find("read error in.asc ! (4)"), std::string::npos);
}

TEST(ModelObject, ScanFormatMustFitItsTarget) {
  const std::string dir = makeTestDirectory("mo_format");
  TestModule m(dir);
  long value = 0;
  EXPECT_THROW(m.readControlValue(nullptr, "%d", value, "x"), std::logic_error);
}

TEST(ModelObject, PrependsDirectoriesToRelativeNamesOnly) {
  struct Case {
    std::string prefix, name, expected;
  };
  for (const Case& c : std::vector<Case>{{"out/", "grid.asc", "out/grid.asc"},
                                         {"out/", "/data/grid.asc", "/data/grid.asc"},
                                         {"out/", "~/grid.asc", "~/grid.asc"},
                                         {"out/", "sub/grid.asc", "out/sub/grid.asc"},
                                         {"", "grid.asc", "grid.asc"}}) {
    std::string name = c.name;
    modelobject::prependDirectory(c.prefix, name);
    EXPECT_EQ(name, c.expected);
  }
}

TEST(ModelObject, InterpolatesAndExtrapolatesLinearly) {
  const std::string dir = makeTestDirectory("mo_interp");
  TestModule m(dir);
  EXPECT_EQ(m.interpolateLinear(1, 5, 1, 9, 3), 5);
  EXPECT_DOUBLE_EQ(m.interpolateLinear(0, 0, 10, 100, 2.5), 25);
  EXPECT_DOUBLE_EQ(m.interpolateLinear(0, 0, 10, 100, 12), 120);
}

TEST(ModelObject, AppendsTimeStampedLinesToTheModelLog) {
  const std::string dir = makeTestDirectory("mo_log");
  std::remove("modell_0.log");
  TestModule m(dir);
  m.appendToModelLog("first line");
  m.appendToModelLog("second line");
  const std::string log = readFile("modell_0.log");
  EXPECT_NE(log.find("\n: first line\n"), std::string::npos);
  EXPECT_NE(log.find("\n: second line\n"), std::string::npos);
  EXPECT_EQ(log.size() - std::string("\n: first line\n\n: second line\n").size(), 48u)
      << "two ctime stamps of 24 characters";
}

TEST(ModelObject, GifMappingHasItsDefaults) {
  const std::string dir = makeTestDirectory("mo_gif");
  TestModule m(dir);
  EXPECT_EQ(m.gifX1, 0.0767528404);
  EXPECT_EQ(m.gifF1, 8.916787e-05);
  EXPECT_EQ(m.gifX2, 0.0767528404);
  EXPECT_EQ(m.gifF2, 8.916787e-05);
  EXPECT_EQ(m.gifThreshold, 127);
  EXPECT_EQ(m.monthDays[1], 28);
}

// A refused value names the file the user wrote, not its preprocessed copy,
// and the line of the value where it was read under its label; the copy
// leaves out the lines of symbols and comments.
TEST(ModelObject, RefusedValuesNameTheUsersFileAndLine) {
  const std::string dir = makeTestDirectory("mo_refused_line");
  const std::string user = dir + "/run.ctl";
  const std::string copy = user + ".intern";
  const std::string text = "[a]\n1\n[surface]\n0.5  a factor\n7  a limit\n";
  writeFile(copy, text);
  // The copy's lines 1 .. 5 stand in lines 1, 2, 6, 9 and 10 of the user's.
  rememberCopiedLines(copy, user, {1, 2, 6, 9, 10});
  struct Case {
    const char* label; // refused under
    int line;          // of the user's file named after the rule; 0: none
  };
  const Case cases[] = {{"a factor", 9}, {"a limit", 10}, {"never read", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TestModule m(dir, copy);
    m.openControlFile();
    m.seekSection("[surface]", true);
    double factor = 0.0, limit = 0.0;
    m.readControlValue(m.controlFile, "%lf", factor, "a factor");
    m.readControlValue(m.controlFile, "%lf", limit, "a limit");
    EXPECT_EQ(exitCodeOf([&] { m.refuseControlValue("[surface]", c.label, 9, "must be 1", 10); }),
              10);
    const std::string place =
        c.line ? " (line " + std::to_string(c.line) + " of " + user + ")" : std::string();
    EXPECT_NE(m.console().find("error in control file " + user +
                               ", section [surface]: the value 9 "
                               "of \"" +
                               c.label + "\" must be 1" + place +
                               "; correct it in the control file"),
              std::string::npos)
        << m.console();
  }
  rememberCopiedLines("", "", {});
}
