#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "config/tracer_ini_class.h"
#include "core/memory_handling.h"
#include "routing/sp_class.h"
#include "tests/config/captured_log.h"

// Reservoirs and lakes outside a routing model: a grid of 4 x 3 cells of
// 100 m in subbasin 1 (zone code 1, its column 1), whose lake grids the test
// fills, a control file of rule sections and a captured log.
struct ReservoirRig {
  explicit ReservoirRig(const std::string& name, int tracers = 0, int stepMinutes = 60);
  ~ReservoirRig();

  // A reservoir from its text in the routing description (behind "SP" and
  // its number) and, unless empty, the text of its rule section. With
  // `lake` it lies on the rig's grids.
  std::unique_ptr<SP_class> make(int number, const std::string& keys, const std::string& rules,
                                 bool lake = false);
  // Sets every cell: lake code, elevation [m] and maximum ponding [mm].
  void lakeCells(const std::vector<double>& codes, const std::vector<double>& elevation,
                 const std::vector<double>& maxPonding);
  std::string path(const std::string& name) const { return setting.outputDirectory + name; }

  CapturedLog log;
  memory_handling memory;
  std::vector<TracerRecord> tracers;
  std::vector<int> zoneIndex{0, 1, 2};
  std::vector<RowColumnRange> ranges;
  LakeGrids grids;
  ReservoirSetting setting;
  std::string rulesFile;
  std::vector<Grid> owned;
  // stepRunoff of a routing model: the inflow concentration of tracer k at
  // column 1 is k.
  std::vector<std::vector<double>> runoffStore;
  std::vector<double*> runoff;
};

// Keys of a reservoir without tracers: its file in the rig's directory.
std::string reservoirKeys(const std::string& extra = "", double v0 = 0.0);
