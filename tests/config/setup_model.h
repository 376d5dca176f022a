#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/config/code_check_tables.h"
#include "tests/config/control_file_reader_model.h"
#include "tests/test_support.h"

// The control-file reader as the driver builds it, with access to its state.
class SetupModel : public ControlFileReaderModel {
public:
  SetupModel(const std::string& directory, const std::string& controlFile, int variant = 2)
      : ControlFileReaderModel(directory, controlFile, variant) {}

  // Runs the set-up to its end as the driver does: the exit code of a
  // failure, or -1 when it is done. calls counts the initStep calls.
  int runSetup() {
    return exitCodeOf([&] {
      int done = 0;
      while (done == 0) {
        initStep(done);
        ++calls;
      }
    });
  }
  // The console entries in order, without the rank prefix.
  std::vector<std::string> entries() const {
    const std::string separator = "\n(mpi-rank  0) ";
    const std::string text = consoleText.str();
    std::vector<std::string> list;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(separator, start)) != std::string::npos;
         start = end + separator.size())
      list.push_back(text.substr(start, end - start));
    list.push_back(text.substr(start));
    return list;
  }
  GridRegistryEntry& entry(int index) { return ownRegistry[static_cast<size_t>(index)]; }
  Grid grid(const std::string& name) {
    const int index = findGrid(name, 1);
    return index > 0 ? entry(index).grid : nullptr;
  }

  using defaultini::header;
  using defaultini::irrigationSwitch;
  using defaultini::setupStep;
  using defaultini::variableReadCodes;
  int calls = 0;
};

// An ASCII grid file of the test domain's georeference; rows as text.
inline std::string asciiGrid(const std::vector<std::string>& rows, long ncols,
                             const std::string& nodata = "-9999") {
  std::string text = "ncols " + std::to_string(ncols) + "\nnrows " + std::to_string(rows.size()) +
                     "\nxllcorner 1000\nyllcorner 2000\ncellsize 100\nnodata_value " + nodata +
                     "\n";
  for (const std::string& row : rows) text += row + "\n";
  return text;
}

// The sections the set-up needs besides the grids, all valid: output,
// model time, irrigation off, radiation correction.
inline std::string setupSections(const std::string& outputKeys = "WriteAsciiGrids = 1\n") {
  return "[output_interval]\n24  output interval\n0\n0\n0\n" + outputKeys +
         "\n"
         "[output_list]\n0\n"
         "[coordinates]\n47.5\n8.25\n15\n-1\n"
         "[meteo_data_count]\n1\n"
         "[meteo_names]\ntemperature\n"
         "[model_time]\n0\n1\n1\n2020\n23\n31\n12\n2020\n"
         "[irrigation]\n0  irrigation off\n"
         "[radiation_correction]\n1  on\n";
}

// The sections the later set-up steps need, all valid: the region
// transition and tables that know the land-use and soil code 2.
inline std::string laterSetupSections() {
  return "[region_transition_distance]\n4  cells\n"
         "[landuse_table]\n1\n" +
         code_check_tables::landuseEntry(2, "meadow") + "[soil_table]\n1\n" +
         code_check_tables::soilEntry(2, "loam");
}
