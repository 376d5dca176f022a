#include "routing/result_table.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/ctrl_c.h"
#include "core/diag_stream.h"

void appendResultRows(DiagStream& diag, const std::string& fileName,
                      const std::vector<double>& buffer, std::size_t count, std::size_t rowLength,
                      std::size_t valueCount, bool minutes, long bufferBytes) {
  const CtrlCIgnoredScope ignored;
  diag << "flushing to disk: " << fileName << " (" << bufferBytes << " buffersize)"
       << "[end-entry]";
  FILE* file = std::fopen(fileName.c_str(), "a+");
  if (!file) {
    diag << "FATAL: error opening reservoir file " << fileName << " (" << std::strerror(errno)
         << "); check that it can still be written"
         << "[end-entry]";
    throw 65;
  }
  for (std::size_t i = 1; i <= count; ++i) {
    const double* row = &buffer[i * rowLength];
    std::fprintf(file, "%2.0lf\t%2.0lf\t%2.0lf\t%2.0lf", row[0], row[1], row[2], row[3]);
    if (minutes) std::fprintf(file, "\t%2.0lf", row[4]);
    for (std::size_t j = 0; j < valueCount; ++j) std::fprintf(file, "\t%lg", row[5 + j]);
    std::fputs("\n", file);
  }
  const bool failed = std::ferror(file) != 0;
  if (std::fclose(file) != 0 || failed) {
    diag << "FATAL: error writing reservoir file " << fileName << " (" << std::strerror(errno)
         << "); check the disk space"
         << "[end-entry]";
    throw 65;
  }
}
