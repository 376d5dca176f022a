// What the unsaturated zone sets up for its outputs at construction: the
// zonal statistics, the single-point files of the control point, the option
// tag, the glacier zones and the start summary of the soil water.

#include <mpi.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>

#include "config/control_file_session.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/exact_sum.h"
#include "core/run_files.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

constexpr int pointFileCode = 62;
constexpr int logFileCode = 62;

const char* const hydraulicHeadFailure =
    "FATAL: error opening file for hydraulic head (single point) \n-> check disk space or user "
    "rights";

// A single-point file: its failure text, the name of its column block, the
// first level of the block and whether the block lists levels at all.
struct PointFileLayout {
  const char* failure;
  const char* block;
  int firstLevel;
};

const PointFileLayout pointLayouts[unsatPointFileCount] = {
    {hydraulicHeadFailure, "q_bottom", 1},
    {"FATAL: error opening file for soil theta (single point) \n-> check disk space or user rights",
     "theta", 1},
    {hydraulicHeadFailure, "hhyd", 1},
    {"FATAL: error opening file for other detail data (single point) \n-> check disk space or user "
     "rights",
     "otherdata", -1},
    {"FATAL: error opening file for transpiration/evaporation per layer (single point) \n-> check "
     "disk space or user rights",
     "etr", 0},
    {"FATAL: error opening file for interflow (single point) \n-> check disk space or user rights",
     "interflow_per_layer", 1}};

} // namespace

void unsatzonmodellklasse::createStatistics() {
  const int code = catchExitCode([&] {
    createStatistic(statGWSTAND, "groundwater level [m below surface] (GWSTAND)", 5);
    createStatistic(statGWN, "groundwater recharge per zone [mm] (GWN)", 5);
    createStatistic(statSB_1, "rel. soil moisture 0..root depth per zone ", 5);
    createStatistic(statSB_2, "abs. soil moisture 0..profile depth per zone ", 5);
    createStatistic(statROOT, "root depth [mm per zone] ", 5);
    createStatistic(statINFEX, "Infiltration excess [mm per zone]  ", 5);
    createStatistic(statQD, "direct discharge [mm per Zone] (QD)", 6);
    createStatistic(statQI, "Interflow [mm per zone]", 6);
    createStatistic(statQB, "base flow [mm per Zone]", 6);
    createStatistic(statQg, "total runoff [mm per zone] (sum of QB, QI und QD)", 6);
    createStatistic(statMACRO, "macropore_infiltration_per_zone_[mm] ", 6);
    createStatistic(statINFILT, "total_infiltration_per_zone_[mm] ", 6);
    if (settings.method == 3)
      createStatistic(statSUBSTEPS, "Number_of_Substeps_per_Time_Step[-] ", 6);
    if (isHeatTransferActive()) {
      settings.statistics[statTemper] = settings.heat.statistic;
      createStatistic(statTemper, "soil thaw depth [m] ", 5);
    }
  });
  shareExitCode(*diag, code);
}

// A statistic over the subbasins with records of its own, since every
// statistic sums into its records.
void unsatzonmodellklasse::createStatistic(UnsatStatistic which, const std::string& title,
                                           int decimals) {
  ModuleStatistic& s = statistics[which];
  s.records = zones.records;
  s.data = s.records.data();
  std::string file = settings.statistics[which].name;
  s.statistic =
      createZoneStatistic(&s.data, settings.statistics[which].code, decimals, file, title);
}

void unsatzonmodellklasse::createPointFiles() {
  const long row = settings.controlRow;
  const long column = settings.controlColumn;
  if (!ownsControlPoint()) return;
  for (int k = 0; k < unsatPointFileCount; ++k) {
    const PointFileLayout& layout = pointLayouts[k];
    OutputText text;
    FILE* file = text.file();
    bool written = true;
    if (file) {
      written = std::fprintf(file, "YY\tMM\tDD\tHH\t%s[%ld][%ld]", layout.block, row, column) > 0;
      if (layout.firstLevel < 0) {
        written = written && std::fputs("QD\tQI\tDELTAGW/QB\tQINF\tGWIN\tGWEX\tGWN\tUPRISE\tPERCOL"
                                        "\tMACR\tQDRAIN\tACT_POND\tINFEX\tGWST\tGWLEVEL\tROOT"
                                        "\tAlbedo\tRSE",
                                        file) >= 0;
        for (int l = 1; l <= landuseLayers; ++l)
          written =
              written && std::fprintf(file, "\tLAI_%d\tVCF_%d\tRSC_%d\tRSI_%d\tROOT_%d\tZ0_%d", l,
                                      l, l, l, l, l) > 0;
      } else {
        if (k == pointEtrDetail)
          written = written && std::fputs("(etr[0] is evaporation from first layer)", file) >= 0;
        for (int level = layout.firstLevel; level <= layers; ++level)
          written = written && std::fprintf(file, "[%d]\t", level) > 0;
      }
      written = written && std::fputs("\n", file) >= 0;
      written = written && createOutputFile(settings.pointFiles[k], text.text()) == 0;
    }
    if (!written) {
      *diag << layout.failure << "[end-entry]";
      throw pointFileCode;
    }
  }
  createTemperatureFile();
}

void unsatzonmodellklasse::buildOptionTag() {
  optionTag.clear();
  if (findGrid("flow_times") > 0) optionTag += "+ft,";
  if (irrigationCodes) optionTag += "+ir,";
  if (settings.interaction == 1) optionTag += "+srf1";
  if (settings.interaction > 1) optionTag += "+srf2,";
  if (drainageLevel) optionTag += "+dr,";
  if (clayLevel) optionTag += "+cl,";
  if (maxPonding) optionTag += "+po,";
}

// Every subbasin keeps how much of it is glacier, so that its runoff joins
// the glacier runoff; with glaciers whose extent follows their mass balance
// the water the soil gains or loses under them gets its own statistic.
void unsatzonmodellklasse::setUpGlaciers() {
  glacierIndex = findGlacierGrid();
  if (glacierIndex == 0) return;
  dynamicGlacier =
      glacierIndex == findGrid("GlacierizedCells", 1) && findGrid("GlacierMassBalance", 1) > 0;
  glacier = registry[glacierIndex].grid;
  if (dynamicGlacier) createImmobilisedStatistic();
  updateGlacierZones();
}

// Rank 0 holds the glacier grid whole.
void unsatzonmodellklasse::updateGlacierZones() {
  if (getFlowControl() == 0 || routingOnly || !glacier) return;
  glacierZones.assign(static_cast<size_t>(zones.zoneCount) + 1, GlacierZone{});
  if (mpiRank == 0) {
    const GridRegistryEntry& cells = registry[glacierIndex];
    const GridRegistryEntry& zoneEntry = registry[zones.gridIndex];
    const long first = std::max({registry[1].firstRow, cells.firstRow, zoneEntry.firstRow});
    const long last = std::min({registry[1].lastRow, cells.lastRow, zoneEntry.lastRow});
    for (long r = first; r <= last; ++r)
      for (long c = 1; c <= header.ncols; ++c) {
        if (zone[r][c] == header.nodata) continue;
        GlacierZone& z = glacierZones[static_cast<size_t>(zones.indexOf(zones.grid[r][c]))];
        // The codes 1 (ice) and 2 (firn) of static glaciers cover the cell.
        const double g = dynamicGlacier ? glacier[r][c] : std::min(glacier[r][c], 1.0);
        if (g > 0.0) {
          z.hasGlacier = true;
          z.glacierSum += g;
          z.freeSum += 1.0 - g;
        } else {
          z.freeSum += 1.0;
        }
      }
  }
  shareGlacierZones();
}

void unsatzonmodellklasse::createImmobilisedStatistic() {
  std::string& immo = settings.statistics[statImmo].name;
  immo = settings.statistics[statSB_2].name;
  const size_t dot = immo.rfind('.');
  immo.insert(dot == std::string::npos ? immo.size() : dot, "_immo");
  settings.statistics[statImmo].code = settings.statistics[statSB_2].code;
  shareExitCode(*diag, catchExitCode([&] {
    createStatistic(statImmo,
                    "immobilised or mobilised soil water by glacier resizing "
                    "0..profile depth per zone ",
                    5);
  }));
}

// Rank 0's records reach every process as {bool, double, double}.
void unsatzonmodellklasse::shareGlacierZones() {
  MPI_Datatype type = MPI_DATATYPE_NULL;
  MPI_Datatype fields = MPI_DATATYPE_NULL;
  const int lengths[3] = {1, 1, 1};
  const MPI_Aint offsets[3] = {offsetof(GlacierZone, hasGlacier), offsetof(GlacierZone, glacierSum),
                               offsetof(GlacierZone, freeSum)};
  const MPI_Datatype types[3] = {MPI_C_BOOL, MPI_DOUBLE, MPI_DOUBLE};
  checkMPI(*diag, MPI_Type_create_struct(3, lengths, offsets, types, &fields),
           "MPI_Type_create_struct");
  checkMPI(*diag, MPI_Type_create_resized(fields, 0, sizeof(GlacierZone), &type),
           "MPI_Type_create_resized");
  checkMPI(*diag, MPI_Type_commit(&type), "MPI_Type_commit");
  checkMPI(*diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier");
  const int result = MPI_Bcast(glacierZones.data(), static_cast<int>(glacierZones.size()), type, 0,
                               MPI_COMM_WORLD);
  MPI_Type_free(&type);
  MPI_Type_free(&fields);
  checkMPI(*diag, result, "MPI_Bcast");
}

// Soil water at the start: the control cell's column in its owner's log,
// the means over the unglacierised and the glacierised shares of the
// catchment in rank 0's.
void unsatzonmodellklasse::writeStartSummary() {
  int code = 0;
  if (ownsControlPoint()) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "soil water content (for control point r=%ld c=%ld) at model-start: %lf mm\n",
                  settings.controlRow, settings.controlColumn,
                  columnWater(settings.controlRow, settings.controlColumn));
    code = catchExitCode([&] { appendPlainLog(line); });
  }
  shareExitCode(*diag, code);
  writeMeanSoilWater("start");
}

double unsatzonmodellklasse::columnWater(long r, long c) const {
  const soil_class& soil = (*context.soilTable)[static_cast<size_t>(soilTypes[r][c])];
  double water = 0.0;
  for (int k = 1; k <= soil.getLayerCount(); ++k)
    water += theta[r][c][k] * soil.getThickness(k) * 1000.0;
  return water;
}

void unsatzonmodellklasse::writeMeanSoilWater(const char* moment) {
  const std::vector<soil_class>& table = *context.soilTable;
  // Unglacierised water, glacierised water, area: exact sums, alike on any
  // number of processes and threads.
  ExactSum sums[3];
  const double nodata = header.nodata;
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      if (!(zone[r][c] > 0.0) || !isOwnValidCell(r, c)) continue;
      const soil_class& soil = table[static_cast<size_t>(soilTypes[r][c])];
      const double g = glacier ? std::clamp(glacier[r][c], 0.0, 1.0) : 0.0;
      const double w = cellWeights && cellWeights[r][c] != nodata ? cellWeights[r][c] : 1.0;
      double water = 0.0;
      double saturated = 0.0;
      for (int k = 1; k <= soil.getLayerCount(); ++k) {
        water += theta[r][c][k] * soil.getThickness(k);
        saturated += soil.getThetaSat(k) * soil.getThickness(k);
      }
      sums[0].add(w * water * (1.0 - g));
      sums[1].add(w * saturated * g);
      sums[2].add(w);
    }
  const char* call = "";
  const int result = reduceExactSums(sums, 3, false, call);
  checkMPI(*diag, result, call);
  const double total[3] = {sums[0].value(), sums[1].value(), sums[2].value()};
  int code = 0;
  if (mpiRank == 0) {
    const double unglacierised = total[2] > 0.0 ? total[0] / total[2] : 0.0;
    const double glacierised = total[2] > 0.0 ? total[1] / total[2] : 0.0;
    char text[600];
    std::snprintf(text, sizeof text,
                  "mean soil water content for all cells at model-%s: %lf m^3/m^2\n"
                  "mean soil water content for unglacierized or only partly unglacierized cells "
                  "at model-%s: %lf m^3/m^2\n"
                  "mean soil water content for partly or completely glacierized cells at "
                  "model-%s: %lf m^3/m^2\n",
                  moment, unglacierised + glacierised, moment, unglacierised, moment, glacierised);
    code = catchExitCode([&] { appendPlainLog(text); });
  }
  shareExitCode(*diag, code);
}

void unsatzonmodellklasse::appendPlainLog(const std::string& text) {
  const std::string name = "modell_" + std::to_string(mpiRank) + ".log";
  if (appendOutputFile(name, text) == 0) return;
  *diag << "FATAL: error appending to the log file " << name << " of " << moduleName
        << "\n-> check disk space or user rights"
        << "[end-entry]";
  throw logFileCode;
}

void unsatzonmodellklasse::takeResponseUnitGrids() {
  if (context.hruFlag == 0) return;
  requireGrid("HydrologicResponseUnits");
  requireGrid("MasterHydrologicResponseUnits");
}
