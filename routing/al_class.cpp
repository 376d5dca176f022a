// The abstraction's set-up: its mode and values from the routing
// description, its input table, its output table and its rule section.
#include "routing/al_class.h"

#include <algorithm>

#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/modelobject.h"
#include "core/run_files.h"
#include "routing/routing_description.h"

namespace {

// Longest file name of a description.
constexpr std::size_t longestName = 2400;

struct ModeWord {
  const char* word;
  AL_class::Mode mode;
};
constexpr ModeWord modeWords[] = {
    {"intern", AL_class::intern},
    {"extern", AL_class::externFlow},
    {"from_file", AL_class::fromFile},
    {"intern_with_rule", AL_class::internWithRule},
    {"extern_with_rule", AL_class::externWithRule},
    {"intern_with_rule_from_reservoir", AL_class::internFromReservoir}};

// A word of the description ends at ")" as well.
std::string cutAtParenthesis(std::string word) {
  const std::size_t at = word.find(')');
  if (at != std::string::npos) word.erase(at);
  return word;
}

bool atEnd(const TimeSeriesFile& file) { return file.getState() == 4 || file.getState() == 5; }

} // namespace

AL_class::~AL_class() = default;

void AL_class::PrependDirectory(const std::string& directory, std::string& name) const {
  modelobject::prependDirectory(directory, name);
}

void AL_class::SeekSection(FILE* controlFile, const std::string& section) {
  seekRuleSection(controlFile, section, *diag);
}

void AL_class::Init(const AbstractionSetting& s) {
  diag = s.diag;
  tracers = s.tracers;
  tracerCount = s.tracerCount;
  outputDirectory = s.outputDirectory;
  area = s.area;
  areaDivisor = s.areaDivisor;
  timeStep = s.timeStep;
  hourOffset = s.hourOffset;
  bufferBytes = s.bufferBytes;
  values.assign(static_cast<std::size_t>(tracerCount) + 1, 0.0);
  minuteColumn = timeStep > 0.0 && timeStep < 60.0;
}

int AL_class::ReadParameters(int numberArg, RoutingDescriptionText& text, int year, int month,
                             int day, int hour, int minute) {
  number = numberArg;
  const std::string name = "AL " + std::to_string(number);
  text.expectEquals("the mode of " + name);
  const std::string word = cutAtParenthesis(text.word(longestName, "the mode of " + name));
  const auto known = std::find_if(std::begin(modeWords), std::end(modeWords),
                                  [&](const ModeWord& m) { return word == m.word; });
  if (known == std::end(modeWords)) {
    *diag << "FATAL: the modus \"" << word << "\" is not supported for abstraction " << number
          << "[end-entry]";
    throw 44;
  }
  mode = known->mode;
  if (mode == externFlow || mode == externWithRule)
    outputFileName = cutAtParenthesis(text.word(longestName, "the output file of " + name));
  if (mode == intern || mode == externFlow) readShareValues(text);
  if (mode == fromFile) {
    text.expect("input_file", "\"input_file\" of " + name);
    text.expectEquals("the input file of " + name);
    inputFileName = cutAtParenthesis(text.word(longestName, "the input file of " + name));
    text.expectEquals("the input column of " + name);
    inputColumn = text.integer("the input column of " + name);
    text.expectEquals("the output file of " + name);
    outputFileName = cutAtParenthesis(text.word(longestName, "the output file of " + name));
    const int start[5] = {year, month, day, hour, minute};
    openInputFile(start);
  }
  if (writesTable()) {
    PrependDirectory(outputDirectory, outputFileName);
    noteOutputFile(outputFileName, "the table of abstraction " + std::to_string(number) + ", AL " +
                                       std::to_string(number) + " of [routing_model]");
    rowLength = static_cast<std::size_t>(tracerCount) + 6;
    bufferCapacity =
        std::max<std::size_t>(1, static_cast<std::size_t>(bufferBytes) /
                                     (8 * (static_cast<std::size_t>(tracerCount) + 1) + 40));
    buffer.assign((bufferCapacity + 1) * rowLength, 0.0);
  }
  return mode;
}

// Minimum, fraction and maximum, then their unit: limits given as flows
// are kept as depths over the element.
void AL_class::CreateOutputTable() {
  if (writesTable()) writeHeader();
}

void AL_class::readShareValues(RoutingDescriptionText& text) {
  const std::string name = "AL " + std::to_string(number);
  minimum = text.number("the minimum flow of " + name);
  fraction = text.number("the fraction of " + name);
  maximum = text.number("the maximum abstraction of " + name);
  // The abstraction takes the share `fraction` of the flow above `minimum`,
  // at most `maximum`: otherwise it would give water to the river.
  if (!(minimum >= 0.0)) text.refuse("the minimum flow of " + name, minimum, "must be 0 or more");
  if (!(fraction >= 0.0 && fraction <= 1.0))
    text.refuse("the fraction of " + name, fraction, "must lie within 0 ... 1");
  if (!(maximum >= 0.0))
    text.refuse("the maximum abstraction of " + name, maximum, "must be 0 or more");
  const std::string unit = cutAtParenthesis(text.word(longestName, "the unit of " + name));
  if (unit.find("m^3/s") != std::string::npos || unit.find("m3/s") != std::string::npos ||
      unit.find("m3s") != std::string::npos) {
    minimum = FlowToDepth(minimum, areaRatio(), timeStep);
    maximum = FlowToDepth(maximum, areaRatio(), timeStep);
  }
}

void AL_class::openInputFile(const int* startDate) {
  input = std::make_unique<TimeSeriesFile>(diag);
  TimeSeriesFile& file = *input;
  noteInputFile(inputFileName,
                "the input file of AL " + std::to_string(number) + " of [routing_model]");
  file.open(inputFileName, 0, 1000000);
  if (file.getState() == 3 || file.getState() == 5) {
    *diag << "FATAL: error opening " << inputFileName << " for abstraction " << number
          << "[end-entry]";
    throw 37;
  }
  file.movePosition(-1);
  std::fill(inputDate, inputDate + 5, 0);
  while (!std::equal(inputDate, inputDate + 5, startDate)) {
    file.next();
    if (atEnd(file)) {
      *diag << "FATAL: starting date " << startDate[2] << "." << startDate[1] << "." << startDate[0]
            << ", " << startDate[3] << ". h in " << inputFileName << " not found."
            << "[end-entry]";
      throw 38;
    }
    file.getDate(inputDate[0], inputDate[1], inputDate[2], inputDate[3], inputDate[4]);
    if (inputDate[0] <= 999) inputDate[0] += 1900;
  }
  // A column outside the records would read as -9999 every step.
  if (inputColumn < 0 || inputColumn >= file.getValueColumns()) {
    *diag << "FATAL: abstraction " << number << ": input column " << inputColumn << " of "
          << inputFileName << " is not among its " << file.getValueColumns()
          << " value columns; count the columns from 0, after the date columns"
          << "[end-entry]";
    throw 38;
  }
}

void AL_class::ReadAbstractionRules(FILE* controlFile, const std::string& controlFileName) {
  if (mode != internWithRule && mode != externWithRule && mode != internFromReservoir) return;
  const std::string section = "[abstraction_rule_abstraction_" + std::to_string(number) + "]";
  SeekSection(controlFile, section);
  readRuleTable(controlFile, rules, *diag, section, controlFileName, false);
  if (rules.rows < 1) {
    *diag << "FATAL: " << section << " in " << userControlFile(controlFileName)
          << ": the rule of abstraction " << number
          << " needs at least one table row; give the row count and the rows"
          << "[end-entry]";
    throw 34;
  }
}
