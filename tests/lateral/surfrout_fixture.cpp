#include "tests/lateral/surfrout_fixture.h"

#include <gtest/gtest.h>

std::vector<std::string> surfroutLines() {
  return {"",
          "1  flow control parameter for",
          "60  time interval for",
          "2  method for flowpath-calculation",
          "qd.stat 0  statistics QD",
          "qi.stat 0  statistics QI",
          "qb.stat 0  statistics QB",
          "qg.stat 0  statistics QG",
          "velocity.stk  velocity stack",
          "0  velocity write code",
          "fluxes.stk  fluxes stack",
          "0  fluxes write code",
          "0.0001  A_NL error",
          "20  A_NL steps",
          "0.00001  velocity error",
          "50  velocity steps",
          "1  minimum sub time step",
          "100  maximum sub time step",
          "0.01  crop depth",
          "1.0  concentration factor",
          "0  read storage",
          "qs.stat 0  storage statistic"};
}

std::string surfroutSection(const std::vector<std::string>& lines) {
  std::string text = "[SurfaceRoutingModel]\n";
  for (size_t k = 1; k < lines.size(); ++k) text += lines[k] + "\n";
  return text + "\n";
}

SurfroutSetup::SurfroutSetup(const std::string& name, long ncols, long nrows, double d,
                             const CellFunction& elevation, const CellFunction& zone,
                             const std::function<bool(long, long)>& river)
    : base(name, ""), lines(surfroutLines()), landuse(2) {
  base.context.header.ncols = ncols;
  base.context.header.nrows = nrows;
  base.context.header.cellsize = d;
  base.context.header.lastRow = nrows;
  const CellFunction zoneOf = zone ? zone : [](long, long) { return 1.0; };
  zoneGrid = addGrid("[zone_grid]", zoneOf);
  addGrid("[elevation_model]", [&](long r, long c) {
    return zoneOf(r, c) == nodataValue ? nodataValue : elevation(r, c);
  });
  addGrid("MPIRegions",
          [&](long r, long c) { return zoneOf(r, c) == nodataValue ? nodataValue : 0.0; });
  for (const char* g : {"landuse1", "vegetation_coverage_degree1", "soil_types"})
    addGrid(g, [](long, long) { return 1.0; });
  for (const char* g : {"directflow", "interflow", "river_links"})
    addGrid(g, [](long, long) { return 0.0; });
  for (const char* g : {"river_depth", "river_width"})
    addGrid(g, [&](long r, long c) { return river && river(r, c) ? 1.0 : nodataValue; });
  landuse[0].setCode(1);
  parseLanduseEntry(landuse[1], nullptr,
                    "FixDays = 100 200; LAI = 1 1; VCF = 1 1; RootDepth = 1 1; Albedo = 0.2 0.2; "
                    "Z0 = 1 1; RSC = 1 1; RSI = 1 1; RSE = 1 1; SR_K_ST = 10; }",
                    "test");
  base.context.landuseTable = &landuse;
  base.context.landuseLayerCount = 1;
}

Grid SurfroutSetup::addGrid(const std::string& name, const CellFunction& f) {
  const long ncols = base.context.header.ncols;
  const long nrows = base.context.header.nrows;
  std::vector<double> values(static_cast<size_t>(ncols * nrows));
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c) values[(r - 1) * ncols + (c - 1)] = f(r, c);
  return base.addGrid(name, values);
}

std::unique_ptr<TestSurfaceRouting> SurfroutSetup::build(int& errorCode, unsigned substeps) {
  writeFile(base.controlFile, surfroutSection(lines) + extraSections);
  return constructSubmodel<TestSurfaceRouting>(errorCode, base.context, substeps);
}

std::unique_ptr<TestSurfaceRouting> SurfroutSetup::build(unsigned substeps) {
  int code = 0;
  auto module = build(code, substeps);
  if (code != 0) ADD_FAILURE() << "construction failed with code " << code;
  return module;
}

int SurfroutSetup::index(const std::string& name) const {
  for (int k = 1; k < gridRegistrySize; ++k)
    if (base.registry[k].hasName && base.registry[k].name == name) return k;
  return 0;
}

Grid SurfroutSetup::grid(const std::string& name) const {
  const int k = index(name);
  return k > 0 ? base.registry[k].grid : nullptr;
}

Stack SurfroutSetup::stack(const std::string& name) const {
  const int k = index(name);
  return k > 0 ? base.registry[k].stack : nullptr;
}

int startRouting(TestSurfaceRouting& module, surfaceroutingclass::RunoffArrays& baseflow,
                 std::vector<double>& constants) {
  std::vector<TracerRecord> none(1);
  int code = -1;
  module.initTracers(code, 0, none, nullptr, 0);
  module.setQBb(&baseflow);
  module.setStorageConstantsQD(constants.data());
  module.setStorageConstantsQI(constants.data());
  return code;
}
