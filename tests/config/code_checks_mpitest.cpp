#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/config/code_check_tables.h"
#include "tests/config/decomposition_fixture.h"
#include "tests/test_support.h"

using namespace code_check_tables;

namespace {

using CodeGrid = defaultini::CodeGrid;
using CellValue = std::function<double(long, long)>;

const std::vector<std::string> catchment = {"..xxxxxx..", ".xxxxxxxx.", "xxx..xxxxx", "xxxxxxxxxx",
                                            ".xxxxx.xx.", "..xxxxxx..", "...xxxx...", "....xx...."};

bool valid(long r, long c) { return catchment[r - 1][c - 1] != '.'; }

// A control-file reader on a divided grid with its tables read, as the
// set-up holds it before the code checks: the zone grid on every process
// (rank 0 whole, the others their rows with halo).
class CodeGridModel : public DecompositionModel {
public:
  explicit CodeGridModel(const std::string& tables)
      : DecompositionModel(".", written("model.ctl", controlFileText(0) + tables)) {
    controlFile = std::fopen(controlFileName.c_str(), "r");
    readMultilayerLanduse();
    readLanduseTable();
    readSoilTable();
    if (seekSection("[irrigation]", false)) readIrrigationIfActive(2);
    setDomain(catchment);
    distributeBaseGrids(lo, hi, true);
  }

  Grid filled(const CellValue& value) {
    Grid g = ownedGrid(lo, hi);
    fill(g, value);
    return g;
  }
  void fill(Grid g, const CellValue& value) const {
    for (long r = lo; r <= hi; ++r)
      for (long c = 1; c <= header.ncols; ++c) g[r][c] = value(r, c);
  }
  // A code grid as a standard grid comes into memory: the codes as read, on
  // rank 0 every row, on the others their rows with halo.
  int addCodeGrid(const std::string& name, const CellValue& code) {
    const int index = firstFreeRegistryIndex();
    registerGrid(index, name + ".asc", filled(code), nullptr, 0, name, 0, lo, hi);
    return index;
  }
  bool owns(long r, long c) const {
    return r >= header.firstRow && r <= header.lastRow && valid(r, c) &&
           static_cast<int>(regionsGrid[r][c]) == mpiRank;
  }

  // Own cells, halo cells and rank 0's gathered copy hold the expected
  // record indices. Collective.
  void expectIndices(int index, const CellValue& expected) {
    Grid local = entries()[index].grid;
    int failures = 0;
    std::string first;
    auto check = [&](Grid g, long r, long c, const char* where) {
      if (g[r][c] == expected(r, c) || failures++ > 0) return;
      first = std::string(where) + " " + std::to_string(r) + "/" + std::to_string(c) + ": " +
              std::to_string(g[r][c]) + " instead of " + std::to_string(expected(r, c));
    };
    for (long r = header.firstRow; r <= header.lastRow; ++r)
      for (long c = 1; c <= header.ncols; ++c)
        if (owns(r, c)) check(local, r, c, "own cell");
    for (const HaloStrip& s : receiveList)
      for (long c = s.startColumn; c < s.startColumn + s.count; ++c)
        if (valid(s.row, c)) check(local, s.row, c, "halo cell");
    Grid all = MPIGatherGridCopy(index);
    for (long r = 1; all && r <= header.nrows; ++r)
      for (long c = 1; c <= header.ncols; ++c)
        if (valid(r, c)) check(all, r, c, "gathered cell");
    if (all) free_matrix(all, 1, header.nrows, 1, header.ncols);
    EXPECT_EQ(failures, 0) << "process " << mpiRank << ", " << first;
  }

  std::vector<std::vector<int>> layerLists() const {
    std::vector<std::vector<int>> lists;
    for (std::size_t l = 1; l < multilayerTable.size(); ++l)
      lists.push_back(multilayerTable[l].getLayerCodes());
    return lists;
  }

  long lo = 0;
  long hi = 0;

private:
  static std::string written(const std::string& name, const std::string& text) {
    writeFile(name, text);
    return name;
  }
};

void runCheck(CodeGridModel& m, CodeGrid kind, int index) {
  if (kind == CodeGrid::soilTypes) m.check_SOIL_Codes(index);
  if (kind == CodeGrid::landuse) m.check_LU_Codes(index);
  if (kind == CodeGrid::irrigationCodes) m.check_irrig_Codes(index);
}

const char* gridName(CodeGrid kind) {
  return kind == CodeGrid::soilTypes         ? "soil_types"
         : kind == CodeGrid::irrigationCodes ? "irrigation_codes"
                                             : "landuse";
}

// The i-th of a list of values, cycling over the cells; nodata outside the
// zone grid.
CellValue cycling(const std::vector<double>& values, long shift = 0) {
  return [values, shift](long r, long c) {
    return valid(r, c) ? values[static_cast<std::size_t>(r + c + shift) % values.size()] : -9999.0;
  };
}

const std::string tables = landuseSection() + soilSection() + irrigationSections();

} // namespace

// The codes 2 and 1 swap with their record indices; each cell ends with the
// index of the record of the code it was read with, on every process.
TEST(CodeChecksMPI, ReplaceCodesOnEveryProcessCount) {
  struct Case {
    const char* name;
    std::string control;
    CodeGrid kind;
    std::vector<double> codes;
    std::vector<double> indices;
  };
  const std::vector<Case> cases = {
      {"land use", tables, CodeGrid::landuse, {2, 1, 30}, {1, 2, 3}},
      {"multilayer", tables + multilayerSection(), CodeGrid::landuse, {2, 1, 1}, {1, 2, 2}},
      {"soil", tables, CodeGrid::soilTypes, {10, 20, 20}, {1, 2, 2}},
      {"irrigation", tables, CodeGrid::irrigationCodes, {0, 5, 2, 0}, {0, 1, 2, 0}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpeedDirectory here("code_checks", "1\n");
    CodeGridModel m(c.control);
    const int index = m.addCodeGrid(gridName(c.kind), cycling(c.codes));
    ASSERT_EQ(exitCodeOf([&] { runCheck(m, c.kind, index); }), -1) << m.console();
    m.expectIndices(index, cycling(c.indices));
    if (!m.getMultilayerTable().empty()) {
      EXPECT_EQ(m.layerLists(), replacedLayers()) << "process " << worldRank();
    }
  }
}

// An unknown code, here in the last cell, which the highest rank owns, ends
// every process with the code and its value reaches rank 0's message.
TEST(CodeChecksMPI, AbsentCodesEndEveryProcess) {
  struct Case {
    const char* name;
    std::string control;
    CodeGrid kind;
    double unknown;
    int code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"soil", tables, CodeGrid::soilTypes, 99, 32,
       "soil type 99 in grid soil_types.asc (soil_types)\nis not present in the control file"},
      {"land use", tables, CodeGrid::landuse, 3, 31,
       "land use 3 in grid landuse.asc (landuse)\nis not present in the land use table"},
      {"multilayer type", tables + multilayerSection(), CodeGrid::landuse, 30, 311,
       "land use 30 in grid landuse.asc (landuse)\nis not present in the multilayer-landuse-table"},
      {"negative irrigation code", tables, CodeGrid::irrigationCodes, -2, 31,
       "irrigation type -2 in grid irrigation_codes.asc (irrigation_codes)\nis not present in the "
       "irrigation table"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpeedDirectory here("code_checks_absent", "1\n");
    CodeGridModel m(c.control);
    const CellValue known = [&](long r, long col) {
      if (r == 8 && col == 6) return c.unknown;
      return valid(r, col) ? (c.kind == CodeGrid::soilTypes ? 10.0 : 2.0) : -9999.0;
    };
    const int index = m.addCodeGrid(gridName(c.kind), known);
    EXPECT_EQ(exitCodeOf([&] { runCheck(m, c.kind, index); }), c.code);
    if (worldRank() == 0) {
      EXPECT_NE(m.console().find(c.message), std::string::npos) << m.console();
    }
  }

  {
    // Unknown codes in rows of different processes: the first in row order
    // is the one reported, whichever process owns it.
    SpeedDirectory here("code_checks_first", "1\n");
    CodeGridModel m(tables);
    const int index = m.addCodeGrid("soil_types", [](long r, long c) {
      if (r == 2 && c == 3) return 97.0;
      if (r == 5 && c == 4) return 98.0;
      if (r == 8 && c == 6) return 99.0;
      return valid(r, c) ? 10.0 : -9999.0;
    });
    EXPECT_EQ(exitCodeOf([&] { m.check_SOIL_Codes(index); }), 32);
    if (worldRank() == 0) {
      EXPECT_NE(m.console().find("soil type 97 in grid"), std::string::npos) << m.console();
      EXPECT_EQ(m.console().find("soil type 98"), std::string::npos) << m.console();
    }
  }

  SpeedDirectory here("code_checks_layers", "1\n");
  CodeGridModel m(tables + multilayerSection("1 2", "30 4"));
  const int index = m.addCodeGrid("landuse", cycling({1, 2}));
  EXPECT_EQ(exitCodeOf([&] { m.check_LU_Codes(index); }), 312);
  if (worldRank() == 0) {
    EXPECT_NE(m.console().find("Here, code 4 is missing."), std::string::npos);
  }
}

// A land-use grid read again during the run gets its codes replaced in the
// same way, the layer lists keep the indices of the set-up, and an unknown
// code in it ends every process.
TEST(CodeChecksMPI, ReplaceCodesOfAGridReadAgain) {
  SpeedDirectory here("code_checks_reread", "1\n");
  CodeGridModel m(tables + multilayerSection());
  const int index = m.addCodeGrid("landuse", cycling({2, 1}));
  ASSERT_EQ(exitCodeOf([&] { m.check_LU_Codes(index); }), -1) << m.console();

  m.fill(m.entries()[index].grid, cycling({1, 1, 2}, 1));
  ASSERT_EQ(exitCodeOf([&] { m.replaceRegisteredCodes(index, CodeGrid::landuse); }), -1);
  m.expectIndices(index, cycling({2, 2, 1}, 1));
  EXPECT_EQ(m.layerLists(), replacedLayers()) << "process " << worldRank();

  m.fill(m.entries()[index].grid, [](long r, long c) {
    return r == 8 && c == 5 ? 7.0 : valid(r, c) ? 1.0 : -9999.0;
  });
  EXPECT_EQ(exitCodeOf([&] { m.replaceRegisteredCodes(index, CodeGrid::landuse); }), 311);
}
