#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/submodel/submodel_fixture.h"

// A model of 2 x 2 cells on one process for the modules of vertical/, its
// outputs in the test directory, and the grids a test registers for it.
struct TwoByTwoModel {
  TwoByTwoModel(const std::string& name, const std::string& controlText) : s(name, controlText) {
    s.context.header.nrows = s.context.header.lastRow = 2;
    s.context.header.ncols = 2;
    s.context.outputDirectory = s.log.directory + "/";
  }
  Grid add(const std::string& name, const std::function<double(long, long)>& f) {
    std::vector<double> values;
    for (long r = 1; r <= 2; ++r)
      for (long c = 1; c <= 2; ++c) values.push_back(f(r, c));
    return s.addGrid(name, values);
  }
  Grid add(const std::string& name, double value) {
    return add(name, [value](long, long) { return value; });
  }
  // One zone on rank 0 over every cell but (1, 1), which lies outside the
  // zone grid, on flat ground at the elevation.
  void addOneZone(double elevation) {
    s.context.zoneRecords = &zoneRecords;
    s.context.zoneRanks = &zoneRanks;
    s.context.zoneCount = 1;
    add("[zone_grid]", [](long r, long c) { return r == 1 && c == 1 ? -9999.0 : 1.0; });
    add("MPIRegions", 0.0);
    add("[elevation_model]", elevation);
  }
  Grid grid(const std::string& name) const {
    for (const GridRegistryEntry& e : s.registry)
      if (e.hasName && e.name == name) return e.grid;
    return nullptr;
  }

  SubmodelSetup s;
  std::vector<ZoneRecord> zoneRecords = {ZoneRecord{0, 0, 1, 1, 0}, ZoneRecord{0, 0, 1, 1, 0}};
  std::vector<int> zoneRanks = {0, 1};
};
