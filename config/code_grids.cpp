#include "config/code_grids.h"

#include <algorithm>
#include <iterator>

namespace {

const char* const codeGrids[] = {"[zone_grid]",
                                 "zonegrid_soilmodel",
                                 "regression_regions",
                                 "regression_regions2",
                                 "regression_regions3",
                                 "soil_types",
                                 "landuse",
                                 "lake_codes",
                                 "ice_firn",
                                 "GlacierCodes",
                                 "irrigation_codes",
                                 "river_links",
                                 "HydrologicResponseUnits",
                                 "MasterHydrologicResponseUnits"};

} // namespace

bool holdsCodes(const std::string& registryName) {
  return std::any_of(std::begin(codeGrids), std::end(codeGrids),
                     [&](const char* name) { return registryName == name; });
}
