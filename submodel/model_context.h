#pragma once

#include <string>
#include <vector>

#include "config/irrigation_table.h"
#include "config/landuse_class.h"
#include "config/multilayer_landuse_class.h"
#include "config/river_links.h"
#include "config/soil_class.h"
#include "config/tracer_ini_class.h"
#include "core/grid_registry.h"
#include "core/grid_types.h"
#include "core/statistic_table.h"

class DiagStream;

// Entries of the statistics table that the driver owns and hands to every
// module.
constexpr long statisticTableEntries = 1000;

// The master cell of one spin-up hydrologic response unit: the cell whose
// state the other cells of the unit copy, on any process.
struct HRUMasterCell {
  long row = 0;
  long column = 0;
};

// The options "-dumpmode[:<max dump files>]", "-closeAfterDump" and
// "-repairAfterDump", in the order the modules' setDumpMode takes them.
struct DumpOptions {
  int dumpMode = 0;
  int closeAfterDump = 0;
  int repairAfterDump = 0;
  long maxDumpFiles = 0; // 0: no limit
};

// What every module needs of the run, filled once by the driver after the
// set-up and handed by const reference to every module it builds. Pointers
// refer to data the driver or the control-file reader owns for the whole
// run; nothing here copies a grid. A null pointer means "none".
struct ModelContext {
  // The value of pi the model's formulas are written with.
  static constexpr double pi = 3.141592653;

  // --- log and control file ---------------------------------------------------
  DiagStream* diag = nullptr;
  std::string controlFileName; // the preprocessed ".intern" copy
  bool routingOnly = false;    // "-mode:"

  // --- output -----------------------------------------------------------------
  bool writeAsciiGrids = false;
  bool writeDoubleGrids = false;
  bool writeNetCDFGrids = false;
  std::string inputDirectory;  // "InitialStateDirectory": prefix of read files
  std::string outputDirectory; // "DefaultOutputDirectory": prefix of written files
  unsigned outputInterval = 0; // hours between two model-time lines
  // Subbasin codes of "[output_list]", ascending, for the statistics of
  // listed zones (statistic modes 5 and 6).
  const std::vector<int>* outputList = nullptr;

  // --- MPI decomposition --------------------------------------------------------
  const std::vector<long>* cellsPerProcess = nullptr;
  const std::vector<HaloStrip>* haloSendList = nullptr;
  const std::vector<HaloStrip>* haloReceiveList = nullptr;
  // River links (largest first) and the link cells by owner, for the
  // re-infiltration of the unsaturated zone.
  const RiverLinkList* riverLinks = nullptr;
  const LinkCellTable* localLinkCellsByOwner = nullptr;
  const LinkCellTable* ownedLinkCellsByProcess = nullptr;

  // --- spin-up hydrologic response units ----------------------------------------
  // Set on runs with units; their grids are the registry grids
  // "HydrologicResponseUnits" and "MasterHydrologicResponseUnits".
  int hruFlag = 0;
  // The units with the master cell of each, indexed by unit number.
  const std::vector<HRUMasterCell>* hruMasterCells = nullptr;
  // Counts the moves of master cells off glaciers; the copies of the units
  // are built anew after each.
  const unsigned* hruMasterMoves = nullptr;

  // --- grid store ---------------------------------------------------------------
  GridRegistryEntry* registry = nullptr;    // 1001 entries; entry 1 the zone grid
  GridHeader header;                        // with this process's first and last row
  RowColumnRange* rowColumnRange = nullptr; // rows 0 .. nrows
  Grid cellWeights = nullptr;               // "RelCellArea"
  double maxElevation = 0.0;                // highest cell of the elevation model

  // --- zone and region ranking of the zone grid -----------------------------------
  int zoneCount = 0;
  int maxZoneCode = 0;
  const std::vector<int>* zoneRanks = nullptr;          // rank of codes 0 .. maxZoneCode
  const std::vector<ZoneRecord>* zoneRecords = nullptr; // 0 .. zoneCount
  int regionCount = 0;
  int maxRegionCode = 0;
  const std::vector<int>* regionRanks = nullptr;
  const std::vector<RegionCentre>* regionCentres = nullptr; // 0 .. regionCount

  // --- model time -----------------------------------------------------------------
  ModelDate startDate;
  ModelDate endDate;
  long endMinuteIndex() const { return endDate.minuteIndex(); }
  // min_to_int_end: minutes from the hour stamp of the meteorological data to
  // the end of the time step.
  double minToIntEnd = 0.0;
  double minToIntEndHours() const { return minToIntEnd / 60.0; }
  double stepHours = 0.0;   // the model's time step
  double stepsPerDay = 0.0; // 24 / stepHours
  int monthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

  // --- place ("[coordinates]", degrees) ---------------------------------------------
  double latitude = 0.0;
  double longitude = 0.0;
  double referenceMeridian = 0.0;
  // Shift of the data time to the local time, hours; added to the clock hour
  // for the sun's position.
  double hourShift = 0.0;

  // --- parameter tables (record 0 holds the count) ------------------------------------
  const std::vector<landuse_class>* landuseTable = nullptr;
  const std::vector<soil_class>* soilTable = nullptr;
  const IrrigationTable* irrigationTable = nullptr;
  const std::vector<multilayer_landuse_class>* multilayerTable = nullptr;
  int landuseLayerCount = 1;

  // --- tracers and statistics ---------------------------------------------------------
  int tracerCount = 0;
  // Records 1 .. tracerCount of "[substance_transport]"; the modules write
  // their decay factors into them.
  std::vector<TracerRecord>* tracerTable = nullptr;
  StatisticTableEntry* statisticTable = nullptr;
  long statisticTableSize = statisticTableEntries;

  // --- settings the driver passes on ----------------------------------------------------
  int interceptionFirst = 0; // 1 when the interception method is above 10
  DumpOptions dumpOptions;
};
