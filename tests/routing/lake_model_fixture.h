#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/routing/routing_model_fixture.h"
#include "tests/test_decomposition.h"

// A routing model with a lake on this process's share of the ragged
// catchment (cells of 1 m): subbasin 1 is every cell, lake 1 the cells of
// rows 3 .. 6 and columns 5 .. 8 that lie inside, whose runs belong to
// several processes. The lake's bottoms rise by 1 cm a cell, its surface
// lies at 103 m; it starts with 20 m^3; every process holds "ponding_storage" and
// "real_transpiration0" over its own rows only.
struct LakeModelRun {
  explicit LakeModelRun(const std::string& name, const std::string& extraSections = "");
  ~LakeModelRun();

  bool isLake(long r, long c) const {
    return r >= 3 && r <= 6 && c >= 5 && c <= 8 && strips.owner[r][c] >= 0;
  }
  static double bottom(long r, long c) { return 100.0 + 0.01 * (r + c); }
  // Lake cells of the whole map, and the sum of their bottoms.
  long lakeCells() const;
  double bottomSum() const;
  // The soil's part: rain less transpiration [mm] on this process's wet
  // lake cells.
  void rainOnLake(double mm);
  void step(long k) { s.step(k); }
  // Rank 0's level, known to every process.
  double sharedLevel() const;
  // The largest deviation of an own lake cell's ponding from the level W.
  double pondingDeviation(double W) const;
  // NaN in the rows of other processes of the grids the set-up holds whole:
  // a lake that still read them would lose its cells.
  void spoilOtherRows();

  memory_handling memory;
  RoutingModelSetup s;
  StripModule strips;
  std::vector<GridRegistryEntry> registry;
  Grid ponding = nullptr;
  Grid transpiration = nullptr;
  long ownFirst = 1, ownLast = 0;
  GridHeader baseHeader;
};
