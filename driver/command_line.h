#pragma once

#include <string>
#include <vector>

#include "submodel/model_context.h"

// The options and control files of the command line.
struct CommandLine {
  std::string diagFile;     // "-diagfile:"; empty for the default name
  int diagLevel = 4;        // "-diaglevel:"
  bool routingOnly = false; // "-mode:" followed by any text
  // "-dumpmode[:<max dump files>]", "-closeAfterDump", "-repairAfterDump".
  DumpOptions dumpOptions;
  std::vector<std::string> controlFiles;
  std::vector<std::string> unknownOptions;
  // The first "-dumpmode" option that is neither "-dumpmode" nor
  // "-dumpmode:" followed by a count of 0 or more; main ends the run with
  // invalidDumpModeCode once the log exists.
  std::string invalidDumpMode;
};

// Exit code of an invalid "-dumpmode" option.
constexpr int invalidDumpModeCode = 1061;

CommandLine parseCommandLine(int argc, const char* const* argv);

extern const char* const usageText;
