// The per-subbasin tables of the modules' sections.

#include "submodel/subbasin_table.h"

#include "config/section_reader.h"
#include "core/control_file_lines.h"
#include "core/control_file_text.h"
#include "core/diag_stream.h"
#include "core/string_helpers.h"

namespace {

constexpr int subbasinTableCode = 10;

const char* const groupText =
    "\npossible error by using the same parameters\nfor groups of subbasins:\nat least the first "
    "AND the last subbasin code have\nto be specified with all their parameters like this:\n(if "
    "the smallest code is 1 and the largest code is 8)\n1\t8\n3\t3\n8\t8\n14\t14\n0.4\t0.4\n0.01\t0"
    ".01\n0.1\t0.1\n..\t..\nThen, to all subcatchments with zone-codes ranging from 1 to 7 the "
    "\nparameters of subbasin 1 will be assigned!";

// "[module], kelsqd[2]": a value of the table that is meant as a number but
// is not wholly one ("2x", "nan") ends the run as every such value of the
// control file; a word that is no number at all is a fault of the table.
std::string tableValue(const modelobject& module, const std::string& name, long code) {
  return "[" + module.getModuleName() + "], " + name + "[" + std::to_string(code) + "]";
}

} // namespace

bool nextTextLine(std::FILE* file, std::string& line) {
  for (;;) {
    const int first = std::fgetc(file);
    if (first == EOF) return false;
    std::ungetc(first, file);
    readRestOfLine(file, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (!splitWords(line).empty()) return true;
  }
}

void failSubbasinTable(modelobject& module, const std::string& what, const std::string& hint,
                       bool groupHint) {
  *module.getDiag() << "FATAL: \n-----------------error------------\n"
                    << what << module.getModuleName() << hint << (groupHint ? groupText : "")
                    << "[end-entry]";
  throw subbasinTableCode;
}

void readSubbasinTable(modelobject& module, std::FILE* file, const std::string& controlFileName,
                       const SubmodelZones& zones, const std::vector<SubbasinTableLine>& lines) {
  const int n = zones.zoneCount;
  std::string line;
  std::vector<bool> given(static_cast<size_t>(n) + 1, false);
  std::vector<std::string> words;
  if (nextTextLine(file, line)) words = splitWords(line);
  int lastIndex = 0;
  for (size_t k = 0; lastIndex < n; ++k) {
    int code = 0;
    if (k >= words.size() || !looksLikeNumber(words[k]))
      failSubbasinTable(module, "error reading code[" + std::to_string(k + 1) + "] for ");
    if (!parseWholeInt(words[k], code))
      module.refuseValueText(tableValue(module, "code", k + 1), words[k], "a whole number");
    const int index =
        code >= 1 && code <= zones.maxCode ? zones.indexOfCode[static_cast<size_t>(code)] : 0;
    if (index == 0)
      failSubbasinTable(module, "error! there is no code " + std::to_string(code) + " (from " +
                                    userControlFile(controlFileName) + ") for a subbasin in ");
    // The first code must be the smallest: values given for a later code
    // cannot stand for the subbasins before it.
    if (index <= lastIndex || (k == 0 && index != 1))
      failSubbasinTable(module, "error! the code " + std::to_string(code) + " (from " +
                                    userControlFile(controlFileName) +
                                    ") is not the next larger subbasin code "
                                    "listed in ");
    given[static_cast<size_t>(index)] = true;
    lastIndex = index;
  }
  for (const SubbasinTableLine& l : lines) {
    std::vector<double>& values = *l.values;
    values.assign(static_cast<size_t>(n) + 1, 0.0);
    words.clear();
    module.noteValuePlace(l.name, file, std::ftell(file));
    if (nextTextLine(file, line)) words = splitWords(line);
    size_t next = 0;
    for (int i = 1; i <= n; ++i) {
      if (!given[static_cast<size_t>(i)]) {
        values[static_cast<size_t>(i)] = values[static_cast<size_t>(i) - 1];
        continue;
      }
      const int code = static_cast<int>(zones.records[static_cast<size_t>(i)].code);
      if (next >= words.size() || !looksLikeNumber(words[next]))
        failSubbasinTable(module, "error reading " + l.name + "[" + std::to_string(code) + "] for ",
                          l.hint);
      if (!parseNumber(words[next], values[static_cast<size_t>(i)]))
        module.refuseValueText(tableValue(module, l.name, code), words[next], "a finite number");
      ++next;
    }
  }
}
