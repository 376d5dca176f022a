#pragma once

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/defaultini.h"
#include "core/diag_stream.h"

// Log stream (console captured) and registry of a test reader; a base class
// so that both exist before the control-file reader is built on them and
// outlive its teardown.
struct ControlFileReaderContext {
  explicit ControlFileReaderContext(const std::string& directory)
      : ownDiag(std::make_unique<DiagStream>(directory + "/diag.xml", 4, &consoleText, &errorText)),
        ownRegistry(gridRegistrySize) {}
  std::ostringstream consoleText;
  std::ostringstream errorText;
  std::unique_ptr<DiagStream> ownDiag;
  std::vector<GridRegistryEntry> ownRegistry;
  int constructionError = 0;
};

// A control-file reader with public access to the settings it reads.
class ControlFileReaderModel : protected ControlFileReaderContext, public defaultini {
public:
  ControlFileReaderModel(const std::string& directory, const std::string& controlFile,
                         int variant = 2)
      : ControlFileReaderContext(directory),
        defaultini(constructionError, ownDiag.get(), controlFile, nullptr, 0, variant,
                   ownRegistry.data()) {}

  // Opens the control file as the set-up does before "[model_time]".
  void openControlFile() { controlFile = std::fopen(controlFileName.c_str(), "r"); }
  std::string console() const { return consoleText.str(); }
  std::string errors() const { return errorText.str(); }

  using ControlFileReaderContext::constructionError;
  using defaultini::controlFile;
  using defaultini::inputDirectory;
  using defaultini::monthDays;
  using defaultini::outputDirectory;
  using defaultini::timeStep;
  using defaultini::writeAsciiGrids;
  using defaultini::writeDoubleGrids;
  using defaultini::writeNetCDFGrids;
};
