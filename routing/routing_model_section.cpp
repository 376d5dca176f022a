// "[routing_model]": the header lines, the two readings of the routing
// descriptions and the network they describe.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/earth_bounds.h"
#include "core/run_files.h"
#include "core/string_helpers.h"
#include "routing/abflussmodellklasse.h"
#include "routing/routing_description.h"

namespace {

// A control-file line holds at most 2400 characters with its line end.
constexpr std::size_t longestLine = 2398;
constexpr std::size_t longestDescription = 24000;
constexpr std::size_t longestModeWord = 19;
constexpr std::size_t longestInflowFile = 299;
constexpr std::size_t mostFurtherCodes = 9;
const char* const keywords[] = {"TG", "SUMTRIB", "OL", "ZL", "AL", "SP"};

} // namespace

int abflussmodellklasse::countOccurrences(const std::string& text, const std::string& pattern) {
  int count = 0;
  if (pattern.empty()) return 0;
  for (std::size_t at = text.find(pattern); at != std::string::npos;
       at = text.find(pattern, at + 1))
    ++count;
  return count;
}

bool abflussmodellklasse::holdsKeyword(const std::string& line) {
  for (const char* keyword : keywords)
    if (line.find(keyword) != std::string::npos) return true;
  return false;
}

bool abflussmodellklasse::readSectionLine(std::string& line, bool description) {
  line.clear();
  int c = 0;
  while ((c = std::fgetc(controlFile)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
  if (c == EOF && line.empty()) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (description && line.size() > longestLine) {
    *diag << "FATAL: string is too long (max. " << 2400 << " chars):\n" << line << "[end-entry]";
    throw 40;
  }
  return true;
}

void abflussmodellklasse::readNameAndCode(const std::string& description, std::string& name,
                                          int& code) {
  std::string line;
  const bool read = readSectionLine(line, false);
  const std::vector<std::string> words = splitWords(line);
  if (!read || line.size() > 2400 || words.size() < 2 || !looksLikeNumber(words[1]))
    controlFileKeyNotFound(description, moduleName);
  if (!parseWholeInt(words[1], code))
    refuseValueText("[routing_model], " + description, words[1], "a whole number");
  name = words[0];
}

// The routed discharge of a subbasin holds that of the subbasins above it:
// it has no catchment total, so modes 1 and 3 (the total alone), modes above
// 6 and modes 5 and 6 without a listed subbasin would write dates alone.
void abflussmodellklasse::refuseStatisticWithoutColumns() {
  if (qstatCode < 1001) return;
  const int mode = qstatCode / 1000;
  const bool listed = context.outputList && !context.outputList->empty();
  if (mode == 2 || mode == 4 || ((mode == 5 || mode == 6) && listed)) return;
  const std::string modeText = "(mode " + std::to_string(mode) + ")";
  const std::string what =
      mode == 1 || mode == 3
          ? "the catchment total alone " + modeText +
                ", which routed discharge does not have (the discharge of a subbasin holds that "
                "of the subbasins above it)"
      : mode == 5 || mode == 6 ? "the subbasins of [output_list] " + modeText + ", which lists none"
                               : "the unknown mode " + std::to_string(mode);
  *diag << "FATAL: [routing_model] in " << userControlFile(controlFileName)
        << ": the statistic code " << qstatCode << " of the routed discharge " << statisticFileName
        << " (\"name of the Qstatfiles for \") asks for " << what
        << ": the file would hold dates alone. Use mode 2 or 4, every subbasin ("
        << (mode == 3 || mode == 6 ? 4000 : 2000) + qstatCode % 1000 << " in place of " << qstatCode
        << "), or 5 or 6 with subbasins listed in [output_list]"
        << "[end-entry]";
  throw 17;
}

void abflussmodellklasse::readHeaderLines() {
  std::string line;
  const bool read = readSectionLine(line, false);
  const std::vector<std::string> words = splitWords(line);
  if (!read || words.size() < 4 ||
      !std::all_of(words.begin(), words.begin() + 4,
                   [](const std::string& w) { return looksLikeNumber(w); })) {
    *diag << "FATAL: values for min/max specific discharge and/or discharge and time interval "
             "splitting   \nnot found in control file"
          << "[end-entry]";
    throw 17;
  }
  if (!parseNumber(words[0], qMin) || !parseNumber(words[1], qMax) ||
      !parseNumber(words[2], tableIntervals)) {
    *diag << "FATAL: [routing_model] in " << userControlFile(controlFileName)
          << ": the minimum and maximum specific discharge and the number of intervals read \""
          << line << "\", which holds no finite number; write numbers"
          << "[end-entry]";
    throw 17;
  }
  if (!parseWholeInt(words[3], subIntervals))
    refuseValueText("[routing_model], the number of sub-intervals of a time step", words[3],
                    "a whole number");
  // 1e5 l/s/km2 is thirty times the largest flood ever measured per area;
  // the tables span their range in steps of equal ratio.
  if (qMax > 1e5)
    refuseControlValue("[routing_model]", "the largest specific discharge of the tables", qMax,
                       "must be at most 1e5 (l/s/km2)", 17);
  readNameAndCode("name of the Qstatfiles for ", statisticFileName, qstatCode);
  refuseStatisticWithoutColumns();
  readControlValue(controlFile, "%s", observedFileName, "name of spec.discharge files for ");
  noteInputFile(observedFileName, "the observed discharge of [routing_model]");
  readControlValue(controlFile, "%d", columnDescriptors, "number column descriptors for");
  // The second reading skips the descriptor lines by this count: a negative
  // one would take header lines for the routing descriptions.
  if (columnDescriptors < 0)
    refuseControlValue("[routing_model]", "number column descriptors for", columnDescriptors,
                       "counts the descriptor lines that follow and must be 0 or more", 17);
  for (int k = 0; k < columnDescriptors; ++k) {
    int code = 0;
    int column = 0;
    const std::vector<std::string> pair =
        readSectionLine(line, false) ? splitWords(line) : std::vector<std::string>();
    // Text may follow the two numbers, but neither may carry letters.
    int read = 0;
    for (int* target : {&code, &column}) {
      const std::size_t i = static_cast<std::size_t>(read);
      if (i >= pair.size() || !looksLikeNumber(pair[i])) break;
      if (!parseWholeInt(pair[i], *target))
        refuseValueText("[routing_model], column descriptor " + std::to_string(k + 1), pair[i],
                        "a whole number");
      ++read;
    }
    if (read < 1) {
      *diag << "FATAL: error reading a subbasin index for column indexing in routing model"
            << "[end-entry]";
      throw 17;
    }
    if (read < 2) {
      *diag << "FATAL: error reading a column number for column indexing in routing model"
            << "[end-entry]";
      throw 17;
    }
    const int index = code >= 0 && code <= zones.maxCode ? zones.indexOfCode[code] : 0;
    if (index < 1) {
      *diag << "WARNING: [routing_model]: the column descriptor of subbasin " << code
            << " names no subbasin of the zone grid and is ignored"
            << "[end-entry]";
      continue;
    }
    observedColumn[index] = column > 0 ? column : 0;
  }
  readControlValue(controlFile, "%d", criteriaStartOffset,
                   "Zeitoffset fuer Beginn der R-square-Berechnung fuer ");
  if (criteriaStartOffset < 0)
    refuseControlValue("[routing_model]", "Zeitoffset fuer Beginn der R-square-Berechnung fuer",
                       criteriaStartOffset,
                       "counts the steps left out of the comparison and must be 0 or more", 17);
}

void abflussmodellklasse::countDescriptions() {
  std::string line;
  for (;;) {
    if (!readSectionLine(line, true)) {
      *diag << "FATAL: error reading a routing description from control file! (eof reached)."
            << "[end-entry]";
      throw 38;
    }
    if (!holdsKeyword(line)) break;
    if (line.find("TG") != std::string::npos) ++descriptions;
    countOL += countOccurrences(line, "OL");
    countSUMTRIB += countOccurrences(line, "SUMTRIB");
    countAmpersand += countOccurrences(line, "&");
    countZL += countOccurrences(line, "ZL");
    countAL += countOccurrences(line, "AL");
    countSP += countOccurrences(line, "SP");
  }
  logCounts();
}

void abflussmodellklasse::logCounts() const {
  const std::pair<const char*, int> counts[] = {
      {"number inbetween areas (routings)    : ", descriptions},
      {"number tributaries  total      (OL)  : ", countOL + countSUMTRIB + countAmpersand},
      {" - flowing into another at the end   : ", countOL},
      {" - flowing into another at the start : ", countSUMTRIB + countAmpersand},
      {"so the total of routingchannels is   : ", countOL + countSUMTRIB},
      {"number of inflows              (ZL)  : ", countZL},
      {"number of abstractions         (AL)  : ", countAL},
      {"number reservoirs              (SP)  : ", countSP}};
  for (const auto& [text, count] : counts) *diag << text << count << "[end-entry]";
}

// Only the switches: the lakes themselves are reservoirs of the elements.
void abflussmodellklasse::ReadLakeModelSection(const std::string& section) {
  lakeModel = readGrids = 0;
  if (findGrid("lake_codes") == 0) {
    *diag << "INFO: no LAKE-grid was found in " << moduleName << "\n"
          << "Lake modelling is switched off for " << moduleName << ".\n"
          << "[end-entry]";
    return;
  }
  seekSection(section, true);
  readControlValue(controlFile, "%d", lakeModel, "flow control parameter for " + section);
  // The soil and the aquifer test the switch as == 0: a negative one would
  // be on there and off for the spin-up test below.
  if (lakeModel < 0)
    refuseControlValue(section, "flow control parameter for ", lakeModel,
                       "must be 0 (off) or 1 or more (on)", 17);
  // Spin-up units share the state of their master cell, which a lake
  // cannot follow.
  if (routingOnly || context.hruFlag == 1) {
    lakeModel = 0;
    return;
  }
  if (lakeModel == 0) return;
  std::string line;
  // The unsaturated zone reads and checks the method; the lakes name it
  // when their cells disagree.
  readSectionLine(line, false);
  if (std::sscanf(line.c_str(), "%d", &lakeInitMethod) != 1) lakeInitMethod = 0;
  for (int k = 0; k < 2; ++k) readSectionLine(line, false);
  readControlValue(controlFile, "%d", readGrids, "readgrids for " + section);
  if (readGrids != 0 && readGrids != 1)
    refuseControlValue(section, "readgrids for ", readGrids,
                       "must be 0 (the lakes start from V0) or 1 (from the water on their cells)",
                       17);
}

void abflussmodellklasse::registerPrecOnLakes() {
  precOnLakesIndex = firstFreeRegistryIndex();
  if (precOnLakesIndex >= gridRegistryLimit) {
    *diag << "FATAL: no more free grids in memory, (max. " << gridRegistryLimit << ")!"
          << "[end-entry]";
    precOnLakesIndex = 0;
    throw 12;
  }
  // The rows rank 0 owns: the lakes take their water from their cell list.
  precOnLakesFirstRow = std::max(1L, header.firstRow);
  precOnLakesLastRow = std::min(header.nrows, header.lastRow);
  precOnLakes = matrix(precOnLakesFirstRow, precOnLakesLastRow, 1, header.ncols, header.nrows);
  registerGrid(precOnLakesIndex, "PrecOnLakes", precOnLakes, nullptr, 0, "PrecOnLakes", 0,
               precOnLakesFirstRow, precOnLakesLastRow);
}

void abflussmodellklasse::freePrecOnLakes() {
  if (!precOnLakes) return;
  if (registry && registry[precOnLakesIndex].grid == precOnLakes) unregisterGrid(precOnLakesIndex);
  free_matrix(precOnLakes, precOnLakesFirstRow, precOnLakesLastRow, 1, header.ncols);
  precOnLakes = nullptr;
}

void abflussmodellklasse::readDescriptions() {
  seekSection("[routing_model]", true);
  std::string line;
  for (int k = 0; k < columnDescriptors + 7; ++k)
    if (!readSectionLine(line, false)) {
      *diag << "FATAL: error searching the second time for routing descriptions\nthe first run "
               "was ok., but not the second"
            << "[end-entry]";
      throw 38;
    }
  const std::vector<ComparisonRecord> empty(static_cast<std::size_t>(subbasins) + 1);
  linearCriteria.assign(windowRows, empty);
  logarithmicCriteria.assign(windowRows, empty);
  if (!readSectionLine(line, true)) {
    *diag << "FATAL: rerror reading routing description \n2nd run, (1st run: o.k.)"
          << "[end-entry]";
    throw 38;
  }
  for (int d = 1; d <= descriptions && line.find("TG") != std::string::npos; ++d) {
    *diag << "reading routing description " << d << "[end-entry]";
    std::string joined = line;
    std::size_t characters = line.size();
    for (;;) {
      if (!readSectionLine(line, true)) {
        *diag << "FATAL: unexpected end of control file reached reading routing descriptions"
              << "[end-entry]";
        throw 38;
      }
      if (line.find("TG") != std::string::npos || !holdsKeyword(line)) break;
      // The line end stays as a mark: a value at the end of one line ends
      // there and does not run into the next line's keyword.
      joined += RoutingDescriptionText::lineJoin;
      joined += line;
      characters += line.size();
    }
    if (characters > longestDescription) {
      *diag << "FATAL: routing description " << d << " of [routing_model] in "
            << userControlFile(controlFileName) << " holds " << static_cast<long>(characters)
            << " characters, more than " << static_cast<long>(longestDescription)
            << "; shorten its labels"
            << "[end-entry]";
      throw 40;
    }
    RoutingDescriptionText text(*diag, joined, d);
    buildElement(d, text);
  }
}

void abflussmodellklasse::buildElement(int d, RoutingDescriptionText& text) {
  const std::string& joined = text.text();
  const int ol = countOccurrences(joined, "OL");
  const int summed = countOccurrences(joined, "SUMTRIB");
  const int zl = countOccurrences(joined, "ZL");
  text.expect("TG", "the subbasin code of TG");
  const int tg = text.integer("the subbasin code of TG");
  const int tgColumn = tg >= 0 && tg <= zones.maxCode ? zones.indexOfCode[tg] : 0;
  if (tgColumn < 1) {
    *diag << "FATAL: there is no subbasin with code " << tg << "[end-entry]";
    throw 41;
  }
  RoutingElementLayout layout;
  layout.subbasins = subbasins;
  layout.timeStep = timeStepMinutes;
  layout.subIntervals = subIntervals;
  layout.specDischargeFiles = specificDischarges ? 1 : 0;
  layout.elementArea = text.value("the area of TG " + std::to_string(tg));
  layout.areaFactor = text.value("the area factor of TG " + std::to_string(tg));
  // Both divide the runoff of the element's tables and depths.
  if (!(layout.elementArea > 0.0 && layout.elementArea <= largestBasinArea))
    text.refuse("the area of TG " + std::to_string(tg), layout.elementArea,
                "must be above 0 and at most 1e7 (km2)");
  if (!(layout.areaFactor > 0.0 && layout.areaFactor <= 100.0))
    text.refuse("the area factor of TG " + std::to_string(tg), layout.areaFactor,
                "must be above 0 and at most 100");
  layout.subbasinCode = tg;
  layout.tributaries = ol;
  layout.summedTributaries = summed;
  layout.furtherAreaShares = countOccurrences(joined, "&");
  layout.inflows = zl;
  layout.areaTable = abfrel.data();
  layout.columnMap = &zones.indexOfCode;
  const int al = countOccurrences(joined, "AL");
  layout.abstractions = al;
  const int sp = countOccurrences(joined, "SP");
  layout.reservoirs = sp;
  layout.lake = lakeModel;
  layout.readGrids = readGrids;
  layout.lakeCells = &lakeCells;
  int code = 0;
  elements[static_cast<std::size_t>(d)] = std::make_unique<routingclass>(code, context, layout);
  if (code != 0) throw code;
  routingclass& element = *elements[static_cast<std::size_t>(d)];
  topology.description[static_cast<std::size_t>(tgColumn)] = d;

  int j = 0;
  for (int k = 0; k < ol; ++k) readTributary(d, ++j, text, element);
  text.restart();
  for (int k = 0; k < summed; ++k) readSummedTributary(d, ++j, text, element);
  text.restart();
  for (int k = 0; k < zl; ++k) readInflow(++j, text, element);
  text.restart();
  for (int k = 0; k < al; ++k)
    element.SetAblaufModus(controlFile, ++j, text, subIntervals, startDate);
  text.restart();
  for (int k = 1; k <= sp; ++k) {
    element.SetSpeicherParams(controlFile, ++j, text, subIntervals);
    checkReservoirNumber(element.reservoir(k).getNumber(), d);
  }
}

// The number names the reservoir's output, its rule section and its lake.
void abflussmodellklasse::checkReservoirNumber(int number, int d) {
  const auto [known, added] = reservoirDescriptions.emplace(number, d);
  if (added) return;
  *diag << "FATAL: reservoir " << number << " stands in routing description " << known->second
        << " and again in routing description " << d
        << " of [routing_model]; give every SP its own number"
        << "[end-entry]";
  throw 35;
}

// The ten channel parameters, in the order of the routing description.
namespace {
struct ChannelParameters {
  double values[10];
};

ChannelParameters readChannelParameters(RoutingDescriptionText& text, const std::string& element) {
  static const char* const names[10] = {"storage constant of the mean channel",
                                        "storage constant of the flood plain",
                                        "width of the mean channel",
                                        "width of the flood plains",
                                        "depth of the mean channel",
                                        "Manning coefficient of the mean channel",
                                        "Manning coefficient of the flood plain",
                                        "slope",
                                        "channel length",
                                        "catchment area"};
  // Beyond any river: storage constants in h, widths, depth and length in
  // m, Strickler coefficients k = 1/n, slope, area in km2.
  static const double largest[10] = {
      1e4, 1e4, 1e5, 1e5, 1000.0, 1000.0, 1000.0, 10.0, longestChannel, largestBasinArea};
  static const char* const ranges[10] = {
      "must be 0 (its default) ... 10000 (h)",  "must be 0 (its default) ... 10000 (h)",
      "must be 0 (its default) ... 100000 (m)", "must be 0 (its default) ... 100000 (m)",
      "must be 0 (its default) ... 1000 (m)",   "must be above 0 and at most 1000",
      "must be 0 (its default) ... 1000",       "must be above 0 and at most 10",
      "must be 0 (its default) ... 1e7 (m)",    "must be 0 (its default) ... 1e7 (km2)"};
  ChannelParameters p{};
  for (int k = 0; k < 10; ++k) {
    const std::string what = std::string(names[k]) + " of " + element;
    const double v = p.values[k] = text.value(what);
    // 0 leaves a value to its default; below 0 it is a mistyped sign. A
    // channel without slope or roughness coefficient carries no water at
    // all, whatever default would stand in for it.
    if ((k == 5 || k == 7) && !(v > 0.0)) text.refuse(what, v, ranges[k]);
    if (!(v >= 0.0 && v <= largest[k])) text.refuse(what, v, ranges[k]);
  }
  return p;
}
} // namespace

int abflussmodellklasse::checkedTributaryColumn(int code, int tgCode, int j, bool summed) {
  const int column = code >= 0 && code <= zones.maxCode ? zones.indexOfCode[code] : 0;
  if (column < 1) {
    *diag << "FATAL: there cant be a tributary with code " << code
          << " for no subbasin (according to zones)" << (summed ? "" : "\n") << "[end-entry]";
    throw 41;
  }
  if (code == tgCode) {
    *diag << "FATAL: subbasin " << tgCode << ": code of tributary " << j << " (" << code
          << ") is equal to subbasin code!\nIt is not allowed to rout the outflow of a subbasin "
             "back into \nthe same subbasin. Use a reservoir instead."
          << (summed ? "" : "\n") << "[end-entry]";
    throw 41;
  }
  return column;
}

std::string abflussmodellklasse::descriptionPlace(int d, int tg, const std::string& element) {
  return "routing description " + std::to_string(d) + " (TG " + std::to_string(tg) + "), " +
         element;
}

void abflussmodellklasse::addTributary(int code, int column, int tgColumn, int d,
                                       const std::string& place) {
  const auto [known, added] = tributaryPlaces.emplace(column, place);
  if (!added) {
    *diag << "FATAL: [routing_model] in " << userControlFile(controlFileName) << ": subbasin "
          << code << " is named as a tributary "
          << (known->second == place ? "twice in " + place
                                     : "in " + known->second + " and again in " + place)
          << "; its outflow would reach the outlet twice, name every tributary once"
          << "[end-entry]";
    throw 41;
  }
  topology.tributaries.back() = column;
  topology.tributaries.push_back(0);
  topology.downstream[static_cast<std::size_t>(column)] = tgColumn;
  tributaryUses.emplace_back(column, d);
}

void abflussmodellklasse::readTributary(int d, int j, RoutingDescriptionText& text,
                                        routingclass& element) {
  const std::string position = "OL " + std::to_string(j);
  text.expect("OL", "the code of " + position);
  const int code = text.integer("the code of " + position);
  // Named as the user wrote it, by its code.
  const std::string name = "OL " + std::to_string(code);
  const int tg = element.getSubbasinCode();
  const int column = checkedTributaryColumn(code, tg, j, false);
  const ChannelParameters p = readChannelParameters(text, name);
  const double* v = p.values;
  element.BuildRoutingTables(j, code, {}, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8],
                             v[9], qMin, qMax, tableIntervals, true);
  addTributary(code, column, zones.indexOfCode[tg], d, descriptionPlace(d, tg, name));
}

void abflussmodellklasse::readSummedTributary(int d, int j, RoutingDescriptionText& text,
                                              routingclass& element) {
  const std::string position = "SUMTRIB " + std::to_string(j);
  text.expect("SUMTRIB", "the code of " + position);
  const int tg = element.getSubbasinCode();
  const int tgColumn = zones.indexOfCode[tg];
  const int code = text.integer("the code of " + position);
  const std::string name = "SUMTRIB " + std::to_string(code);
  const std::string place = descriptionPlace(d, tg, name);
  addTributary(code, checkedTributaryColumn(code, tg, j, true), tgColumn, d, place);
  std::vector<int> members;
  while (text.skipLineJoins() == '&') {
    text.advance();
    const int member = text.integer("a further code of " + name);
    if (members.size() == mostFurtherCodes) {
      *diag << "FATAL: routing description " << d << " (TG " << tg << "): " << name
            << " lists more than " << static_cast<long>(mostFurtherCodes)
            << " further codes; split it into several SUMTRIB elements"
            << "[end-entry]";
      throw 41;
    }
    addTributary(member, checkedTributaryColumn(member, tg, j, true), tgColumn, d, place);
    members.push_back(member);
  }
  const ChannelParameters p = readChannelParameters(text, name);
  const double* v = p.values;
  element.BuildRoutingTables(j, code, members, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8],
                             v[9], qMin, qMax, tableIntervals, true);
}

void abflussmodellklasse::readInflow(int j, RoutingDescriptionText& text, routingclass& element) {
  text.expect("ZL", "the number of ZL");
  const int number = text.integer("the number of ZL");
  const std::string name = "ZL " + std::to_string(number);
  if (number > countZL) {
    *diag << "FATAL: there is/are only " << countZL
          << " inflow(s) for the entire basin,\n but the codes ranges from 1 to at least " << number
          << "! in " << moduleName << "[end-entry]";
    throw 42;
  }
  // An inflow's column lies behind the subbasins' columns: number 0 or
  // below would add it to a subbasin, a number used twice to another inflow.
  const std::string place = descriptionPlace(text.number(), element.getSubbasinCode(), name);
  if (number < 1) {
    *diag << "FATAL: [routing_model] in " << userControlFile(controlFileName) << ": " << place
          << ": inflows are numbered from 1 to " << countZL << "[end-entry]";
    throw 42;
  }
  const auto [known, added] = inflowPlaces.emplace(number, place);
  if (!added) {
    *diag << "FATAL: [routing_model] in " << userControlFile(controlFileName) << ": inflow "
          << number << " stands in " << known->second << " and again in " << place
          << "; two inflows would share one column, give every ZL its own number"
          << "[end-entry]";
    throw 42;
  }
  text.expectEquals("the mode of " + name);
  const std::string mode = text.word(longestModeWord, "the mode of " + name);
  int inflowMode = 0;
  double value = 0.0;
  std::string fileName;
  int row = 0;
  int column = 0;
  if (mode == "constant") {
    inflowMode = 1;
    value = text.number("the constant inflow of " + name);
  } else if (mode == "extern") {
    inflowMode = 4;
    fileName = text.word(longestInflowFile, "the inflow file of " + name);
    row = text.integer("the start row of " + name);
    column = text.integer("the value column of " + name);
  } else if (mode == "intern") {
    inflowMode = 3;
  } else {
    *diag << "FATAL: the modus \"" << mode << "\" is not supported for inflow " << number
          << "[end-entry]";
    throw 42;
  }
  element.SetInflow(j, number, inflowMode, value, fileName, row, column, startDate.year,
                    startDate.month, startDate.day, startDate.hour, startDate.minute);
  const ChannelParameters p = readChannelParameters(text, name);
  const double* v = p.values;
  element.BuildRoutingTables(j, number, {}, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8],
                             v[9], qMin, qMax, tableIntervals, false);
}

// Water routed from one description into another must not come back: a
// cycle cannot be mended by reordering, so it gets its own message.
void abflussmodellklasse::checkForCycles() const {
  const std::size_t count = elements.size();
  std::vector<std::vector<int>> into(count);
  for (const auto& [column, d] : tributaryUses) {
    const int upstream = topology.description[static_cast<std::size_t>(column)];
    if (upstream > 0) into[static_cast<std::size_t>(upstream)].push_back(d);
  }
  // Depth-first walk: 1 = on the current path, 2 = finished.
  std::vector<int> state(count, 0);
  std::vector<int> path;
  std::function<bool(int)> walk = [&](int d) {
    state[static_cast<std::size_t>(d)] = 1;
    path.push_back(d);
    for (int next : into[static_cast<std::size_t>(d)]) {
      if (state[static_cast<std::size_t>(next)] == 1) {
        path.push_back(next);
        return true;
      }
      if (state[static_cast<std::size_t>(next)] == 0 && walk(next)) return true;
    }
    state[static_cast<std::size_t>(d)] = 2;
    path.pop_back();
    return false;
  };
  for (std::size_t d = 1; d < count; ++d) {
    if (state[d] != 0 || !walk(static_cast<int>(d))) continue;
    const auto first = std::find(path.begin(), path.end() - 1, path.back());
    *diag << "FATAL: the routing descriptions of [routing_model] form a cycle:";
    for (auto it = first; it != path.end(); ++it)
      *diag << (it == first ? " TG " : " -> TG ")
            << elements[static_cast<std::size_t>(*it)]->getSubbasinCode();
    *diag << "; the outflow of a subbasin cannot flow back into it, correct the tributaries of "
             "these descriptions"
          << "[end-entry]";
    throw 41;
  }
}

// A description routes what its tributaries' elements have routed in the
// same step, so theirs must come first.
void abflussmodellklasse::checkDescriptionOrder() {
  checkForCycles();
  for (const auto& [column, d] : tributaryUses) {
    const int upstream = topology.description[static_cast<std::size_t>(column)];
    if (upstream <= d) continue;
    *diag << "FATAL: routing description " << d << " (TG "
          << elements[static_cast<std::size_t>(d)]->getSubbasinCode()
          << ") stands before routing description " << upstream << " (TG "
          << elements[static_cast<std::size_t>(upstream)]->getSubbasinCode()
          << "), whose outflow it routes; list the descriptions of [routing_model] from "
             "upstream to downstream"
          << "[end-entry]";
    throw 41;
  }
}

// A connected reservoir's outflow, also a negative one, passes unrouted
// into the subbasin downstream: only a lake there gives back what the
// connection takes from it. Any other target's level would draw water that
// no store loses.
void abflussmodellklasse::checkConnectionTargets() const {
  for (std::size_t d = 1; d < elements.size(); ++d) {
    const routingclass& element = *elements[d];
    for (int k = 1; k <= element.reservoirCount(); ++k) {
      const SP_class& r = element.reservoir(k);
      if (!r.hasHydraulicConnection()) continue;
      const int target = r.getTargetReservoir();
      const int tg = element.getSubbasinCode();
      const int below = topology.downstream[static_cast<std::size_t>(zones.indexOfCode[tg])];
      const int receiving = below > 0 ? topology.description[static_cast<std::size_t>(below)] : 0;
      const auto found = reservoirDescriptions.find(target);
      if (found != reservoirDescriptions.end() && receiving > 0 && found->second == receiving)
        continue;
      *diag << "FATAL: [abstraction_rule_reservoir_" << r.getNumber() << "] in "
            << userControlFile(controlFileName) << ": the HydraulicConnection of reservoir "
            << r.getNumber() << " (TG " << tg << ") has TargetReservoir = " << target
            << ", which does not receive its outflow; ";
      if (receiving > 0)
        *diag << "name a lake of routing description " << receiving << " (TG "
              << elements[static_cast<std::size_t>(receiving)]->getSubbasinCode()
              << "), into which subbasin " << tg << " flows";
      else
        *diag << "subbasin " << tg
              << " flows into no other subbasin, give the reservoir a rule "
                 "table";
      *diag << "[end-entry]";
      throw 29;
    }
  }
}

void abflussmodellklasse::finishElements() {
  for (std::size_t d = 1; d < elements.size(); ++d) {
    elements[d]->ReadReservoirRules(controlFile);
    elements[d]->SetLevelRegistry(&levelRegistry);
    elements[d]->SetHydraulicConnectionMap(&connections);
  }
  checkConnectionTargets();
  for (std::size_t d = 1; d < elements.size(); ++d) {
    elements[d]->InitReservoirOutflows(startDate);
    elements[d]->ReadAbstractionRules(controlFile);
  }
  maxStorageCount = 0;
  for (std::size_t d = 1; d < elements.size(); ++d)
    maxStorageCount = elements[d]->MaxStorageCount(maxStorageCount);
  // Only now: an output that is an input of a later description is
  // refused before anything is written to it.
  for (std::size_t d = 1; d < elements.size(); ++d) {
    elements[d]->CheckBasinArea();
    elements[d]->CreateOutputTables();
    elements[d]->WriteWQTable();
  }
}
