#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "driver/special_output.h"
#include "tests/submodel/strip_context.h"

namespace {

struct Cell {
  long r, c;
};
// Cells of each process of the ragged catchment on 1, 2 and 3 processes, one
// listed twice and one outside the catchment.
const std::vector<Cell> runoffCells = {{1, 5}, {3, 4}, {3, 7}, {5, 6},
                                       {5, 7}, {9, 7}, {5, 7}, {1, 1}};
const std::vector<Cell> moistureCells = {{9, 7}, {1, 5}};

std::string cellList(const std::vector<Cell>& cells) {
  std::string list;
  for (const Cell& cell : cells)
    list += " " + std::to_string(cell.r) + " " + std::to_string(cell.c);
  return list;
}

std::string section(const std::string& blocks) {
  return "[special_output]\n1  flow control parameter\n60  time interval\n" + blocks + "\n";
}

double runoffValue(long step, long r, long c) { return cellValue(r, c) + 0.25 * step; }
double moistureValue(long step, long substep, long r, long c) {
  return -cellValue(r, c) - 10.0 * step - 0.5 * substep;
}

std::string headerLine(const std::string& grid, const std::vector<Cell>& cells, bool substeps) {
  std::string line = substeps ? "YY\tMM\tDD\tHH\tmm\tsub" : "YY\tMM\tDD\tHH\tmm";
  for (const Cell& cell : cells)
    line += "\t" + grid + "(" + std::to_string(cell.r) + "," + std::to_string(cell.c) + ")";
  return line + "\n";
}

// A line as the catchment gives it, whichever process owns the cells.
template <typename F>
std::string dataLine(long hour, int substep, const std::vector<Cell>& cells, F value) {
  char text[64];
  std::snprintf(text, sizeof text, "%2ld\t%2ld\t%2ld\t%2ld\t%2ld", 2021L, 3L, 1L, hour, 0L);
  std::string line = text;
  if (substep > 0) line += "\t" + std::to_string(substep);
  const OwnerMap map = ragged(1);
  for (const Cell& cell : cells) {
    const bool inside = map[cell.r - 1][cell.c - 1] != '.';
    std::snprintf(text, sizeof text, "\t%.8g", inside ? value(cell.r, cell.c) : nodata);
    line += text;
  }
  return line + "\n";
}

long lineCount(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

} // namespace

TEST(SpecialOutputMpi, FilesDoNotDependOnTheDecomposition) {
  StripContext s("special_output_files",
                 section("2 outputs\n{ grid=runoff ;file = \"runoff cells.txt\";\n cells =" +
                         cellList(runoffCells) +
                         ";}\n{grid = moisture; file = moisture_cells.txt; cells =" +
                         cellList(moistureCells) + "; substeps = 1;}"));
  Grid runoff = s.strips.grid(untouched);
  Grid moisture = s.strips.grid(untouched);
  s.strips.add("runoff", runoff);
  s.strips.add("moisture", moisture);
  int code = -1;
  const auto module = constructSubmodel<SpecialOutputClass>(code, s.context);
  ASSERT_EQ(code, 0) << s.strips.m.console();
  ASSERT_EQ(module->getOutputCount(), 2u);

  const std::string runoffFile = s.directory + "/runoff cells.txt";
  const std::string moistureFile = s.directory + "/moisture_cells.txt";
  std::string runoffText = headerLine("runoff", runoffCells, false);
  std::string moistureText = headerLine("moisture", moistureCells, true);
  for (long step = 1; step <= 4; ++step) {
    const long hour = step - 1;
    for (int k = 1; k <= 2; ++k) {
      const auto value = [&](long r, long c) { return moistureValue(step, k, r, c); };
      s.fill(moisture, value);
      module->writeStep(0, hour, 1, 3, 2021, static_cast<unsigned>(k));
      moistureText += dataLine(hour, k, moistureCells, value);
    }
    const auto value = [&](long r, long c) { return runoffValue(step, r, c); };
    s.fill(runoff, value);
    module->writeStep(0, hour, 1, 3, 2021, 0);
    runoffText += dataLine(hour, 0, runoffCells, value);

    if (step != 2) continue;
    if (s.strips.rank == 0) {
      EXPECT_EQ(readFile(runoffFile), headerLine("runoff", runoffCells, false)) << "buffered";
      EXPECT_EQ(readFile(moistureFile), headerLine("moisture", moistureCells, true));
    }
    module->flush();
    if (s.strips.rank == 0) {
      EXPECT_EQ(readFile(runoffFile), runoffText) << "flushed";
    }
  }
  module->flush();
  module->releaseModule();

  if (s.strips.rank != 0) {
    EXPECT_FALSE(fileExists(runoffFile)) << "only rank 0 writes";
    return;
  }
  EXPECT_EQ(readFile(runoffFile), runoffText);
  EXPECT_EQ(readFile(moistureFile), moistureText);
  EXPECT_NE(s.strips.m.console().find("the cell 1 1 of block 1 of [special_output] lies "
                                      "outside the catchment; its column of " +
                                      runoffFile + " holds nodata"),
            std::string::npos)
      << s.strips.m.console();
}

TEST(SpecialOutputMpi, AFullBufferIsWrittenAtOnce) {
  StripContext s("special_output_full",
                 section("1\n{grid = runoff; file = full.txt; cells = 5 6;}"));
  Grid runoff = s.strips.grid(untouched);
  s.strips.add("runoff", runoff);
  int code = -1;
  const auto module = constructSubmodel<SpecialOutputClass>(code, s.context);
  ASSERT_EQ(code, 0) << s.strips.m.console();

  // The lines of one cell that fit into the 2 MB buffer.
  const long capacity = 2097152 / (8 + 32);
  const std::string file = s.directory + "/full.txt";
  const bool owner = s.strips.owner[5][6] == s.strips.rank;
  for (long i = 0; i < capacity; ++i) {
    if (owner) runoff[5][6] = static_cast<double>(i);
    module->writeStep(i % 60, (i / 60) % 24, 1, 3, 2021, 0);
  }
  const std::string full = s.strips.rank == 0 ? readFile(file) : "";
  module->writeStep(0, 0, 2, 3, 2021, 0);
  const std::string oneMore = s.strips.rank == 0 ? readFile(file) : "";
  module->flush();
  if (s.strips.rank != 0) return;
  EXPECT_EQ(lineCount(full), 1 + capacity);
  char last[64];
  std::snprintf(last, sizeof last, "\t%.8g\n", static_cast<double>(capacity - 1));
  EXPECT_EQ(full.substr(full.size() - std::string(last).size()), last);
  EXPECT_EQ(oneMore, full) << "the next line waits in the buffer";
  EXPECT_EQ(lineCount(readFile(file)), 2 + capacity);
}

TEST(SpecialOutputMpi, AFailedWriteOnRankZeroEndsEveryProcess) {
  for (const bool atConstruction : {true, false}) {
    SCOPED_TRACE(atConstruction ? "creating the file" : "appending to it");
    StripContext s("special_output_failure",
                   section("1\n{grid = runoff; file = sub/cells.txt; cells = 5 6;}"));
    Grid runoff = s.strips.grid(untouched);
    s.strips.add("runoff", runoff);
    const std::string sub = s.directory + "/sub";
    if (!atConstruction) std::filesystem::create_directory(sub);
    int code = -1;
    auto module = constructSubmodel<SpecialOutputClass>(code, s.context);
    if (atConstruction) {
      EXPECT_EQ(code, 82);
      EXPECT_EQ(module, nullptr);
    } else {
      ASSERT_EQ(code, 0) << s.strips.m.console();
      module->writeStep(0, 0, 1, 3, 2021, 0);
      std::filesystem::remove_all(sub);
      EXPECT_EQ(exitCodeOf([&] { module->flush(); }), 82);
    }
    if (s.strips.rank == 0) {
      const std::string what = atConstruction ? "cannot create " : "cannot open ";
      EXPECT_NE(s.strips.m.console().find(what + sub + "/cells.txt"), std::string::npos)
          << s.strips.m.console();
    }
  }
}
