#include "core/time_series_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "core/diag_stream.h"
#include "core/line_reader.h"

namespace {

// Header lines are read into a fixed buffer; a longer line is a read error.
constexpr std::streamsize headerLineBytes = 4096;
// Fewer remaining bytes than this after the last record cannot hold another
// record and are ignored.
constexpr std::streamoff smallestRecordBytes = 10;

bool isDigit(std::ifstream::int_type c) { return c >= '0' && c <= '9'; }

const char* const blanks = " \t\r\n\f\v";

bool isBlank(char c) { return std::char_traits<char>::find(blanks, 6, c) != nullptr; }

// The next blank-separated word of a line, from `at` on, if it is made of
// the given characters only; `at` moves behind it.
bool nextWord(const char*& at, const char* end, const char* characters, const char*& word) {
  while (at < end && isBlank(*at)) ++at;
  word = at;
  while (at < end && !isBlank(*at)) {
    if (*at == '\0' || !std::strchr(characters, *at)) return false;
    ++at;
  }
  return at > word;
}

// Numbers as a C++ stream reads them: whole numbers with an optional sign;
// decimal numbers of digits, sign, point and exponent, within the range of
// a double.
bool nextWhole(const char*& at, const char* end, long& value) {
  const char* word = nullptr;
  if (!nextWord(at, end, "+-0123456789", word)) return false;
  char* stop = nullptr;
  errno = 0;
  value = std::strtol(word, &stop, 10);
  return stop == at && errno != ERANGE;
}

bool nextNumber(const char*& at, const char* end, double& value) {
  const char* word = nullptr;
  if (!nextWord(at, end, "+-.0123456789eE", word)) return false;
  char* stop = nullptr;
  value = std::strtod(word, &stop);
  return stop == at && !std::isinf(value);
}

// A date header such as "YY MM DD HH mm Q1 Q2" announces a minute column:
// after four runs of date letters, each followed by blanks or tabs, the
// next word is "mm".
bool announcesMinuteColumn(const std::string& line) {
  for (const char* key : {"YY", "MM", "DD", "HH"})
    if (line.find(key) == std::string::npos) return false;
  size_t pos = 0;
  for (int field = 0; field < 4; ++field) {
    pos = std::min(line.find_first_not_of("YMDH", pos), line.size());
    pos = std::min(line.find_first_not_of(" \t", pos), line.size());
  }
  return line.compare(pos, 2, "mm") == 0 && pos + 2 < line.size() &&
         (line[pos + 2] == ' ' || line[pos + 2] == '\t');
}

} // namespace

TimeSeriesFile::TimeSeriesFile(DiagStream* diagStream) : diag(diagStream) {}

TimeSeriesFile::TimeSeriesFile(const std::string& name, int modeArg, long bufferBytes,
                               DiagStream* diagStream)
    : diag(diagStream) {
  open(name, modeArg, bufferBytes);
}

int TimeSeriesFile::open(const std::string& name, int modeArg, long bufferBytes) {
  if (state != 0) return 0;
  fileName = name;
  mode = modeArg;
  stream.open(fileName, std::ios::in | std::ios::binary);
  if (!stream.is_open()) {
    state = 3;
    return 3;
  }

  int headerLines = 0;
  std::vector<char> headerLine(headerLineBytes);
  while (!isDigit(stream.peek())) {
    if (!stream.good() || !stream.getline(headerLine.data(), headerLineBytes)) {
      state = 5;
      stream.close();
      return 5;
    }
    ++headerLines;
    if (announcesMinuteColumn(headerLine.data())) minuteColumn = true;
  }

  dataLine = headerLines + 1;
  dataOffset = stream.tellg();
  if (dataOffset < 0)
    fatal(202, "the position of the first data line (line " + std::to_string(dataLine) +
                   ") cannot be taken");

  if (readLine(stream, line) == LineRead::tooLong)
    fatal(201, "line " + std::to_string(dataLine) + ": " + lineTooLongText());
  Record first;
  const char* at = line.c_str();
  const char* const end = at + line.size();
  const bool dated = nextWhole(at, end, first.year) && nextWhole(at, end, first.month) &&
                     nextWhole(at, end, first.day) && nextWhole(at, end, first.hour) &&
                     (!minuteColumn || nextWhole(at, end, first.minute));
  // A file that ends right behind the date fields leaves no values to count.
  if (!dated || (stream.eof() && at == end))
    fatal(201, "the first data line (line " + std::to_string(dataLine) +
                   ") cannot be read; it must begin with year, month, day, hour" +
                   (minuteColumn ? ", minute" : "") + " as integers");
  for (double value; nextNumber(at, end, value);) ++valueColumns;

  stream.seekg(0, std::ios::end);
  fileSize = stream.tellg();
  if (fileSize < 0) fatal(202, "the size of the file cannot be taken");
  stream.close();

  // The whole block is allocated here, so that loading a block allocates
  // nothing. Every field takes at least one byte, so a block never needs
  // more records than the data part of the file can hold; small tables then
  // stay small whatever budget the caller gives.
  const long fields = (minuteColumn ? 5 : 4) + valueColumns;
  const long budgetRecords = bufferBytes / (8 * valueColumns + 16);
  const long fileRecords = static_cast<long>(fileSize - dataOffset) / fields + 1;
  // At least one record, or a block would never advance through the file.
  recordsPerBlock = std::max(1L, std::min(budgetRecords, fileRecords));
  records.assign(recordsPerBlock, Record{});
  values.assign(recordsPerBlock * valueColumns, 0.0);

  state = 1;
  readBlock();
  return headerLines;
}

void TimeSeriesFile::readBlock() {
  cursor = 0;
  recordsInBlock = 0;
  // A cleared reader has no block to read into.
  if (recordsPerBlock == 0) {
    state = 5;
    return;
  }
  stream.clear();
  stream.open(fileName, std::ios::in | std::ios::binary);
  if (stream.is_open()) stream.seekg(dataOffset);
  if (!stream.is_open() || !stream) {
    state = 5;
    stream.close();
    return;
  }

  long count = 0;
  std::streamoff lineStart = dataOffset;
  for (long lineNumber = dataLine;; ++lineNumber) {
    const LineRead read = readLine(stream, line);
    // The end is tested before a full block is reported, so that a file
    // ending exactly at a block boundary reports its end with that block
    // rather than with an empty one. Blank lines are no data.
    if (read == LineRead::end) {
      state = 2;
      break;
    }
    if (read == LineRead::tooLong) {
      report("ERROR: ", "line " + std::to_string(lineNumber) + ": " + lineTooLongText());
      state = 5;
      break;
    }
    const std::streamoff nextLineStart =
        lineStart + static_cast<std::streamoff>(line.size()) + (stream.eof() ? 0 : 1);
    const size_t first = line.find_first_not_of(blanks);
    if (first == std::string::npos) {
      lineStart = nextLineStart;
      continue;
    }
    if (fileSize - lineStart - static_cast<std::streamoff>(first) < smallestRecordBytes) {
      state = 2;
      break;
    }
    if (count == recordsPerBlock) {
      state = 1;
      dataOffset = lineStart;
      dataLine = lineNumber;
      break;
    }
    if (!parseRecord(records[count], values.data() + count * valueColumns)) {
      state = 5;
      break;
    }
    ++count;
    lineStart = nextLineStart;
  }
  recordsInBlock = count;
  stream.close();
}

// One record per line: the date fields and exactly the values of the
// first data line.
bool TimeSeriesFile::parseRecord(Record& record, double* recordValues) const {
  const char* at = line.c_str();
  const char* const end = at + line.size();
  record.minute = 0;
  if (!nextWhole(at, end, record.year) || !nextWhole(at, end, record.month) ||
      !nextWhole(at, end, record.day) || !nextWhole(at, end, record.hour) ||
      (minuteColumn && !nextWhole(at, end, record.minute)))
    return false;
  for (long column = 0; column < valueColumns; ++column)
    if (!nextNumber(at, end, recordValues[column])) return false;
  while (at < end && isBlank(*at)) ++at;
  return at == end;
}

void TimeSeriesFile::setPosition(long index) {
  if (index >= -1 && index <= recordsInBlock) cursor = index;
}

void TimeSeriesFile::movePosition(long offset) {
  if (offset >= -1 - cursor && offset <= recordsInBlock - cursor) cursor += offset;
}

void TimeSeriesFile::refill() {
  if (state == 1) readBlock();
}

void TimeSeriesFile::next() {
  // Without a readable block there is nothing to move through, and a
  // failure must not turn into an ordinary end of data.
  if (state == 0 || state == 3 || state == 5) return;
  if (cursor < recordsInBlock - 1) {
    ++cursor;
    return;
  }
  if (state == 1) {
    readBlock();
    // Data that vanished since the last block leaves nothing to stand on.
    if (state == 2 && recordsInBlock == 0) state = 4;
    return;
  }
  state = 4;
}

void TimeSeriesFile::getDate(int& year, int& month, int& day, int& hour, int& minute) const {
  if (cursor < 0 || cursor >= recordsInBlock) {
    year = month = day = hour = minute = 0;
    return;
  }
  const Record& record = records[cursor];
  year = static_cast<int>(record.year);
  month = static_cast<int>(record.month);
  day = static_cast<int>(record.day);
  hour = static_cast<int>(record.hour);
  minute = static_cast<int>(record.minute);
}

double TimeSeriesFile::getValue(long column) const {
  if (column < 0 || column >= valueColumns || cursor < 0 || cursor >= recordsInBlock)
    return -9999.0;
  return values[cursor * valueColumns + column];
}

void TimeSeriesFile::clear() {
  std::vector<Record>().swap(records);
  std::vector<double>().swap(values);
  recordsPerBlock = 0;
  recordsInBlock = 0;
  cursor = -1;
}

void TimeSeriesFile::fatal(int code, const std::string& what) {
  state = 5;
  stream.close();
  report("FATAL: ", what);
  throw code;
}

void TimeSeriesFile::report(const char* level, const std::string& what) const {
  // The end marker belongs to the log stream; standard error gets the line.
  if (diag)
    *diag << level << "time series file " << fileName << ": " << what << "[end-entry]";
  else
    std::cerr << level << "time series file " << fileName << ": " << what << std::endl;
}
