#include "core/ascii_grid_text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace {

// Numbers longer than this are not grid values; the bound keeps a token
// inside one block of the scanner.
constexpr size_t maxNumberChars = 400;

} // namespace

bool isGridBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

size_t formatGridValue(double value, char* out) {
  const std::to_chars_result result = std::to_chars(out, out + maxGridValueChars, value);
  return static_cast<size_t>(result.ptr - out);
}

std::string asciiGridHeaderText(const GridHeader& header) {
  std::string text =
      "ncols\t" + std::to_string(header.ncols) + "\nnrows\t" + std::to_string(header.nrows) + "\n";
  char value[maxGridValueChars];
  auto line = [&](const char* key, double v) {
    text += key;
    text += '\t';
    text.append(value, formatGridValue(v, value));
    text += '\n';
  };
  line("xllcorner", header.xllcorner);
  line("yllcorner", header.yllcorner);
  line("cellsize", header.cellsize);
  line("nodata_value", header.nodata);
  return text;
}

size_t formatGridRow(const double* row, long ncols, std::string_view missing, char* out,
                     long& nonFinite) {
  nonFinite = 0;
  char* at = out;
  for (long c = 1; c <= ncols; ++c) {
    if (row) {
      if (nonFinite == 0 && !std::isfinite(row[c])) nonFinite = c;
      at += formatGridValue(row[c], at);
    } else {
      std::memcpy(at, missing.data(), missing.size());
      at += missing.size();
    }
    *at++ = c < ncols ? '\t' : '\n';
  }
  return static_cast<size_t>(at - out);
}

size_t formatStackValue(double value, char* out) {
  const std::to_chars_result result =
      std::to_chars(out, out + maxGridValueChars, value, std::chars_format::general, 6);
  return static_cast<size_t>(result.ptr - out);
}

size_t formatStackValues(const double* values, long count, char* out, long& nonFinite) {
  nonFinite = 0;
  char* at = out;
  for (long i = 0; i < count; ++i) {
    if (nonFinite == 0 && !std::isfinite(values[i])) nonFinite = i + 1;
    at += formatStackValue(values[i], at);
    *at++ = '\n';
  }
  return static_cast<size_t>(at - out);
}

std::string asciiStackHeaderText(const GridHeader& header, long lastLevel) {
  const std::pair<const char*, double> fields[] = {
      {"stack_ncols", static_cast<double>(header.ncols)},
      {"nrows", static_cast<double>(header.nrows)},
      {"xll", header.xllcorner},
      {"yll", header.yllcorner},
      {"cs", header.cellsize},
      {"nodata", header.nodata},
      {"cnt", 0.0},
      {"min", 0.0},
      {"max", 0.0},
      {"sum", 0.0},
      {"average", 0.0},
      {"numlevels", static_cast<double>(lastLevel)}};
  std::string text;
  // "%lf" of the largest double is some 320 characters.
  char line[400];
  for (const auto& [key, value] : fields) {
    const int length = std::snprintf(line, sizeof line, "%s\t%lf\n", key, value);
    text.append(line,
                static_cast<size_t>(std::clamp(length, 0, static_cast<int>(sizeof line) - 1)));
  }
  return text;
}

bool parseGridValue(std::string_view token, double& value) {
  const bool plus = !token.empty() && token.front() == '+';
  if (plus) token.remove_prefix(1);
  if (token.empty() || (plus && token.front() == '-')) return false;
  const char* first = token.data();
  const char* last = first + token.size();
  const std::from_chars_result result = std::from_chars(first, last, value);
  if (result.ptr != last) return false;
  // "nan" and "inf" read as numbers, but no grid cell can hold them: one of
  // them would spread through every grid derived from its neighbours.
  if (result.ec == std::errc()) return std::isfinite(value);
  if (result.ec != std::errc::result_out_of_range) return false;
  // Too small for a double, "%lf" gives zero (so does strtod); too large is
  // infinite and refused.
  char text[maxNumberChars + 1];
  if (token.size() > maxNumberChars) return false;
  std::memcpy(text, first, token.size());
  text[token.size()] = '\0';
  value = std::strtod(text, nullptr);
  return std::isfinite(value);
}

AsciiGridScanner::AsciiGridScanner(FILE* fileArg, size_t blockBytes, long firstLine)
    : file(fileArg), buffer(blockBytes > 2 * maxNumberChars ? blockBytes : 2 * maxNumberChars),
      line(firstLine) {
  bufferOffset = std::ftell(file);
}

// Moves the unread rest to the front and fills the buffer behind it.
bool AsciiGridScanner::refill() {
  if (atEnd) return false;
  const size_t rest = end - begin;
  if (rest > 0 && begin > 0) std::memmove(buffer.data(), buffer.data() + begin, rest);
  bufferOffset += static_cast<long>(begin);
  begin = 0;
  end = rest;
  const size_t got = std::fread(buffer.data() + end, 1, buffer.size() - end, file);
  end += got;
  if (got == 0) {
    atEnd = true;
    failed = std::ferror(file) != 0;
    return false;
  }
  return true;
}

bool AsciiGridScanner::nextToken(std::string_view& token, size_t maxLength) {
  // A token must fit into the buffer beside the data still to be read.
  if (maxLength > buffer.size() / 2) maxLength = buffer.size() / 2;
  lineEndSkipped = false;
  for (;;) {
    for (; begin < end && isGridBlank(buffer[begin]); ++begin)
      if (buffer[begin] == '\n') {
        lineEndSkipped = true;
        ++line;
      }
    if (begin < end) break;
    if (!refill()) return false;
  }
  lastTokenLine = line;
  size_t length = 0;
  for (;;) {
    while (begin + length < end && !isGridBlank(buffer[begin + length])) ++length;
    if (length > maxLength) return false;
    if (begin + length < end) break;
    // The token may go on in the next block.
    if (!refill()) {
      if (failed) return false;
      break;
    }
  }
  token = std::string_view(buffer.data() + begin, length);
  begin += length;
  return true;
}

void AsciiGridScanner::unreadToken(std::string_view token) {
  begin = static_cast<size_t>(token.data() - buffer.data());
}

bool AsciiGridScanner::nextNumber(double& value) {
  std::string_view token;
  return nextToken(token, maxNumberChars) && parseGridValue(token, value);
}

bool AsciiGridScanner::nextNumber(double& value, bool& fileEnded) {
  std::string_view token;
  const bool got = nextToken(token, maxNumberChars);
  fileEnded = !got && ended() && !failed;
  return got && parseGridValue(token, value);
}

int readAsciiGridHeaderValues(AsciiGridScanner& scanner, double* values, std::string& key,
                              bool& nodataGiven) {
  constexpr size_t maxKeyChars = 100;
  bool centre[6] = {};
  nodataGiven = true;
  for (int i = 0; i < 6; ++i) {
    std::string_view word;
    key.clear();
    if (!scanner.nextToken(word, maxKeyChars)) return i + 1;
    // Keys are words: a number on a line of its own where the nodata key
    // stands is the first value of a grid without a nodata line.
    double first = 0.0;
    if (i == 5 && scanner.lineEndBefore() && parseGridValue(word, first)) {
      scanner.unreadToken(word);
      nodataGiven = false;
      break;
    }
    key.assign(word);
    if (!scanner.nextNumber(values[i])) return i + 1;
    std::string lower = key;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    centre[i] = lower.find("center") != std::string::npos || lower.find("centre") != std::string::npos;
  }
  for (int i : {2, 3})
    if (centre[i]) values[i] -= 0.5 * values[4];
  return 0;
}

long AsciiGridScanner::skipRestOfLine() {
  long count = 0;
  bool inToken = false;
  for (;;) {
    for (; begin < end; ++begin) {
      const char c = buffer[begin];
      if (c == '\n') return count;
      const bool blank = isGridBlank(c);
      if (!blank && !inToken) ++count;
      inToken = !blank;
    }
    if (!refill()) return count;
  }
}

long AsciiGridScanner::skipTokens(long count) {
  // Spans whose token starts still fit under count are counted without a
  // branch per character: finding the rows of a large grid is rank 0's
  // alone while the others wait.
  constexpr size_t span = 256;
  long skipped = 0;
  bool inToken = false;
  for (;;) {
    while (begin < end) {
      const size_t stop = std::min(end, begin + span);
      const long starts = countTokenStarts(buffer.data() + begin, stop - begin, !inToken);
      if (skipped + starts > count) break;
      skipped += starts;
      inToken = !isGridBlank(buffer[stop - 1]);
      begin = stop;
    }
    while (begin < end) {
      const bool space = isGridBlank(buffer[begin]);
      if (!space && !inToken) {
        if (skipped == count) return skipped;
        ++skipped;
      }
      inToken = !space;
      ++begin;
    }
    if (!refill()) return skipped;
  }
}

long countTokenStarts(const char* text, size_t n, bool afterBlank) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  long starts = 0;
  unsigned previous = afterBlank ? 1 : 0;
  for (size_t i = 0; i < n; ++i) {
    const unsigned space = isGridBlank(static_cast<char>(bytes[i])) ? 1 : 0;
    starts += static_cast<long>(previous & (space ^ 1));
    previous = space;
  }
  return starts;
}

size_t findTokenStarts(const char* text, size_t n, bool afterBlank, const long* wanted,
                       size_t count, long* offsets) {
  // Spans without a wanted token are only counted, as in skipTokens.
  constexpr size_t span = 256;
  long seen = 0;
  size_t found = 0;
  bool blankBefore = afterBlank;
  for (size_t at = 0; at < n && found < count;) {
    const size_t stop = std::min(n, at + span);
    const long starts = countTokenStarts(text + at, stop - at, blankBefore);
    if (seen + starts <= wanted[found]) {
      seen += starts;
      blankBefore = isGridBlank(text[stop - 1]);
      at = stop;
      continue;
    }
    for (; at < stop && found < count; ++at) {
      const bool blank = isGridBlank(text[at]);
      if (!blank && blankBefore) {
        if (seen == wanted[found]) offsets[found++] = static_cast<long>(at);
        ++seen;
      }
      blankBefore = blank;
    }
  }
  return found;
}

long parseGridRow(const char* begin, const char* end, long ncols, double* values,
                  bool lineEndAfter, long& onLine) {
  const char* at = begin;
  onLine = ncols;
  for (long c = 1; c <= ncols; ++c) {
    bool lineEnd = false;
    for (; at < end && isGridBlank(*at); ++at) lineEnd = lineEnd || *at == '\n';
    if (lineEnd && c > 1) {
      onLine = c - 1;
      return c;
    }
    const char* token = at;
    while (at < end && !isGridBlank(*at)) ++at;
    const size_t length = static_cast<size_t>(at - token);
    if (length == 0 || length > maxNumberChars ||
        !parseGridValue(std::string_view(token, length), values[c]))
      return c;
  }
  if (!lineEndAfter || std::find(at, end, '\n') != end) return 0;
  onLine = ncols + 1;
  return ncols + 1;
}
