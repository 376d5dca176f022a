#include "submodel/rule_blocks.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/control_file_lines.h"
#include "core/control_file_text.h"
#include "core/diag_stream.h"
#include "core/key_value_parser.h"
#include "core/modelobject.h"
#include "core/string_helpers.h"

namespace {

const char* const blanks = " \t\r\n";

// The words of a text joined by single blanks: a block on one line of a
// message.
std::string oneLine(const std::string& text) {
  std::vector<std::string> words;
  tokenize(text, blanks, words, false);
  std::string line;
  for (const std::string& w : words) line += (line.empty() ? "" : " ") + w;
  return line;
}

std::string unquoted(const std::string& word) {
  if (word.size() >= 2 && word.front() == '"' && word.back() == '"')
    return word.substr(1, word.size() - 2);
  return word;
}

} // namespace

RuleBlockReader::RuleBlockReader(DiagStream& diagArg, const std::string& sectionArg,
                                 const std::string& controlFileNameArg, int failureCodeArg)
    : diag(diagArg), section(sectionArg), controlFileName(controlFileNameArg),
      failureCode(failureCodeArg) {}

std::vector<RuleBlock> RuleBlockReader::readBlocks(FILE* file, const std::string& countName) const {
  long count = 0;
  std::string word;
  if (!readControlWordFrom(file, word) || !looksLikeNumber(word))
    failSection("the " + countName + " is missing");
  // A count meant as a number is a value of the control file like any other.
  if (!parseWholeNumber(word, count)) {
    diag << "FATAL: the " << countName << " in " << section << " of "
         << userControlFile(controlFileName) << " reads \"" << word
         << "\", which is not a whole number; write one"
         << "[end-entry]";
    throw 17;
  }
  if (count < 0)
    failSection("the " + countName + " is " + std::to_string(count) + ", not 0 or more");

  // Only the blocks are collected, so that a "[" that starts the next
  // section can end the search.
  std::string text;
  long closed = 0;
  bool inside = false;
  bool lineStart = false; // only blanks so far on this line
  int ch = 0;
  while (closed < count && (ch = std::fgetc(file)) != EOF) {
    if (ch == '\n') lineStart = true;
    if (lineStart && !inside && ch == '[') break;
    if (std::strchr(blanks, ch) == nullptr) lineStart = false;
    text += static_cast<char>(ch);
    if (ch == '{' && !inside) {
      inside = true;
    } else if (ch == '}' && inside) {
      inside = false;
      ++closed;
    }
  }
  if (std::ferror(file))
    failSection("reading the blocks failed (" + std::string(std::strerror(errno)) + ")");
  if (closed < count)
    failSection("block " + std::to_string(closed + 1) + " of " + std::to_string(count) +
                " is missing or not closed by \"}\"");

  KeyValueParser parser;
  std::vector<RuleBlock> blocks;
  for (long k = 1; k <= count; ++k) {
    std::string block = parser.extractBlock(text);
    block.pop_back(); // its "}"
    blocks.push_back(parseBlock(static_cast<int>(k), block));
  }
  return blocks;
}

RuleBlock RuleBlockReader::parseBlock(int number, const std::string& text) const {
  RuleBlock block;
  block.number = number;
  block.text = oneLine(text);
  std::vector<std::string> statements;
  tokenize(text, ";", statements, false);
  for (const std::string& statement : statements) {
    std::vector<std::string> words;
    if (tokenize(statement, blanks, words, false) == 0) continue;
    const std::size_t equals = statement.find('=');
    if (equals == std::string::npos)
      fail(block, "\"" + oneLine(statement) + "\" is not of the form key = value");
    std::vector<std::string> key;
    tokenize(statement.substr(0, equals), blanks, key, false);
    if (key.size() != 1)
      fail(block, "\"" + oneLine(statement.substr(0, equals)) + "\" is not a key");
    RuleEntry entry;
    entry.key = key.front();
    tokenize(statement.substr(equals + 1), blanks, entry.words, false);
    for (std::string& w : entry.words) w = unquoted(w);
    block.entries.push_back(entry);
  }
  return block;
}

void RuleBlockReader::allowKeys(const RuleBlock& block,
                                const std::vector<std::string>& keys) const {
  for (std::size_t i = 0; i < block.entries.size(); ++i) {
    const std::string& key = block.entries[i].key;
    bool known = false;
    for (const std::string& k : keys) known = known || k == key;
    if (!known) {
      std::string list;
      for (const std::string& k : keys) list += (list.empty() ? "" : ", ") + k;
      fail(block, "unknown key \"" + key + "\" (the keys are " + list + ")");
    }
    for (std::size_t j = 0; j < i; ++j)
      if (block.entries[j].key == key) fail(block, "key \"" + key + "\" given twice");
  }
}

bool RuleBlockReader::has(const RuleBlock& block, const std::string& key) const {
  for (const RuleEntry& e : block.entries)
    if (e.key == key) return true;
  return false;
}

const RuleEntry& RuleBlockReader::entry(const RuleBlock& block, const std::string& key) const {
  for (const RuleEntry& e : block.entries)
    if (e.key == key) {
      if (e.words.empty()) fail(block, "key \"" + key + "\" has no value");
      return e;
    }
  fail(block, "key \"" + key + "\" is missing");
}

const std::string& RuleBlockReader::word(const RuleBlock& block, const std::string& key) const {
  const RuleEntry& e = entry(block, key);
  if (e.words.size() != 1)
    fail(block, "key \"" + key + "\" takes one value, not " + std::to_string(e.words.size()));
  return e.words.front();
}

double RuleBlockReader::number(const RuleBlock& block, const std::string& key) const {
  const std::string& text = word(block, key);
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(value))
    fail(block, "the value \"" + text + "\" of key \"" + key + "\" is not a number");
  return value;
}

long RuleBlockReader::integer(const RuleBlock& block, const std::string& key) const {
  return toInteger(block, key, word(block, key));
}

std::vector<long> RuleBlockReader::integers(const RuleBlock& block, const std::string& key) const {
  std::vector<long> values;
  for (const std::string& w : entry(block, key).words) values.push_back(toInteger(block, key, w));
  return values;
}

long RuleBlockReader::toInteger(const RuleBlock& block, const std::string& key,
                                const std::string& text) const {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || errno == ERANGE)
    fail(block, "the value \"" + text + "\" of key \"" + key + "\" is not a whole number");
  return value;
}

void RuleBlockReader::fail(const RuleBlock& block, const std::string& what) const {
  diag << "FATAL: " << what << " in block " << block.number << " {" << block.text << "} of "
       << section << " in " << userControlFile(controlFileName) << "[end-entry]";
  throw failureCode;
}

void RuleBlockReader::failSection(const std::string& what) const {
  diag << "FATAL: " << what << " in " << section << " of " << userControlFile(controlFileName)
       << "[end-entry]";
  throw failureCode;
}

const std::string& RuleBlockReader::registeredGrid(const RuleBlock& block, const std::string& key,
                                                   modelobject& module, int& index) const {
  const std::string& name = word(block, key);
  index = module.findGrid(name, 1);
  if (index == 0) fail(block, "the grid \"" + name + "\" of key \"" + key + "\" is not registered");
  if (!module.getRegistry()[index].grid)
    fail(block, "\"" + name + "\" of key \"" + key + "\" is a stack, not a grid");
  return name;
}
