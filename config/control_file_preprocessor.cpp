#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "config/defaultini.h"
#include "core/diag_stream.h"
#include "core/file_failure.h"
#include "core/line_reader.h"
#include "core/run_files.h"

namespace {

const char* const separator = "\n-----------------------------------------------------------";

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

// Reads line `lineNumber` with its line end; false at the end of the file.
bool readControlLine(DiagStream& diag, FILE* file, const std::string& fileName, long lineNumber,
                     std::string& line) {
  const LineRead read = readLine(file, line);
  if (read == LineRead::tooLong) {
    diag << "FATAL: control file " << fileName << ", line " << lineNumber << ": "
         << lineTooLongText() << "[end-entry]";
    throw 17;
  }
  if (read == LineRead::end) return false;
  if (!std::feof(file)) line += '\n';
  return true;
}

std::vector<std::string> leadingWords(const std::string& line, std::size_t count) {
  std::vector<std::string> words;
  std::size_t position = 0;
  while (words.size() < count) {
    while (position < line.size() && isSpace(line[position])) ++position;
    if (position == line.size()) break;
    const std::size_t begin = position;
    while (position < line.size() && !isSpace(line[position])) ++position;
    words.push_back(line.substr(begin, position - begin));
  }
  return words;
}

bool isDefinitionLine(const std::string& line) {
  const std::vector<std::string> first = leadingWords(line, 1);
  return !first.empty() && first[0] == "$set";
}

// A "#" ends the line. The blank or tab in front of it goes with the
// comment, so that "12 # text" gives "12"; a value glued to the "#" keeps
// all its characters. A line that holds nothing but a comment disappears.
void cutComment(std::string& line) {
  const std::size_t hash = line.find('#');
  if (hash == std::string::npos) return;
  if (line.find_first_not_of(" \t\r\f\v") == hash) {
    line.clear();
    return;
  }
  const bool blankBefore = line[hash - 1] == ' ' || line[hash - 1] == '\t';
  line.erase(blankBefore ? hash - 1 : hash);
  line += '\n';
}

std::string withoutLineEnd(const std::string& text) {
  std::size_t end = text.size();
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
  return text.substr(0, end);
}

[[noreturn]] void symbolError(DiagStream& diag, const std::string& what, long lineNumber,
                              const std::string& text) {
  diag << "FATAL: " << separator << "\npossible error in control file!\n"
       << what << " at line " << lineNumber << ":\n"
       << withoutLineEnd(text) << "\n"
       << separator << "\n"
       << "[end-entry]";
  throw 17;
}

// Name of the "$" reference at a position: up to the next white space, cut
// at its first "//" and its first ";".
std::string referenceAt(const std::string& text, std::size_t dollar) {
  std::size_t end = dollar;
  while (end < text.size() && !isSpace(text[end])) ++end;
  std::string name = text.substr(dollar, end - dollar);
  const std::size_t join = name.find("//");
  if (join != std::string::npos) name.erase(join);
  const std::size_t semicolon = name.find(';');
  if (semicolon != std::string::npos) name.erase(semicolon);
  return name;
}

// Substitutes references until no "$" is left, always the first one in the
// text, so that references inside a substituted value are substituted in
// their turn; then removes every "//". A reference to a symbol inside text
// that came from that same symbol's value would never end: it is reported.
void substituteSymbols(DiagStream& diag, std::string& text, long lineNumber,
                       const std::vector<defaultini::ControlFileSymbol>& symbols) {
  struct Expansion {
    std::size_t symbol;
    std::size_t begin;
    std::size_t end; // one past the substituted text
  };
  std::vector<Expansion> open;
  std::size_t dollar;
  while ((dollar = text.find('$')) != std::string::npos) {
    const std::string name = referenceAt(text, dollar);
    std::size_t symbol = 0;
    while (symbol < symbols.size() && symbols[symbol].name != name) ++symbol;
    if (symbol == symbols.size()) symbolError(diag, "undefined symbol", lineNumber, text);

    // Text before the first "$" holds no references any more, so an
    // expansion that ends there is finished; the others enclose this one.
    std::size_t kept = 0;
    for (const Expansion& e : open)
      if (e.end > dollar) open[kept++] = e;
    open.resize(kept);
    for (const Expansion& e : open)
      if (e.symbol == symbol)
        symbolError(diag, "symbol " + name + " refers to itself", lineNumber, text);

    const std::string& value = symbols[symbol].value;
    if (text.size() - name.size() + value.size() > maxLineBytes) {
      diag << "FATAL: control file line " << lineNumber << " grows beyond " << maxLineBytes
           << " bytes by the substitution of " << name
           << "; shorten the symbol's value or split the line"
           << "[end-entry]";
      throw 17;
    }
    text.replace(dollar, name.size(), value);
    for (Expansion& e : open)
      e.end = std::max(e.end, dollar + name.size()) - name.size() + value.size();
    open.push_back({symbol, dollar, dollar + value.size()});
  }
  std::size_t join = 0;
  while ((join = text.find("//", join)) != std::string::npos) text.erase(join, 2);
}

bool isNumber(const std::string& value) {
  if (value.empty()) return true;
  char* end = nullptr;
  std::strtod(value.c_str(), &end);
  return *end == '\0';
}

bool mentionsInfinityOrNan(const std::string& value) {
  for (const char* word : {"inf", "nan", "INF", "NAN", "Inf", "Nan"})
    if (value.find(word) != std::string::npos) return true;
  return false;
}

// Two symbols with the same text are often a copy-and-paste slip; numbers
// repeat legitimately and are not compared.
void warnAboutEqualValues(DiagStream& diag,
                          const std::vector<defaultini::ControlFileSymbol>& symbols) {
  const defaultini::ControlFileSymbol& added = symbols.back();
  if (symbols.size() < 2 || mentionsInfinityOrNan(added.value) || isNumber(added.value)) return;
  for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
    if (symbols[i].value != added.value) continue;
    diag << "INFO: \n------------------------ WARNING --------------------------"
         << "\npossible error in control file!\n"
         << "content of symbol " << symbols[i].name << " is the same as symbol " << added.name
         << ", \n (which is: " << added.value << ").\n"
         << "this may lead to collusions!"
         << "\n-----------------------------------------------------------\n"
         << "[end-entry]";
  }
}

// Adds the definition of a "$set" line: "$set", the name with its "$", "="
// and the value, which may use the symbols defined on earlier lines.
void defineSymbol(DiagStream& diag, const std::string& line, long lineNumber,
                  std::vector<defaultini::ControlFileSymbol>& symbols) {
  const std::vector<std::string> words = leadingWords(line, 4);
  if (words.size() < 3 || words[1].size() < 2 || words[1][0] != '$' || words[2] != "=")
    symbolError(diag, "malformed definition (expected \"$set $name = value\")", lineNumber, line);
  symbols.push_back({words[1], words.size() > 3 ? words[3] : std::string()});
  std::string value = symbols.back().value;
  substituteSymbols(diag, value, lineNumber, symbols);
  symbols.back().value = value;
  warnAboutEqualValues(diag, symbols);
}

} // namespace

std::string& defaultini::replaceSymbols(std::string& line, long lineNumber,
                                        const std::vector<ControlFileSymbol>& symbols) {
  cutComment(line);
  if (isDefinitionLine(line)) return line;
  substituteSymbols(*diag, line, lineNumber, symbols);
  return line;
}

void defaultini::compileSymbols(const std::string& controlFileNameArg, std::string& internName) {
  *diag << "compiling symbols in control file " << controlFileNameArg << "[end-entry]";
  internName = controlFileNameArg + ".intern";
  noteInputFile(controlFileNameArg, "the control file");
  noteOutputFile(internName, "the preprocessed copy of the control file");
  FileHandle in(std::fopen(controlFileNameArg.c_str(), "r"));
  if (!in) {
    const int error = errno;
    *diag << "FATAL: error opening " << controlFileNameArg << " (" << systemReason(error) << ")"
          << "[end-entry]";
    throw 28;
  }

  std::vector<ControlFileSymbol> symbols;
  std::string line;
  long lineNumber = 0;
  while (readControlLine(*diag, in.get(), controlFileNameArg, lineNumber + 1, line)) {
    ++lineNumber;
    cutComment(line);
    if (isDefinitionLine(line)) defineSymbol(*diag, line, lineNumber, symbols);
  }
  // A folder opens, but its first read fails.
  if (std::ferror(in.get())) readError(controlFileNameArg, lineNumber, errno);
  if (std::fseek(in.get(), 0, SEEK_SET) != 0) {
    *diag << "FATAL: error rewinding " << controlFileNameArg << "[end-entry]";
    throw 28;
  }

  // The copy is built in memory; the file is written with the other outputs
  // once they were all checked.
  std::string copy;
  lineNumber = 0;
  copiedUserLines.clear();
  while (readControlLine(*diag, in.get(), controlFileNameArg, lineNumber + 1, line)) {
    ++lineNumber;
    replaceSymbols(line, lineNumber, symbols);
    if (isDefinitionLine(line)) continue;
    copy += line;
    // A line of a comment only is left out of the copy.
    if (!line.empty()) copiedUserLines.push_back(lineNumber);
  }
  if (std::ferror(in.get())) readError(controlFileNameArg, lineNumber);
  if (std::fclose(in.release()) != 0) {
    *diag << "FATAL: error closing " << controlFileNameArg << "[end-entry]";
    throw 11;
  }
  copiedText = std::move(copy);
  const int error = createOutputFile(internName, copiedText);
  if (error == 0) return;
  *diag << "FATAL: error writing " << internName << " (" << systemReason(error) << ")"
        << "[end-entry]";
  throw 28;
}
