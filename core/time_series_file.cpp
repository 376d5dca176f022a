#include "core/time_series_file.h"

#include <algorithm>
#include <iostream>
#include <sstream>

#include "core/diag_stream.h"

namespace {

// Header lines are read into a fixed buffer; a longer line is a read error.
constexpr std::streamsize headerLineBytes = 4096;
// Fewer remaining bytes than this after the last record cannot hold another
// record and are ignored.
constexpr std::streamoff smallestRecordBytes = 10;

bool isDigit(std::ifstream::int_type c) { return c >= '0' && c <= '9'; }

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
  std::vector<char> line(headerLineBytes);
  while (!isDigit(stream.peek())) {
    if (!stream.good() || !stream.getline(line.data(), headerLineBytes)) {
      state = 5;
      stream.close();
      return 5;
    }
    ++headerLines;
    if (announcesMinuteColumn(line.data())) minuteColumn = true;
  }

  const long firstDataLine = headerLines + 1;
  dataOffset = stream.tellg();
  if (dataOffset < 0)
    fatal(202, "the position of the first data line (line " + std::to_string(firstDataLine) +
                   ") cannot be taken");

  Record first;
  stream >> first.year >> first.month >> first.day >> first.hour;
  if (minuteColumn) stream >> first.minute;
  std::string rest;
  if (!stream || !std::getline(stream, rest))
    fatal(201, "the first data line (line " + std::to_string(firstDataLine) +
                   ") cannot be read; it must begin with year, month, day, hour" +
                   (minuteColumn ? ", minute" : "") + " as integers");
  std::istringstream columns(rest);
  for (double value; columns >> value;) ++valueColumns;

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
  for (;;) {
    // The end is tested before a full block is reported, so that a file
    // ending exactly at a block boundary reports its end with that block
    // rather than with an empty one. Trailing white space is no data.
    stream >> std::ws;
    if (stream.eof()) {
      state = 2;
      break;
    }
    const std::streamoff position = stream.tellg();
    if (position < 0) {
      state = 5;
      break;
    }
    if (fileSize - position < smallestRecordBytes) {
      state = 2;
      break;
    }
    if (count == recordsPerBlock) {
      state = 1;
      dataOffset = position;
      break;
    }
    Record& record = records[count];
    stream >> record.year >> record.month >> record.day >> record.hour;
    record.minute = 0;
    if (minuteColumn) stream >> record.minute;
    double* recordValues = values.data() + count * valueColumns;
    for (long column = 0; column < valueColumns && stream; ++column) stream >> recordValues[column];
    if (!stream) {
      state = 5;
      break;
    }
    ++count;
  }
  recordsInBlock = count;
  stream.close();
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
  // The end marker belongs to the log stream; standard error gets the line.
  if (diag)
    *diag << "FATAL: time series file " << fileName << ": " << what << "[end-entry]";
  else
    std::cerr << "FATAL: time series file " << fileName << ": " << what << std::endl;
  throw code;
}
