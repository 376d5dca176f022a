// Set-up of the glacier and permafrost models of the snow model: their
// sections, the checks of the glacier grids, the statistics, the glacier
// grids with the start profile of the firn and the glacier list.
#include <mpi.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include "config/control_file_session.h"
#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/line_reader.h"
#include "core/string_helpers.h"
#include "snow/schneemodellklasse.h"

namespace {

constexpr int glacierCode = 80;
constexpr int nameCode = 103;
constexpr int closeCode = 11;

} // namespace

// Lines 16 to 22 of "[ice_firn]".
const std::vector<schneemodellklasse::OutputLine> schneemodellklasse::glacierMeltLines = {
    {firnMeltGrid, firnMeltSeries, "name of the firn grid for ", "write code for firn grid for ",
     "name of the qfirn-statistic-file for "},
    {iceMeltGrid, iceMeltSeries, "name of the ice grid for ", "write code for ice grid for ",
     "name of the qice-statistic-file for "},
    {iceMeltGrid, glacierRunoffSeries, nullptr, nullptr, "name of the qglac-statistic-file for "}};

// Lines 28 to 36.
const std::vector<schneemodellklasse::OutputLine> schneemodellklasse::glacierBalanceLines = {
    {firnTotalGrid, firnSeries, "name of the firn stack for ", "write code for the firn stack in ",
     "name of the firn-statistic-file for "},
    {massBalanceGrid, massBalanceSeries, "name of the glacier mass balance grid for ",
     "write code for glacier mass balance grid in ", nullptr},
    {oldMassBalanceGrid, massBalanceSeries,
     "name of the glacier mass balance grid (old reference) for ",
     "write code for glacier mass balance grid (old reference) in ",
     "name of the glacier mass balance statistics file (1) for "},
    {oldMassBalanceGrid, glacierMassBalanceSeries, nullptr, nullptr,
     "name of the glacier mass balance statistics file (2) for "}};

// Lines 38 to 52.
const std::vector<schneemodellklasse::OutputLine> schneemodellklasse::glacierSnowLines = {
    {glacierSolidGrid, snowWithoutGlacierSeries, nullptr, nullptr,
     "name of the snow statistics for snow on glacier for "},
    {glacierSolidGrid, seriesCount,
     "name of the snow storage grid (solid fraction of WE, glacierized fraction of cell) for ",
     "write code for snow storage grid (solid fraction of WE, glacierized fraction of cell) in ",
     nullptr},
    {glacierLiquidGrid, seriesCount,
     "name of the snow storage grid (liquid fraction of WE, glacierized fraction of cell) for ",
     "write code for snow storage grid (liquid fraction of WE, glacierized fraction of cell) in ",
     nullptr},
    {glacierTotalGrid, seriesCount,
     "name of the snow storage grid (total on glacierized fraction of cell) for ",
     "write code for snow storage grid (total on glacierized fraction of cell) in ", nullptr},
    {glacierSnowMeltGrid, seriesCount,
     "name of the snow snow melt grid (incl. rain, total on glacierized fraction of cell) for ",
     "write code for snow melt grid (incl. rain, total on glacierized fraction of cell) in ",
     nullptr},
    {glacierSurfaceTemperatureGrid, seriesCount,
     "name of the snow surface temperature grid (incl. rain, total on glacierized fraction of "
     "cell) for ",
     "write code for snow surface temperature  (incl. rain, total on glacierized fraction of "
     "cell) in ",
     nullptr},
    {glacierSnowTemperatureGrid, seriesCount,
     "name of the snow temperature grid (incl. rain, total on glacierized fraction of cell) for ",
     "write code for snow temperature grid (incl. rain, total on glacierized fraction of cell) "
     "in ",
     nullptr},
    {glacierEvaporationGrid, seriesCount,
     "name of the snow evaporation grid (incl. rain, total on glacierized fraction of cell) for ",
     "write code for snow evaporation grid (incl. rain, total on glacierized fraction of cell) "
     "in ",
     nullptr}};

void schneemodellklasse::setUpGlaciers() {
  ControlFileSession session(controlFile);
  session.openOrFail(controlFileName, *diag);
  seekSection("[ice_firn]", true);
  readControlValue(controlFile, "%d", glacier.method, "Glacier-Method for ");
  const int m = glacier.method;
  if (m != 1 && m != 2 && m != 11 && m != 12 && m != 13) {
    *diag << "FATAL: \n-----------Fatal Error:----------\nGlacier-Method " << m
          << " of [ice_firn] in " << userControlFile(controlFileName)
          << " is not known: the method for glacier melt must be 1(resp "
             "11 for dynamic model; t-index)\n or 2 (resp. 12 for dynamic model; t-index with "
             "correction by radiation) or 13 (dynamic glaciers with T-Index for ice and firn and "
             "the melt method used for snow as in the snow model)"
          << "[end-entry]";
    throw glacierCode;
  }
  const int debrisIndex = findGrid("debris_on_glaciers", 1);
  debris = debrisIndex > 0 ? registry[debrisIndex].grid : nullptr;
  if (glacier.dynamic()) {
    fullGridOnRoot = true;
    glacierGridIndex = requireGrid("GlacierizedCells");
    glacierCodesIndex = requireGrid("GlacierCodes");
    glacierCodes = registry[glacierCodesIndex].grid;
  } else {
    glacierGridIndex = requireGrid("ice_firn");
  }
  glacierGrid = registry[glacierGridIndex].grid;
  for (const int index : {glacierGridIndex, glacierCodesIndex})
    builtOnceFrom(index, "the snow model builds the glaciers of every subbasin from it at set-up "
                         "(dynamic glaciers then change it themselves)");
  // Rank 0 slides snow on the glaciers and moves dynamic glaciers over every
  // row; static glaciers need every row only here.
  if (fullGridOnRoot) {
    registry[glacierGridIndex].wholeOnRoot = true;
    if (glacierCodesIndex > 0) registry[glacierCodesIndex].wholeOnRoot = true;
  }
  // Rank 0 alone holds the whole grids; the others wait in the next
  // collective call.
  if (glacier.dynamic())
    shareExitCode(*diag, mpiRank == 0 ? catchExitCode([&] { checkGlacierGrids(); }) : 0);
  readIceFirnSection();
  if (!session.close()) {
    *diag << "FATAL: cannot close " << controlFileName << "[end-entry]";
    throw closeCode;
  }
  checkGlacierParameters();
  createGlacierStatistics();
  snowRadiationMean = (glacier.aSnowMin + glacier.aSnowMax) / 2.0;
  snowRadiationAmplitude = (glacier.aSnowMax - glacier.aSnowMin) / 2.0;
  iceRadiationMean = (glacier.aIceMin + glacier.aIceMax) / 2.0;
  iceRadiationAmplitude = (glacier.aIceMax - glacier.aIceMin) / 2.0;
  if (glacier.withRadiation()) {
    const int clearSky = findGrid("Ieff_max", 1);
    glacierRadiation = registry[clearSky > 0 ? clearSky : requireGrid("global_radiation")].grid;
  }
  if (mpiRank == 0) glacierBasins = glacierList.subbasinTable(glacierField(), zones.zoneCount);
  shareGlacierSubbasins();
}

// Rank 0, whole grids: some glacierized cell, a code for each, and codes
// inside the subbasins.
void schneemodellklasse::checkGlacierGrids() {
  const GlacierField field = glacierField();
  bool glacierized = false;
  bool coded = false;
  for (long r = 1; r <= field.nrows; ++r)
    for (long c = 1; c <= field.ncols; ++c) {
      if (zone[r][c] == header.nodata) continue;
      const double g = glacierGrid[r][c];
      if (g > 0.0) glacierized = true;
      if (g > 0.0 && glacierCodes[r][c] == header.nodata) {
        *diag << "FATAL: \n-----------Fatal Error:----------\nThere is a cell in the "
                 "GlacierizedCells-grid having no valid value in \nGlacierCodes (must be an "
                 "integer ID for each separate glacier) at row "
              << r << " and col " << c << "[end-entry]";
        throw glacierCode;
      }
      if (field.valid(r, c) && glacierCodes[r][c] > 0.0) coded = true;
    }
  if (!glacierized) {
    *diag << "FATAL: \n-----------Fatal Error:----------\nThere are no glacierized cells in "
             "GlacierizedCells-grid (all nodata or equal to 0)!"
          << "[end-entry]";
    throw glacierCode;
  }
  if (!coded) {
    *diag << "FATAL: \n----------- Fatal Error: ----------\nThe GlacierCodes grid ("
          << registry[glacierCodesIndex].fileName << ")contains nodata values only. \n"
          << "Dynamic glacier modelling will not be possible without \n"
          << "distinct glacier codes for each glacier"
          << "[end-entry]";
    throw glacierCode;
  }
}

void schneemodellklasse::readIceFirnSection() {
  auto value = [&](double& target, const char* label) {
    readControlValue(controlFile, "%lf", target, label);
  };
  GlacierSettings& s = glacier;
  value(s.ddfIce, "DDFice  for ");
  value(s.ddfFirn, "DDFfirn for ");
  value(s.ddfSnow, "DDFsnow for ");
  value(s.mf, "MF  for ");
  value(s.aIceMin, "Aice_min for ");
  value(s.aIceMax, "Aice_max for ");
  value(s.aSnowMin, "Asnow_min for ");
  value(s.aSnowMax, "Asnow_max for ");
  value(s.kIce, "kice_els for ");
  value(s.kFirn, "kfirn_els ");
  value(s.kSnow, "ksnow_els for ");
  double start[3] = {0.0, 0.0, 0.0};
  value(start[0], "initial Qice_els for ");
  value(start[1], "initial Qfirn_els ");
  value(start[2], "initial Qsnow_els for ");
  const size_t n = static_cast<size_t>(zones.zoneCount) + 1;
  qIceEls.assign(n, start[0]);
  qFirnEls.assign(n, start[1]);
  qSnowEls.assign(n, start[2]);
  readOutputLines(glacierMeltLines);
  if (glacier.dynamic()) {
    readDynamicLines();
    return;
  }
  // The snow melt on the glaciers beside the total glacier melt.
  const SnowSeries& total = series[glacierRunoffSeries];
  const size_t dot = total.file.rfind('.');
  if (dot == std::string::npos) {
    *diag << "FATAL: the qglac-statistic-file \"" << total.file << "\" of [ice_firn] in "
          << userControlFile(controlFileName)
          << " has no extension; the statistics of the snow melt on the "
          << "glaciers are named after it with \"_qsgl_\" before the extension, so give the file "
          << "one, e.g. " << total.file << ".stat"
          << "[end-entry]";
    throw nameCode;
  }
  series[glacierSnowMeltSeries].file =
      total.file.substr(0, dot) + "_qsgl_" + total.file.substr(dot);
  series[glacierSnowMeltSeries].code = total.code;
}

void schneemodellklasse::readDynamicLines() {
  GlacierSettings& s = glacier;
  readControlValuePair(controlFile, "%s%d", series[glacierSnowMeltSeries].file,
                       series[glacierSnowMeltSeries].code,
                       "name of the qSnowOnGlac-statistic-file for ");
  readControlValue(controlFile, "%d", s.readGrids, "read grid parameter for glacier model ");
  std::vector<double> v;
  readUnlabelledLine("Could not read the three parameters firn_levels (int),\n"
                     "firn_base (double), and deltafirnper100m (double)  \n"
                     "for dynamic glacier modelling ",
                     v, 3);
  s.firnLevels = static_cast<int>(v[0]);
  s.firnBase = v[1];
  s.deltaFirnPer100m = v[2];
  readUnlabelledLine("Could not read the two parameters GMBEvalDay (int 1...31)\n"
                     "and GMBEvalMonth (int 1..12) for dynamic glacier modelling ",
                     v, 2);
  s.evalDay = static_cast<int>(v[0]);
  s.evalMonth = static_cast<int>(v[1]);
  readUnlabelledLine("Could not read the four parameters VAscaling, VAexponent, numElevBands and "
                     "extraWeightFactorBand0\nfor Volume-Area-Relation in dynamic glacier "
                     "modelling ",
                     v, 4);
  s.list.vaScaling = v[0];
  s.list.vaExponent = v[1];
  s.list.numElevBands = static_cast<int>(v[2]);
  s.list.extraWeightBand0 = static_cast<int>(v[3]);
  readOutputLines(glacierBalanceLines);
  readControlValue(
      controlFile, "%lf", s.debrisScaling,
      "global debris scaling factor (requirede when using a debris_on_glaciers grid) ");
  readOutputLines(glacierSnowLines);

  std::string line;
  const bool read = readLine(controlFile, line) == LineRead::line;
  const std::vector<std::string> words = splitWords(line);
  double pack = 0.0, size = 0.0;
  if (read && words.size() >= 2 && parseNumber(words[0], pack) && parseNumber(words[1], size)) {
    s.maxSnowPackToCreateGlacier = pack;
    s.list.relSizeNewGlacier = size;
    return;
  }
  *diag << "WARNING: \n------------- warning: -------------\n"
        << "Could not read the two optional parameters maxSnowPackToCreateGlacier (double),\n"
        << "and relSizeNewGlacier (double) for dynamic glacier modelling that will be used for "
           "creating new glaciers\n"
        << "Setting default values of 1000 and 0.25, i.e. 1000 mm SWE will rmain on a cell that "
           "is partly glacierized already, the rest is put into the glacier.\n"
        << "For cells with no existing glacier, the amount > 1000 will be used to create a "
           "glacier that encompasses 25% of the cell"
        << "[end-entry]";
}

// count numbers at the start of the next line; the rest is comment.
void schneemodellklasse::readUnlabelledLine(const char* what, std::vector<double>& values,
                                            size_t count) {
  std::string line;
  const bool read = readLine(controlFile, line) == LineRead::line;
  const std::vector<std::string> words = splitWords(line);
  values.assign(count, 0.0);
  bool ok = read && words.size() >= count;
  for (size_t k = 0; ok && k < count; ++k) ok = parseNumber(words[k], values[k]);
  if (ok) return;
  *diag << "FATAL: \n------------- Fatal Error: -------------\n" << what << "[end-entry]";
  throw glacierCode;
}

// Values that would divide by zero or never let the balance run.
void schneemodellklasse::checkGlacierParameters() {
  // description: under which the value was read, for its line.
  auto require = [&](bool ok, const char* name, double value, const char* rule,
                     const char* description = "") {
    if (ok) return;
    *diag << "FATAL: " << name << " of [ice_firn] in " << userControlFile(controlFileName)
          << lineOfValue(description) << " is " << value << "; " << rule << "[end-entry]";
    throw glacierCode;
  };
  const GlacierSettings& s = glacier;
  // Melt and radiation factors below 0 would freeze water into ice and
  // snow; a negative start storage is water that never was. The upper
  // bounds lie far above any glacier's, but melt a glacier in one step.
  const struct {
    const char* name;
    double value, highest;
    const char* rule;
    const char* description;
  } bounded[] = {
      {"DDFice", s.ddfIce, 100.0, "give 0 ... 100 (mm/K/day)", "DDFice  for "},
      {"DDFfirn", s.ddfFirn, 100.0, "give 0 ... 100 (mm/K/day)", "DDFfirn for "},
      {"DDFsnow", s.ddfSnow, 100.0, "give 0 ... 100 (mm/K/day)", "DDFsnow for "},
      {"MF", s.mf, 100.0, "give 0 ... 100", "MF  for "},
      {"Aice_min", s.aIceMin, 1.0, "give 0 ... 1", "Aice_min for "},
      {"Aice_max", s.aIceMax, 1.0, "give 0 ... 1", "Aice_max for "},
      {"Asnow_min", s.aSnowMin, 1.0, "give 0 ... 1", "Asnow_min for "},
      {"Asnow_max", s.aSnowMax, 1.0, "give 0 ... 1", "Asnow_max for "},
      {"initial Qice_els", qIceEls[0], 10000.0, "give 0 ... 10000", "initial Qice_els for "},
      {"initial Qfirn_els", qFirnEls[0], 10000.0, "give 0 ... 10000", "initial Qfirn_els "},
      {"initial Qsnow_els", qSnowEls[0], 10000.0, "give 0 ... 10000", "initial Qsnow_els for "}};
  for (const auto& b : bounded)
    require(b.value >= 0.0 && b.value <= b.highest, b.name, b.value, b.rule, b.description);
  const struct {
    const char* name;
    double value;
    const char* description;
  } storageConstants[] = {{"the storage constant kice_els", s.kIce, "kice_els for "},
                          {"the storage constant kfirn_els", s.kFirn, "kfirn_els "},
                          {"the storage constant ksnow_els", s.kSnow, "ksnow_els for "}};
  for (const auto& k : storageConstants)
    require(k.value > 0.0 && k.value <= 10000.0, k.name, k.value,
            "give it in hours, above 0 and at most 10000", k.description);
  if (!s.dynamic()) return;
  require(s.firnLevels >= 0, "firn_levels", s.firnLevels, "give 0 or more firn layers");
  require(s.evalDay >= 1 && s.evalDay <= 31, "GMBEvalDay", s.evalDay, "give a day from 1 to 31");
  require(s.evalMonth >= 1 && s.evalMonth <= 12, "GMBEvalMonth", s.evalMonth,
          "give a month from 1 to 12");
  require(s.list.vaScaling > 0.0, "VAscaling", s.list.vaScaling,
          "the volume-area relation needs a factor above 0");
  require(s.list.vaExponent > 0.0, "VAexponent", s.list.vaExponent,
          "the volume-area relation needs an exponent above 0");
  require(s.list.numElevBands > 0, "numElevBands", s.list.numElevBands,
          "give at least one elevation band");
  require(s.list.relSizeNewGlacier > 0.0 && s.list.relSizeNewGlacier <= 1.0, "relSizeNewGlacier",
          s.list.relSizeNewGlacier, "a new glacier covers a share of its cell above 0 and up to 1");
}

void schneemodellklasse::createGlacierStatistics() {
  const int failure = catchExitCode([&] {
    createSeries(firnMeltSeries, "glacier_melt_from_firn_areas__", 5);
    createSeries(iceMeltSeries, "glacier_melt_from_ice_areas__", 5);
    createSeries(glacierSnowMeltSeries, "snow_melt_from_ice_areas__", 5);
    createSeries(glacierRunoffSeries, "glacier_melt_total(firn+ice)__", 5);
    if (!glacier.dynamic()) return;
    createSeries(snowWithoutGlacierSeries, "snow_storage_in_mm_WITHOUT_GLACIERS_", 3);
    createSeries(firnSeries, "WE_in_firn_[mm_per_subbasin]", 4);
    createSeries(massBalanceSeries, "glacier_mass_balance_[mm_per_subbasin]", 5);
    createSeries(glacierMassBalanceSeries, "glacier_mass_balance_[mm_GlacierPartOfSubbasin]", 5);
  });
  shareExitCode(*diag, failure);
}

// Rank 0's table reaches every process as records of {bool, double, double}.
void schneemodellklasse::shareGlacierSubbasins() {
  glacierBasins.resize(static_cast<size_t>(zones.zoneCount) + 1);
  MPI_Datatype fields = MPI_DATATYPE_NULL;
  MPI_Datatype type = MPI_DATATYPE_NULL;
  const int lengths[3] = {1, 1, 1};
  const MPI_Aint offsets[3] = {offsetof(GlacierSubbasin, hasGlacier),
                               offsetof(GlacierSubbasin, glacierArea),
                               offsetof(GlacierSubbasin, freeArea)};
  const MPI_Datatype types[3] = {MPI_C_BOOL, MPI_DOUBLE, MPI_DOUBLE};
  checkMPI(*diag, MPI_Type_create_struct(3, lengths, offsets, types, &fields),
           "MPI_Type_create_struct of the glacier subbasins");
  checkMPI(*diag, MPI_Type_create_resized(fields, 0, sizeof(GlacierSubbasin), &type),
           "MPI_Type_create_resized of the glacier subbasins");
  checkMPI(*diag, MPI_Type_commit(&type), "MPI_Type_commit of the glacier subbasins");
  checkMPI(*diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier before the glacier subbasins");
  const int result = MPI_Bcast(glacierBasins.data(), static_cast<int>(glacierBasins.size()), type,
                               0, MPI_COMM_WORLD);
  MPI_Type_free(&type);
  MPI_Type_free(&fields);
  checkMPI(*diag, result, "MPI_Bcast of the glacier subbasins");
}

GlacierField schneemodellklasse::glacierField() {
  GlacierField f;
  f.nrows = header.nrows;
  f.ncols = header.ncols;
  f.nodata = header.nodata;
  f.cellSize = header.cellsize;
  f.zone = zone;
  f.subbasins = &zones;
  f.elevation = elevation;
  f.fraction = glacierGrid;
  f.codes = glacierCodes;
  f.fractionOld = own(glacierizedOldGrid);
  f.codesOld = own(codesOldGrid);
  f.massBalance = own(massBalanceGrid);
  f.massBalanceOld = own(oldMassBalanceGrid);
  f.firnTotal = own(firnTotalGrid);
  f.firn = firnStack;
  f.firnLevels = glacier.firnLevels;
  return f;
}
