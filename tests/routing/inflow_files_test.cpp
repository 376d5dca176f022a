#include <gtest/gtest.h>

#include <vector>

#include "tests/routing/routing_network.h"
#include "tests/test_support.h"

namespace {

// An element of subbasin 1 whose only channel brings inflow 1 (column 2).
struct InflowElement {
  explicit InflowElement(int tracers = 0) : net("inflow_files", 1, 1, 1, 60.0, tracers) {
    net.cellCount(1) = 1.0;
    net.addElement(1, 1.0, {}, {}, {{1, {}, TestChannel{}}});
  }
  routingclass& element() { return *net.elements.back(); }
  std::string file(const std::string& text) {
    const std::string name = net.log.directory + "/inflow.txt";
    writeFile(name, text);
    return name;
  }
  RoutingNetwork net;
};

constexpr const char* hourly = "YY MM DD HH Q\n2001 1 1 0 5\n2001 1 1 1 6\n2001 1 1 2 7\n";

} // namespace

TEST(InflowFiles, RefuseFilesThatDoNotFollowTheRun) {
  const struct {
    const char* what;
    const char* text; // none: no file
    int startRow;
    int column;
    int startHour;
    std::vector<int> readHours;
    int code;
    const char* message; // after the file name
  } cases[] = {
      {"missing file", nullptr, 1, 0, 0, {}, 37, " for inflow 1"},
      {"start row past the end", hourly, 5, 0, 0, {}, 38, " for row 5\nactual reached row: 3"},
      {"start date not found", hourly, 1, 0, 7, {}, 38, " not found (search started at row 1)"},
      {"too few columns",
       hourly,
       1,
       1,
       0,
       {},
       38,
       " for reading ZL[1] and the follwoing 0 tracer values starting from column 1"},
      {"date column",
       hourly,
       1,
       -1,
       0,
       {},
       38,
       " for reading ZL[1] and the follwoing 0 tracer values starting from column -1"},
      {"gap in the run",
       "YY MM DD HH Q\n2001 1 1 0 5\n2001 1 1 1 6\n2001 1 1 3 7\n",
       1,
       0,
       0,
       {0, 1, 2},
       36,
       ":\n     read: 2001.1.1, 3:0 h,\nshould be: 2001.1.1, 2:0 h.\n"},
      {"end of the file",
       hourly,
       1,
       0,
       0,
       {0, 1, 2, 3},
       39,
       " (or from its buffer) for inflow 1\nreached end of file!"},
  };
  for (const auto& c : cases) {
    InflowElement e;
    const std::string name = c.text ? e.file(c.text) : e.net.log.directory + "/missing.txt";
    const int code = exitCodeOf([&] {
      e.element().SetInflow(1, 1, 4, 0.0, name, c.startRow, c.column, 2001, 1, 1, c.startHour, 0);
      for (int hour : c.readHours) e.element().ReadInflows(e.net.stepArray(), 2001, 1, 1, hour, 0);
    });
    EXPECT_EQ(code, c.code) << c.what;
    const std::string entry = e.net.log.lastEntry();
    EXPECT_NE(entry.find(name + c.message), std::string::npos) << c.what << ": " << entry;
  }
}

TEST(InflowFiles, ReadTheConfiguredColumnsOfEveryStep) {
  InflowElement e(2);
  // Value columns X, Q, C1, C2; the inflow stands in value column 1.
  const std::string name = e.file("YY MM DD HH X Q C1 C2\n"
                                  "99 1 1 0 8 -9999 3 4\n"
                                  "99 1 1 1 8 2.5 -9999 6\n");
  e.element().SetInflow(1, 1, 4, 0.0, name, 1, 1, 1999, 1, 1, 0, 0);
  const struct {
    int hour;
    double flow, c1, c2;
  } rows[] = {{0, 0.0, 3.0, 4.0}, {1, 2.5, 0.0, 6.0}};
  for (const auto& r : rows) {
    e.element().ReadInflows(e.net.stepArray(), 1999, 1, 1, r.hour, 0);
    // m^3/s over the channel's 500 km^2 as mm per hourly step.
    EXPECT_DOUBLE_EQ(e.net.stepValue(2), r.flow * 3600.0 / 1000.0 / 500.0) << r.hour;
    EXPECT_EQ(e.net.stepValue(2, 1), r.c1) << r.hour;
    EXPECT_EQ(e.net.stepValue(2, 2), r.c2) << r.hour;
  }
}
