#pragma once

#include <string>
#include <vector>

// The options and control files of the command line.
struct CommandLine {
  std::string diagFile;     // "-diagfile:"; empty for the default name
  int diagLevel = 4;        // "-diaglevel:"
  bool routingOnly = false; // "-mode:" followed by any text
  std::vector<std::string> controlFiles;
  std::vector<std::string> unknownOptions;
};

CommandLine parseCommandLine(int argc, const char* const* argv);

extern const char* const usageText;
