#pragma once

#include <string>

#include "tests/config/control_file_reader_model.h"
#include "tests/test_support.h"

// A control-file reader on a control file of the given text, opened as the
// set-up opens it, with access to the parameter tables.
class ParameterTableModel : public ControlFileReaderModel {
public:
  ParameterTableModel(const std::string& directory, const std::string& controlText)
      : ControlFileReaderModel(directory, written(directory, controlText)) {
    openControlFile();
  }

  using defaultini::landuseTable;
  using defaultini::multilayerTable;
  using defaultini::soilTable;

private:
  static std::string written(const std::string& directory, const std::string& text) {
    const std::string name = directory + "/model.ctl";
    writeFile(name, text);
    return name;
  }
};
