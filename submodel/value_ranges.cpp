// Values of a module's section and grids outside their ranges end the run at
// set-up, before a mistyped sign can create or destroy water.
#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "submodel/teilmodellklasse.h"

void teilmodellklasse::refuseNotANumber(const std::string& section, const std::string& key,
                                        std::string line, const std::string& hint) const {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  *diag << "FATAL: the value of " << key << " in " << section << " of "
        << userControlFile(controlFileName) << " is not a number: \"" << line << "\"; " << hint
        << "[end-entry]";
  throw 17;
}

void teilmodellklasse::refuseGridValue(Grid grid, const std::string& name, long key,
                                       const std::string& rule, int code, const std::string& from) {
  int own = 0;
  if (key != firstCellKeyNone) {
    const long r = key / (header.ncols + 1);
    const long c = key % (header.ncols + 1);
    *diag << "FATAL: in modul " << moduleName << ": grid "
          << (from.empty() ? gridWithFile(name) : "\"" + name + "\" read again from " + from)
          << " holds " << grid[r][c] << " at row " << r << ", column " << c << ", which " << rule
          << "; correct the grid"
          << "[end-entry]";
    own = code;
  }
  shareExitCode(*diag, own);
}
