#include "driver/command_line.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "core/diag_stream.h"

const char* const usageText =
    "usage: horva [-diagfile:<file>] [-diaglevel:FATAL|ERROR|WARNING|INFO|DEBUG] "
    "[-mode:routing] [-dumpmode[:<max dump files>]] [-closeAfterDump] [-repairAfterDump] "
    "<control file> [<control file> ...]";

namespace {

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// "-dumpmode" alone, or followed by ":" and a whole number of dump files
// (0 = no limit); false for anything else after it.
bool readDumpMode(const std::string& argument, DumpOptions& dump) {
  const std::string rest = argument.substr(9);
  if (rest.empty()) {
    dump.dumpMode = 1;
    return true;
  }
  if (rest[0] != ':' || rest.size() == 1) return false;
  for (std::size_t k = 1; k < rest.size(); ++k)
    if (!std::isdigit(static_cast<unsigned char>(rest[k]))) return false;
  errno = 0;
  const long count = std::strtol(rest.c_str() + 1, nullptr, 10);
  if (errno == ERANGE) return false;
  dump.dumpMode = 1;
  dump.maxDumpFiles = count;
  return true;
}

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
    } else if (startsWith(argument, "-dumpmode")) {
      if (!readDumpMode(argument, options.dumpOptions) && options.invalidDumpMode.empty())
        options.invalidDumpMode = argument;
    } else if (argument == "-closeAfterDump") {
      options.dumpOptions.closeAfterDump = 1;
    } else if (argument == "-repairAfterDump") {
      options.dumpOptions.repairAfterDump = 1;
    } else if (startsWith(argument, "-")) {
      options.unknownOptions.push_back(argument);
    } else {
      options.controlFiles.push_back(argument);
    }
  }
  return options;
}
