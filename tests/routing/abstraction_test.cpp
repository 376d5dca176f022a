#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "config/tracer_ini_class.h"
#include "routing/al_class.h"
#include "routing/routing_description.h"
#include "tests/config/captured_log.h"

namespace {

// Abstractions of an element of 100 km^2 (area factor 1) in a test directory.
struct AbstractionRig {
  explicit AbstractionRig(const std::string& name, double step = 60.0) : log(name) {
    tracers[1].name = "T1";
    setting.diag = &log.diag;
    setting.tracers = &tracers;
    setting.area = 100.0;
    setting.timeStep = step;
    setting.outputDirectory = std::filesystem::absolute(log.directory).string() + "/";
  }
  // From the description text "AL n = ..." with its output table and, unless
  // empty, its rule section; the model starts on Monday 2001-01-01 0:00.
  std::unique_ptr<AL_class> make(const std::string& text, const std::string& rules = "") {
    auto al = std::make_unique<AL_class>();
    al->Init(setting);
    RoutingDescriptionText description(log.diag, text, 1);
    description.expect("AL", "AL");
    const int n = description.integer("AL");
    al->ReadParameters(n, description, 2001, 1, 1, 0, 0);
    al->CreateOutputTable();
    if (rules.empty()) return al;
    const std::string file = path("rules.ctl");
    writeFile(file, "[abstraction_rule_abstraction_" + std::to_string(n) + "]\n" + rules);
    FILE* f = std::fopen(file.c_str(), "r");
    const int code = exitCodeOf([&] { al->ReadAbstractionRules(f, file); });
    std::fclose(f);
    if (code != -1) throw code;
    return al;
  }
  std::string path(const std::string& name) const { return setting.outputDirectory + name; }

  CapturedLog log;
  std::vector<TracerRecord> tracers{2};
  AbstractionSetting setting;
};

// The depth (mm per hour over 100 km^2) that gives the flow q in m^3/s.
double depthOf(double q) { return q * 60.0 / (100.0 * 16.6666667); }

} // namespace

// Rule values (m^3/s) capped by the capacity at the target: a target flow
// of 7 leaves 3 of a capacity of 10.
TEST(Abstraction, EvaluatesRulesWithTheTargetCapacity) {
  struct Case {
    const char* what;
    std::string rules;
    bool linked;
    double targetFlow;
    int month;
    bool timed;
    double expected; // m^3/s, or mm for EvaluateRule
  };
  const std::string five = "2\n0 5\n1e9 5\n";
  const std::string two = "2\n0 2\n1e9 2\n";
  const std::string cap = "TargetCap = 10\n";
  const Case cases[] = {
      {"5 capped to 3", five + cap, true, 7, 1, true, 3.0},
      {"2 stays 2", two + cap, true, 7, 1, true, 2.0},
      {"a target flow above the capacity", five + cap, true, 12, 1, true, 0.0},
      {"no capacity caps nothing", five, true, 12, 1, true, 5.0},
      {"no target caps nothing", five + cap, false, 12, 1, true, 5.0},
      {"before the first step", five, true, 0, 0, true, 0.0},
      {"as a depth", five, false, 0, 1, false, 5 * 0.06 * 60 / 100.0},
      {"as a depth, capped", five + cap, true, 7, 1, false, 3 * 0.06 * 60 / 100.0},
  };
  AbstractionRig rig("abstraction_rules");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto al = rig.make("AL 1 = intern_with_rule", c.rules);
    const double targets[] = {0.0, 0.0, depthOf(c.targetFlow)};
    if (c.linked) al->SetTargetCap(1, 2, 100.0);
    const double r = c.timed ? al->EvaluateTimedRule(targets, 2001, c.month, 1, 8, 0, 50.0)
                             : al->EvaluateRule(targets, 2001, c.month, 1, 8, 0, 50.0);
    EXPECT_NEAR(r, c.expected, 1e-7);
  }
}

// The week day of a timed rule is that of the hour less the whole hours of
// min_to_int_end; the hour window takes the hour as stamped (the week of
// Monday 2001-01-01).
TEST(Abstraction, TimedRuleActsOnItsWeekDaysAndHours) {
  struct Case {
    const char* what;
    std::string window;
    double offsetHours;
    int day, hour;
    bool acts;
  };
  const std::string night = "WeekDays = 1234567\nstart_hour = 22\nstop_hour = 4\n";
  const std::string weekend = "WeekDays = 67\nstart_hour = 0\nstop_hour = 23\n";
  const std::string monday = "WeekDays = 1\nstart_hour = 0\nstop_hour = 23\n";
  const Case cases[] = {
      {"23 h", night, 0, 3, 23, true},
      {"3 h", night, 0, 3, 3, true},
      {"12 h", night, 0, 3, 12, false},
      {"Saturday", weekend, 0, 6, 12, true},
      {"Sunday", weekend, 0, 7, 0, true},
      {"Friday", weekend, 0, 5, 12, false},
      {"Monday", weekend, 0, 8, 12, false},
      {"Tuesday 0 h", monday, 0, 2, 0, false},
      {"Tuesday 0 h is Monday's", monday, 1, 2, 0, true},
      {"Tuesday 1 h", monday, 1, 2, 1, false},
      {"every day", "", 0, 2, 3, true},
      {"days without hours", "WeekDays = 1234567\n", 0, 2, 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AbstractionRig rig("abstraction_timed");
    rig.setting.hourOffset = c.offsetHours;
    auto al = rig.make("AL 1 = intern_with_rule_from_reservoir", "2\n0 4\n1e9 4\n" + c.window);
    EXPECT_EQ(al->EvaluateTimedRule(nullptr, 2001, 1, c.day, c.hour, 0, 10.0), c.acts ? 4.0 : 0.0);
  }
}

// What each mode takes of Q mm when S mm are taken already, by hand.
TEST(Abstraction, TakesItsShareOfTheFlow) {
  struct Case {
    const char* what;
    std::string text, rules;
    double Q, S, expected;
  };
  AbstractionRig rig("abstraction_modes");
  writeFile(rig.path("in.txt"), "YY MM DD HH a b\n2001 1 1 0 1 5\n2001 1 1 1 1 -9999\n");
  const std::string fromFile =
      "AL 1 = from_file input_file = " + rig.path("in.txt") + " column = 1 output = out.txt";
  const Case cases[] = {
      {"share above the minimum", "AL 1 = intern 2 0.5 1e9 mm", "", 10, 0, 4},
      {"below the minimum", "AL 1 = intern 2 0.5 1e9 mm", "", 10, 9, 0},
      {"the minimum stays", "AL 1 = intern 2 0.9 1e9 mm", "", 10, 5, 3},
      {"the maximum caps", "AL 1 = extern e.txt 2 0.5 3 mm", "", 10, 0, 3},
      {"limits in m^3/s", "AL 1 = intern 1 1 1 m3/s)", "", 10, 0, 0.036},
      {"the file's flow", fromFile, "", 10, 0, 0.18},
      {"no more than the flow left", fromFile, "", 1, 0.95, 0.05},
      {"the rule's flow", "AL 1 = intern_with_rule", "2\n0 5\n1e9 5\n", 10, 0, 0.18},
      {"a negative rule takes nothing", "AL 1 = intern_with_rule", "2\n0 -5\n1e9 -5\n", 10, 0, 0},
      {"nothing when taken beyond Q", "AL 1 = extern_with_rule r.txt", "2\n0 5\n1e9 5\n", 1, 2, 0},
      {"from the reservoir only", "AL 1 = intern_with_rule_from_reservoir", "2\n0 5\n1e9 5\n", 10,
       0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto al = rig.make(c.text, c.rules);
    double S = c.S;
    const double a = al->Abstract(nullptr, S, c.Q, 2001, 1, 1, 0, 0);
    EXPECT_NEAR(a, c.expected, 1e-8);
    EXPECT_NEAR(S, c.S + c.expected, 1e-8);
  }
  // A missing value in the file takes nothing, where it would add water.
  auto al = rig.make(fromFile);
  double S = 0.0;
  al->Abstract(nullptr, S, 10.0, 2001, 1, 1, 0, 0);
  EXPECT_EQ(al->Abstract(nullptr, S, 10.0, 2001, 1, 1, 1, 0), 0.0);
}

// The table's three header lines, then its rows in time order across the
// flushes of a buffer of three rows.
TEST(Abstraction, WritesItsTableInTimeOrder) {
  for (double step : {30.0, 60.0}) {
    SCOPED_TRACE(step);
    AbstractionRig rig("abstraction_table", step);
    rig.setting.tracerCount = 1;
    rig.setting.bufferBytes = 3 * (8 * 2 + 40);
    auto al = rig.make("AL 7 = extern_with_rule t.txt", "1\n0 1\n");
    ASSERT_EQ(al->getBufferCapacity(), 3u);
    std::string expected =
        step < 60 ? "YY\tMM\tDD\tHH\tmm\tm^3/s\tT1\n" : "YY\tMM\tDD\tHH\tm^3/s\tT1\n";
    expected += "abstraction_7\n" + expected;
    const char* const flows[] = {"0", "1.5", "3", "4.5", "6", "7.5", "9"};
    for (int k = 0; k < 7; ++k) {
      const double row[] = {1.5 * k, 0.25};
      al->StoreStep(2001, 1, 1, k, 30, row);
      expected += "2001\t 1\t 1\t " + std::to_string(k) + (step < 60 ? "\t30\t" : "\t") + flows[k] +
                  "\t0.25\n";
    }
    al->FlushBuffer(1);
    EXPECT_EQ(readFile(rig.path("t.txt")), expected);
  }
}

// Every refusal names its fault, with its code.
TEST(Abstraction, RefusesFaultySetUpsWithTheirCodes) {
  AbstractionRig rig("abstraction_refusals");
  writeFile(rig.path("in.txt"), "YY MM DD HH a\n2001 1 1 0 1\n2001 1 1 2 1\n");
  writeFile(rig.path("late.txt"), "YY MM DD HH a\n2001 1 2 0 1\n");
  const auto input = [&](const std::string& file, int column) {
    return "AL 3 = from_file input_file = " + rig.path(file) + " col = " + std::to_string(column) +
           " out = o.txt";
  };
  struct Case {
    const char* what;
    std::function<void()> run;
    int code;
    std::string message;
  };
  const Case cases[] = {
      {"mode word", [&] { rig.make("AL 3 = internal 1 1 1 mm"); }, 44,
       "the modus \"internal\" is not supported for abstraction 3"},
      {"input file", [&] { rig.make(input("none.txt", 0)); }, 37,
       "error opening " + rig.path("none.txt") + " for abstraction 3"},
      {"start date", [&] { rig.make(input("late.txt", 0)); }, 38,
       "starting date 1.1.2001, 0. h in " + rig.path("late.txt") + " not found."},
      {"input column", [&] { rig.make(input("in.txt", 1)); }, 38, "input column 1 of"},
      {"output file", [&] { rig.make("AL 3 = extern no/o.txt 1 1 1 mm"); }, 37,
       "error opening " + rig.path("no/o.txt") + " for abstraction 3"},
      {"rule section",
       [&] {
         auto al = rig.make("AL 4 = intern_with_rule");
         writeFile(rig.path("other.ctl"), "[abstraction_rule_abstraction_5]\n1\n0 1\n");
         std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(rig.path("other.ctl").c_str(), "r"),
                                                 &std::fclose);
         al->ReadAbstractionRules(f.get(), "other.ctl");
       },
       34, "section [abstraction_rule_abstraction_4] not found in control file"},
      {"a gap in the input",
       [&] {
         auto al = rig.make(input("in.txt", 0));
         double S = 0.0;
         al->Abstract(nullptr, S, 1, 2001, 1, 1, 0, 0);
         al->Abstract(nullptr, S, 1, 2001, 1, 1, 1, 0);
       },
       36, "error comparing dates in " + rig.path("in.txt") + ":\n     read: 2001.1.1, 2:0 h,"},
      {"flush into a lost directory",
       [&] {
         std::filesystem::create_directory(rig.path("gone"));
         auto al = rig.make("AL 3 = extern gone/o.txt 1 1 1 mm");
         al->StoreStep(2001, 1, 1, 0, 0, std::vector<double>{1.0, 0.0}.data());
         std::filesystem::remove_all(rig.path("gone"));
         al->FlushBuffer(1);
       },
       65, "error opening reservoir file " + rig.path("gone/o.txt")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(exitCodeOf(c.run), c.code);
    EXPECT_NE(rig.log.lastEntry().find(c.message), std::string::npos) << rig.log.lastEntry();
  }
}
