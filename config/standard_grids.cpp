#include <cstring>
#include <string>
#include <vector>

#include "config/defaultini.h"
#include "config/section_reader.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/run_files.h"

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

struct Word {
  std::string text;
  std::size_t end; // position behind the word in its line
};

std::vector<Word> wordsOf(const std::string& line) {
  std::vector<Word> words;
  std::size_t p = 0;
  while (true) {
    while (p < line.size() && isBlank(line[p])) ++p;
    if (p == line.size()) return words;
    const std::size_t begin = p;
    while (p < line.size() && !isBlank(line[p])) ++p;
    words.push_back({line.substr(begin, p - begin), p});
  }
}

std::string formatted(const char* text, int k) {
  std::string result(text);
  const std::size_t at = result.find("%d");
  if (at != std::string::npos) result.replace(at, 2, std::to_string(k));
  return result;
}

// The keys of a standard-grid line after its name and identifier.
class StandardGridKeys {
public:
  StandardGridKeys(SectionReader& sectionArg, DiagStream& diagArg, int kArg,
                   const std::string& lineArg, std::string restArg)
      : section(sectionArg), diag(diagArg), k(kArg), line(lineArg), rest(std::move(restArg)) {}

  // The text behind the "=" of key. A key counts where it is followed by
  // "=" (blanks between them allowed), so that a key's text inside a file
  // name is not taken for the key.
  bool find(const char* key, std::string& value) const {
    const std::size_t length = std::strlen(key);
    for (std::size_t at = rest.find(key); at != std::string::npos; at = rest.find(key, at + 1)) {
      std::size_t p = at + length;
      while (p < rest.size() && (rest[p] == ' ' || rest[p] == '\t')) ++p;
      if (p < rest.size() && rest[p] == '=') {
        value = rest.substr(p + 1);
        return true;
      }
    }
    return false;
  }

  template <typename T> bool number(const char* key, T& target) const {
    std::string value;
    if (!find(key, value)) return false;
    if (!parse(value, target)) bad(key);
    return true;
  }

  bool word(const char* key, std::string& target) const {
    std::string value;
    if (!find(key, value)) return false;
    const std::vector<Word> words = wordsOf(value);
    if (words.empty()) bad(key);
    target = words[0].text;
    return true;
  }

  // "periodicity = N unit M"
  bool periodicity(StandardGrid& g) const {
    std::string value;
    if (!find("periodicity", value)) return false;
    const std::vector<Word> words = wordsOf(value);
    if (words.size() < 3 || !parse(words[0].text, g.periodCount) ||
        !parse(words[2].text, g.periodSteps))
      bad("periodicity");
    g.periodUnit = words[1].text;
    if (!periodUnitLetter(g.periodUnit)) badUnit(g.periodUnit);
    return true;
  }

  // "persistent = 0 K" or "persistent = 1"; K, the steps after a re-read
  // until the set-up values return, is needed only when it is 0.
  void persistence(StandardGrid& g) const {
    std::string value;
    if (!find("persistent", value)) return;
    const std::vector<Word> words = wordsOf(value);
    int flag = -1;
    if (words.empty() || !parse(words[0].text, flag) || (flag != 0 && flag != 1)) bad("persistent");
    g.persistent = flag == 1;
    if (words.size() > 1 && parse(words[1].text, g.restoreAfter)) return;
    if (!g.persistent) bad("persistent");
  }

  // Only the first letter of the unit counts, so "MONTH" and "month" are
  // months; a word that begins with none of the four letters would leave the
  // grid without re-reading.
  [[noreturn]] void badUnit(const std::string& unit) const {
    diag << "FATAL: error in control file, unknown unit \"" << unit
         << "\" in the periodicity of standard grid " << k << ": "
         << section.location(section.valueLine(), line)
         << ": the unit must begin with H (hours), D (days), M (months) or Y (years)"
         << "[end-entry]";
    throw 17;
  }

  [[noreturn]] void bad(const char* key) const {
    section.fail(std::string("\nvalue of ") + key + " for standard grid " + std::to_string(k) +
                     " in\n",
                 section.valueLine(), line);
  }

private:
  static bool parse(const std::string& text, int& target) { return parseLeadingInt(text, target); }
  static bool parse(const std::string& text, long& target) {
    return parseLeadingLong(text, target);
  }
  static bool parse(const std::string& text, double& target) {
    return parseLeadingDouble(text, target);
  }

  SectionReader& section;
  DiagStream& diag;
  int k;
  const std::string& line;
  std::string rest;
};

} // namespace

int defaultini::readStandardGrids() {
  const struct {
    int index;
    const char* section;
  } firstGrids[] = {{1, "[zone_grid]"}, {2, "[elevation_model]"}};
  for (const auto& first : firstGrids) {
    seekSection(first.section, true);
    SectionReader section(*this, controlFile, controlFileName, first.section);
    GridRegistryEntry& e = registry[first.index];
    e.fileName = section.readWord(" Name for ");
    e.hasFileName = true;
    e.name = first.section;
    e.hasName = true;
    noteGridFile(e.fileName,
                 std::string(first.index == 1 ? "the zone grid of " : "the elevation model of ") +
                     first.section);
  }

  seekSection("[standard_grids]", true);
  SectionReader section(*this, controlFile, controlFileName, "[standard_grids]");
  const int n = section.readInt("counter/number of grids ");
  if (n < 0) section.refuseValue("counter/number of grids ", n, "must be 0 or more");
  standardGrids.clear();
  standardGridCount = 0;
  gridCount = 0;
  registry[1].latitudeIndex = 0;
  registry[1].longitudeIndex = 0;
  for (int k = 1; k <= n; ++k) {
    const int index = k + 2;
    if (index >= gridRegistryLimit) {
      *diag << "FATAL: no free grid in memory,(max. " << gridRegistryLimit << ")!"
            << " [standard_grids] of " << userControlFile(controlFileName) << " declares " << n
            << " grids"
            << "[end-entry]";
      throw 12;
    }
    std::string line;
    const bool found = section.nextLine(line);
    const std::vector<Word> words = wordsOf(line);
    if (!found || words.size() < 2)
      section.fail(formatted("\nerror reading a grid name or identifier %d in\n", k),
                   section.valueLine(), line);

    StandardGrid g;
    g.index = index;
    // Old style: a fill code follows the identifier; new style: keys only.
    const bool oldStyle = words.size() > 2 && parseLeadingInt(words[2].text, g.fillCode);
    const StandardGridKeys keys(section, *diag, k, line, line.substr(words[oldStyle ? 2 : 1].end));
    if (!keys.number("fillcode", g.fillCode) && !oldStyle)
      section.fail(formatted("\nerror reading the fillcode for standard grid %d (found neither in "
                             "old nor in new style standard grid definition) in\n",
                             k),
                   section.valueLine(), line);
    // Other fill codes would leave holes as nodata without a word.
    if (g.fillCode < 0 || g.fillCode > 2)
      section.refuseValue("fillcode", g.fillCode,
                          "of the grid \"" + words[1].text +
                              "\" must be 0 (keep nodata), 1 (nearest value) or 2 (defaultValue)");
    keys.number("readcode", g.readCode);
    keys.number("defaultValue", g.defaultValue);
    keys.number("writecode", g.writeCode);
    std::string outputName = words[0].text;
    keys.word("outname", outputName);
    keys.word("statfile", g.statFile);
    keys.number("statcode", g.statCode);
    if (keys.periodicity(g)) keys.persistence(g);

    GridRegistryEntry& e = registry[index];
    e.hasFileName = true;
    e.fileName = words[0].text;
    e.hasName = true;
    e.name = words[1].text;
    e.firstFileName = outputName;
    e.hasFirstFileName = 1;
    standardGrids.push_back(g);
    standardGridCount = gridCount = k;
    protectInputFile(index, "standard grid", g.readCode, g.writeCode);
    if (g.readCode >= 1)
      noteGridFile(e.fileName, "the standard grid \"" + e.name + "\" of [standard_grids]");

    // netCDF output carries these two grids as its coordinates.
    if (e.name == "latitude") {
      *diag << "found latitude grid on position: " << k << "[end-entry]";
      registry[1].latitudeIndex = index;
    } else if (e.name == "longitude") {
      *diag << "found longitude grid on position: " << k << "[end-entry]";
      registry[1].longitudeIndex = index;
    }
  }
  warnOfUncountedGridLines(section, n);
  return standardGridCount;
}

// A count one below the lines drops the last grid without a word; lowering
// the count to leave the last grids unread is an old habit, so the lines are
// named rather than refused.
void defaultini::warnOfUncountedGridLines(SectionReader& section, int count) {
  std::string line;
  while (section.nextLine(line)) {
    const std::vector<Word> words = wordsOf(line);
    if (words.size() < 2) continue;
    int fillCode = 0;
    const bool oldStyle = words.size() > 2 && parseLeadingInt(words[2].text, fillCode);
    std::string value;
    const bool newStyle =
        StandardGridKeys(section, *diag, count + 1, line, line.substr(words[1].end))
            .find("fillcode", value);
    if (!oldStyle && !newStyle) continue;
    section.warn(section.valueLine(), line,
                 "this line reads as a standard grid, but the section's count is " +
                     std::to_string(count) +
                     ", so it is not read; raise the count to read the grid \"" + words[1].text +
                     "\", or remove the line");
  }
}

void defaultini::noteGridFile(const std::string& fileName, const std::string& use) const {
  std::string path = fileName;
  const std::size_t marker = path.find('<');
  if (marker != std::string::npos && marker > 0) path.resize(marker);
  prependDirectory(inputDirectory, path);
  noteInputFile(path, use);
}

// A grid read from a file and written under the same name would overwrite
// the user's input; it is written under the name with ".out" appended.
void defaultini::protectInputFile(int index, const std::string& kind, int readCode,
                                  long writeCode) {
  const int writeMode = splitWriteCode(writeCode).writeMode;
  if (readCode < 1 || writeMode < 1 || writeMode > 8) return;
  GridRegistryEntry& e = registry[index];
  std::string input = e.fileName;
  std::string output = e.firstFileName;
  prependDirectory(inputDirectory, input);
  prependDirectory(outputDirectory, output);
  if (input != output) return;
  e.firstFileName += ".out";
  *diag << "WARNING: the " << kind << " " << e.name << " would be written over its input file "
        << input << "; it is written as " << e.firstFileName << " instead"
        << "[end-entry]";
}
