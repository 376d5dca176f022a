#include "tests/routing/reservoir_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

ReservoirRig::ReservoirRig(const std::string& name, int tracerCount, int stepMinutes)
    : log(name), tracers(static_cast<std::size_t>(tracerCount) + 1),
      ranges(4, RowColumnRange{1, 4}),
      rulesFile(std::filesystem::absolute(log.directory + "/rules.ctl").string()) {
  for (int k = 1; k <= tracerCount; ++k)
    tracers[static_cast<std::size_t>(k)].name = std::string(1, static_cast<char>('A' + k - 1));
  ranges[0] = RowColumnRange{};
  for (int k = 0; k <= tracerCount; ++k) runoffStore.push_back({0.0, static_cast<double>(k), 0.0});
  for (std::vector<double>& row : runoffStore) runoff.push_back(row.data());
  for (Grid* g : {&grids.codes, &grids.maxPonding, &grids.ponding, &grids.zones, &grids.elevation,
                  &grids.transpiration, &grids.bottomFlux, &grids.baseflow, &grids.precipitation}) {
    *g = memory.matrix(1, 3, 1, 4, 3);
    owned.push_back(*g);
  }
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c) {
      grids.codes[r][c] = -9999.0;
      grids.zones[r][c] = 1.0;
    }
  grids.tracers.assign(static_cast<std::size_t>(tracerCount) + 1, nullptr);
  setting.diag = &log.diag;
  setting.tracers = &tracers;
  setting.tracerCount = tracerCount;
  setting.subbasin = 1;
  setting.zoneIndex = &zoneIndex;
  setting.ranges = ranges.data();
  setting.nrows = 3;
  setting.ncols = 4;
  setting.lakeGrids = &grids;
  setting.outputDirectory = std::filesystem::absolute(log.directory).string() + "/";
  setting.timeStep = stepMinutes;
  setting.cellSize = 100.0;
  setting.hourShift = stepMinutes / 60.0;
}

ReservoirRig::~ReservoirRig() {
  for (Grid g : owned) memory.free_matrix(g, 1, 3, 1, 4);
}

void ReservoirRig::lakeCells(const std::vector<double>& codes, const std::vector<double>& elevation,
                             const std::vector<double>& maxPonding) {
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c) {
      const std::size_t i = static_cast<std::size_t>((r - 1) * 4 + c - 1);
      grids.codes[r][c] = codes[i];
      grids.elevation[r][c] = elevation[i];
      grids.maxPonding[r][c] = maxPonding[i];
    }
}

std::unique_ptr<SP_class> ReservoirRig::make(int number, const std::string& keys,
                                             const std::string& rules, bool lake) {
  ReservoirSetting s = setting;
  s.lake = lake ? 1 : 0;
  auto sp = std::make_unique<SP_class>();
  sp->Init(s);
  sp->ReadParameters(nullptr, number, keys);
  if (rules.empty()) return sp;
  writeFile(rulesFile, "[abstraction_rule_reservoir_" + std::to_string(number) + "]\n" + rules);
  FILE* file = std::fopen(rulesFile.c_str(), "r");
  const int code = exitCodeOf([&] { sp->ReadAbstractionRules(file, rulesFile); });
  std::fclose(file);
  if (code != -1) throw code;
  return sp;
}

std::string reservoirKeys(const std::string& extra, double v0) {
  std::ostringstream s;
  s << " (file = res.txt V0 = " << v0 << " C0 = 0 0 0 0 0 0 0 0 0" << extra << ")";
  return s.str();
}
