#include "core/state_numbers.h"

#include <cctype>
#include <limits>

#include "core/ascii_grid_text.h"
#include "core/diag_stream.h"
#include "core/string_helpers.h"

bool stateLineNumbers(const std::string& line, std::vector<double>& values, std::string& fault) {
  values.clear();
  for (const std::string& word : splitWords(line.substr(0, line.find('(')))) {
    double value = 0.0;
    if (!parseNumber(word, value)) {
      fault = word;
      return false;
    }
    values.push_back(value);
  }
  return true;
}

void refuseStateValue(DiagStream& diag, const std::string& path, long line,
                      const std::string& what, const std::string& text, const std::string& rule) {
  diag << "FATAL: the state file " << path << ", line " << line << ": " << what << " reads \""
       << text << "\", which " << rule
       << "; start from the files of a former run as it wrote them, or cold"
       << "[end-entry]";
  throw 71;
}

void refuseNegativeStateValue(DiagStream& diag, const std::string& path, long line,
                              const std::string& what, double value) {
  char text[maxGridValueChars + 1];
  text[formatGridValue(value, text)] = '\0';
  refuseStateValue(diag, path, line, what, text, "must not be negative");
}

void requireStateConcentration(DiagStream& diag, const std::string& path, long line,
                               const std::string& what, double value) {
  if (value >= 0.0 && value <= largestConcentration) return;
  char text[maxGridValueChars + 1];
  text[formatGridValue(value, text)] = '\0';
  refuseStateValue(diag, path, line, what, text,
                   "must be 0 ... 2e6 (no solution holds more than 2e6 mg/l, 2000 g/l or 1 kg/kg)");
}

namespace {

// Sums and stores of the runoff on its way to the outlet may end a hair
// below 0 where values that cancel were added up; a run writes them so, and
// the run through goes on with them, so a warm start takes them as written.
constexpr double runoffRounding = -1e-6;

} // namespace

void requireFlowTimeRecord(DiagStream& diag, const std::string& path, const StateLineNumber& line,
                           const ZoneRecord& record, long zone) {
  const double unbounded = std::numeric_limits<double>::infinity();
  const struct {
    const char* field;
    double value;
    double lowest;
    double highest;
  } fields[] = {{"the weight sum n", record.weightSum, runoffRounding, unbounded},
                {"the runoff sum sx", record.valueSum, runoffRounding, unbounded},
                {"the step or zone number zonenwert", record.code, 0.0, unbounded},
                {"the area fraction rel", record.areaFraction, 0.0, 1.0},
                {"the sum of relative cell areas RelCellSum", record.effectiveWeight,
                 runoffRounding, unbounded}};
  for (const auto& f : fields) {
    if (f.value >= f.lowest && f.value <= f.highest) continue;
    char text[maxGridValueChars + 1];
    text[formatGridValue(f.value, text)] = '\0';
    refuseStateValue(diag, path, line(),
                     std::string(f.field) + " of a flow-time record of zone " +
                         std::to_string(zone),
                     text, f.highest == 1.0 ? "must be 0 ... 1" : "must not be negative");
  }
}

void requireStoredRunoff(DiagStream& diag, const std::string& path, const StateLineNumber& line,
                         const std::string& what, int tracer, double value) {
  if (tracer > 0) {
    if (value >= 0.0 && value <= largestConcentration) return;
    requireStateConcentration(diag, path, line(), what, value);
  }
  if (!(value >= runoffRounding)) refuseNegativeStateValue(diag, path, line(), what, value);
}

long lineNumberAt(std::FILE* file, long at) {
  const long kept = std::ftell(file);
  long line = 1;
  if (kept < 0 || std::fseek(file, 0, SEEK_SET) != 0) return 0;
  for (long k = 0; k < at; ++k) {
    const int c = std::fgetc(file);
    if (c == EOF) break;
    if (c == '\n') ++line;
  }
  std::fseek(file, kept, SEEK_SET);
  return line;
}

bool nextStateNumber(std::FILE* file, DiagStream& diag, const std::string& path,
                     const std::string& what, bool whole, double& value) {
  int c = std::fgetc(file);
  while (c != EOF && std::isspace(c)) c = std::fgetc(file);
  if (c == EOF) return false;
  const long start = std::ftell(file) - 1;
  if (c == '(') {
    std::ungetc(c, file);
    return false;
  }
  std::string word;
  for (; c != EOF && !std::isspace(c) && c != '('; c = std::fgetc(file))
    word.push_back(static_cast<char>(c));
  if (c != EOF) std::ungetc(c, file);
  long integer = 0;
  const bool read = whole ? parseWholeNumber(word, integer) : parseNumber(word, value);
  if (!read)
    refuseStateValue(diag, path, lineNumberAt(file, start), what, word,
                     whole ? "is not a whole number" : "is not a finite number");
  if (whole) value = static_cast<double>(integer);
  return true;
}
