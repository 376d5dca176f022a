#include <string>
#include <vector>

#include "config/defaultini.h"
#include "config/parameter_table_entry.h"
#include "core/control_file_text.h"
#include "core/diag_stream.h"
#include "core/key_value_parser.h"
#include "core/string_helpers.h"

namespace {

// One entry of a table as the control file gives it: "<code> <name> { ... }".
struct EntryText {
  int code = 0;
  std::string name;
  std::string block;
};

struct TableSection {
  const char* section;
  int failureCode;
  const char* noBlockReason;
};

const char* const blanks = " \t\r\n";

bool isBlank(const std::string& line) {
  return line.find_first_not_of(blanks) == std::string::npos;
}

bool startsSection(const std::string& line) {
  const std::size_t first = line.find_first_not_of(blanks);
  return first != std::string::npos && line[first] == '[';
}

std::string withoutLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

std::string whereOf(const TableSection& t, int k) {
  return std::string(t.section) + ", entry " + std::to_string(k);
}

// Code and name in front of the brace block; the name may hold blanks.
void readEntryHead(const std::string& head, EntryText& entry) {
  std::vector<std::string> words;
  tokenize(head, blanks, words, false);
  for (std::size_t i = 1; i < words.size(); ++i) entry.name += (i > 1 ? " " : "") + words[i];
  if (words.size() < 2)
    throw ParameterTableEntry::Fault{"an entry starts with its code and its name"};
  std::size_t used = 0;
  long code = 0;
  try {
    code = std::stol(words[0], &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != words[0].size() || code < -2147483647L || code > 2147483647L)
    throw ParameterTableEntry::Fault{"the code " + words[0] + " is not a whole number"};
  entry.code = static_cast<int>(code);
}

// The text of entry k: its first non-blank line and, until the text holds
// "}", the lines after it.
void readEntry(FILE* file, const TableSection& t, int k, int count, EntryText& entry) {
  std::string line;
  do readRestOfLine(file, line);
  while (!line.empty() && isBlank(line));
  if (line.empty() || startsSection(line))
    throw ParameterTableEntry::Fault{"the table ends after " + std::to_string(k - 1) + " of " +
                                     std::to_string(count) + " entries"};
  std::string text = withoutLineEnd(line);
  const std::size_t open = text.find('{');
  if (open == std::string::npos) {
    std::vector<std::string> words;
    tokenize(text, blanks, words, false);
    if (words.size() > 1) entry.name = words[1];
    throw ParameterTableEntry::Fault{t.noBlockReason};
  }
  readEntryHead(text.substr(0, open), entry);
  while (text.find('}', open) == std::string::npos) {
    readRestOfLine(file, line);
    if (line.empty() || line.find('{') != std::string::npos || startsSection(line))
      throw ParameterTableEntry::Fault{"missing brace \"}\""};
    text += " " + withoutLineEnd(line);
  }
  entry.block = KeyValueParser().extractBlock(text);
  if (!isBlank(text)) throw ParameterTableEntry::Fault{"text after the closing brace: " + text};
}

// The count line and the entries of a section whose head has been read;
// every failure names the entry and throws the table's code.
std::vector<EntryText> readEntries(modelobject& reader, FILE* file, DiagStream* diag,
                                   const TableSection& t) {
  int count = 0;
  reader.readControlValue(file, "%d", count, std::string("number of entries in ") + t.section);
  if (count < 0) {
    *diag << "FATAL: error in " << t.section << ": invalid number of entries " << count
          << "[end-entry]";
    throw t.failureCode;
  }
  std::vector<EntryText> entries;
  for (int k = 1; k <= count; ++k) {
    EntryText entry;
    try {
      readEntry(file, t, k, count, entry);
      for (const EntryText& former : entries)
        if (former.code == entry.code)
          throw ParameterTableEntry::Fault{"duplicate code " + std::to_string(entry.code)};
    } catch (const ParameterTableEntry::Fault& fault) {
      reportTableEntryFault(diag, whereOf(t, k), entry.name, fault.reason, t.failureCode);
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

} // namespace

void defaultini::readMultilayerLanduse() {
  const TableSection t{"[multilayer_landuse]", 53, "missing brace \"{\""};
  multilayerTable.clear();
  if (!seekSection(t.section, false)) return;
  const std::vector<EntryText> entries = readEntries(*this, controlFile, diag, t);
  multilayerTable.resize(entries.size() + 1);
  multilayerTable[0].setCode(static_cast<int>(entries.size()));
  for (std::size_t k = 1; k <= entries.size(); ++k) {
    multilayer_landuse_class& record = multilayerTable[k];
    record.setCode(entries[k - 1].code);
    record.setName(entries[k - 1].name);
    const std::string where = whereOf(t, static_cast<int>(k));
    parseMultilayerEntry(record, diag, entries[k - 1].block, where);
    const int layers = multilayerTable[1].getLayerCount();
    if (record.getLayerCount() != layers)
      reportTableEntryFault(
          diag, where, record.getName(),
          "wrong number of values for \"layers\": " + std::to_string(record.getLayerCount()) +
              " given, " + std::to_string(layers) + " expected (as in entry 1)",
          t.failureCode);
  }
}

void defaultini::readLanduseTable() {
  const TableSection t{"[landuse_table]", 51, "missing brace \"{\""};
  landuseTable.assign(1, landuse_class());
  landuseTable[0].setDiag(diag);
  if (!seekSection(t.section, false)) {
    *diag << "INFO: no section " << t.section << " in the control file, the land-use table is empty"
          << "[end-entry]";
    return;
  }
  const std::vector<EntryText> entries = readEntries(*this, controlFile, diag, t);
  landuseTable.resize(entries.size() + 1);
  landuseTable[0].setCode(static_cast<int>(entries.size()));
  for (std::size_t k = 1; k <= entries.size(); ++k) {
    landuse_class& record = landuseTable[k];
    record.setCode(entries[k - 1].code);
    record.setName(entries[k - 1].name);
    record.setDiag(diag);
    parseLanduseEntry(record, diag, entries[k - 1].block, whereOf(t, static_cast<int>(k)));
  }
}

void defaultini::readSoilTable() {
  const TableSection t{"[soil_table]", 52, "very-old-style soil table entries are not supported"};
  soilTable.assign(1, soil_class());
  if (!seekSection(t.section, false)) {
    *diag << "INFO: no section " << t.section << " in the control file, the soil table is empty"
          << "[end-entry]";
    return;
  }
  const std::vector<EntryText> entries = readEntries(*this, controlFile, diag, t);
  soilTable.resize(entries.size() + 1);
  soilTable[0].setCode(static_cast<int>(entries.size()));
  int deepest = 0;
  for (std::size_t k = 1; k <= entries.size(); ++k) {
    soil_class& record = soilTable[k];
    record.setCode(entries[k - 1].code);
    record.setName(entries[k - 1].name);
    parseSoilEntry(record, diag, entries[k - 1].block, "MultipleHorizons",
                   whereOf(t, static_cast<int>(k)));
    if (record.getLayerCount() > deepest) deepest = record.getLayerCount();
  }
  soilTable[0].setLayerCount(deepest);
}

int defaultini::getLanduseLayerCount() const {
  return multilayerTable.size() > 1 ? multilayerTable[1].getLayerCount() : 1;
}
