#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/grid_types.h"

// Longest text formatGridValue writes for one double.
constexpr size_t maxGridValueChars = 32;

// Writes the shortest text that reads back as the same double ("-9999",
// "0.1", "123456.7", "1e-07") and returns its length; out must hold
// maxGridValueChars characters.
size_t formatGridValue(double value, char* out);

// Writes value as "%g" does (six significant digits) and returns the length;
// out must hold maxGridValueChars characters.
size_t formatStackValue(double value, char* out);

// Writes values[0..count-1] one a line as formatStackValue does and returns
// the length; out must hold count * (maxGridValueChars + 1) characters.
// nonFinite becomes 1 + the index of the first value that is not a finite
// number, 0 when there is none.
size_t formatStackValues(const double* values, long count, char* out, long& nonFinite);

// The twelve header lines of an ASCII stack whose levels are 0..lastLevel,
// every value with six decimals, as the stack reader expects them.
std::string asciiStackHeaderText(const GridHeader& header, long lastLevel);

// The six header lines of an ASCII grid of the model grid. Header values keep
// every digit, so that the model's own output reads back as lying on the
// model grid.
std::string asciiGridHeaderText(const GridHeader& header);

// Writes columns 1..ncols of a row, tab-separated and ending in a newline,
// and returns the length; a null row gives `missing` in every cell. out must
// hold ncols * (maxGridValueChars + 1) characters. nonFinite becomes the
// column of the first value that is not a finite number, 0 when there is
// none.
size_t formatGridRow(const double* row, long ncols, std::string_view missing, char* out,
                     long& nonFinite);

// Reads a whole token as a finite number, with an optional leading '+', as
// the C library's "%lf" does; false for anything else, such as "1.5x", "",
// "nan", "inf" or "1e999".
bool parseGridValue(std::string_view token, double& value);

// Reads the ncols values of a grid row from the text [begin, end) into
// values[1..ncols] by the rules of AsciiGridScanner::nextNumber; returns 0,
// or the column of the first value that is missing or not a number. A row
// stands on a line of its own: a line end between two of its values makes
// `onLine` the values before it, and with `lineEndAfter` the text behind the
// last value must hold a line end (else `onLine` is ncols + 1); either
// returns the column of the first value not on the line.
long parseGridRow(const char* begin, const char* end, long ncols, double* values,
                  bool lineEndAfter, long& onLine);

// The characters that separate the tokens of an ASCII grid file.
bool isGridBlank(char c);

// The tokens that begin in text[0, n); afterBlank says whether the
// character before text[0] was a blank (or there was none).
long countTokenStarts(const char* text, size_t n, bool afterBlank);

// Writes to offsets the positions in text[0, n) where the tokens number
// wanted[0] < wanted[1] < ... begin, counted from 0 as countTokenStarts
// counts them; returns how many of them the text holds.
size_t findTokenStarts(const char* text, size_t n, bool afterBlank, const long* wanted,
                       size_t count, long* offsets);

class AsciiGridScanner;

// Reads the six key-value pairs of an ASCII grid header into values (ncols,
// nrows, xllcorner, yllcorner, cellsize, nodata). A centre given as
// xllcenter or yllcenter becomes the corner half a cell to the west or south.
// The nodata line may be left out, as the format allows: a number on the
// line after the cell size is the first value, left for the rows, and
// nodataGiven is false (values[5] then stays as it was). Returns 0, or the
// number (from 1) of the first pair that cannot be read, with its key as far
// as read.
int readAsciiGridHeaderValues(AsciiGridScanner& scanner, double* values, std::string& key,
                              bool& nodataGiven);

// Hands out the whitespace-separated tokens of a text file, read in large
// blocks, so that a grid of millions of values is parsed without a library
// call per value.
class AsciiGridScanner {
public:
  // firstLine: the line of the file's position.
  explicit AsciiGridScanner(FILE* file, size_t blockBytes = 1 << 20, long firstLine = 1);

  // The next token if it has at most maxLength characters; false at the end
  // of the file, after a read error, or for a longer token. The view stays
  // valid until the next call.
  bool nextToken(std::string_view& token, size_t maxLength);
  // Gives the token nextToken gave last once more at the next call.
  void unreadToken(std::string_view token);
  // The next token as a number; false when there is none or it is not a
  // number as a whole.
  bool nextNumber(double& value);
  // The same; fileEnded tells that no token was left.
  bool nextNumber(double& value, bool& fileEnded);
  // Skips up to count tokens of any length; returns how many there were.
  // The line count then no longer holds.
  long skipTokens(long count);
  // Whether a line end stood between the token before and the last token
  // nextToken gave, and the line (from 1) of that token.
  bool lineEndBefore() const { return lineEndSkipped; }
  long tokenLine() const { return lastTokenLine; }
  // Skips the tokens up to the end of the current line, which stays unread;
  // returns how many there were.
  long skipRestOfLine();
  // The file offset of the next character the scanner looks at.
  long offset() const { return bufferOffset + static_cast<long>(begin); }
  // True when reading the file failed (rather than ended).
  bool readFailed() const { return failed; }
  // True when no character is left.
  bool ended() const { return atEnd && begin >= end; }

private:
  bool refill();

  FILE* file;
  std::vector<char> buffer;
  long bufferOffset = 0; // file offset of buffer[0]
  size_t begin = 0;
  size_t end = 0;
  bool atEnd = false;
  bool failed = false;
  long line = 1; // of buffer[begin]
  long lastTokenLine = 0;
  bool lineEndSkipped = false;
};
