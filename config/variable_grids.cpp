#include <string>
#include <vector>

#include "config/control_file_session.h"
#include "config/defaultini.h"
#include "config/section_reader.h"
#include "core/diag_stream.h"
#include "core/string_helpers.h"

namespace {

struct VariableGrid {
  std::string file;
  std::string name;
  int fillCode = 0;
  double defaultValue = 0.0;
  long writeCode = 0;
  int readCode = 0;
};

VariableGrid readVariableGridLines(SectionReader& section, int k) {
  VariableGrid g;
  std::string line;
  const bool found = section.nextLine(line);
  const std::vector<std::string> words = splitWords(line);
  if (!found || words.size() < 4 || !parseWholeInt(words[2], g.fillCode) ||
      !parseNumber(words[3], g.defaultValue)) {
    std::string text = "\nfile for vargrid " + std::to_string(k) +
                       " or the identifier or the fillcode or the defaultvalue (which is new in "
                       "version 7.7) in ";
    section.fail(text, section.valueLine(), line);
  }
  g.file = words[0];
  g.name = words[1];
  g.writeCode = section.readLong("Writegrid for a variable grid ");
  g.readCode = section.readInt("Readgrid for a variable grid ");
  return g;
}

} // namespace

int defaultini::readVariableGrids() {
  std::vector<VariableGrid> grids;
  int first = 0;
  {
    ControlFileSession session(controlFile);
    session.openOrFail(controlFileName, *diag);
    seekSection("[variable_grids]", true);
    SectionReader section(*this, controlFile, controlFileName, "[variable_grids]");
    const int m = section.readInt(" number of variable grids ");
    for (int k = 1; k <= m; ++k) grids.push_back(readVariableGridLines(section, k));
    first = firstFreeRegistryIndex();
    const bool full = m > 0 && first + m - 1 >= gridRegistryLimit;
    if (!session.close()) {
      *diag << "FATAL: error closing " << controlFileName << "[end-entry]";
      throw 11;
    }
    if (full) {
      *diag << "FATAL: no free grid found in memory (an Position " << gridRegistryLimit << ")\n"
            << "[variable_grids] of " << controlFileName << " declares " << m
            << " grids from entry " << first << " on"
            << "[end-entry]";
      throw 12;
    }
  }

  variableGridCount = 0;
  firstVariableGrid = grids.empty() ? 0 : first;
  variableReadCodes.assign(1, 0);
  const long firstRow = heldFirstRow();
  const long lastRow = heldLastRow();
  for (const VariableGrid& g : grids) {
    const int index = first + variableGridCount;
    Grid grid = nullptr;
    // Read codes count alike for standard and variable grids.
    if (g.readCode >= 1)
      readGrid(g.file, grid, g.fillCode, true, true, true, 1, false, true, g.defaultValue);
    else
      grid = createGridFromDefault(firstRow, lastRow, g.defaultValue);
    GridRegistryEntry& e = registry[index];
    e.hasFileName = true;
    e.fileName = g.file;
    e.hasName = true;
    e.name = g.name;
    e.firstFileName = g.file;
    e.hasFirstFileName = 1;
    protectInputFile(index, "variable grid", g.readCode, g.writeCode);
    ++variableGridCount;
    ++gridCount;
    registerReaderGrid(index, g.file, grid, g.name, g.writeCode, firstRow, lastRow);
    variableReadCodes.push_back(g.readCode);
    if (g.name == "soil_storage") soilStorageGrid = grid;
  }
  return variableGridCount;
}
