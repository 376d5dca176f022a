#pragma once

#include <cstdio>
#include <string>

#include "core/string_helpers.h"

class modelobject;

// Reads the lines of one control-file section from the position behind its
// header and counts them, so that every message names the section, the line
// and the text found there.
class SectionReader {
public:
  // The file stands at the start of the line after the section header.
  SectionReader(modelobject& reader, FILE* file, const std::string& fileName,
                const std::string& section);

  // Positional values: the number or word at the start of the next line
  // that is not blank; the free text after it is skipped to the end of the
  // line. A missing value, or a word that is not wholly a number ("20x1"),
  // ends the run with code 17. A word that opens the next section ("[...")
  // counts as missing.
  int readInt(const std::string& description);
  long readLong(const std::string& description);
  double readDouble(const std::string& description);
  std::string readWord(const std::string& description);
  // Line number of the value read last.
  long valueLine() const { return lastValueLine; }

  // Optional positional value: the first word of the next line that is not
  // blank. It is absent at the end of the file, at the next section's header
  // and at a line that contains one of the keys of a key block that may
  // follow the values; then nothing is consumed.
  bool nextOptionalValue(const char* const* keys, std::size_t keyCount, std::string& word);

  // The next line that is not blank, without its line end, for a section
  // whose lines hold several values. False at the end of the file and at the
  // header of the next section, which stays unread; line then holds that
  // header, or nothing at the end.
  bool nextLine(std::string& line);
  // The line at which nextLine stopped because it opens with "[", taken as
  // a line of this section after all (a value written in brackets, such as
  // the registered grid name "[elevation_model]"), without its line end.
  std::string takeBracketedLine();

  // Next line of a key block, without its leading blanks and tabs and its
  // line end. The block ends at the end of the file, at a line of blanks
  // only and at the header of the next section.
  bool nextKeyLine(std::string& line);

  // "[section], line N of file reads "text"", or "[section], end of file".
  std::string location(long line, const std::string& text) const;
  [[noreturn]] void fail(const std::string& description, long line, const std::string& text);
  // Ends the run with code 17: the value `word` of `what`, found on the line
  // `text`, is not `kind` ("a whole number") as a whole.
  [[noreturn]] void refuseWord(long line, const std::string& text, const std::string& what,
                               const std::string& word, const std::string& kind);
  void warn(long line, const std::string& text, const std::string& what);
  // Ends the run with code: the value of label, read last, breaks the rule
  // ("must be 0 or more"). The FATAL entry names the section, the user's
  // file and line, the label and the value.
  [[noreturn]] void refuseValue(const std::string& label, double value, const std::string& rule,
                                int code = 17);
  // A "key = value" line of the block read last whose key is none of keys
  // would be dropped without a word (a mistyped or wrongly cased key).
  void warnUnknownKey(const std::string& line, const char* const* keys, std::size_t count);

private:
  // A position to come back to after looking ahead.
  struct Mark {
    long position = 0;
    long lineNumber = 0;
    bool pending = false;
    bool endOfFile = false;
    std::string pendingLine;
  };
  Mark mark();
  void restore(const Mark& m);
  bool peekLine(std::string& line);
  void consumeLine() {
    pending = false;
    ++nextLineNumber;
  }
  std::string nextValueWord();

  modelobject& reader;
  FILE* file;
  std::string fileName;
  std::string section;
  long nextLineNumber = 1; // number of the line that peekLine returns
  long lastValueLine = 0;
  bool pending = false;
  bool endOfFile = false;
  std::string pendingLine;
};

// The number that the first word of a text (leading white space skipped,
// up to the next white space or ";") holds as a whole, as parseWholeNumber
// and parseNumber read it: false for "12abc", "1e999" as a whole number,
// "nan", "inf" and a number that does not fit.
bool parseLeadingLong(const std::string& text, long& value);
bool parseLeadingInt(const std::string& text, int& value);
bool parseLeadingDouble(const std::string& text, double& value);
