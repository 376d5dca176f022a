#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "config/tracer_ini_class.h"
#include "routing/sp_class.h"
#include "tests/config/captured_log.h"

// Reservoirs and lakes outside a routing model: a grid of 4 x 3 cells of
// 100 m in subbasin 1 (zone code 1, its column 1), whose lake cells the test
// lists, a control file of rule sections and a captured log.
struct ReservoirRig {
  explicit ReservoirRig(const std::string& name, int tracers = 0, int stepMinutes = 60);

  // A reservoir from its text in the routing description (behind "SP" and
  // its number) and, unless empty, the text of its rule section. With
  // `lake` it lies on the rig's grids.
  std::unique_ptr<SP_class> make(int number, const std::string& keys, const std::string& rules,
                                 bool lake = false);
  // Lists the cells with a lake code, row by row, with their elevation [m],
  // maximum ponding [mm] and zone code; the values run over all 12 cells.
  void lakeCells(const std::vector<double>& codes, const std::vector<double>& elevation,
                 const std::vector<double>& maxPonding,
                 const std::vector<double>& zones = std::vector<double>(12, 1.0));
  // The ponding [mm] of a listed cell.
  double& ponding(long r, long c);
  // The top concentration of tracer k at a listed cell.
  double& tracer(int k, long r, long c);
  std::size_t cellIndex(long r, long c) const;
  std::string path(const std::string& name) const { return setting.outputDirectory + name; }

  CapturedLog log;
  std::vector<TracerRecord> tracers;
  std::vector<int> zoneIndex{0, 1, 2};
  LakeCells cells;
  ReservoirSetting setting;
  std::string rulesFile;
  // stepRunoff of a routing model: the inflow concentration of tracer k at
  // column 1 is k.
  std::vector<std::vector<double>> runoffStore;
  std::vector<double*> runoff;
};

// Keys of a reservoir without tracers: its file in the rig's directory.
std::string reservoirKeys(const std::string& extra = "", double v0 = 0.0);
