#include <string>
#include <vector>

#include "config/code_grids.h"
#include "config/control_file_session.h"
#include "config/defaultini.h"
#include "config/section_reader.h"
#include "core/control_file_lines.h"
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
  if (g.fillCode < 0 || g.fillCode > 2)
    section.refuseValue("fillcode", g.fillCode,
                        "of the variable grid \"" + g.name +
                            "\" must be 0 (keep nodata), 1 (nearest value) or 2 (defaultvalue)");
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
    if (m < 0) section.refuseValue(" number of variable grids ", m, "must be 0 or more");
    for (int k = 1; k <= m; ++k) grids.push_back(readVariableGridLines(section, k));
    for (const VariableGrid& g : grids)
      if (g.readCode >= 1)
        noteGridFile(g.file, "the variable grid \"" + g.name + "\" of [variable_grids]");
    first = firstFreeRegistryIndex();
    const bool full = m > 0 && first + m - 1 >= gridRegistryLimit;
    if (!session.close()) {
      *diag << "FATAL: error closing " << controlFileName << "[end-entry]";
      throw 11;
    }
    if (full) {
      *diag << "FATAL: no free grid found in memory (an Position " << gridRegistryLimit << ")\n"
            << "[variable_grids] of " << userControlFile(controlFileName) << " declares " << m
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
  const auto keep = [&](const VariableGrid& g, Grid grid, long gridFirstRow, long gridLastRow) {
    const int index = first + variableGridCount;
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
    registerReaderGrid(index, g.file, grid, g.name, g.writeCode, gridFirstRow, gridLastRow);
    variableReadCodes.push_back(g.readCode);
    if (g.name == "soil_storage") soilStorageGrid = grid;
  };
  // Read codes count alike for standard and variable grids. The grids of
  // files are read together and kept in the order of the section.
  std::vector<GridReadRequest> requests;
  std::vector<size_t> positions;
  for (size_t i = 0; i < grids.size(); ++i) {
    if (grids[i].readCode < 1) continue;
    requests.push_back({grids[i].file, grids[i].fillCode, grids[i].defaultValue, true,
                        resamplingOf(grids[i].name)});
    positions.push_back(i);
  }
  size_t next = 0;
  const auto createUpTo = [&](size_t end) {
    for (; next < end; ++next)
      if (grids[next].readCode < 1)
        keep(grids[next], createGridFromDefault(firstRow, lastRow, grids[next].defaultValue),
             firstRow, lastRow);
  };
  readGrids(requests, [&](size_t k, Grid grid, long gridFirstRow, long gridLastRow) {
    createUpTo(positions[k]);
    keep(grids[positions[k]], grid, gridFirstRow, gridLastRow);
    ++next;
  });
  createUpTo(grids.size());
  return variableGridCount;
}
