#include "tests/soil/unsatzon_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

const char* const statisticNames[] = {"QDRAIN", "GWSTAND", "GWN",   "SB_1_", "SB_2_", "ROOT",
                                      "INFEX",  "POND",    "QD",    "QI",    "QB",    "Qg",
                                      "GWIN",   "GWEX",    "MACRO", "INFILT"};
const char* const gridNames[] = {"sb05",   "sb1",     "wurz",    "theta",  "hh",      "hgeo",
                                 "qunten", "gwstand", "gwtheta", "gwn",    "gwlevel", "qdrain",
                                 "satur",  "infex",   "qd",      "qi",     "deltagw", "gwin",
                                 "gwex",   "pond",    "uprise",  "percol", "macro",   "irrig"};
const char* const pointNames[] = {"qbottom.txt", "theta.txt", "hhyd.txt",
                                  "other.txt",   "etr.txt",   "interflow.txt"};

} // namespace

std::vector<std::string> unsatzonLines(const std::string& directory) {
  std::vector<std::string> l = {"",
                                "2  method",
                                "0  surface water interaction",
                                "0  pond",
                                "0  drainage",
                                "0  clay",
                                "1e-8  k_sat clay",
                                "1  ini_gw_level"};
  for (const char* s : statisticNames)
    l.push_back(directory + "/" + s + ".stat 0  statistics of " + s);
  for (const char* g : gridNames) {
    l.push_back(directory + "/" + g + ".asc  grid " + g);
    l.push_back("0  write code of " + std::string(g));
  }
  l.push_back("0 0  control point");
  for (const char* p : pointNames) l.push_back(std::string(p) + "  single-point file");
  l.push_back("1 8  subbasin codes");
  for (const char* p : {"kelsqd", "kelsqi", "density", "kelsqlat", "QB-Red", "snow fraction"})
    l.push_back("1 1  " + std::string(p));
  l.push_back("0  readgrid");
  l.push_back("state  storage file");
  return l;
}

std::string unsatzonSection(const std::vector<std::string>& lines, const std::string& stepMinutes) {
  std::string text = "[unsatzon_model]\n1  flow control\n" + stepMinutes + "  time step\n";
  for (size_t k = 1; k < lines.size(); ++k) text += lines[k] + "\n";
  return text + "\n";
}

std::string heatSection(int method, const std::string& directory,
                        const std::string& temperatureFile, int statisticCode) {
  std::string text = "[heat_transfer]\n1  switch\n" + std::to_string(method) + "  method\n0\n0\n";
  for (const char* value : {"10", "-0.0065", "800", "1500", "2.5", "1e-9", "0.57", "2.2", "4187",
                            "1950", "2100", "334000", "1000", "124.6", "0", "60", "3600", "1", "1"})
    text += std::string(value) + "\n";
  return text + temperatureFile + "  temperature file\n" + directory + "/temper.stat " +
         std::to_string(statisticCode) + "\n" + directory + "/temper.stk\n0\n" + directory +
         "/thaw.asc\n0\n" + directory + "/se.stk\n0\n";
}

std::vector<double> uniform(double value) { return std::vector<double>(12, value); }

std::set<std::string> dumpFiles(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("MPI_", 0) == 0) names.insert(name);
  }
  return names;
}

namespace {

// Absolute, so that a test may change its working directory.
std::string absolute(const std::string& path) {
  char* full = realpath(path.c_str(), nullptr);
  const std::string text = full ? full : path;
  std::free(full);
  return text;
}

} // namespace

UnsatzonSetup::UnsatzonSetup(const std::string& name, const std::string& extraSections,
                             const std::vector<std::string>& soilBlocks)
    : base(name, ""), directory(absolute(base.log.directory)), soils(1),
      lines(unsatzonLines(directory)), extra(extraSections) {
  base.controlFile = directory + "/model.ctl.intern";
  base.context.controlFileName = base.controlFile;
  for (const std::string& block : soilBlocks) {
    soils.emplace_back();
    parseSoilEntry(soils.back(), nullptr, block, "MultipleHorizons");
    soils.back().setCode(static_cast<int>(soils.size()) - 1);
  }
  int deepest = 0;
  for (const soil_class& s : soils) deepest = std::max(deepest, s.getLayerCount());
  soils[0].setCode(static_cast<int>(soils.size()) - 1);
  soils[0].setLayerCount(deepest);
  base.context.soilTable = &soils;
  base.context.outputDirectory = directory + "/";

  base.addGrid("[zone_grid]", {1, 2, 3, 4, 5, 6, 7, 8, 8, 8, nodata, nodata});
  base.addGrid("[elevation_model]",
               {100, 100, 100, 100, 100, 100, 100, 100, 100, 100, nodata, nodata});
  for (const char* g :
       {"landuse1", "root_depth1", "vegetation_coverage_degree1", "leaf_area_index1",
        "SurfaceCanopyResistance1", "SurfaceIntercepResistance1", "RoughnessLength1",
        "pot_transpiration0", "pot_transpiration1", "real_transpiration0", "real_transpiration1",
        "SurfaceEvaporationResistance", "albedo", "potential_evaporation", "real_evaporation",
        "soil_types"})
    base.addGrid(g, uniform(1.0));
  base.addGrid("slope_angle", uniform(10.0));
}

std::unique_ptr<TestUnsatzon> UnsatzonSetup::build(const std::vector<std::string>& sectionLines,
                                                   int& errorCode,
                                                   const std::string& extraSections) {
  writeFile(base.controlFile, unsatzonSection(sectionLines, stepMinutes) + extra + extraSections);
  return constructSubmodel<TestUnsatzon>(errorCode, base.context, &soils);
}

Grid UnsatzonSetup::grid(const std::string& name) const {
  for (const GridRegistryEntry& e : base.registry)
    if (e.hasName && e.name == name) return e.grid;
  ADD_FAILURE() << "no grid " << name;
  return nullptr;
}

Stack UnsatzonSetup::stack(const std::string& name) const {
  for (const GridRegistryEntry& e : base.registry)
    if (e.hasName && e.name == name) return e.stack;
  ADD_FAILURE() << "no stack " << name;
  return nullptr;
}
