#pragma once

#include <cstdio>
#include <string>
#include <vector>

class DiagStream;

// One statement "key = value" of a rule block; the value split into words at
// blanks, a double-quoted word kept whole and given without its quotes.
struct RuleEntry {
  std::string key;
  std::vector<std::string> words;
};

// One brace block "{key = value; key = value; ...}" of a module section.
struct RuleBlock {
  int number = 0;   // 1.. in the order of the section
  std::string text; // as written between the braces, for messages
  std::vector<RuleEntry> entries;
};

// Reads the brace blocks of a module section (special output, data
// assimilation) and the values in them. Keys are compared as whole words, so
// "profile" never stands for "file". Every failure logs one FATAL entry that
// names the section, the block and the key, and throws the module's code.
class modelobject;

class RuleBlockReader {
public:
  RuleBlockReader(DiagStream& diag, const std::string& section, const std::string& controlFileName,
                  int failureCode);

  // Reads, from the file's position on, the number of blocks (the first
  // word; the rest of its line is free text) and then that many blocks. Text
  // between blocks is ignored; reading stops at the last block's "}", and
  // the next section header ends the search for blocks.
  std::vector<RuleBlock> readBlocks(FILE* file, const std::string& countName) const;

  // Splits the text between the braces into its statements.
  RuleBlock parseBlock(int number, const std::string& text) const;

  // Fails on a key that is not in the list and on a key given twice.
  void allowKeys(const RuleBlock& block, const std::vector<std::string>& keys) const;
  bool has(const RuleBlock& block, const std::string& key) const;
  // A required key with exactly one word.
  const std::string& word(const RuleBlock& block, const std::string& key) const;
  double number(const RuleBlock& block, const std::string& key) const;
  long integer(const RuleBlock& block, const std::string& key) const;
  // A required key with one or more whole numbers.
  std::vector<long> integers(const RuleBlock& block, const std::string& key) const;
  // A required key naming a grid (not a stack) of the module's registry:
  // the name, and its registry index in `index`.
  const std::string& registeredGrid(const RuleBlock& block, const std::string& key,
                                    modelobject& module, int& index) const;

  [[noreturn]] void fail(const RuleBlock& block, const std::string& what) const;
  [[noreturn]] void failSection(const std::string& what) const;

private:
  const RuleEntry& entry(const RuleBlock& block, const std::string& key) const;
  long toInteger(const RuleBlock& block, const std::string& key, const std::string& word) const;

  DiagStream& diag;
  std::string section; // "[special_output]"
  std::string controlFileName;
  int failureCode;
};
