#pragma once

#include <string>
#include <vector>

#include "config/irrigation_table.h"
#include "core/grid_types.h"

class landuse_class;
class soil_class;
class multilayer_landuse_class;

// The settings the driver takes over from the control-file reader once its
// set-up is done. Tables and strip lists stay owned by the reader until its
// teardown; the driver hands their addresses to every module.
struct GlobalParameters {
  std::string controlFileName; // the ".intern" copy
  int outputInterval = 0;
  int secondOutputSwitch = 0;
  int thirdOutputSwitch = 0;
  double minToIntEnd = 0.0; // minutes
  int timeStep = 0;
  int meteoCount = 0;
  double latitude = 0.0;
  double longitude = 0.0;
  double referenceMeridian = 0.0;
  double timeShift = 0.0;
  std::vector<std::string> meteoNames; // variable k at k - 1
  std::vector<int> outputList;
  int gridCount = 0; // the reader's grids: entries 3 .. gridCount + 2

  // Zone ranking.
  const std::vector<ZoneRecord>* zoneRecords = nullptr;
  const std::vector<int>* zoneRanks = nullptr;
  RowColumnRange* columnRanges = nullptr; // rows 0 .. nrows
  int zoneCount = 0;
  int maxZoneCode = 0;

  // Region ranking.
  int regionCount = 0;
  int maxRegionCode = 0;
  const std::vector<int>* regionRanks = nullptr;
  const std::vector<RegionCentre>* regionCentres = nullptr;

  GridHeader header;
  ModelDate startDate;
  ModelDate endDate;

  // Parameter tables (record 0 holds the count); no multilayer table is an
  // empty vector.
  std::vector<landuse_class>* landuseTable = nullptr;
  std::vector<soil_class>* soilTable = nullptr;
  const IrrigationTable* irrigationTable = nullptr;
  std::vector<multilayer_landuse_class>* multilayerTable = nullptr;
  int landuseLayerCount = 0;

  bool writeAsciiGrids = false;
  bool writeDoubleGrids = false;
  bool writeNetCDFGrids = false;
  std::string inputDirectory;
  std::string outputDirectory;

  const std::vector<long>* cellsPerProcess = nullptr;
  const std::vector<HaloStrip>* haloSendList = nullptr;
  const std::vector<HaloStrip>* haloReceiveList = nullptr;
};
