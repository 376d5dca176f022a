#include "config/section_reader.h"

#include <sstream>

#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/modelobject.h"
#include "core/string_helpers.h"

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string firstWord(const std::string& line) {
  std::size_t begin = 0;
  while (begin < line.size() && isSpace(line[begin])) ++begin;
  std::size_t end = begin;
  while (end < line.size() && !isSpace(line[end])) ++end;
  return line.substr(begin, end - begin);
}

std::string withoutLeadingBlanks(const std::string& line) {
  const std::size_t begin = line.find_first_not_of(" \t");
  return begin == std::string::npos ? std::string() : line.substr(begin);
}

} // namespace

SectionReader::SectionReader(modelobject& readerArg, FILE* fileArg, const std::string& fileNameArg,
                             const std::string& sectionArg)
    : reader(readerArg), file(fileArg), fileName(fileNameArg), section(sectionArg) {
  // Count the line ends before the current position once, so that the
  // messages can give line numbers.
  const long position = std::ftell(file);
  if (position < 0 || std::fseek(file, 0, SEEK_SET) != 0) reader.readError(fileName, 0);
  for (long i = 0; i < position; ++i) {
    const int c = std::getc(file);
    if (c == EOF) reader.readError(fileName, nextLineNumber);
    if (c == '\n') ++nextLineNumber;
  }
}

bool SectionReader::peekLine(std::string& line) {
  if (!pending) {
    if (endOfFile) return false;
    pendingLine.clear();
    int c;
    bool any = false;
    while ((c = std::getc(file)) != EOF) {
      any = true;
      if (c == '\n') break;
      pendingLine += static_cast<char>(c);
    }
    if (std::ferror(file)) reader.readError(fileName, nextLineNumber);
    if (!any) {
      endOfFile = true;
      return false;
    }
    pending = true;
  }
  line = pendingLine;
  return true;
}

std::string SectionReader::nextValueWord() {
  std::string line;
  while (peekLine(line)) {
    const long number = nextLineNumber;
    consumeLine();
    const std::string word = firstWord(line);
    if (!word.empty()) {
      lastValueLine = number;
      return word;
    }
  }
  lastValueLine = nextLineNumber;
  return "";
}

int SectionReader::readInt(const std::string& description) {
  const std::string word = nextValueWord();
  int value = 0;
  if (!parseWholeInt(word, value)) fail(description, lastValueLine, word);
  return value;
}

long SectionReader::readLong(const std::string& description) {
  const std::string word = nextValueWord();
  long value = 0;
  if (!parseWholeNumber(word, value)) fail(description, lastValueLine, word);
  return value;
}

double SectionReader::readDouble(const std::string& description) {
  const std::string word = nextValueWord();
  double value = 0.0;
  if (!parseNumber(word, value)) fail(description, lastValueLine, word);
  return value;
}

std::string SectionReader::readWord(const std::string& description) {
  const std::string word = nextValueWord();
  if (word.empty() || word[0] == '[') fail(description, lastValueLine, word);
  return word;
}

bool SectionReader::nextOptionalValue(const char* const* keys, std::size_t keyCount,
                                      std::string& word) {
  // Blank lines before a value are skipped, as by a scan; when the value is
  // absent they stay unread, for the empty line that closes a key block.
  const Mark start = mark();
  std::string line;
  while (peekLine(line)) {
    const std::string text = withoutLeadingBlanks(line);
    if (firstWord(text).empty()) {
      consumeLine();
      continue;
    }
    bool absent = text[0] == '[';
    for (std::size_t k = 0; k < keyCount && !absent; ++k)
      absent = text.find(keys[k]) != std::string::npos;
    if (absent) break;
    lastValueLine = nextLineNumber;
    consumeLine();
    word = firstWord(text);
    return true;
  }
  restore(start);
  return false;
}

SectionReader::Mark SectionReader::mark() {
  Mark m;
  m.position = std::ftell(file);
  if (m.position < 0) reader.readError(fileName, nextLineNumber);
  m.lineNumber = nextLineNumber;
  m.pending = pending;
  m.endOfFile = endOfFile;
  m.pendingLine = pendingLine;
  return m;
}

void SectionReader::restore(const Mark& m) {
  std::clearerr(file);
  if (std::fseek(file, m.position, SEEK_SET) != 0) reader.readError(fileName, m.lineNumber);
  nextLineNumber = m.lineNumber;
  pending = m.pending;
  endOfFile = m.endOfFile;
  pendingLine = m.pendingLine;
}

bool SectionReader::nextLine(std::string& line) {
  std::string raw;
  while (peekLine(raw)) {
    const std::string text = withoutLeadingBlanks(raw);
    if (firstWord(text).empty()) {
      consumeLine();
      continue;
    }
    lastValueLine = nextLineNumber;
    if (text[0] == '[') {
      line = firstWord(text);
      return false;
    }
    consumeLine();
    line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  }
  lastValueLine = nextLineNumber;
  line.clear();
  return false;
}

std::string SectionReader::takeBracketedLine() {
  std::string line;
  if (!peekLine(line)) return line;
  consumeLine();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

bool SectionReader::nextKeyLine(std::string& line) {
  std::string raw;
  if (!peekLine(raw)) return false;
  line = withoutLeadingBlanks(raw);
  if (line.find_first_not_of(" \t\r") == std::string::npos) {
    consumeLine();
    return false;
  }
  // A block whose closing empty line is missing must not swallow the next
  // section.
  if (line[0] == '[') return false;
  lastValueLine = nextLineNumber;
  consumeLine();
  return true;
}

std::string SectionReader::location(long line, const std::string& text) const {
  if (text.empty() && endOfFile) return section + ", end of " + fileName;
  return section + ", " + controlFileLine(fileName, line) + " reads \"" + text + "\"";
}

void SectionReader::fail(const std::string& description, long line, const std::string& text) {
  reader.controlFileKeyNotFound(description, location(line, text) + ": ");
  throw 17; // the report is virtual; an override that returns must not let the reader go on
}

void SectionReader::refuseWord(long line, const std::string& text, const std::string& what,
                               const std::string& word, const std::string& kind) {
  *reader.getDiag() << "FATAL: error in control file " << userControlFile(fileName) << ", "
                    << location(line, text) << ": the value of " << what << ", \"" << word
                    << "\", is not " << kind << "; write " << kind << " there"
                    << "[end-entry]";
  throw 17;
}

void SectionReader::refuseValue(const std::string& label, double value, const std::string& rule,
                                int code) {
  std::ostringstream text;
  text << "FATAL: error in control file " << userControlFile(fileName) << ", section " << section
       << ": the value " << value << " of \"" << label << "\" " << rule << " ("
       << controlFileLine(fileName, lastValueLine) << "); correct it in the control file"
       << "[end-entry]";
  *reader.getDiag() << text.str();
  throw code;
}

void SectionReader::warn(long line, const std::string& text, const std::string& what) {
  *reader.getDiag() << "WARNING: " << location(line, text) << ": " << what << "[end-entry]";
}

void SectionReader::warnUnknownKey(const std::string& line, const char* const* keys,
                                   std::size_t count) {
  const std::string key = assignedKey(line);
  if (key.empty()) return;
  warn(lastValueLine, line,
       "\"" + key + "\" is no key of " + section + ", whose keys are " + listOfWords(keys, count) +
           " (keys are case-sensitive); the line is ignored");
}

namespace {

// The first word of a text: leading blanks skipped, up to the next blank or
// ";" (the end of a statement of a key block).
std::string leadingWord(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(" \t\r\n\f\v");
  if (begin == std::string::npos) return "";
  const std::size_t end = text.find_first_of(" \t\r\n\f\v;", begin);
  return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

} // namespace

bool parseLeadingLong(const std::string& text, long& value) {
  return parseWholeNumber(leadingWord(text), value);
}

bool parseLeadingInt(const std::string& text, int& value) {
  return parseWholeInt(leadingWord(text), value);
}

bool parseLeadingDouble(const std::string& text, double& value) {
  return parseNumber(leadingWord(text), value);
}
