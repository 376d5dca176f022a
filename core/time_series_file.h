#pragma once

#include <fstream>
#include <string>
#include <vector>

class DiagStream;

// Block-buffered reader of dated tables (year, month, day, hour, optionally
// minute, then a fixed number of values per line). One block of records is
// held in memory; the file is open only while a block is read, so a model
// with many such tables never holds more than one of them open.
//
// States: 0 not opened, 1 more data after this block, 2 this block holds
// the end of the file, 3 the file cannot be opened, 4 `next` went past the
// last record, 5 read error: a line that is not the date fields and as many
// values as the first data line holds, or a line longer than maxLineBytes
// (core/line_reader.h), which is logged as an ERROR.
class TimeSeriesFile {
public:
  // The log stream receives the FATAL message of an unreadable first data
  // line; without one the message goes to standard error.
  explicit TimeSeriesFile(DiagStream* diag = nullptr);
  TimeSeriesFile(const std::string& fileName, int mode, long bufferBytes,
                 DiagStream* diag = nullptr);
  TimeSeriesFile(const TimeSeriesFile&) = delete;
  TimeSeriesFile& operator=(const TimeSeriesFile&) = delete;

  // Returns the number of header lines, 3 when the file cannot be opened,
  // 5 on a read error in the header, 0 when the reader was opened before.
  // Throws 201 when the first data line cannot be read, 202 when its
  // position cannot be taken.
  int open(const std::string& fileName, int mode, long bufferBytes);

  // Cursor moves within the block: -1 (before the first record) up to the
  // number of records in the block; other targets are ignored.
  void setPosition(long index);
  void movePosition(long offset);

  // Loads the next block when more data follows (state 1).
  void refill();
  // Moves to the next record, loading the next block when needed.
  void next();

  // The current record; outside the block the date is all zeros and every
  // value -9999.0.
  void getDate(int& year, int& month, int& day, int& hour, int& minute) const;
  double getValue(long column) const;

  // Frees the block; the state stays, so the reader cannot be opened again.
  void clear();

  int getState() const { return state; }
  int getMode() const { return mode; }
  long getPosition() const { return cursor; }
  long getRecordsInBlock() const { return recordsInBlock; }
  long getValueColumns() const { return valueColumns; }
  bool hasMinuteColumn() const { return minuteColumn; }
  bool isOpen() const { return stream.is_open(); }
  const std::string& getFileName() const { return fileName; }

private:
  struct Record {
    long year = 0;
    long month = 0;
    long day = 0;
    long hour = 0;
    long minute = 0;
  };

  void readBlock();
  bool parseRecord(Record& record, double* recordValues) const;
  [[noreturn]] void fatal(int code, const std::string& what);
  void report(const char* level, const std::string& what) const;

  std::ifstream stream;
  std::string fileName;
  DiagStream* diag = nullptr;
  std::vector<Record> records;
  std::vector<double> values; // valueColumns per record, record after record
  long recordsPerBlock = 0;
  long cursor = -1;
  long recordsInBlock = 0;
  long valueColumns = 0;
  bool minuteColumn = false;
  std::streamoff fileSize = 0;
  std::streamoff dataOffset = 0;
  long dataLine = 0; // number of the line at dataOffset
  std::string line;  // the line read last, kept so that loading a block allocates nothing once
                     // the longest line was read
  int mode = 0;
  int state = 0;
};
