#include "meteo/section_lines.h"

#include "core/control_file_lines.h"
#include "core/modelobject.h"
#include "core/string_helpers.h"

SectionLines::SectionLines(modelobject& moduleArg, FILE* fileArg, const std::string& fileNameArg,
                           const std::string& sectionArg)
    : module(moduleArg), file(fileArg), fileName(fileNameArg), section(sectionArg) {
  // The line number of the header, so that messages can name control-file
  // lines.
  const long position = std::ftell(file);
  if (position < 0 || std::fseek(file, 0, SEEK_SET) != 0) module.readError(fileName, 0);
  for (long i = 0; i < position; ++i) {
    const int c = std::getc(file);
    if (c == EOF) module.readError(fileName, lineNumber);
    if (c == '\n') ++lineNumber;
  }
}

const std::vector<std::string>& SectionLines::next(const std::string& description) {
  words.clear();
  text.clear();
  while (!endOfSection) {
    std::string line;
    int c;
    bool any = false;
    while ((c = std::getc(file)) != EOF) {
      any = true;
      if (c == '\n') break;
      line += static_cast<char>(c);
    }
    if (std::ferror(file)) module.readError(fileName, lineNumber + 1);
    if (!any) break;
    ++lineNumber;
    std::vector<std::string> found = splitWords(line);
    if (found.empty()) continue;
    text = line;
    if (found[0][0] == '[') {
      // The next section's header: the item is missing.
      endOfSection = true;
      fail(description);
    }
    words = std::move(found);
    return words;
  }
  endOfSection = true;
  text.clear();
  fail(description);
}

const std::string& SectionLines::word(std::size_t i, const std::string& description) const {
  if (i >= words.size()) fail(description);
  return words[i];
}

double SectionLines::number(std::size_t i, const std::string& description) const {
  double value = 0.0;
  if (!parseNumber(word(i, description), value)) fail(description);
  return value;
}

long SectionLines::integer(std::size_t i, const std::string& description) const {
  long value = 0;
  if (!parseWholeNumber(word(i, description), value)) fail(description);
  return value;
}

std::size_t SectionLines::leadingNumbers() const {
  std::size_t count = 0;
  double value = 0.0;
  while (count < words.size() && parseNumber(words[count], value)) ++count;
  return count;
}

void SectionLines::fail(const std::string& description) const {
  const std::string where =
      endOfSection && text.empty()
          ? section + ", end of the section in " + fileName
          : section + ", " + controlFileLine(fileName, lineNumber) + " reads \"" + text + "\"";
  module.controlFileKeyNotFound(description, where + ": ");
  throw 17; // the report is virtual; an override that returns must not let the reading go on
}
