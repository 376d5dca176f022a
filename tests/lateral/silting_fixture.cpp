#include "tests/lateral/silting_fixture.h"

std::string SiltingSection::text() const {
  std::string s = "[SiltingUpModel]\n1  flow control parameter for\n60  time interval for\n";
  if (!method.empty()) s += method + "\n";
  s += "sdisp.txt 2001  name of the statistics for silting disposition SDISP\n"
       "qdsu.txt 2001  name of the statistics for direct runoff (QDSU)\n";
  for (const char* g : {"sdisp", "rainpause", "ekin", "tsbb", "qdsu"})
    s += std::string(g) + ".asc  name of the grid\n0  Writegrid\n";
  s += table + readGrids + "\n" + tail + "\n[next_section]\n1\n";
  return s;
}

soil_class siltingSoil(const std::string& grains, const std::string& parameters) {
  soil_class soil;
  parseSoilEntry(soil, nullptr,
                 "method = MultipleHorizons; layers = 1; thickness = 0.2; ksat = 1e-5; "
                 "theta_sat = 0.45; theta_res = 0.05; alpha = 2; Par_n = 1.5; GrainSizeDist = " +
                     grains + "; " + parameters + "}",
                 "MultipleHorizons");
  return soil;
}

landuse_class siltingLanduse(const std::string& tillage, double residue) {
  landuse_class use;
  const std::string r = std::to_string(residue);
  parseLanduseEntry(use, nullptr,
                    "FixDays = 100 200 300; LAI = 1 3 2; VCF = 0.1 0.3 0.2; RootDepth = 1 1 1; "
                    "Albedo = 0.1 0.3 0.2; Z0 = 1 1 1; RSC = 1 1 1; RSI = 1 1 1; RSE = 1 1 1; "
                    "SR_ResidCovrg = " +
                        r + " " + r + " " + r + "; " +
                        (tillage.empty() ? "" : "SoilTillage = " + tillage + "; ") + "}",
                    "test");
  return use;
}

SiltingSetup::SiltingSetup(const std::string& name, const SiltingSection& section,
                           const std::vector<double>& zoneCodes)
    : base(name, section.text()), statistics(statisticTableEntries) {
  soils.resize(2);
  soils[1] = siltingSoil("0.5 0.3 0.15 0.05 0 0 0");
  uses.resize(2);
  uses[1] = siltingLanduse("100 200");
  ModelContext& c = base.context;
  c.soilTable = &soils;
  c.landuseTable = &uses;
  c.statisticTable = statistics.data();
  c.outputDirectory = base.log.directory + "/";
  base.addGrid("zone_grid", zoneCodes);
  base.addGrid("MPIRegions", std::vector<double>(12, 0.0));
  addZoneGrid("landuse1", 1.0);
  addZoneGrid("vegetation_coverage_degree1", 0.25);
  addZoneGrid("soil_types", 1.0);
  input = addZoneGrid("precipitation", 0.0);
}

Grid SiltingSetup::addZoneGrid(const std::string& name, double value) {
  std::vector<double> values(12, -9999.0);
  const Grid zone = base.registry[1].grid;
  for (long k = 0; k < 12; ++k)
    if (zone[k / 4 + 1][k % 4 + 1] != -9999.0) values[static_cast<size_t>(k)] = value;
  return base.addGrid(name, values);
}

Grid SiltingSetup::grid(const std::string& name) const {
  for (const GridRegistryEntry& e : base.registry)
    if (e.hasName && e.name == name) return e.grid;
  return nullptr;
}

std::unique_ptr<siltingupclass> SiltingSetup::build(int interceptionFirst) {
  std::unique_ptr<siltingupclass> module =
      constructSubmodel<siltingupclass>(errorCode, base.context);
  if (!module) return nullptr;
  const int code = exitCodeOf([&] { module->selectWaterInput(interceptionFirst); });
  errorCode = code == -1 ? 0 : code;
  return errorCode == 0 ? std::move(module) : nullptr;
}
