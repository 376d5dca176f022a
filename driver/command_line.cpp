#include "driver/command_line.h"

#include "core/diag_stream.h"

const char* const usageText =
    "usage: horva [-diagfile:<file>] [-diaglevel:FATAL|ERROR|WARNING|INFO|DEBUG] "
    "[-mode:routing] [-dumpmode[:<max dump files>]] [-closeAfterDump] [-repairAfterDump] "
    "<control file> [<control file> ...]";

namespace {

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

} // namespace

CommandLine parseCommandLine(int argc, const char* const* argv) {
  CommandLine options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (startsWith(argument, "-diagfile:")) {
      options.diagFile = argument.substr(10);
    } else if (startsWith(argument, "-diaglevel:")) {
      options.diagLevel = DiagStream::levelFromName(argument.substr(11));
    } else if (startsWith(argument, "-mode:")) {
      options.routingOnly = true;
    } else if (startsWith(argument, "-")) {
      options.unknownOptions.push_back(argument);
    } else {
      options.controlFiles.push_back(argument);
    }
  }
  return options;
}
