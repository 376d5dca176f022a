// The configuration of the unsaturated zone: "[unsatzon_model]" with the
// per-subbasin table, and the optional sections after it.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <variant>

#include "config/control_file_session.h"
#include "config/section_reader.h"
#include "core/control_file_lines.h"
#include "core/control_file_text.h"
#include "core/diag_stream.h"
#include "core/run_files.h"
#include "core/string_helpers.h"
#include "soil/unsatzonmodellklasse.h"
#include "submodel/subbasin_table.h"

namespace {

constexpr int controlPointRowCode = 8;
constexpr int controlPointColumnCode = 9;
constexpr int closeCode = 11;
constexpr int settingCode = 17;
constexpr int methodCode = 91;

// One positional value of a section: its label in messages, the scan format
// and where it goes. A statistics line holds a file name and a code ("%s%d").
struct ControlEntry {
  std::string label;
  std::variant<int*, long*, double*, std::string*, StatisticFile*> target;
};

const char* const statisticLabels[] = {"QDRAIN", "GWSTAND", "GWN",   "SB_1_", "SB_2_", "ROOT",
                                       "INFEX",  "POND",    "QD",    "QI",    "QB",    "Qg",
                                       "GWIN",   "GWEX",    "MACRO", "INFILT"};
// The grid lines and whether each names a stack.
struct GridLabel {
  const char* name;
  bool stack;
};
const GridLabel gridLabels[] = {{"SB05", false},
                                {"SB1_", false},
                                {"WURZ", false},
                                {"Theta", true},
                                {"hh", true},
                                {"hgeo", true},
                                {"q_unten", true},
                                {"GWSTAND", false},
                                {"GWtheta", false},
                                {"GWN", false},
                                {"GWLEVEL", false},
                                {"QDRAIN", false},
                                {"saturation", false},
                                {"infiltration excess", false},
                                {"QD", false},
                                {"QI", false},
                                {"DELTAGW", false},
                                {"GWIN", false},
                                {"GWEX", false},
                                {"POND", false},
                                {"GWN-Uprise", false},
                                {"GWN-PERCOL", false},
                                {"MACROPORE-Infiltration", false},
                                {"IRRIG", false}};
const char* const pointLabels[] = {"Qbottom",   "Theta",      "hhyd",
                                   "Otherdata", "etr-detail", "interflow"};
const char* const heatConstantKeys[HeatTransferSettings::constantCount] = {
    "dTModLowBoundBase",  "dTModLapseRate",   "dTModCDrySoil",
    "dTModRhoDrySoil",    "dTModLamDrySoil",  "dTModKmin",
    "dTModLamWat",        "dTModLamIce",      "dTModCWater",
    "dTModCIce20",        "dTModCIce0",       "dTModLatHeat",
    "dTModRhoWater",      "dTModFactor",      "dTModSEForStat",
    "dTModShortestStep",  "dTModLongestStep", "dTModNFactorFreezing",
    "dTModNFactorThawing"};
const char* const parameterNames[] = {"kelsqd",   "kelsqi",        "channel network density",
                                      "kelsqlat", "QB-Red.Faktor", "SnowRunoff_fraction"};

// Entries 1 .. 78 of "[unsatzon_model]" but the control point.
std::vector<ControlEntry> leadingEntries(UnsatzonSettings& s) {
  std::vector<ControlEntry> e = {{" methode of ", &s.method},
                                 {" surface water interaction parameter of ", &s.interaction},
                                 {" pond parameter of ", &s.pond},
                                 {" drainage parameter of ", &s.drainage},
                                 {" clay parameter ", &s.clay},
                                 {" k_sat. for clay  ", &s.clayKsat},
                                 {" ini_gw_level  ", &s.initialTableDivisor}};
  for (int k = statQDRAIN; k <= statINFILT; ++k)
    e.push_back(
        {std::string("name of the ") + statisticLabels[k] + "statfiles in ", &s.statistics[k]});
  for (int k = lineSB05; k <= lineIRRIG; ++k) {
    const GridLabel& g = gridLabels[k];
    if (g.stack) {
      e.push_back({std::string("name of the ") + g.name + "_stacks in ", &s.grids[k].name});
      e.push_back({std::string("Writecode ") + g.name + " in ", &s.grids[k].writeCode});
    } else {
      e.push_back({std::string("name of the ") + g.name + "-Grids in ", &s.grids[k].name});
      e.push_back({std::string("Writegrid ") + g.name + "-Grid in   ", &s.grids[k].writeCode});
    }
  }
  return e;
}

std::vector<ControlEntry> pointFileEntries(UnsatzonSettings& s) {
  std::vector<ControlEntry> e;
  for (int k = 0; k < unsatPointFileCount; ++k)
    e.push_back({std::string("Name of the ") + pointLabels[k] + "-file in ", &s.pointFiles[k]});
  return e;
}

// Entries 86 .. 91.
std::vector<ControlEntry> trailingEntries(UnsatzonSettings& s) {
  std::vector<ControlEntry> e = {{"read control parameter for storage grids for ", &s.readGrid},
                                 {"name of the storage content file ", &s.storageFile}};
  if (s.method != 3) return e;
  e.push_back({"minimum dynamic time step in secounds ", &s.minimumStep});
  e.push_back({"name of the SUBSTEPSstatfiles in ", &s.statistics[statSUBSTEPS]});
  e.push_back({"name of SUBSTEPS-Grids for ", &s.grids[lineSUBSTEPS].name});
  e.push_back({"Writegrid SUBSTEPS-Grid in   ", &s.grids[lineSUBSTEPS].writeCode});
  return e;
}

std::vector<ControlEntry> heatEntries(HeatTransferSettings& h, int (&unused)[2]) {
  std::vector<ControlEntry> e = {{"method of heat transfer modelling in ", &h.method},
                                 {"first unused value of [heat_transfer] in ", &unused[0]},
                                 {"second unused value of [heat_transfer] in ", &unused[1]}};
  for (int k = 0; k < HeatTransferSettings::constantCount; ++k)
    e.push_back({std::string(heatConstantKeys[k]) + " in ", &h.constants[k]});
  e.push_back({"name of the temperature file for the control point in ", &h.temperatureFile});
  e.push_back({"name of the temperstatfiles in ", &h.statistic});
  e.push_back({"name of the temper-stacks in ", &h.temperatureStack.name});
  e.push_back({"Writecode temper in ", &h.temperatureStack.writeCode});
  e.push_back({"name of the thawdepth-grid (heat-tr.mod.) in ", &h.thawDepthGrid.name});
  e.push_back({"Writecode thawdepth (heat-tr.mod.) in ", &h.thawDepthGrid.writeCode});
  e.push_back({"name of the SE-stack (heat-tr.mod.) in ", &h.seStack.name});
  e.push_back({"Writecode SE-stack (heat-tr.mod.) in ", &h.seStack.writeCode});
  return e;
}

// Reads the entries in order; a value that cannot be read ends the run with
// code 17.
void readEntries(modelobject& module, FILE* file, const std::vector<ControlEntry>& entries) {
  std::string rest;
  for (const ControlEntry& e : entries) {
    if (auto* i = std::get_if<int*>(&e.target))
      module.readControlValue(file, "%d", **i, e.label, rest);
    if (auto* l = std::get_if<long*>(&e.target))
      module.readControlValue(file, "%ld", **l, e.label, rest);
    if (auto* d = std::get_if<double*>(&e.target))
      module.readControlValue(file, "%lf", **d, e.label, rest);
    if (auto* w = std::get_if<std::string*>(&e.target))
      module.readControlValue(file, "%s", **w, e.label, rest);
    if (auto* s = std::get_if<StatisticFile*>(&e.target)) {
      module.readControlValue(file, "%s", (*s)->name, e.label, rest);
      if (!parseLeadingInt(rest, (*s)->code)) {
        std::string word;
        std::istringstream(rest) >> word;
        *module.getDiag() << "FATAL: error in control file, " << e.label << module.getModuleName()
                          << ": the statistic code of " << (*s)->name << " reads \"" << word
                          << "\", which is not a whole number; write the code after the file name"
                          << "[end-entry]";
        throw settingCode;
      }
    }
  }
}

} // namespace

void unsatzonmodellklasse::readModelSection() {
  auto read = [this](const std::vector<ControlEntry>& entries) {
    readEntries(*this, controlFile, entries);
  };
  read(leadingEntries(settings));
  readControlValuePair(controlFile, "%ld%ld", settings.controlRow, settings.controlColumn,
                       "control_row/column for control point in ");
  read(pointFileEntries(settings));
  for (std::string& name : settings.pointFiles) {
    prependDirectory(outputDirectory, name);
    noteOutputFile(name, "a control-point file of [unsatzon_model]");
  }
  checkControlPoint();
  checkMethod();
  checkSwitches();
  readSubbasinTable();
  read(trailingEntries(settings));
  // Checked as read: some grids are registered only with drainage,
  // irrigation or method 3, and a negative code would write nothing.
  for (int k = lineSB05; k <= lineSUBSTEPS; ++k)
    if (settings.grids[k].writeCode < 0)
      refuseControlValue(sectionHeader, std::string("write code of ") + gridLabels[k].name,
                         static_cast<double>(settings.grids[k].writeCode),
                         "must be 0 (never written) or a write code of 1 or more", settingCode);
  // Another number would skip the start of the soil columns' temperatures.
  if (settings.readGrid < 0 || settings.readGrid > 3)
    refuseControlValue(sectionHeader, "read control parameter for storage grids for ",
                       settings.readGrid,
                       "must be 0 (cold start), 1 (state grids and state file), 2 (groundwater "
                       "distance and ponding grids) or 3 (state grids without the state file)",
                       settingCode);
  storageFileName = settings.storageFile + "_" + std::to_string(mpiRank);
  std::string statePath = storageFileName;
  prependDirectory(outputDirectory, statePath);
  noteSharedOutputFile(statePath, "the state file of [unsatzon_model]");
  closeModelSection();
}

void unsatzonmodellklasse::checkControlPoint() {
  const long r = settings.controlRow;
  const long c = settings.controlColumn;
  if (r < 0 || r > header.nrows) {
    *diag << "FATAL: in modul " << moduleName << ":\n"
          << "row index (" << r << ") for output-cell must be between " << 1 << " and "
          << header.nrows << " (Input as row col) or 0 0 "
          << "[end-entry]";
    throw controlPointRowCode;
  }
  if (c < 0 || c > header.ncols) {
    *diag << "FATAL: in modul " << moduleName << ":\n"
          << "column index (" << c << ") for output-cell must be between " << 1 << " and "
          << header.ncols << " (Input as row col) "
          << "[end-entry]";
    throw controlPointColumnCode;
  }
  // One coordinate alone cannot place a cell; say so rather than drop it.
  if ((r == 0) != (c == 0)) {
    *diag << "WARNING: in modul " << moduleName << ": the control point row " << r << " column "
          << c << " has only one coordinate 0, so there is no control point; give both as 0 0 "
          << "for none, or both between 1 and the number of rows and columns"
          << "[end-entry]";
    settings.controlRow = settings.controlColumn = 0;
  }
}

// The three switches are tested as == 1 in some places and as == 0 in
// others: any other value would be on and off at once. The clay's
// conductivity is checked whatever its switch, so that switching it on
// later finds it sound.
void unsatzonmodellklasse::checkSwitches() const {
  const std::pair<const char*, int> switches[] = {{"pond parameter of ", settings.pond},
                                                  {"drainage parameter of ", settings.drainage},
                                                  {"clay parameter", settings.clay}};
  for (const auto& [label, value] : switches)
    if (value != 0 && value != 1)
      refuseControlValue(sectionHeader, label, value, "must be 0 (off) or 1 (on)", 17);
  if (!(settings.clayKsat >= 0.0 && settings.clayKsat <= 1.0))
    refuseControlValue(sectionHeader, "k_sat. for clay", settings.clayKsat, "must be 0 ... 1 (m/s)",
                       17);
}

void unsatzonmodellklasse::checkMethod() {
  if (settings.method == 2 || settings.method == 3) return;
  *diag << "FATAL: in modul " << moduleName << ":\n"
        << "invalid method (" << settings.method << ")\n"
        << "possible values are:\n 2 for Finite Differences with fixed timestep\n 3 for Finite "
           "Differences with dynamically calculated timestep\n"
        << "[end-entry]";
  throw methodCode;
}

// The table of subbasin parameters; a recession constant of 0 is refused.
void unsatzonmodellklasse::readSubbasinTable() {
  const int n = zones.zoneCount;
  std::vector<double>* arrays[] = {&kelsqd,   &kelsqi,      &channelDensity,
                                   &kelsqlat, &maxBaseflow, &snowRunoffFraction};
  std::vector<SubbasinTableLine> lines;
  for (int p = 0; p < 6; ++p) lines.push_back({parameterNames[p], "", arrays[p]});
  ::readSubbasinTable(*this, controlFile, controlFileName, zones, lines);
  subbasinCodes.assign(static_cast<size_t>(n) + 1, 0);
  for (int i = 1; i <= n; ++i) {
    const size_t k = static_cast<size_t>(i);
    subbasinCodes[k] = static_cast<int>(zones.records[k].code);
    // A storage constant below 0 is a mistyped sign, not the shortest one;
    // a negative largest baseflow would pump water into the soil, and so
    // would a negative channel density channel water. The upper bounds lie
    // far above any catchment's: past them a slip of the exponent holds
    // the water for ever or empties the soil at once. A negative recession
    // constant counts as infinite: the largest baseflow at any depth.
    const struct {
      const char* name;
      double value, lowest, highest;
      const char* rule;
    } bounded[] = {{"kelsqd", kelsqd[k], 0.0, 10000.0, "give 0 ... 10000 (h)"},
                   {"kelsqi", kelsqi[k], 0.0, 10000.0, "give 0 ... 10000 (h)"},
                   {"channel network density", channelDensity[k], 0.0, 100.0, "give 0 ... 100"},
                   {"kelsqlat", kelsqlat[k], -HUGE_VAL, 1000.0,
                    "give at most 1000 (m; a negative value: the largest baseflow, "
                    "QB-Red.Faktor, at any table depth)"},
                   {"QB-Red.Faktor", maxBaseflow[k], 0.0, 1000.0, "give 0 ... 1000 (mm per step)"},
                   {"SnowRunoff_fraction", snowRunoffFraction[k], 0.0, 1.0, "give 0 ... 1"}};
    for (const auto& b : bounded) {
      if (b.value >= b.lowest && b.value <= b.highest) continue;
      std::ostringstream what;
      what << "error! " << b.name << "[" << subbasinCodes[k] << "] is " << b.value
           << " in [unsatzon_model] of " << userControlFile(controlFileName) << lineOfValue(b.name)
           << "; " << b.rule << " for ";
      failSubbasinTable(*this, what.str(), "", false);
    }
    kelsqd[k] = std::max(kelsqd[k], 0.001) * 60.0;
    kelsqi[k] = std::max(kelsqi[k], 0.001) * 60.0;
    // Baseflow grows with exp(distance / kelsqlat): a constant of 0 has no
    // reciprocal and would make it NaN where the table reaches the surface.
    if (kelsqlat[k] == 0.0)
      failSubbasinTable(*this, "error! kelsqlat[" + std::to_string(subbasinCodes[k]) +
                                   "] is 0; give a positive recession constant, or a negative one "
                                   "for the largest baseflow (QB-Red.Faktor) at any table depth, "
                                   "for ");
    kelsqlat[k] = kelsqlat[k] < 0.0 ? 0.0 : 1.0 / kelsqlat[k];
  }
}

void unsatzonmodellklasse::closeModelSection() {
  FILE* file = controlFile;
  controlFile = nullptr;
  if (file && std::fclose(file) != 0) {
    *diag << "FATAL: control file \"" << controlFileName << "\" cannot be closed"
          << "[end-entry]";
    throw closeCode;
  }
}

void unsatzonmodellklasse::readOptionalSections() {
  readHeatTransfer();
  readTuning();
  if (settings.heat.active == 0 && findGrid("PermafrostThawDepth") > 0 &&
      findGrid("SnowFreeDaysGrid") > 0 && findGrid("ThawCoeffPermaFrost") > 0)
    readPermafrost();
}

namespace {

// Opens the control file for one optional section and reports a failing
// close with the text users know from the other sections.
struct OptionalSection {
  OptionalSection(FILE*& handle, const std::string& fileNameArg, DiagStream& diagArg)
      : session(handle), fileName(fileNameArg), diag(diagArg) {
    session.openOrFail(fileName, diag);
  }
  void close() {
    if (session.close()) return;
    diag << "FATAL: control file \"" << fileName << "\" cannot be closed"
         << "[end-entry]";
    throw closeCode;
  }
  ControlFileSession session;
  const std::string& fileName;
  DiagStream& diag;
};

} // namespace

void unsatzonmodellklasse::readHeatTransfer() {
  OptionalSection section(controlFile, controlFileName, *diag);
  if (seekSection("[heat_transfer]", false)) {
    HeatTransferSettings& h = settings.heat;
    readControlValue(controlFile, "%d", h.active, "heat transfer switch in ");
    // A negative switch would pass for off here and for on elsewhere.
    if (h.active < 0)
      refuseControlValue("[heat_transfer]", "heat transfer switch in ", h.active,
                         "must be 0 (off) or 1 or more (on)", 17);
    if (h.active > 0) {
      int unused[2] = {0, 0};
      readEntries(*this, controlFile, heatEntries(h, unused));
      prependDirectory(outputDirectory, h.temperatureFile);
      noteOutputFile(h.temperatureFile, "the control-point file of [heat_transfer]");
      // The top layer's accuracy alone would split a step without end when
      // it and the surface are almost equally warm.
      if (!(h.constants[dTModShortestStep] > 0.0)) {
        *diag << "FATAL: error in control file, dTModShortestStep ("
              << h.constants[dTModShortestStep] << ") in [heat_transfer] of "
              << userControlFile(controlFileName)
              << " must be above 0: it is the shortest heat step in seconds"
              << "[end-entry]";
        throw settingCode;
      }
      checkHeatConstants();
    }
  }
  section.close();
}

// Capacities, densities, conductivities and the latent heat divide or
// weight the heat of every layer: at 0 or below the temperatures run away
// or turn into nan. n-factors scale the air temperature at the surface.
void unsatzonmodellklasse::checkHeatConstants() const {
  const double* k = settings.heat.constants;
  auto refuse = [&](int key, const std::string& rule) {
    refuseControlValue("[heat_transfer]", heatConstantKeys[key], k[key], rule, settingCode);
  };
  // Upper bounds well beyond every natural material: a value past them is
  // a slip of the exponent.
  struct Bound {
    int key;
    double highest;
    const char* rule;
  };
  const Bound aboveZero[] = {{dTModCDrySoil, 5000.0, "must be above 0 and at most 5000 (J/(kg K))"},
                             {dTModRhoDrySoil, 5000.0, "must be above 0 and at most 5000 (kg/m3)"},
                             {dTModLamDrySoil, 10.0, "must be above 0 and at most 10 (W/(m K))"},
                             {dTModLamWat, 10.0, "must be above 0 and at most 10 (W/(m K))"},
                             {dTModLamIce, 10.0, "must be above 0 and at most 10 (W/(m K))"},
                             {dTModCWater, 10000.0, "must be above 0 and at most 10000 (J/(kg K))"},
                             {dTModCIce20, 10000.0, "must be above 0 and at most 10000 (J/(kg K))"},
                             {dTModCIce0, 10000.0, "must be above 0 and at most 10000 (J/(kg K))"},
                             {dTModLatHeat, 1e6, "must be above 0 and at most 1e6 (J/kg)"},
                             {dTModRhoWater, 2000.0, "must be above 0 and at most 2000 (kg/m3)"}};
  for (const Bound& b : aboveZero)
    if (!(k[b.key] > 0.0 && k[b.key] <= b.highest)) refuse(b.key, b.rule);
  const Bound fromZero[] = {{dTModKmin, 1.0, "must be 0 ... 1 (m/s)"},
                            {dTModNFactorFreezing, 10.0, "must be 0 ... 10"},
                            {dTModNFactorThawing, 10.0, "must be 0 ... 10"}};
  for (const Bound& b : fromZero)
    if (!(k[b.key] >= 0.0 && k[b.key] <= b.highest)) refuse(b.key, b.rule);
  // The air's lapse rate lies between the dry adiabat and strong
  // inversions; the lower boundary is ground that neither boils nor is
  // colder than the coldest permafrost.
  if (!(k[dTModLapseRate] >= -0.1 && k[dTModLapseRate] <= 0.1))
    refuse(dTModLapseRate, "must be -0.1 ... 0.1 (K/m)");
  if (!(k[dTModLowBoundBase] >= -60.0 && k[dTModLowBoundBase] <= 60.0))
    refuse(dTModLowBoundBase, "must be -60 ... 60 (degrees C)");
  // 124.6 m/K is the Clausius-Clapeyron value; 0 or below keeps the soil
  // free of ice.
  if (!(k[dTModFactor] <= 1000.0))
    refuse(dTModFactor, "must be at most 1000 (m/K; 0 or below: no ice)");
  const double longest = k[dTModLongestStep];
  if (!(longest <= 86400.0))
    refuse(dTModLongestStep, "must be 0 (no limit) or at most a day, 86400 s");
  if (longest != 0.0 && !(longest >= k[dTModShortestStep])) {
    std::ostringstream rule;
    rule << "must be 0 (no limit) or at least dTModShortestStep, " << k[dTModShortestStep] << " s";
    refuse(dTModLongestStep, rule.str());
  }
}

// Key lines "max_error = 1e-5" and "max_iterations = 100" with LF or CRLF
// line ends, up to the next section or the end of the file.
void unsatzonmodellklasse::readTuning() {
  OptionalSection section(controlFile, controlFileName, *diag);
  if (seekSection("[unsatzon_tuning]", false)) {
    std::string line;
    for (int first; (first = std::fgetc(controlFile)) != EOF;) {
      std::ungetc(first, controlFile);
      readRestOfLine(controlFile, line);
      const size_t start = line.find_first_not_of(" \t");
      if (start != std::string::npos && line[start] == '[') break;
      double* target = line.find("max_error") != std::string::npos        ? &settings.maxError
                       : line.find("max_iterations") != std::string::npos ? &settings.maxIterations
                                                                          : nullptr;
      const size_t equals = line.find('=');
      if (!target) {
        warnUnknownTuningKey(line);
        continue;
      }
      if (equals == std::string::npos || !parseLeadingDouble(line.substr(equals + 1), *target)) {
        const std::string key = target == &settings.maxError ? "max_error" : "max_iterations";
        refuseNotANumber("[unsatzon_tuning]", key, line, "write it as " + key + " = <number>.");
      }
    }
    checkTuning();
  }
  section.close();
}

// A mistyped or wrongly cased key would leave its default without a word.
void unsatzonmodellklasse::warnUnknownTuningKey(const std::string& line) const {
  const std::string key = assignedKey(line);
  if (key.empty()) return;
  *diag << "WARNING: [unsatzon_tuning] of " << userControlFile(controlFileName) << ", the line \""
        << line.substr(0, line.find_last_not_of("\r\n") + 1) << "\": \"" << key
        << "\" is no key of [unsatzon_tuning], whose keys are max_error and max_iterations (keys "
           "are case-sensitive); the line is ignored"
        << "[end-entry]";
}

// A limit of 0 or below is never met, so every column would run to the
// iteration limit; under one iteration the solver makes one all the same.
void unsatzonmodellklasse::checkTuning() const {
  if (!(settings.maxError > 0.0))
    refuseControlValue("[unsatzon_tuning]", "max_error", settings.maxError,
                       "must be above 0 (the change of water content at which the column "
                       "solver stops)",
                       settingCode);
  if (!(settings.maxIterations >= 1.0))
    refuseControlValue("[unsatzon_tuning]", "max_iterations", settings.maxIterations,
                       "must be 1 or more (the most iterations of the column solver)", settingCode);
}

void unsatzonmodellklasse::readPermafrost() {
  OptionalSection section(controlFile, controlFileName, *diag);
  seekSection("[permafrost]", true);
  int skippedInt = 0;
  double skippedDouble = 0.0;
  std::string skippedName;
  readControlValue(controlFile, "%d", skippedInt, "first value of [permafrost] in ");
  readControlValue(controlFile, "%lf", skippedDouble, "second value of [permafrost] in ");
  readControlValue(controlFile, "%lf", skippedDouble, "third value of [permafrost] in ");
  readControlValue(controlFile, "%s", skippedName, "statistics file of [permafrost] in ");
  if (!parseLeadingInt(lineBuffer, skippedInt))
    controlFileKeyNotFound("statistics file of [permafrost] in ", moduleName);
  readControlValue(controlFile, "%lf", settings.reducedKsat, "reduced k_sat (in m/s)");
  section.close();
}

void unsatzonmodellklasse::refuseUnsupportedSettings() {
  const int interaction = settings.interaction;
  if (interaction < 0 || interaction > 2) {
    *diag << "FATAL: in modul " << moduleName << ": surface water interaction parameter ("
          << interaction << ") in [unsatzon_model] of " << userControlFile(controlFileName)
          << " is invalid; accepted values are 0 (off), 1 and 2"
          << "[end-entry]";
    throw settingCode;
  }
}
