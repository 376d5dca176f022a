// Feeds arbitrary bytes as a grid file to modelobject::readGrid on a small
// model grid, read by one process without communication, with the hole
// repair chosen by the first byte. Besides crashes and leaks it traps on a
// read that succeeds without a grid. netCDF signatures are left to the
// netCDF library, GIF images to their own target.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "core/diag_stream.h"
#include "core/modelobject.h"

namespace {

class FuzzModule : public modelobject {
public:
  explicit FuzzModule(DiagStream* diagArg)
      : modelobject(diagArg, "", 0, false, false, false, "", "", nullptr, nullptr, nullptr, 0, 0) {
    header.ncols = 4;
    header.nrows = 3;
    header.cellsize = 1.0;
    header.firstRow = 1;
    header.lastRow = 3;
  }
};

std::string inputPath;
std::ostream silentConsole(nullptr);
std::unique_ptr<DiagStream> diag;
std::unique_ptr<FuzzModule> module;

} // namespace

// The hole repair appends to modell_0.log in the working directory, which
// is removed after every input: run the target from a folder of its own, as
// scripts/fuzz.sh does. Changing the folder here would lose the corpus and
// artifact paths that libFuzzer takes relative to the folder it started in.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string directory = std::filesystem::temp_directory_path() / "horva_grid_file_fuzz";
  std::filesystem::create_directories(directory);
  inputPath = directory + "/input.grid";
  diag = std::make_unique<DiagStream>(directory + "/diag.xml", 0, &silentConsole, &silentConsole);
  module = std::make_unique<FuzzModule>(diag.get());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (bytes.rfind("CDF", 0) == 0 || bytes.rfind("GIF8", 0) == 0 ||
      (bytes.size() > 1 && bytes.compare(1, 3, "HDF") == 0))
    return 0;
  std::ofstream(inputPath, std::ios::binary) << bytes;
  const int fillCode = data[0] % 3;
  Grid grid = nullptr;
  try {
    module->readGrid(inputPath, grid, fillCode, true, false, data[0] & 4, 0, true, false, 0.0);
    if (!grid) __builtin_trap();
    module->free_matrix(grid, 1, 3, 1, 4);
  } catch (int) {
    if (grid) __builtin_trap();
  }
  std::remove("modell_0.log");
  return 0;
}
