#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/config/code_check_tables.h"
#include "tests/config/parameter_table_model.h"
#include "tests/test_support.h"

using namespace code_check_tables;

namespace {

constexpr double nd = -9999.0;
using Values = std::vector<std::vector<double>>;
using CodeGrid = defaultini::CodeGrid;

// Three rows of four columns; (1,3), (3,1) and (3,4) lie outside the zone
// grid.
const Values zoneValues = {{1, 1, nd, 1}, {1, 1, 1, 1}, {nd, 1, 1, nd}};

const std::string rule(71, '-');

std::string absentMessage(const std::string& what, const std::string& value,
                          const std::string& file, const std::string& name,
                          const std::string& absentFrom) {
  return "\n" + rule + "\n" + what + value + " in grid " + file + " (" + name + ")\n" + absentFrom +
         rule + "\n\n";
}

// A reader on one process with its tables read, the zone grid in entry 1 and
// one code grid in entry 3, both whole.
class CodeCheckModel : public ParameterTableModel {
public:
  CodeCheckModel(const std::string& name, const std::string& control)
      : ParameterTableModel(makeTestDirectory(name), control) {
    header.nrows = 3;
    header.ncols = 4;
    header.nodata = nd;
    readMultilayerLanduse();
    readLanduseTable();
    readSoilTable();
    if (seekSection("[irrigation]", false)) readIrrigationIfActive(2);
    registerGrid(1, "zone.asc", grid(zoneValues), nullptr, 0, "[zone_grid]", 0, 1, 3);
  }
  ~CodeCheckModel() override {
    for (Grid g : grids) free_matrix(g, 1, 3, 1, 4);
  }

  Grid grid(const Values& values) {
    grids.push_back(matrix(1, 3, 1, 4, 3));
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) grids.back()[r][c] = values[r - 1][c - 1];
    return grids.back();
  }
  Values valuesOf(Grid g) const {
    Values v(3, std::vector<double>(4));
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) v[r - 1][c - 1] = g[r][c];
    return v;
  }
  // Registers the code grid in entry 3 under its usual names and runs the
  // check that belongs to it.
  int check(CodeGrid kind, const Values& values) {
    const char* name = kind == CodeGrid::soilTypes         ? "soil_types"
                       : kind == CodeGrid::irrigationCodes ? "irrigation_codes"
                                                           : "landuse";
    registerGrid(3, std::string(name) + ".asc", grid(values), nullptr, 0, name, 0, 1, 3);
    return exitCodeOf([&] {
      if (kind == CodeGrid::soilTypes) check_SOIL_Codes(3);
      if (kind == CodeGrid::irrigationCodes) check_irrig_Codes(3);
      if (kind == CodeGrid::landuse) check_LU_Codes(3);
    });
  }
  Values checked() const { return valuesOf(registry[3].grid); }

  // The console entries that ended, without the rank prefix.
  std::vector<std::string> entries() const {
    const std::string separator = "\n(mpi-rank  0) ";
    const std::string text = console();
    std::vector<std::string> list;
    for (std::size_t start = 0, end; (end = text.find(separator, start)) != std::string::npos;
         start = end + separator.size())
      list.push_back(text.substr(start, end - start));
    return list;
  }
  std::vector<std::string> entriesFrom(const std::string& first) const {
    const std::vector<std::string> all = entries();
    for (std::size_t i = 0; i < all.size(); ++i)
      if (all[i] == first) return std::vector<std::string>(all.begin() + i, all.end());
    return {};
  }

  using defaultini::multilayerTable;
  using modelobject::header;
  using modelobject::registry;

private:
  std::vector<Grid> grids;
};

} // namespace

// Every failure names the first unknown cell in row order inside the zone
// grid, with the grid's file and lookup name, and ends with its exit code.
TEST(CodeChecks, AbsentCodesEndWithTheirMessageAndExitCode) {
  const std::string tables = landuseSection() + soilSection() + irrigationSections();
  const std::string soilAbsent = "is not present in the control file \n";
  const std::string luAbsent = "is not present in the land use table in the control file \n";
  const std::string irrigationAbsent =
      "is not present in the irrigation table in the control file \n";
  struct Case {
    const char* name;
    std::string control;
    CodeGrid kind;
    Values values;
    int code;
    std::string message;
  };
  const std::vector<Case> cases = {
      // 99 outside the zone grid is not tested; 15 comes before 16.
      {"soil",
       tables,
       CodeGrid::soilTypes,
       {{10, 20, 99, 10}, {10, 20, 15, 10}, {20, 16, 20, 20}},
       32,
       absentMessage("soil type ", "15", "soil_types.asc", "soil_types", soilAbsent)},
      {"soil value not whole",
       tables,
       CodeGrid::soilTypes,
       {{10, 20, 10, 10.5}, {10, 20, 20, 10}, {20, 20, 20, 20}},
       32,
       absentMessage("soil type ", "10.5", "soil_types.asc", "soil_types", soilAbsent)},
      {"soil nodata in the zone",
       tables,
       CodeGrid::soilTypes,
       {{10, 20, 10, 10}, {nd, 20, 20, 10}, {20, 20, 20, 20}},
       32,
       absentMessage("soil type ", "-9999", "soil_types.asc", "soil_types", soilAbsent)},
      {"no soil table",
       landuseSection(),
       CodeGrid::soilTypes,
       {{10, 10, nd, 10}, {10, 10, 10, 10}, {nd, 10, 10, nd}},
       32,
       absentMessage("soil type ", "10", "soil_types.asc", "soil_types", soilAbsent)},
      {"land use",
       tables,
       CodeGrid::landuse,
       {{2, 1, 30, 30}, {1, 2, 30, 4}, {2, 2, 2, 2}},
       31,
       absentMessage("land use ", "4", "landuse.asc", "landuse", luAbsent)},
      {"multilayer type",
       tables + multilayerSection(),
       CodeGrid::landuse,
       {{2, 1, 2, 1}, {1, 2, 1, 30}, {2, 2, 2, 2}},
       311,
       absentMessage("land use ", "30", "landuse.asc", "landuse",
                     "is not present in the multilayer-landuse-table in the control file \n")},
      {"multilayer layer code",
       tables + multilayerSection("1 2", "30 8"),
       CodeGrid::landuse,
       {{2, 1, 2, 1}, {1, 2, 1, 2}, {2, 2, 2, 2}},
       312,
       "\n" + rule +
           "\nError: not all layer codes from landuse 1 from MultiLayer_Landuse-Table\nare "
           "present in the landuse-table in the control file: Here, code 8 is missing.\n" +
           rule + "\n\n"},
      {"multilayer empty first layer",
       tables + multilayerSection("1 2", "-9999 1"),
       CodeGrid::landuse,
       {{2, 1, 2, 1}, {1, 2, 1, 2}, {2, 2, 2, 2}},
       312,
       "\n\n" + rule +
           "\nError: the first Layer code of each MultiLayer-Landuse Entry \nmust be a valid "
           "entry (not 9999 or larger):\nHere, line 2 contains -9999 as first layer code.\n" +
           rule + "\n\n"},
      {"irrigation",
       tables,
       CodeGrid::irrigationCodes,
       {{5, 2, 0, 0}, {0, 7, 5, 2}, {2, 2, 2, 2}},
       31,
       absentMessage("irrigation type ", "7", "irrigation_codes.asc", "irrigation_codes",
                     irrigationAbsent)},
      // Negative codes would become negative record indices.
      {"negative irrigation code",
       tables,
       CodeGrid::irrigationCodes,
       {{5, 2, 0, 0}, {0, 2, 5, 2}, {2, -5, 2, 2}},
       31,
       absentMessage("irrigation type ", "-5", "irrigation_codes.asc", "irrigation_codes",
                     irrigationAbsent)},
      {"irrigation nodata in the zone",
       tables,
       CodeGrid::irrigationCodes,
       {{5, nd, 0, 0}, {0, 2, 5, 2}, {2, 2, 2, 2}},
       31,
       absentMessage("irrigation type ", "-9999", "irrigation_codes.asc", "irrigation_codes",
                     irrigationAbsent)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CodeCheckModel m("code_failures", c.control);
    EXPECT_EQ(m.check(c.kind, c.values), c.code);
    ASSERT_FALSE(m.entries().empty());
    EXPECT_EQ(m.entries().back(), c.message);
  }
}

// Codes become record indices by the values as read: codes that are also
// indices of other records (2 and 1) swap and are not replaced twice.
TEST(CodeChecks, ReplaceCodesByRecordIndices) {
  const std::string tables = landuseSection() + soilSection() + irrigationSections();
  struct Case {
    const char* name;
    std::string control;
    CodeGrid kind;
    Values codes;
    Values indices;
    std::vector<std::string> log;
  };
  const std::vector<Case> cases = {
      // 77 outside the zone grid is neither tested nor replaced; 1 there is a
      // code and is replaced like every cell.
      {"land use",
       tables,
       CodeGrid::landuse,
       {{2, 1, 77, 30}, {1, 2, 2, 1}, {1, 30, 2, 77}},
       {{1, 2, 77, 3}, {2, 1, 1, 2}, {2, 3, 1, 77}},
       {"1.: checking codes in land use grid", "2.:replacing codes in land use grid landuse.asc",
        "2 replaced by 1 ...", "1 replaced by 2 ...", "30 replaced by 3 ..."}},
      // The grid holds multilayer types, whose codes 2 and 1 swap too.
      {"multilayer",
       tables + multilayerSection(),
       CodeGrid::landuse,
       {{2, 1, 5, 1}, {1, 2, 2, 1}, {nd, 1, 2, nd}},
       {{1, 2, 5, 2}, {2, 1, 1, 2}, {nd, 2, 1, nd}},
       {"1.: checking codes in land use grid", "2.:replacing codes in land use grid landuse.asc",
        "2 replaced by 1 ...", "1 replaced by 2 ...",
        "Code replacement in MultiLayer-Landuse 1: changed Layer-Code #2 from 2 to 1",
        "Code replacement in MultiLayer-Landuse 1: changed Layer-Code #1 from 1 to 2",
        "Code replacement in MultiLayer-Landuse 2: changed Layer-Code #1 from 30 to 3"}},
      {"soil",
       tables,
       CodeGrid::soilTypes,
       {{10, 20, nd, 20}, {20, 10, 10, 10}, {nd, 20, 20, nd}},
       {{1, 2, nd, 2}, {2, 1, 1, 1}, {nd, 2, 2, nd}},
       {"1.: checking soil type codes", "2.:replacing soil type codes soil_types.asc",
        "10 replaced by 1 ...", "20 replaced by 2 ..."}},
      // Codes 1 and 2 are their own indices: nothing to log or change.
      {"soil codes 1..n",
       landuseSection() + "[soil_table]\n2\n" + soilEntry(1, "loam") + soilEntry(2, "sand"),
       CodeGrid::soilTypes,
       {{1, 2, nd, 2}, {2, 1, 1, 1}, {nd, 2, 2, nd}},
       {{1, 2, nd, 2}, {2, 1, 1, 1}, {nd, 2, 2, nd}},
       {"1.: checking soil type codes", "2.:replacing soil type codes soil_types.asc"}},
      // 0 is no irrigation and stays; 2 is record 2.
      {"irrigation",
       tables,
       CodeGrid::irrigationCodes,
       {{5, 2, nd, 0}, {0, 0, 5, 2}, {nd, 2, 0, 5}},
       {{1, 2, nd, 0}, {0, 0, 1, 2}, {nd, 2, 0, 1}},
       {"1.: checking codes in irrigation grid",
        "2.:replacing codes in irrigation grid irrigation_codes.asc", "5 replaced by 1 ..."}},
      {"irrigation without types",
       landuseSection() + soilSection() + "[irrigation]\n1\n[irrigation_table]\n0\n",
       CodeGrid::irrigationCodes,
       {{0, 0, 3, 0}, {0, 0, 0, 0}, {nd, 0, 0, nd}},
       {{0, 0, 3, 0}, {0, 0, 0, 0}, {nd, 0, 0, nd}},
       {"1.: checking codes in irrigation grid",
        "2.:replacing codes in irrigation grid irrigation_codes.asc"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CodeCheckModel m("code_replacement", c.control);
    ASSERT_EQ(m.check(c.kind, c.codes), -1) << m.console();
    EXPECT_EQ(m.checked(), c.indices);
    EXPECT_EQ(m.entriesFrom(c.log.front()), c.log);
  }
}

// The form for grids read again during the run: any grid and its rows, the
// same test and replacement, and the layer lists left as they are.
TEST(CodeChecks, ReplaceCodesInAGridReadAgain) {
  CodeCheckModel m("code_reread", landuseSection() + multilayerSection());
  ASSERT_EQ(m.check(CodeGrid::landuse, {{2, 1, 2, 1}, {1, 2, 1, 2}, {2, 2, 2, 2}}), -1);
  Grid again = m.grid({{9, 9, 9, 9}, {1, 2, 2, 1}, {nd, 2, 1, nd}});
  ASSERT_EQ(exitCodeOf([&] {
              m.replaceCodesByRecordIndices(again, 2, 3, CodeGrid::landuse, "landuse_2020",
                                            "landuse");
            }),
            -1);
  EXPECT_EQ(m.valuesOf(again), (Values{{9, 9, 9, 9}, {2, 1, 1, 2}, {nd, 1, 2, nd}}));
  EXPECT_EQ(m.multilayerTable[1].getLayerCodes(), replacedLayers()[0]);
  EXPECT_EQ(m.multilayerTable[2].getLayerCodes(), replacedLayers()[1]);

  Grid unknown = m.grid({{1, 1, 1, 1}, {1, 2, 30, 1}, {nd, 2, 1, nd}});
  EXPECT_EQ(exitCodeOf([&] {
              m.replaceCodesByRecordIndices(unknown, 1, 3, CodeGrid::landuse, "landuse_2021",
                                            "landuse");
            }),
            311);
  EXPECT_EQ(m.entries().back(),
            absentMessage("land use ", "30", "landuse_2021", "landuse",
                          "is not present in the multilayer-landuse-table in the control file \n"));
}
