#include "config/tracer_ini_class.h"

#include <cmath>
#include <cstdio>
#include <sstream>

#include "config/section_reader.h"
#include "core/control_file_lines.h"
#include "core/control_file_text.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"
#include "core/string_helpers.h"

namespace {

// The words of one tracer line. The first word is the tracer's name; key
// words are compared as whole words and never matched inside the name or a
// value, so that "path = /data/radioactive/" names no flag.
class TracerLine {
public:
  explicit TracerLine(const std::string& line) {
    tokenize(line, " \t\r\n", words, false);
    isValue.assign(words.size(), false);
    for (std::size_t i = 0; i < words.size(); ++i) {
      const std::string& w = words[i];
      const bool follows = i > 0 && !words[i - 1].empty() && words[i - 1].back() == '=';
      isValue[i] = i == 0 || follows || w.find('=') != std::string::npos;
    }
  }

  std::string name() const { return words.empty() ? std::string() : words.front(); }

  bool hasWord(const std::string& word) const { return find(word) != npos; }

  // A key whose "=" may follow it directly or as the next word ("min_conc =
  // 1", "min_conc =1", "min_conc=1"). Returns false when the key is absent;
  // otherwise `equals` tells whether its "=" was found, and `value` holds the
  // text after the "=".
  bool findLooseKey(const std::string& key, bool& equals, std::string& value) const {
    equals = false;
    for (std::size_t i = 1; i < words.size(); ++i) {
      const std::string& w = words[i];
      if (w.compare(0, key.size() + 1, key + "=") == 0) {
        equals = true;
        value = textFrom(i, key.size() + 1);
        return true;
      }
    }
    const std::size_t at = find(key);
    if (at == npos) return false;
    if (at + 1 < words.size() && words[at + 1].front() == '=') {
      equals = true;
      value = textFrom(at + 1, 1);
    }
    return true;
  }

  // A key written exactly as "key =" (the "=" a word of its own or the start
  // of the value word). Returns false when there is none.
  bool findExactKey(const std::string& key, std::string& value) const {
    for (std::size_t i = 1; i + 1 < words.size(); ++i) {
      if (!isValue[i] && words[i] == key && words[i + 1].front() == '=') {
        value = textFrom(i + 1, 1);
        return true;
      }
    }
    return false;
  }

private:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  std::size_t find(const std::string& word) const {
    for (std::size_t i = 1; i < words.size(); ++i)
      if (!isValue[i] && words[i] == word) return i;
    return npos;
  }

  // The line from character `skip` of word i on, words joined by blanks.
  std::string textFrom(std::size_t i, std::size_t skip) const {
    std::string text = words[i].substr(skip);
    for (std::size_t j = i + 1; j < words.size(); ++j) text += " " + words[j];
    return text;
  }

  std::vector<std::string> words;
  std::vector<bool> isValue;
};

// Reads a number and, when there is one, the word after it, as "%lf%s" does.
int scanNumberAndWord(const std::string& text, double& number, std::string& word) {
  std::vector<char> buffer(text.size() + 1);
  const int count = std::sscanf(text.c_str(), "%lf%s", &number, buffer.data());
  // "nan", "inf" and "1e999" scan as numbers; none is a concentration.
  if (count >= 1 && !std::isfinite(number)) return 0;
  if (count == 2) word = buffer.data();
  return count;
}

std::string firstWord(const std::string& text) {
  std::vector<std::string> words;
  tokenize(text, " \t\r\n", words, false);
  return words.empty() ? std::string() : words.front();
}

[[noreturn]] void tracerFailure(DiagStream& diag, const std::string& message) {
  diag << "FATAL: " << message << "[end-entry]";
  throw 56;
}

std::string describe(const char* first, int k, const char* last = "") {
  std::ostringstream text;
  text << first << k << last;
  return text.str();
}

// The text after the "=" of a key "key = ..." whose "=" may also stand
// directly after the key; the messages name the key and tracer k.
std::string looseKeyValue(DiagStream& diag, const TracerLine& line, const std::string& key, int k) {
  bool equals = false;
  std::string value;
  if (!line.findLooseKey(key, equals, value))
    tracerFailure(diag,
                  describe("error reading parameters for tracer ", k, ":\nneed a key word \"") +
                      key + " = xxxx\"");
  if (!equals)
    tracerFailure(diag, "error reading " + key + describe(" for tracer ", k, ": no \"") + key +
                            " =\" found!");
  return value;
}

double readNumber(DiagStream& diag, const TracerLine& line, const std::string& key, int k,
                  const char* unreadableEnd) {
  // The first word of the value, wholly a finite number ("0.5x" is none).
  double number = 0.0;
  if (!parseLeadingDouble(looseKeyValue(diag, line, key, k), number))
    tracerFailure(diag, "error reading " + key + describe(" for tracer ", k, unreadableEnd));
  return number;
}

// "max_conc = number [unit]"; the unit is checked, a missing one is kg/kg.
double readMaxConc(DiagStream& diag, const TracerLine& line, int k) {
  double number = 0.0;
  std::string unit;
  const int count = scanNumberAndWord(looseKeyValue(diag, line, "max_conc", k), number, unit);
  if (count < 1) tracerFailure(diag, describe("error reading max_conc for tracer ", k));
  if (count == 2 && unit != "mg/l" && unit != "g/l" && unit != "kg/kg" && unit != "Kg/Kg")
    tracerFailure(diag, describe("error reading max_conc for tracer ", k,
                                 ":\nwrong measure (only mg/l, g/l or kg/kg resp. no measure are "
                                 "allowed!)\nread here: ") +
                            unit);
  return number;
}

// The value text of a key "key = ..."; the messages name the key and tracer k.
std::string exactKeyValue(DiagStream& diag, const TracerLine& line, const std::string& key, int k) {
  std::string value;
  if (!line.findExactKey(key, value))
    tracerFailure(diag, "error reading " + key +
                            describe(" for tracer ", k, ":\nneed a key word \"") + key +
                            " = xxxx\"");
  return value;
}

int readCode(DiagStream& diag, const TracerLine& line, const std::string& key, int k) {
  int code = 0;
  if (!parseLeadingInt(exactKeyValue(diag, line, key, k), code))
    tracerFailure(diag, "error reading " + key + describe(" for tracer ", k, "!"));
  return code;
}

std::string readWord(DiagStream& diag, const TracerLine& line, const std::string& key, int k) {
  const std::string word = firstWord(exactKeyValue(diag, line, key, k));
  if (word.empty()) tracerFailure(diag, "error reading " + key + describe(" for tracer ", k, "!"));
  return word;
}

// Which of two flag words the line holds: 0 for `off`, 1 for `on` (`off`
// wins when both stand), -1 for neither.
int readFlag(const TracerLine& line, const std::string& on, const std::string& off) {
  if (line.hasWord(off)) return 0;
  return line.hasWord(on) ? 1 : -1;
}

std::string missingFlag(int k, const std::string& on, const std::string& off, int n) {
  std::ostringstream text;
  text << "error reading parameters for tracer " << k << ":\n need a key word \"" << on
       << "\" or \"" << off << "\"\n(may be, the number of tracers (" << n << ") is wrong?";
  return text.str();
}

// The first three characters of the name, lower case, padded with "_".
std::string tracerName(const std::string& word) {
  std::string name = word.substr(0, 3);
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  name.resize(3, '_');
  return name;
}

} // namespace

tracer_ini_class::tracer_ini_class(
    int& errorCode, DiagStream* diagArg, const std::string& controlFileNameArg, int unused,
    bool writeAscii, bool writeDouble, bool writeNetCDF, const std::string& inputDirectoryArg,
    const std::string& outputDirectoryArg, const std::vector<long>* cellsPerProcessArg,
    const std::vector<HaloStrip>* haloSendListArg, const std::vector<HaloStrip>* haloReceiveListArg,
    int driverFlagArg, long driverValueArg)
    : modelobject(diagArg, controlFileNameArg, unused, writeAscii, writeDouble, writeNetCDF,
                  inputDirectoryArg, outputDirectoryArg, cellsPerProcessArg, haloSendListArg,
                  haloReceiveListArg, driverFlagArg, driverValueArg) {
  moduleName = "tracer_ini";
  errorCode = catchModuleFailure([&] {
    HORVA_ANNOUNCE_MODULE(*diag);
    readTracers();
  });
  if (errorCode != 0 && controlFile) {
    std::fclose(controlFile);
    controlFile = nullptr;
  }
}

void tracer_ini_class::FreeMemory() {
  std::vector<TracerRecord>().swap(tracer_info_table);
  tracerCount = 0;
  modelobject::releaseModule();
}

void tracer_ini_class::readTracers() {
  controlFile = openControlFile(controlFileName);
  if (!controlFile) {
    *diag << "FATAL: error opening " << controlFileName << "[end-entry]";
    throw 28;
  }
  seekSection("[substance_transport]", true);
  // Decimal, so that a count written with a leading zero is not octal.
  int count = 0;
  readControlValue(controlFile, "%d", count, " number of tracers in ");
  if (count > maxTracers) {
    *diag << "FATAL: not more than 9 tracer species are allowed at one time (they need a very lot "
             "of memory!)"
          << "[end-entry]";
    throw 58;
  }
  tracerCount = count < 1 ? 0 : count;
  if (tracerCount > 0) tracer_info_table.assign(static_cast<std::size_t>(tracerCount) + 1, {});

  std::string line;
  for (int k = 1; k <= tracerCount; ++k) {
    *diag << "reading parameters for tracer " << k << " ..."
          << "[end-entry]";
    readRestOfLine(controlFile, line);
    readTracer(k, line);
    *diag << "done."
          << "[end-entry]";
  }

  FILE* file = controlFile;
  controlFile = nullptr;
  if (std::fclose(file) != 0) {
    *diag << "FATAL: error closing " << controlFileName << "[end-entry]";
    throw 11;
  }
}

void tracer_ini_class::readTracer(int k, const std::string& text) {
  const TracerLine line(text);
  TracerRecord& r = tracer_info_table[k];

  r.name = tracerName(line.name());
  for (int j = 1; j < k; ++j) {
    if (tracer_info_table[j].name != r.name) continue;
    *diag << "FATAL: \n----------- ERROR in substance_transport ---------\n\nsubstance #" << k
          << " and substance #" << j << " have the same\nfirst 3 chars (lowercase) in its name ("
          << r.name << " <-> " << tracer_info_table[j].name << ")\n\n"
          << "--------------------------------------------------\n"
          << "[end-entry]";
    throw 59;
  }

  const int radioactive = readFlag(line, "radioactive", "non_radioactive");
  if (radioactive < 0)
    tracerFailure(*diag, missingFlag(k, "radioactive", "non_radioactive", tracerCount) + "\n");
  r.radioactive = radioactive;
  r.halfTime = -9999.0;
  if (radioactive == 1) {
    bool equals = false;
    std::string value;
    if (!line.findLooseKey("half_time", equals, value))
      tracerFailure(*diag, describe("error in tracer_info_table tracer ", k,
                                    ": need a \"half_time = xxxx d\" sequence!"));
    if (!equals)
      tracerFailure(
          *diag, describe("error reading half_time for tracer ", k, ": no \"half_time =\" found!"));
    std::string unit;
    if (scanNumberAndWord(value, r.halfTime, unit) != 2)
      tracerFailure(*diag, describe("error reading half_time for tracer ", k));
    if (unit != "d")
      tracerFailure(*diag, describe("error reading half_time for tracer ", k,
                                    ": no \"d\" for measure found!"));
    // Written so that a half time that is not a number fails too.
    if (!(r.halfTime >= 0.0))
      tracerFailure(*diag,
                    describe("error in half_time for tracer ", k, ": must be greater than 0!"));
  }

  const int evaporating = readFlag(line, "evaporating", "non_evaporating");
  if (evaporating < 0)
    tracerFailure(*diag, missingFlag(k, "evaporating", "non_evaporating", tracerCount));
  r.evaporating = evaporating;

  r.minConc = readNumber(*diag, line, "min_conc", k, "");
  r.maxConc = readMaxConc(*diag, line, k);
  r.soilIni = readNumber(*diag, line, "soilini", k, "!");
  r.gwIni = readNumber(*diag, line, "gwini", k, "!");
  r.statCode = readCode(*diag, line, "statcode", k);
  r.gridCode = readCode(*diag, line, "gridcode", k);
  r.path = readWord(*diag, line, "path", k);
  r.statExt = readWord(*diag, line, "statext", k);
  r.gridExt = readWord(*diag, line, "gridext", k);
}
