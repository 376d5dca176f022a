#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/string_helpers.h"

class modelobject;

// Reads the lines of a legacy control-file section in which every line
// starts with its item's values, separated by blanks, and ends with free
// text. Every message names the section, the line of the control file and
// its text.
class SectionLines {
public:
  // The file stands at the start of the line after the section header.
  SectionLines(modelobject& module, FILE* file, const std::string& fileName,
               const std::string& section);

  // The words of the next line that is not blank. The end of the file and
  // the header of the next section end the run with code 17.
  const std::vector<std::string>& next(const std::string& description);

  // Word i of the line read last; a word that is missing or is not a
  // (whole) number ends the run with code 17.
  const std::string& word(std::size_t i, const std::string& description) const;
  double number(std::size_t i, const std::string& description) const;
  long integer(std::size_t i, const std::string& description) const;
  // How many words at the start of the line read last are numbers.
  std::size_t leadingNumbers() const;

  [[noreturn]] void fail(const std::string& description) const;

private:
  modelobject& module;
  FILE* file;
  std::string fileName;
  std::string section;
  long lineNumber = 0; // of the line read last
  bool endOfSection = false;
  std::string text;
  std::vector<std::string> words;
};
