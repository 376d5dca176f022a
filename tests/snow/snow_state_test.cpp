#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/snow/snow_fixture.h"

namespace {

// Two subbasins (codes 1 and 2) and, where asked, glacier storage tables
// as the glacier set-up makes them.
struct SnowState : SnowModel {
  explicit SnowState(const std::string& name) : SnowModel(name, SnowSection{}) {
    grid("[zone_grid]")[2][2] = 2.0;
    zoneRecords.push_back(ZoneRecord{0, 0, 2, 1, 0});
    zoneRanks.push_back(2);
    s.context.zoneCount = 2;
    s.context.inputDirectory = s.context.outputDirectory;
    build();
  }
  // The text of the state file in the test's directory.
  std::string text() const { return readFile(s.log.directory + "/" + file); }
  void put(const std::string& text) const { writeFile(s.log.directory + "/" + file, text); }
  void tables(double ice, double firn, double snow) {
    module->qIceEls.assign(3, ice);
    module->qFirnEls.assign(3, firn);
    module->qSnowEls.assign(3, snow);
  }
  std::string file = "state_0";
};

std::string section(const std::string& rows) {
  return "[snow_model]\n2 (number of subasins)\n" + rows + "\n";
}

std::string rowsOf(const std::string& ice, const std::string& firn, const std::string& snow) {
  std::string text;
  for (int k = 1; k <= 2; ++k) {
    const std::string n = std::to_string(k) + "\t";
    text += n + ice + "(TG code and Qice_slr value)\n" + n + firn +
            "(TG code and Qfirn_slr value)\n" + n + snow + "(TG code and Qsnow_slr value)\n";
  }
  return text;
}

} // namespace

TEST(SnowState, WritesItsSectionAndReadsItBackExactly) {
  SnowState m("snow_state_layout");
  m.module->readStorage(&m.file, 2); // the name is kept; nothing is read
  m.module->writeStorage(false);
  EXPECT_EQ(m.text(), section(rowsOf("0", "0", "0")));

  m.tables(1e-7, 12.5, 1.0 / 3.0);
  m.put("[unsatzon_model]\nanything\n");
  m.module->writeStorage(true);
  EXPECT_EQ(m.text(), "[unsatzon_model]\nanything\n" +
                          section(rowsOf("1e-07", "12.5", "0.3333333333333333")));

  m.tables(0.0, 0.0, 0.0);
  m.module->readStorage(&m.file, 1);
  for (size_t k = 1; k <= 2; ++k) {
    EXPECT_EQ(m.module->qIceEls[k], 1e-7);
    EXPECT_EQ(m.module->qFirnEls[k], 12.5);
    EXPECT_EQ(m.module->qSnowEls[k], 1.0 / 3.0);
  }
}

TEST(SnowState, RefusesASectionOfAnotherModel) {
  struct Case {
    const char* what;
    std::string text;
    std::string label;
  };
  const std::vector<Case> cases = {
      {"three subbasins", "[snow_model]\n3 (number of subasins)\n" + rowsOf("0", "0", "0"),
       "number of subbasins:\nvalue in actual control is:   2\nbut value in storage file is: 3"},
      {"code 3 where 2 is expected",
       section("1\t0(a)\n1\t0(b)\n1\t0(c)\n3\t0(a)\n3\t0(b)\n3\t0(c)\n"),
       "subbasin code:\nvalue in actual control is:   2\nbut value in storage file is: 3"},
      {"cut short", "[snow_model]\n2 (number of subasins)\n1\t4(a)\n1\t5(b)\n",
       "subbasin code:\nvalue in actual control is:   1\nbut value in storage file is: -9999"},
  };
  for (const Case& c : cases) {
    SnowState m(std::string("snow_state_refuses_") + std::to_string(&c - cases.data()));
    m.tables(0.0, 0.0, 0.0);
    m.put(c.text);
    EXPECT_EQ(exitCodeOf([&] { m.module->readStorage(&m.file, 1); }), 71) << c.what;
    EXPECT_NE(m.s.log.console.str().find("(snow model) error in storage file content reading " +
                                         c.label + "\nHorva throws..."),
              std::string::npos)
        << c.what << "\n"
        << m.s.log.console.str();
  }
}

TEST(SnowState, StartsColdWithoutItsSection) {
  struct Case {
    const char* what;
    bool file;
    std::string warning;
  };
  const std::vector<Case> cases = {
      {"no file", false, "in snow/glacier model: error opening storage content file "},
      {"no section", true,
       "in snow/glacier model: [snow_model] not found in storage content file "},
  };
  for (const Case& c : cases) {
    SnowState m(std::string("snow_state_cold_") + std::to_string(&c - cases.data()));
    m.tables(4.0, 5.0, 6.0);
    if (c.file) m.put("[unsatzon_model]\n1 2 3\n");
    EXPECT_EQ(exitCodeOf([&] { m.module->readStorage(&m.file, 1); }), -1) << c.what;
    const std::string log = m.s.log.console.str();
    EXPECT_NE(log.find(c.warning + m.s.log.directory + "/" + m.file), std::string::npos) << c.what;
    EXPECT_NE(log.find("glacier model will be run with cold start initialization values"),
              std::string::npos)
        << c.what;
    EXPECT_EQ(m.module->qIceEls[1], 4.0) << c.what;
  }
}
