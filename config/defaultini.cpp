#include "config/defaultini.h"

#include "core/diag_stream.h"
#include "core/module_banner.h"

defaultini::defaultini(int& errorCode, DiagStream* diagArg, const std::string& controlFileNameArg,
                       GridRegistryEntry* registryArg)
    : modelobject(diagArg, controlFileNameArg, 0, false, false, false, "", "", nullptr, nullptr,
                  nullptr, 0, 0) {
  errorCode = 0;
  moduleName = "defaults";
  registry = registryArg;
  try {
    HORVA_ANNOUNCE_MODULE(*diag);
  } catch (int code) {
    errorCode = code;
  } catch (...) {
    errorCode = 103;
  }
}

defaultini::~defaultini() {
  releaseLanduseParameterGrids();
  releaseDerivedGrids();
  releaseDecompositionGrids();
}

// The teardown of the whole grid store may already have released these
// entries; only grids still registered here are ours to free.
void defaultini::releaseDecompositionGrids() {
  for (auto [grid, index] : {std::pair<Grid*, int*>{&regionsGrid, &regionsIndex},
                             std::pair<Grid*, int*>{&helperGrid, &helperIndex},
                             std::pair<Grid*, int*>{&haloGrid, &haloIndex}}) {
    if (*grid && *index > 0 && registry && registry[*index].grid == *grid) {
      const GridRegistryEntry& e = registry[*index];
      free_matrix(*grid, e.firstRow, e.lastRow, 1, header.ncols);
      unregisterGrid(*index);
    }
    *grid = nullptr;
    *index = 0;
  }
}
