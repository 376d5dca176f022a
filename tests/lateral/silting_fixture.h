#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/landuse_class.h"
#include "config/soil_class.h"
#include "lateral/siltingupclass.h"
#include "tests/submodel/submodel_fixture.h"

// The section of the silting-up model; `method` is the method line (empty:
// none), `table` the minimum-rain-pause table, `tail` what follows the
// readgrids flag.
struct SiltingSection {
  std::string method = "1  method";
  std::string table = "1 2 3  subbasin codes\n0.2 0.2 0.2  minimum rain pause [d]\n";
  std::string readGrids = "0  read control parameter for storage grids for";
  std::string tail;
  std::string text() const;
};

// A 4 x 3 grid on one process with three subbasins (codes 1 1 2 2 / 1 1 2 2
// / 3 3 3 nodata), soil 1 (sand 0.5, silt 0.3, clay 0.15, stones1 0.05) and
// land use 1 (tillage on days 100 and 200, no residue) in every cell,
// coverage 0.25, hourly steps.
struct SiltingSetup {
  explicit SiltingSetup(const std::string& name, const SiltingSection& section = {},
                        const std::vector<double>& zoneCodes = {1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 3,
                                                                -9999});
  // Builds the module (null on failure, with the code in errorCode) and
  // selects its water input.
  std::unique_ptr<siltingupclass> build(int interceptionFirst = 0);
  // Registers a grid of one value in the zone's cells, nodata outside.
  Grid addZoneGrid(const std::string& name, double value);
  Grid grid(const std::string& name) const;

  SubmodelSetup base;
  std::vector<soil_class> soils;
  std::vector<landuse_class> uses;
  std::vector<StatisticTableEntry> statistics;
  int errorCode = 0;
  Grid input = nullptr; // "precipitation"
};

// A soil record with the grain sizes and the ten silting parameters.
soil_class siltingSoil(const std::string& grains, const std::string& parameters = "");
// A land-use record with the tillage days ("" for none) and residue cover.
landuse_class siltingLanduse(const std::string& tillage, double residue = 0.0);
