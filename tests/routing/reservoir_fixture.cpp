#include "tests/routing/reservoir_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>

ReservoirRig::ReservoirRig(const std::string& name, int tracerCount, int stepMinutes)
    : log(name), tracers(static_cast<std::size_t>(tracerCount) + 1),
      rulesFile(std::filesystem::absolute(log.directory + "/rules.ctl").string()) {
  for (int k = 1; k <= tracerCount; ++k)
    tracers[static_cast<std::size_t>(k)].name = std::string(1, static_cast<char>('A' + k - 1));
  for (int k = 0; k <= tracerCount; ++k) runoffStore.push_back({0.0, static_cast<double>(k), 0.0});
  for (std::vector<double>& row : runoffStore) runoff.push_back(row.data());
  cells.tracers.assign(static_cast<std::size_t>(tracerCount) + 1, {});
  setting.diag = &log.diag;
  setting.tracers = &tracers;
  setting.tracerCount = tracerCount;
  setting.subbasin = 1;
  setting.zoneIndex = &zoneIndex;
  setting.lakeCells = &cells;
  setting.outputDirectory = std::filesystem::absolute(log.directory).string() + "/";
  setting.timeStep = stepMinutes;
  setting.cellSize = 100.0;
  setting.hourShift = stepMinutes / 60.0;
}

void ReservoirRig::lakeCells(const std::vector<double>& codes, const std::vector<double>& elevation,
                             const std::vector<double>& maxPonding,
                             const std::vector<double>& zones) {
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c) {
      const std::size_t i = static_cast<std::size_t>((r - 1) * 4 + c - 1);
      if (!(codes[i] > -9999.0)) continue;
      cells.cells.push_back(PackedCell{r, c, 0});
      cells.codes.push_back(codes[i]);
      cells.elevation.push_back(elevation[i]);
      cells.maxPonding.push_back(maxPonding[i]);
      cells.zones.push_back(zones[i]);
    }
  for (std::vector<double>* values : {&cells.ponding, &cells.transpiration, &cells.bottomFlux,
                                      &cells.baseflow, &cells.precipitation})
    values->assign(cells.cells.size(), 0.0);
  for (std::size_t k = 1; k < cells.tracers.size(); ++k)
    cells.tracers[k].assign(cells.cells.size(), 0.0);
}

double& ReservoirRig::ponding(long r, long c) { return cells.ponding[cellIndex(r, c)]; }

double& ReservoirRig::tracer(int k, long r, long c) {
  return cells.tracers[static_cast<std::size_t>(k)][cellIndex(r, c)];
}

std::size_t ReservoirRig::cellIndex(long r, long c) const {
  for (std::size_t i = 0; i < cells.cells.size(); ++i)
    if (cells.cells[i].row == r && cells.cells[i].column == c) return i;
  throw std::out_of_range("no lake cell at " + std::to_string(r) + "," + std::to_string(c));
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
