#include "core/state_numbers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "tests/config/captured_log.h"
#include "tests/test_support.h"

// A line's numbers before its comment are read as the control file reads a
// value: a word that is not wholly a finite number is named.
TEST(StateLineNumbers, TakesWhollyFiniteNumbersBeforeTheComment) {
  struct Case {
    std::string line;
    bool read;
    std::vector<double> values; // when read
    std::string fault;          // when not
  };
  const Case cases[] = {
      {"", true, {}, ""},
      {"(maxirrig[0])", true, {}, ""},
      {"124690.5  (reservoir 1)", true, {124690.5}, ""},
      {"1\t0.25 -3e-2 +4(glacier code, area 7 8)", true, {1.0, 0.25, -0.03, 4.0}, ""},
      {"nan (reservoir 1)", false, {}, "nan"},
      {"1 inf", false, {}, "inf"},
      {"2 1e999", false, {}, "1e999"},
      {"abc (reservoir 1)", false, {}, "abc"},
      {"0.5 0x 3", false, {}, "0x"},
      {"0x1p3", false, {}, "0x1p3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<double> values;
    std::string fault;
    EXPECT_EQ(stateLineNumbers(c.line, values, fault), c.read);
    if (c.read)
      EXPECT_EQ(values, c.values);
    else
      EXPECT_EQ(fault, c.fault);
  }
}

// Words of a stream, across line ends, up to a comment or the end; a word that is no number ends the run with 71, naming the
// file, its line and the word.
TEST(NextStateNumber, ReadsWordsUpToACommentAndRefusesTheRestByLine) {
  struct Case {
    const char* what;
    std::string text;
    bool whole;
    std::vector<double> values; // read before the comment or the end
    std::string refusal;        // empty: none
  };
  const Case cases[] = {
      {"numbers and a comment", "1 2.5\n-3 (label 4)\n", false, {1.0, 2.5, -3.0}, ""},
      {"comment glued to a number", "7(zone 1)\n", false, {7.0}, ""},
      {"whole numbers", "3 12 (counts)", true, {3.0, 12.0}, ""},
      {"nan on line 3", "1\n2\nnan (QDd)\n", false, {1.0, 2.0},
       ", line 3: the value reads \"nan\", which is not a finite number"},
      {"a fraction as a count", "3\n2.5\n", true, {3.0},
       ", line 2: the value reads \"2.5\", which is not a whole number"},
      {"letters glued to a count", "4x\n", true, {},
       ", line 1: the value reads \"4x\", which is not a whole number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CapturedLog log("state_numbers");
    const std::string path = log.directory + "/state";
    writeFile(path, c.text);
    std::FILE* file = std::fopen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    std::vector<double> values;
    const int code = exitCodeOf([&] {
      double value = 0.0;
      while (nextStateNumber(file, log.diag, path, "the value", c.whole, value))
        values.push_back(value);
    });
    std::fclose(file);
    EXPECT_EQ(values, c.values);
    if (c.refusal.empty()) {
      EXPECT_EQ(code, -1) << log.console.str();
    } else {
      EXPECT_EQ(code, 71);
      EXPECT_EQ(log.lastEntry(), "the state file " + path + c.refusal +
                                     "; start from the files of a former run as it wrote them, "
                                     "or cold");
    }
  }
}

// A tracer's concentration lies within 0 and 2e6, the most any solution
// holds in the largest of the units (2e6 mg/l is 2 kg in a litre).
TEST(RequireStateConcentration, RefusesWhatNoSolutionHolds) {
  struct Case {
    double value;
    bool refused;
    const char* text; // as the message prints it
  };
  const Case cases[] = {
      {0.0, false, ""},
      {2e6, false, ""},
      {1e-300, false, ""},
      {-1e-300, true, "-1e-300"},
      {2000000.5, true, "2000000.5"},
      {std::numeric_limits<double>::quiet_NaN(), true, "nan"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CapturedLog log("state_concentration");
    const int code = exitCodeOf(
        [&] { requireStateConcentration(log.diag, "state", 4, "the concentration", c.value); });
    EXPECT_EQ(code, c.refused ? 71 : -1);
    if (c.refused) {
      EXPECT_EQ(log.lastEntry(), std::string("the state file state, line 4: the concentration "
                                             "reads \"") +
                                     c.text +
                                     "\", which must be 0 ... 2e6 (no solution holds more than "
                                     "2e6 mg/l, 2000 g/l or 1 kg/kg); start from the files of a "
                                     "former run as it wrote them, or cold");
    }
  }
}

// The flow-time records and linear storages of the runoff on its way to the
// outlets: step numbers not below 0, weight and runoff sums and stored
// runoff not below 0 beyond rounding, area fractions 0 ... 1, a tracer's
// concentration 0 ... 2e6.
// The line is worked out only for a refusal.
TEST(RequireFlowTimeRecord, RefusesWhatNoRunoffConcentrationHolds) {
  struct Case {
    const char* name;
    ZoneRecord record; // weightSum n, valueSum sx, code, areaFraction rel, effectiveWeight
    int tracer;
    double stored;
    std::string refusal; // empty: taken
  };
  const Case cases[] = {
      {"as a run writes them", {94, 14.6, 1, 1, 94}, 0, 0.155, ""},
      {"an empty zone", {0, 0, 0, 0, 0}, 0, 0.0, ""},
      {"a tracer's concentration", {94, 3.5, 2, 0, 94}, 1, 2e6, ""},
      // Flows that cancel leave sums a hair below 0, which the run goes on
      // with.
      {"runoff a rounding below 0", {-1.69e-11, -2.25e-11, 2, 1, -1e-12}, 0, -2.92e-13, ""},
      {"n below 0",
       {-1, 14.6, 1, 1, 94},
       0,
       0.1,
       "the weight sum n of a flow-time record of zone 3 reads \"-1\", which must not be "
       "negative"},
      {"sx below 0", {94, -0.5, 1, 1, 94}, 0, 0.1, "the runoff sum sx of a flow-time record"},
      {"zonenwert below 0",
       {94, 1, -2, 1, 94},
       0,
       0.1,
       "the step or zone number zonenwert of a flow-time record of zone 3 reads \"-2\""},
      {"rel above 1",
       {94, 1, 1, 1.5, 94},
       0,
       0.1,
       "the area fraction rel of a flow-time record of zone 3 reads \"1.5\", which must be 0 ... "
       "1"},
      {"RelCellSum below 0",
       {94, 1, 1, 1, -94},
       0,
       0.1,
       "the sum of relative cell areas RelCellSum of a flow-time record of zone 3 reads \"-94\""},
      {"stored runoff below 0",
       {94, 1, 1, 1, 94},
       0,
       -1.0,
       "QIi reads \"-1\", which must not be negative"},
      {"stored concentration above 2e6",
       {94, 1, 1, 1, 94},
       2,
       3e6,
       "QIi reads \"3e+06\", which "
       "must be 0 ... 2e6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CapturedLog log("state_flow_time");
    int asked = 0;
    const StateLineNumber line = [&] {
      ++asked;
      return 7L;
    };
    const int code = exitCodeOf([&] {
      requireFlowTimeRecord(log.diag, "state", line, c.record, 3);
      requireStoredRunoff(log.diag, "state", line, "QIi", c.tracer, c.stored);
    });
    EXPECT_EQ(code, c.refusal.empty() ? -1 : 71);
    EXPECT_EQ(asked, c.refusal.empty() ? 0 : 1);
    if (!c.refusal.empty()) {
      EXPECT_EQ(log.lastEntry().rfind("the state file state, line 7: " + c.refusal, 0), 0u)
          << log.lastEntry();
    }
  }
}
