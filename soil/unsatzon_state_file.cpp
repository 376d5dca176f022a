// The state file of the unsaturated zone: the per-subbasin parameters,
// checked against the control file on reading, and the runoff on its way
// to the outlets (flow-time records and the contents of the linear
// storages), taken over by a warm start. Doubles are written with 17
// significant digits, so that a warm start goes on exactly where the former
// run stopped.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/diag_stream.h"
#include "core/run_files.h"
#include "core/state_numbers.h"
#include "core/string_helpers.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

constexpr int fileCode = 64;
constexpr int contentCode = 71;
constexpr double relativeTolerance = 1e-5;
const char* const sectionHead = "[unsatzon_model]";

template <typename Stored>
[[noreturn]] void mismatch(DiagStream& diag, const std::string& name, double control,
                           const Stored& stored) {
  diag << "FATAL: error in storage file content reading " << name
       << ":\nvalue in actual control is:   " << control
       << "\nbut value in storage file is: " << stored << "\nHorva throws..."
       << "[end-entry]";
  throw contentCode;
}

} // namespace

// The lines of a state file and a position in them; values are read from
// the current line only, so that a short line is found out rather than
// read on into the next one. A value is a word wholly a finite number, as in
// the control file; a comment in parentheses ends the values of a line.
class StorageText {
public:
  StorageText(std::FILE* file, DiagStream& diagArg, const std::string& pathArg)
      : diag(diagArg), path(pathArg) {
    std::string line;
    for (int ch = std::fgetc(file); ch != EOF; ch = std::fgetc(file)) {
      if (ch != '\n') {
        line += static_cast<char>(ch);
        continue;
      }
      lines.push_back(line);
      line.clear();
    }
    if (!line.empty()) lines.push_back(line);
  }
  // Moves behind the line that is the section head, blanks around it
  // ignored; false when there is none.
  bool findSection(const std::string& head) {
    for (; current < lines.size(); ++current) {
      const std::string& l = lines[current];
      const auto first = l.find_first_not_of(" \t\r");
      const auto last = l.find_last_not_of(" \t\r");
      if (first != std::string::npos && l.compare(first, last - first + 1, head) == 0) {
        nextLine();
        return true;
      }
    }
    return false;
  }
  bool readDouble(double& value, const std::string& what) {
    return read(what, "is not a finite number",
                [&](const std::string& word) { return parseNumber(word, value); });
  }
  bool readInt(long& value, const std::string& what) {
    return read(what, "is not a whole number",
                [&](const std::string& word) { return parseWholeNumber(word, value); });
  }
  // Skips the rest of the current line.
  void nextLine() {
    ++current;
    position = 0;
  }
  long lineNumber() const { return static_cast<long>(current) + 1; }

private:
  // False when the line holds no further value.
  template <typename Convert> bool read(const std::string& what, const char* rule, Convert convert) {
    if (current >= lines.size()) return false;
    const std::string& l = lines[current];
    const std::size_t start = l.find_first_not_of(" \t\r", position);
    if (start == std::string::npos || l[start] == '(') return false;
    const std::size_t end = std::min(l.find_first_of(" \t\r(", start), l.size());
    const std::string word = l.substr(start, end - start);
    if (!convert(word)) refuseStateValue(diag, path, lineNumber(), what, word, rule);
    position = end;
    return true;
  }
  DiagStream& diag;
  const std::string& path;
  std::vector<std::string> lines;
  std::size_t current = 0;
  std::size_t position = 0;
};

int unsatzonmodellklasse::writeStorageFile(bool append) {
  std::string path = storageFileName;
  prependDirectory(outputDirectory, path);
  std::FILE* file = std::fopen(path.c_str(), append ? "a" : "w");
  if (!file) {
    *diag << "FATAL: error opening storage content file " << path << "[end-entry]";
    throw fileCode;
  }
  const int n = zones.zoneCount;
  const size_t count = static_cast<size_t>(n);
  bool ok = std::fprintf(file, "%s\n%d (number of subasins)\n", sectionHead, n) > 0;
  for (size_t i = 1; i <= count && ok; ++i)
    ok = std::fprintf(file, "%.0f\t", static_cast<double>(subbasinCodes[i])) > 0;
  ok = ok && std::fputs("(code)\n", file) >= 0;
  const std::pair<const std::vector<double>*, const char*> parameters[] = {
      {&kelsqd, "(kelsqd in min)"},
      {&kelsqi, "(kelsqi in min)"},
      {&channelDensity, "(drainage density)"},
      {&kelsqlat,
       "(inverse recession constant for baseflow [needed when using no groundwater model])"},
      {&maxBaseflow, "(max. baseflow [needed when using no groundwater model])"},
      {&snowRunoffFraction, "(surface runoff fraction of snowmelt)"}};
  for (const auto& [values, label] : parameters) {
    for (size_t i = 1; i <= count && ok; ++i) ok = std::fprintf(file, "%.17g ", (*values)[i]) > 0;
    ok = ok && std::fprintf(file, "%s\n", label) > 0;
  }
  ok = ok && std::fprintf(file, "%d (number of tracers)\n", tracerCount) > 0;
  for (int t = 0; t <= tracerCount && ok; ++t) {
    const size_t k = static_cast<size_t>(t);
    ok = std::fprintf(file, "%d (0=runoff, 1...9 = tracers)\n", t) > 0;
    for (size_t z = 1; z <= count && ok; ++z) {
      const int steps = static_cast<int>(longestFlowTime[z]);
      ok = std::fprintf(file, "%d %d (zone %d and maxzeit)\n", static_cast<int>(z), steps,
                        static_cast<int>(z)) > 0;
      for (size_t m = 1; m <= static_cast<size_t>(steps) && ok; ++m)
        for (const auto& [records, label] :
             {std::pair{&directRecords[k][z], "QD"}, std::pair{&interflowRecords[k][z], "QI"}}) {
          const ZoneRecord& r = (*records)[m];
          ok = ok && std::fprintf(file,
                                  "%.17g %.17g %.17g %.17g %.17g "
                                  "(zoneFZT_%s.n/.sx/.zonenwert/.rel/.RelCellSum)\n",
                                  r.weightSum, r.valueSum, r.code, r.areaFraction,
                                  r.effectiveWeight, label) > 0;
        }
      ok = ok && std::fprintf(file, "%.17g (QDd[%d][%d])\n%.17g (QIi[%d][%d])\n", QDout[k][z], t,
                              static_cast<int>(z), QIout[k][z], t, static_cast<int>(z)) > 0;
    }
  }
  ok = ok && std::fputs("\n", file) >= 0;
  const int closed = std::fclose(file);
  if (!ok || closed != 0) {
    *diag << "FATAL: error writing storage content file " << path
          << "\n-> check disk space and user rights of the output directory"
          << "[end-entry]";
    throw fileCode;
  }
  return closed;
}

void unsatzonmodellklasse::readStorageFile() {
  std::string path = storageFileName;
  prependDirectory(inputDirectory, path);
  noteInputFile(path, "the state file that [unsatzon_model] starts from");
  std::FILE* file = std::fopen(path.c_str(), "rt");
  if (!file) {
    *diag << "FATAL: error opening storage content file " << path << "[end-entry]";
    throw fileCode;
  }
  StorageText text(file, *diag, path);
  std::fclose(file);
  if (!text.findSection(sectionHead)) {
    *diag << "FATAL: error locking for the section [unsatzon_model] in " << path << "[end-entry]";
    throw contentCode;
  }
  // A count, code or index that must equal the current one.
  auto expect = [&](const std::string& name, long current, bool lineEnds) {
    long stored = 0;
    if (!text.readInt(stored, name)) mismatch(*diag, name, static_cast<double>(current), "no number");
    if (stored != current)
      checkStorageValue(name, static_cast<double>(current), static_cast<double>(stored));
    if (lineEnds) text.nextLine();
  };
  const size_t n = static_cast<size_t>(zones.zoneCount);
  expect("number of subbasins", zones.zoneCount, true);
  for (size_t i = 1; i <= n; ++i) expect("subbasin code", subbasinCodes[i], false);
  text.nextLine();
  const std::pair<const std::vector<double>*, const char*> parameters[] = {
      {&kelsqd, "kelsqd"},   {&kelsqi, "kelsqi"}, {&channelDensity, "flussdichte"},
      {&kelsqlat, "kelsqlat"}, {&maxBaseflow, "Q0"}, {&snowRunoffFraction, "SR_Anteil"}};
  for (const auto& [values, name] : parameters) {
    for (size_t i = 1; i <= n; ++i) readStorageValue(text, &(*values)[i], name);
    text.nextLine();
  }
  expect("number of tracers", tracerCount, true);
  for (int t = 0; t <= tracerCount; ++t) {
    const size_t k = static_cast<size_t>(t);
    expect("actual tracers(0=runoff)", t, true);
    for (size_t z = 1; z <= n; ++z) {
      const long steps = static_cast<long>(longestFlowTime[z]);
      expect("actual zone", static_cast<long>(z), false);
      expect("maxzeit of actual subbasin", steps, true);
      for (size_t m = 1; m <= static_cast<size_t>(steps); ++m)
        for (const auto& [records, name] :
             {std::pair{&directRecords[k][z], "number of fields for zonal statistics QD"},
              std::pair{&interflowRecords[k][z], "number of fields for zonal statistics QI"}}) {
          ZoneRecord& r = (*records)[m];
          int fields = 0;
          for (double* field :
               {&r.weightSum, &r.valueSum, &r.code, &r.areaFraction, &r.effectiveWeight}) {
            if (!text.readDouble(*field, "a flow-time record of zone " + std::to_string(z)))
              break;
            ++fields;
          }
          if (fields < 5) checkStorageValue(name, 5.0, fields);
          requireFlowTimeRecord(
              *diag, path, [&] { return text.lineNumber(); }, r, static_cast<long>(z));
          text.nextLine();
        }
      for (auto [storage, name] : {std::pair{&QDout[k][z], "QDd"}, std::pair{&QIout[k][z], "QIi"}}) {
        if (!text.readDouble(*storage, name)) mismatch(*diag, name, *storage, "no number");
        requireStoredRunoff(
            *diag, path, [&] { return text.lineNumber(); },
            std::string(name) + " (what the " +
                (storage == &QDout[k][z] ? "direct runoff" : "interflow") + " storage of zone " +
                std::to_string(z) + " holds)",
            t, *storage);
        text.nextLine();
      }
    }
  }
}

int unsatzonmodellklasse::readStorageValue(StorageText& text, const double* value,
                                           const std::string& name) {
  const double current = *value;
  double stored = 0.0;
  if (!text.readDouble(stored, name)) mismatch(*diag, name, current, "no number");
  const bool agree = stored != 0.0 ? std::fabs((stored - current) / stored) <= relativeTolerance
                                   : current == 0.0;
  if (!agree) checkStorageValue(name, current, stored);
  return 1;
}

void unsatzonmodellklasse::checkStorageValue(const std::string& name, double control,
                                             double stored) {
  mismatch(*diag, name, control, stored);
}
