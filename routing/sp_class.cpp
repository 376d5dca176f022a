// The reservoir's set-up: its keys in the routing description, its rule
// section, its context and its entries in the shared registries.
#include "routing/sp_class.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <tuple>
#include <utility>

#include "config/tracer_ini_class.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/earth_bounds.h"
#include "core/run_files.h"
#include "core/string_helpers.h"
#include "routing/routing_description.h"

namespace {

constexpr std::size_t outputBufferBytes = 2097152;
// ln 2 inverted: the half-life times this is the mean life.
constexpr double meanLifePerHalfLife = 1.442695041111;

// Blanks, and the joins of the description's lines.
bool isBlank(char c) { return c == ' ' || c == '\t' || c == RoutingDescriptionText::lineJoin; }

bool isNameCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// Position behind the "=" of a key given as a word of its own ("file" is
// not found in "input_file"); npos when the text has no such key.
std::size_t valueOf(const std::string& text, const std::string& key) {
  for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    if (at > 0 && isNameCharacter(text[at - 1])) continue;
    std::size_t p = at + key.size();
    if (p < text.size() && isNameCharacter(text[p])) continue;
    while (p < text.size() && isBlank(text[p])) ++p;
    if (p < text.size() && text[p] == '=') return p + 1;
  }
  return std::string::npos;
}

} // namespace

SP_class::SP_class() = default;

SP_class::~SP_class() { volumeHistory.clear(); }

void SP_class::PrependDirectory(const std::string& directory, std::string& name) const {
  if (directory.empty() || name.empty() || name[0] == '/' || name[0] == '~') return;
  name = directory + name;
}

void SP_class::Init(const ReservoirSetting& s) {
  diag = s.diag;
  tracers = s.tracers;
  tracerCount = s.tracerCount;
  subbasin = s.subbasin;
  zoneIndex = s.zoneIndex;
  lake = s.lake;
  lakeCells = s.lake != 0 ? s.lakeCells : nullptr;
  inputDirectory = s.inputDirectory;
  outputDirectory = s.outputDirectory;
  timeStep = s.timeStep;
  x0 = s.x0;
  y0 = s.y0;
  cellSize = s.cellSize;
  nodata = s.nodata;
  hourShift = s.hourShift;
  const std::size_t slots = static_cast<std::size_t>(tracerCount) + 1;
  state.assign(slots, 0.0);
  previousState.assign(slots, 0.0);
  cellState.assign(slots, 0.0);
  decayFactor.assign(slots, 1.0);
  for (int k = 1; k <= tracerCount && tracers; ++k) {
    const TracerRecord& t = (*tracers)[static_cast<std::size_t>(k)];
    if (t.radioactive && t.halfTime > 0.0)
      decayFactor[static_cast<std::size_t>(k)] =
          std::exp(-(timeStep / 60.0 / 24.0) / (meanLifePerHalfLife * t.halfTime));
  }
  writeMinutes = timeStep >= 1 && timeStep <= 59;
}

void SP_class::ReadParameters(FILE* /*controlFile*/, int numberArg, const std::string& ownText) {
  number = numberArg;
  const auto missing = [&](const char* key) {
    *diag << "FATAL: for reservoir " << number << ": no \"" << key << " =\" found!"
          << "[end-entry]";
    throw 35;
  };
  const char* p = nullptr;

  std::size_t at = valueOf(ownText, "file");
  if (at == std::string::npos) missing("file");
  const std::string blanks = {' ', '\t', RoutingDescriptionText::lineJoin};
  const std::size_t first = ownText.find_first_not_of(blanks, at);
  const std::size_t last =
      first == std::string::npos ? first : ownText.find_first_of(blanks, first);
  if (first == std::string::npos || last == first) missing("file");
  outputFileName = ownText.substr(first, last == std::string::npos ? last : last - first);
  PrependDirectory(outputDirectory, outputFileName);
  noteOutputFile(outputFileName, "the table of reservoir " + std::to_string(number) +
                                     ", \"file =\" of SP " + std::to_string(number) +
                                     " of [routing_model]");

  // A value must be a finite number: strtod takes "nan", "inf" and "1e999".
  const auto refuse = [&](const char* key, const std::string& value, const char* rule) {
    *diag << "FATAL: for reservoir " << number << ": \"" << key << " =\" reads \"" << value
          << "\", " << rule << "; correct the SP " << number << " of [routing_model]"
          << "[end-entry]";
    throw 35;
  };
  const auto numberAt = [&](const char* key, const char* at) {
    while (isBlank(*at)) ++at;
    char* stop = nullptr;
    const double x = std::strtod(at, &stop);
    if (stop == at) missing(key);
    // A number ends at a blank or a sign of the description: "600x" is none.
    if (!endsNumber(*stop)) {
      const char* end = stop;
      while (!endsNumber(*end)) ++end;
      refuse(key, std::string(at, static_cast<std::size_t>(end - at)), "not a number");
    }
    if (!std::isfinite(x))
      refuse(key, std::string(at, static_cast<std::size_t>(stop - at)), "not a finite number");
    return std::pair<double, const char*>(x, stop);
  };
  const auto wordAt = [&](std::size_t from) {
    const std::size_t first = ownText.find_first_not_of(blanks, from);
    if (first == std::string::npos) return std::string();
    return ownText.substr(first, ownText.find_first_of(blanks + "),;", first) - first);
  };

  at = valueOf(ownText, "V0");
  if (at == std::string::npos) missing("V0");
  initialVolume = numberAt("V0", ownText.c_str() + at).first;
  // A negative store would release and evaporate water that never was.
  if (initialVolume < 0.0) refuse("V0", wordAt(at), "a volume must not be negative");
  if (initialVolume > largestReservoirVolume)
    refuse("V0", wordAt(at), "a volume must be at most 1e14 m3 (the Caspian Sea holds 7.8e13 m3)");

  at = valueOf(ownText, "C0");
  if (at == std::string::npos) missing("C0");
  double c0[9] = {};
  p = ownText.c_str() + at;
  for (double& c : c0) {
    char* stop = nullptr;
    std::strtod(p, &stop);
    if (stop == p) {
      *diag << "FATAL: for reservoir " << number
            << ": \"C0 =\" must give nine initial concentrations, one for each possible tracer"
            << "[end-entry]";
      throw 35;
    }
    const char* start = p;
    while (isBlank(*start)) ++start;
    std::tie(c, p) = numberAt("C0", p);
    // A negative concentration takes away tracer that never was.
    if (!(c >= 0.0 && c <= 1e6))
      refuse("C0", std::string(start, static_cast<std::size_t>(p - start)),
             "a concentration must be 0 ... 1e6");
  }
  if (tracerCount > 9) {
    *diag << "FATAL: for reservoir " << number << ": " << tracerCount
          << " tracers, but a reservoir carries at most nine (\"C0 =\" gives nine)"
          << "[end-entry]";
    throw 35;
  }

  at = valueOf(ownText, "dTmin");
  if (at != std::string::npos) {
    dTmin = numberAt("dTmin", ownText.c_str() + at).first;
    if (!(dTmin > 0.0 && dTmin <= 86400.0))
      refuse("dTmin", wordAt(at), "a sub-step must be above 0 s and at most a day (86400 s)");
    if (dTmin > 60.0 * timeStep)
      *diag << "WARNING: for reservoir " << number << ": \"dTmin =\" reads " << dTmin
            << " s, longer than the routing time step of " << timeStep
            << " min: no sub-step fits into a step, so the reservoir releases nothing; "
               "give a dTmin of at most "
            << 60 * timeStep << " s"
            << "[end-entry]";
  }
  at = valueOf(ownText, "UseRunningAvg");
  if (at != std::string::npos) {
    const std::string word = wordAt(at);
    long hours = 0;
    if (!parseWholeNumber(word, hours) || hours < 0 || hours > 1000000)
      refuse("UseRunningAvg", word,
             "the length of the running mean must be whole hours, 0 or more");
    useRunningAvg = static_cast<int>(hours);
  }

  state[0] = initialVolume;
  for (int k = 1; k <= tracerCount; ++k)
    state[static_cast<std::size_t>(k)] = c0[static_cast<std::size_t>(k) - 1];
  rowLength = static_cast<std::size_t>(tracerCount) + 36;
  outputCapacity = std::max<std::size_t>(1, outputBufferBytes /
                                                (8 * (static_cast<std::size_t>(tracerCount) + 35)));
  outputBuffer.assign((outputCapacity + 1) * rowLength, 0.0);
  outputRows = outputColumns = 0;
}

void SP_class::SeekSection(FILE* controlFile, const std::string& section) {
  seekRuleSection(controlFile, section, *diag);
}

void SP_class::ReadAbstractionRules(FILE* controlFile, const std::string& controlFileName) {
  const std::string section = "[abstraction_rule_reservoir_" + std::to_string(number) + "]";
  SeekSection(controlFile, section);
  readRuleTable(controlFile, rules, *diag, section, controlFileName, true);
  if (rules.rows >= 1) {
    largestIndex = rules.index[static_cast<std::size_t>(rules.rows)];
    return;
  }
  connection = readHydraulicConnection(controlFile, channel, *diag, number);
  if (!connection) {
    *diag << "FATAL: " << section << " in " << userControlFile(controlFileName)
          << ": a row count below 1 needs a \"HydraulicConnection\" block on the next line; give "
             "reservoir "
          << number << " a rule table or a connection"
          << "[end-entry]";
    throw 29;
  }
}

void SP_class::RegisterLevel(LevelRegistry& registry) {
  levelRegistry = &registry;
  registry.emplace(number, ReservoirLevel{&level, &terms[dV].m3s, &area});
}

void SP_class::RegisterHydraulicConnection(HydraulicConnectionMap& map, int column) {
  connectionMap = &map;
  map.emplace(column, connection);
}

void SP_class::checkHydraulicConnection() const {
  if (!connection) return;
  if (lake == 0) {
    *diag << "FATAL: reservoir " << number << " (subbasin " << subbasin
          << ") has a HydraulicConnection, but it is no lake: its level never moves; switch the "
             "lake model on or give it a rule table"
          << "[end-entry]";
    throw 29;
  }
  if (!levelRegistry || levelRegistry->count(channel.targetReservoir) == 0) {
    *diag << "FATAL: reservoir " << number << " (subbasin " << subbasin << "): the TargetReservoir "
          << channel.targetReservoir
          << " of its HydraulicConnection is no reservoir of the routing model"
          << "[end-entry]";
    throw 29;
  }
}

std::size_t SP_class::runningSteps(double stepMinutes) const {
  const long steps = static_cast<long>(useRunningAvg * 60.0 / stepMinutes);
  return static_cast<std::size_t>(std::max(1L, steps));
}

void SP_class::setVolumeHistory(const std::vector<double>& volumes, double stepMinutes) {
  const std::size_t keep = std::min(volumes.size(), runningSteps(stepMinutes));
  volumeHistory.assign(volumes.end() - static_cast<long>(keep), volumes.end());
}

void SP_class::setConcentrations(const std::vector<double>& values) {
  for (std::size_t k = 1; k < state.size() && k <= values.size(); ++k) state[k] = values[k - 1];
}
