#include "soil/point_series.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "core/ctrl_c.h"
#include "core/diag_stream.h"

namespace {

constexpr int pointFileCode = 65;
constexpr std::size_t recordOverhead = 32;

} // namespace

PointSeries::PointSeries(std::string fileName, int valueCount)
    : file(std::move(fileName)), width(valueCount) {
  const std::size_t recordBytes = static_cast<std::size_t>(width) * sizeof(double) + recordOverhead;
  setCapacity(std::max<std::size_t>(1, bufferBytes / recordBytes));
}

void PointSeries::setCapacity(std::size_t records) {
  capacity = records;
  count = 0;
  // The records are taken as they come: filled up front, each series of
  // every run would write each page of its two megabytes.
  dates.clear();
  values.clear();
  dates.reserve(4 * capacity);
  values.reserve(static_cast<std::size_t>(width) * capacity);
}

double* PointSeries::append(long year, long month, long day, long hour) {
  if (dates.size() <= 4 * count) {
    dates.resize(4 * (count + 1));
    values.resize(static_cast<std::size_t>(width) * (count + 1));
  }
  long* date = &dates[4 * count];
  date[0] = year;
  date[1] = month;
  date[2] = day;
  date[3] = hour;
  return &values[static_cast<std::size_t>(width) * count++];
}

void PointSeries::write(DiagStream& diag) {
  if (count == 0) return;
  const CtrlCIgnoredScope ignored;
  diag << "write " << file;
  FILE* out = std::fopen(file.c_str(), "a+");
  bool written = out != nullptr;
  for (std::size_t k = 0; k < count && written; ++k) {
    const long* date = &dates[4 * k];
    written = std::fprintf(out, "%ld\t%ld\t%ld\t%ld", date[0], date[1], date[2], date[3]) > 0;
    const double* row = &values[static_cast<std::size_t>(width) * k];
    for (int v = 0; v < width && written; ++v) written = std::fprintf(out, "\t%g", row[v]) > 0;
    written = written && std::fputc('\n', out) != EOF;
  }
  if (out) written = std::fclose(out) == 0 && written;
  if (!written) {
    diag << "[end-entry]";
    diag << "FATAL: \nerror opening file " << file
         << "\n-> check that its folder exists, disk space and user rights"
         << "[end-entry]";
    throw pointFileCode;
  }
  const std::size_t used =
      (static_cast<std::size_t>(width) * sizeof(double) + recordOverhead) * count;
  diag << " (" << static_cast<unsigned long>(used) << " of "
       << static_cast<unsigned long>(bufferBytes) << " buffer-bytes)"
       << "[end-entry]";
  count = 0;
}
