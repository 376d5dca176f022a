#pragma once

#include <cstddef>
#include <string>
#include <vector>

class DiagStream;

// One buffered single-point time series of the control point: records of a
// date and a row of values, appended to the series' file when the buffer is
// full and whenever the module flushes.
class PointSeries {
public:
  // The buffer holds as many records of `width` values as fit into
  // bufferBytes at width * 8 + 32 bytes a record, at least one.
  static constexpr std::size_t bufferBytes = 2097152;

  PointSeries(std::string file, int width);

  // The value row of a new record dated year, month, day, hour; the caller
  // fills its `width` values.
  double* append(long year, long month, long day, long hour);
  bool full() const { return count == capacity; }
  std::size_t size() const { return count; }
  int getWidth() const { return width; }
  const std::string& getFile() const { return file; }
  // For tests: a buffer of the given number of records.
  void setCapacity(std::size_t records);

  // Appends every record to the file, "%ld\t%ld\t%ld\t%ld" and "\t%g" per
  // value, with Ctrl-C ignored meanwhile; logs the file and the bytes used
  // and empties the buffer. A file that cannot be opened or written ends
  // the run with 65.
  void write(DiagStream& diag);

private:
  std::string file;
  int width;
  std::size_t capacity;
  std::size_t count = 0;
  std::vector<long> dates;    // year, month, day, hour per record
  std::vector<double> values; // width per record
};
