// Construction of the evapotranspiration module: its section, the checks
// of the values and the sunshine threshold derived from them; the hand-overs
// of the driver and the teardown.
#include "vertical/verdunstungsmodellklasse.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "config/section_reader.h"
#include "core/control_file_lines.h"
#include "core/control_file_text.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"
#include "core/string_helpers.h"

namespace {

constexpr int badValueCode = 10;
constexpr int layeredMethodCode = 44;
constexpr int monthlyValuesCode = 45;
constexpr int controlValueCode = 17;

const char* const dashes =
    "\n\n-----------------------------------------------------------------------\n";
const char* const modelError =
    "FATAL: \n---------------------- error in evapotranspiration model ------------------- \n";

bool blank(const std::string& line) {
  return line.find_first_not_of(" \t\r\n\f\v") == std::string::npos;
}

} // namespace

verdunstungsmodellklasse::verdunstungsmodellklasse(const ModelContext& context, int& errorCode)
    : teilmodellklasse(context, "evapotranspiration") {
  errorCode = catchModuleFailure([&] {
    if (flowControl == 0) return; // off, also in routing-only mode
    HORVA_ANNOUNCE_MODULE(*diag);
    layers = std::max(1, context.landuseLayerCount);
    heldFirst = firstHeldRow();
    heldLast = lastHeldRow();
    cells = ownCells(true);
    allCells = ownCells();
    readSection();
    closeControlFile();
    findInputs();
    takeInputGrids();
    registerOutputGrids();
    book.setUp(context, moduleName, timeStepMinutes, cellWeights, allCells);
    createStatistics();
    findResponseUnits();
    // Daylight sub-intervals of at most an hour, one more for a window that
    // starts inside an hour.
    sunCosines.assign(static_cast<size_t>(std::ceil(timeStepMinutes / 60.0)) + 2, 0.0);
  });
}

verdunstungsmodellklasse::~verdunstungsmodellklasse() {
  releaseOwnGrids();
  releaseRewrittenGrids();
}

void verdunstungsmodellklasse::readSection() {
  readControlValue(controlFile, "%d", method, "Methode fuer ");
  checkMethod();
  readMonthlyTable(pec, places.pec, "PEC-parameter for \nHAMON-evaporation");
  readMonthlyTable(fh, places.fh, "fh-parameter for \nHAUDE-evaporation");
  readControlValue(controlFile, "%lf", fk, "fk - Coastfactor (WENDLING) for");
  places.fk = lastValueStart;

  struct Labels {
    const char* file;
    const char* writeCode;
    const char* statistics;
  };
  const Labels labels[outputCount] = {
      {"Name of the ETP-Grids for ", "Writegrid ETP for ", "Name of ETP-stat.file for "},
      {"Name of the ETR-Grids for ", "Writegrid ETR for    ", "Name of the ETR-stat.file for "},
      {"Name of the evaporation_potential-grid for ", "Writegrid EVAP for    ",
       "Name of the evaporation_potential-stat.files for "},
      {"Name of the evaporation_real grid for ", "Writegrid evaporation real for    ",
       "Name of the evaporation_real-stat.files for "},
      {"Name of the snow evaporation grid for ", "Writegrid snow evaporation for    ",
       "Name of the evaporation_real-stat.files for "},
      {"Name of the EIP-Grids for ", "Writegrid ETP for ", "Name of EIP-stat.file for "}};
  for (int o = 0; o < outputCount; ++o) {
    OutputSettings& s = outputs[o];
    readControlValue(controlFile, "%s", s.file, labels[o].file);
    readControlValue(controlFile, "%d", s.writeCode, labels[o].writeCode);
    readControlValuePair(controlFile, "%s%d", s.statisticFile, s.statisticCode,
                         labels[o].statistics);
  }
  readControlValuePair(controlFile, "%s%d", radiationStatisticFile, radiationStatisticCode,
                       "Name of the RGEX-stat.file for ");

  long crPlaces[4] = {};
  readValues(cr, 4, crPlaces, crLabel);
  readValues(cs, 4, places.cs, "coefficients CS of sunshine duration from radiation for ");
  double tau[2] = {};
  long tauPlaces[2] = {};
  readValues(tau, 2, tauPlaces, "transmissivity tau0 and tau1 for ");
  places.tau = tauPlaces[0];
  tau0 = tau[0];
  tau1 = tau[1];
  checkTransmissivity();
  readValues(&altitudeScale, 1, &places.altitudeScale,
             "altitude scale of the temperature amplitude for ");
  readValues(amplitude + 1, 12, places.amplitude + 1, "monthly temperature amplitudes for ");
  amplitude[0] = amplitude[12];
  amplitude[13] = amplitude[1];
  double split[2] = {};
  places.split = std::ftell(controlFile);
  for (double& value : split) {
    std::string word;
    if (!readControlWordFrom(controlFile, word) || !looksLikeNumber(word)) {
      *diag << "FATAL: error reading fraction for temperature amplitude for day/night\n"
            << "or the annual variability\n"
            << "[end-entry]";
      throw badValueCode;
    }
    if (!parseNumber(word, value))
      refuseValueText(sectionHeader +
                          ", fraction for temperature amplitude for day/night or the annual "
                          "variability",
                      word, "a finite number");
  }
  readRestOfLine(controlFile, lineBuffer);
  dayShare = split[0];
  annualVariability = split[1];
  readOptionalLines();
  checkValues();
  deriveSunshineThreshold();
  nightShare = 1.0 - dayShare;
}

// The label of the radiation coefficients, under which they are read.
const char* const verdunstungsmodellklasse::crLabel =
    "coefficients CR of global radiation from sunshine duration for ";

// An unknown method would compute nothing and leave the potentials at 0; a
// method of one layer cannot split a layered canopy.
void verdunstungsmodellklasse::checkMethod() {
  if (method < 1 || method > 4) {
    *diag << "FATAL: error in control file, " << sectionHeader << " of "
          << userControlFile(controlFileName) << ": the method " << method
          << " (\"Methode fuer \") is none of 1 (Penman-Monteith), 2 (Hamon), 3 (Wendling) and 4 "
             "(Haude); give one of them"
          << "[end-entry]";
    throw badValueCode;
  }
  if (method >= 2 && layers >= 2) {
    *diag << modelError
          << "\nModelling evapotranspiration after HAMON, WENDLING or HAUDE is only possible\n"
             "for unlayered Vegetation. Actual parameters: method: "
          << method << ", number of layers: " << layers << dashes << "[end-entry]";
    throw layeredMethodCode;
  }
  if (method >= 2 && timeStepMinutes < 1440.0)
    *diag << "WARNING: \n---------------------- error in evapotranspiration model "
             "------------------- \n\nModelling evapotranspiration after HAMON, WENDLING or HAUDE "
             "should only be used\nfor daily time steps or larger. The actual time step is less "
             "than 1440 min.\nactual parameters: method: "
          << method << ", timestep: " << timeStepMinutes << " minutes" << dashes << "[end-entry]";
}

// Twelve values on the next line that is not blank, January first; entry 0
// repeats December and entry 13 January, so that the interpolation across
// the turn of the year needs no special case.
void verdunstungsmodellklasse::readMonthlyTable(double (&table)[14], long& place,
                                                const char* text) {
  std::string line;
  do {
    place = std::ftell(controlFile);
    readRestOfLine(controlFile, line);
  } while (!line.empty() && blank(line));
  const std::vector<std::string> words = splitWords(line);
  for (int count = 0; count < 12; ++count) {
    // Free text before the twelfth value means that values are missing.
    const std::string word = count < static_cast<int>(words.size()) ? words[count] : "";
    if (!looksLikeNumber(word)) {
      *diag << modelError << "there have to be 12 (monthly) values for the " << text
            << " in the control file." << dashes << "[end-entry]";
      throw monthlyValuesCode;
    }
    if (!parseNumber(word, table[count + 1])) {
      std::string name = text;
      const std::size_t lineEnd = name.find(" \n");
      if (lineEnd != std::string::npos) name.replace(lineEnd, 2, " ");
      refuseValueText(sectionHeader + ", month " + std::to_string(count + 1) + " of the " + name,
                      word, "a finite number");
    }
  }
  table[0] = table[12];
  table[13] = table[1];
}

// Numbers one after the other, across lines, then the rest of the line.
void verdunstungsmodellklasse::readValues(double* values, int count, long* places,
                                          const std::string& label) {
  noteValuePlace(label, controlFile, std::ftell(controlFile));
  for (int i = 0; i < count; ++i) {
    places[i] = std::ftell(controlFile);
    std::string word;
    if (!readControlWordFrom(controlFile, word) || word[0] == '[')
      controlFileKeyNotFound(label, moduleName);
    if (!parseNumber(word, values[i]))
      refuseValueText(sectionHeader + ", value " + std::to_string(i + 1) + " of \"" + label + "\"",
                      word, "a finite number");
  }
  readRestOfLine(controlFile, lineBuffer);
}

// The statistics of the cloudiness and the Hamon factor on lakes, each on a
// whole line that may be missing.
void verdunstungsmodellklasse::readOptionalLines() {
  const char* const hamonKey = "HamonCorrectionOpenWater";
  std::string line;
  places.hamon = std::ftell(controlFile);
  readRestOfLine(controlFile, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  // A section that ends before this line has no cloudiness statistics.
  const std::vector<std::string> words = splitWords(line);
  const bool given =
      words.size() >= 2 && words[0][0] != '[' && line.find(hamonKey) == std::string::npos;
  int code = 0;
  if (given && !parseWholeInt(words[1], code))
    refuseValueText(sectionHeader + ", the code of the statistics of the cloudiness", words[1],
                    "a whole number");
  cloudinessStatisticFile = given ? words[0] : "cloudiness";
  cloudinessStatisticCode = given ? code : 0;

  if (line.find(hamonKey) == std::string::npos) {
    places.hamon = std::ftell(controlFile);
    readRestOfLine(controlFile, line);
  }
  const size_t equals = line.find('=');
  if (line.find(hamonKey) == std::string::npos || equals == std::string::npos) return;
  if (!parseLeadingDouble(line.substr(equals + 1), hamonCorrectionOpenWater))
    refuseNotANumber("[" + moduleName + "]", hamonKey, line,
                     "give the factor of Hamon on lakes as a number, e.g. "
                     "HamonCorrectionOpenWater = 1.2.");
}

void verdunstungsmodellklasse::checkValues() {
  // Bounds that no climate exceeds: a negative factor would condense water
  // out of dry air, and the Hamon and Haude factors, the coast factor of
  // Wendling and the factor on lakes stay well within 10, 1, 2 and 10.
  const auto within = [&](long place, const std::string& label, const std::string& which,
                          double value, double lowest, double highest, bool aboveLowest,
                          const char* unit) {
    if ((aboveLowest ? value > lowest : value >= lowest) && value <= highest) return;
    std::ostringstream rule;
    rule << which << "must be " << (aboveLowest ? "above " : "") << lowest
         << (aboveLowest ? " and at most " : " ... ") << highest << unit;
    refuseControlValueAt(controlFile, place, label, value, rule.str(), badValueCode);
  };
  for (int month = 1; month <= 12; ++month) {
    const std::string of = "(month " + std::to_string(month) + ") ";
    within(places.pec, "PEC-parameter for HAMON-evaporation", of, pec[month], 0.0, 10.0, true, "");
    within(places.fh, "fh-parameter for HAUDE-evaporation", of, fh[month], 0.0, 1.0, true,
           " (mm/hPa)");
    within(places.amplitude[month], "monthly temperature amplitudes for ", of, amplitude[month],
           0.0, 40.0, false, " (K)");
  }
  within(places.fk, "fk - Coastfactor (WENDLING) for", "", fk, 0.0, 2.0, true, "");
  within(places.hamon, "HamonCorrectionOpenWater", "", hamonCorrectionOpenWater, 0.0, 10.0, true,
         "");
  for (int i = 0; i < 4; ++i)
    within(places.cs[i], "coefficients CS of sunshine duration from radiation for ",
           "(CS[" + std::to_string(i) + "]) ", cs[i], -100.0, 100.0, false, "");
  // The amplitude falls with exp(-elevation / scale).
  within(places.altitudeScale, "altitude scale of the temperature amplitude for ", "",
         altitudeScale, 0.0, 1e5, true, " (m)");
  // The day's share of the amplitude, with the annual term, stays a share.
  if (!(dayShare - std::fabs(annualVariability) >= 0.0 &&
        dayShare + std::fabs(annualVariability) <= 1.0) &&
      dayShare >= 0.0 && dayShare <= 1.0) {
    std::ostringstream rule;
    rule << "with amplitude_fraction_day " << dayShare << " gives a day share from "
         << dayShare - std::fabs(annualVariability) << " to "
         << dayShare + std::fabs(annualVariability)
         << "; the day share minus and plus the annual variability must lie within 0 ... 1";
    refuseControlValueAt(controlFile, places.split, "annual variability of the day share",
                         annualVariability, rule.str(), badValueCode);
  }
  if (dayShare < 0.0 || dayShare > 1.0) {
    *diag << "FATAL: \n---------------------------- error in control file --------------------\n"
             "\nThe splitting of the temperature amplitude between day and night\nhas to be done "
             "in a way that the fraction for the bright day is between 0..1\nread: "
             "amplitude_fraction_day: "
          << dayShare << dashes << "[end-entry]";
    throw badValueCode;
  }
  if (cr[0] < 0.05 || cr[0] > 0.5) {
    *diag << "FATAL: fraction of diffuse radiation is too " << (cr[0] < 0.05 ? "small" : "large")
          << ": " << cr[0] << " (should be 0.05 ... 0.5)\n"
          << "[end-entry]";
    throw badValueCode;
  }
  const double sum = cr[0] + cr[1] + cr[2] + cr[3];
  if (std::fabs(sum - 1.0) > 0.01) {
    *diag << "FATAL: die Koeffizienten fuer die Modellierung der Globalstrahlung muessen in ihrer "
             "Summe 1 ergeben\n derzeitige Summe: "
          << cr[0] << " + " << cr[1] << " + " << cr[2] << " + " << cr[3] << " = " << sum
          << "\nerror in control file " << userControlFile(controlFileName) << ", section "
          << sectionHeader << ": the coefficients CR of global radiation from sunshine duration"
          << lineOfValue(crLabel)
          << " must sum to 1 (within 0.01), but CR0 + CR1 + CR2 + CR3 = " << cr[0] << " + " << cr[1]
          << " + " << cr[2] << " + " << cr[3] << " = " << sum
          << "; correct them in the control file"
          << "[end-entry]";
    throw badValueCode;
  }
  if (cs[1] == 0.0 && cs[2] == 0.0 && cs[3] == 0.0) {
    *diag << "FATAL: The coefficients for sunshine duration modelling are wrong!\nThere must be at "
             "minimum a linear relationship\nbetween radiation and sunshine duration\nCS[0]="
          << cs[0] << ", CS[1]=" << cs[1] << ", CS[2]=" << cs[2] << ", CS[3]=" << cs[3] << "\n\n"
          << "[end-entry]";
    throw badValueCode;
  }
}

// The clear-sky radiation takes the transmissivity to a power: a negative
// one gives no number, one above 1 more light than reaches the atmosphere.
void verdunstungsmodellklasse::checkTransmissivity() {
  const double lowest = tau0 - std::fabs(tau1);
  const double highest = tau0 + std::fabs(tau1);
  if (lowest >= 0.0 && highest <= 1.0) return;
  std::ostringstream rule;
  rule << "with tau1 = " << tau1 << " gives a transmissivity of the day from " << lowest << " to "
       << highest << "; tau0 - |tau1| and tau0 + |tau1| must lie within 0 ... 1";
  refuseControlValueAt(controlFile, places.tau, "transmissivity tau0 and tau1 for ", tau0,
                       rule.str(), badValueCode);
}

// r0: the radiation ratio at and below which the sun has not shone. Of a
// cubic it is a turning point, of a quadratic or a line its zero, in [0, 1];
// the larger of two.
void verdunstungsmodellklasse::deriveSunshineThreshold() {
  auto inUnitRange = [](double x) { return x >= 0.0 && x <= 1.0; };
  if (cs[3] == 0.0 && cs[2] == 0.0) {
    sunshineThreshold = -cs[0] / cs[1];
    if (!inUnitRange(sunshineThreshold)) noSunshineThreshold();
    return;
  }
  double x1 = 0.0;
  double x2 = 0.0;
  const int roots = cs[3] != 0.0
                        ? solveQuadratic(2.0 * cs[2] / (3.0 * cs[3]), cs[1] / (3.0 * cs[3]), x1, x2)
                        : solveQuadratic(cs[1] / cs[2], cs[0] / cs[2], x1, x2);
  if (roots > 0 && inUnitRange(x2))
    sunshineThreshold = x2;
  else if (roots > 0 && inUnitRange(x1))
    sunshineThreshold = x1;
  else
    noSunshineThreshold();
}

void verdunstungsmodellklasse::noSunshineThreshold() {
  *diag << "FATAL: \n----------------------------!! Error !! -----------------------\nThe "
           "coefficients for sunshine duration modelling are wrong!\nNo null point (root) was "
           "found between 0 and 1!\nCS[0]="
        << cs[0] << ", CS[1]=" << cs[1] << ", CS[2]=" << cs[2] << ", CS[3]=" << cs[3]
        << "\n\nuse e.g.: CS[0]=0.072, CS[1]=-0.808, CS[2]=1.749, CS[3]=-0.239\n"
           "----------------------------------------------------------------"
        << "[end-entry]";
  throw badValueCode;
}

int verdunstungsmodellklasse::solveQuadratic(double p, double q, double& x1, double& x2) const {
  const double d = p * p / 4.0 - q;
  if (d < 0.0) {
    x1 = x2 = 0.0;
    return 0;
  }
  if (d == 0.0) {
    x1 = x2 = -p / 2.0;
    return 1;
  }
  x1 = -p / 2.0 - std::sqrt(d);
  x2 = -p / 2.0 + std::sqrt(d);
  return 2;
}

void verdunstungsmodellklasse::setSubsteps(unsigned count) { teilmodellklasse::setSubsteps(count); }

void verdunstungsmodellklasse::initTracers(int& errorCode, int tracerCount,
                                           std::vector<TracerRecord>& table,
                                           StatisticTableEntry* statisticTable, long tableSize) {
  teilmodellklasse::initTracers(errorCode, tracerCount, table, statisticTable, tableSize);
}

void verdunstungsmodellklasse::freeTracers() { teilmodellklasse::freeTracers(); }

int verdunstungsmodellklasse::setSnowStorageGrid(Grid grid) {
  if (flowControl != 0) snowStorage = grid;
  return flowControl;
}

void verdunstungsmodellklasse::setSnowMethod(int number) { snowMethod = number; }

void verdunstungsmodellklasse::flushStatistics() {
  if (flowControl == 0) return;
  forEachSeries([](zonalstatistic& s) { s.writeBuffer(); });
}

void verdunstungsmodellklasse::releaseModule() {
  if (flowControl > 0) {
    if (writeStorage != 0 && storageNameKept) writeStorageSection();
    releaseStatistics();
    releaseOwnGrids();
    releaseRewrittenGrids();
  }
  teilmodellklasse::releaseModule();
}
