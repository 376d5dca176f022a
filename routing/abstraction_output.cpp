// The table of an "extern" or "from_file" abstraction: what it took each
// step in m^3/s with the tracer concentrations, buffered and appended.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/tracer_ini_class.h"
#include "core/diag_stream.h"
#include "core/file_failure.h"
#include "core/run_files.h"
#include "routing/al_class.h"
#include "routing/result_table.h"

void AL_class::writeHeader() {
  std::string columns = minuteColumn ? "YY\tMM\tDD\tHH\tmm\tm^3/s" : "YY\tMM\tDD\tHH\tm^3/s";
  for (int k = 1; k <= tracerCount && tracers; ++k)
    columns += "\t" + (*tracers)[static_cast<std::size_t>(k)].name;
  const int error = createOutputFile(
      outputFileName, columns + "\nabstraction_" + std::to_string(number) + "\n" + columns + "\n");
  if (error == 0) return;
  *diag << "FATAL: error opening " << outputFileName << " for abstraction " << number << " ("
        << systemReason(error) << ")"
        << "[end-entry]";
  throw 37;
}

void AL_class::StoreStep(int year, int month, int day, int hour, int minute,
                         const double* rowValues) {
  if (!writesTable()) return;
  if (bufferedRows >= bufferCapacity) FlushBuffer(1);
  ++bufferedRows;
  double* row = &buffer[bufferedRows * rowLength];
  row[0] = year;
  row[1] = month;
  row[2] = day;
  row[3] = hour;
  row[4] = minuteColumn ? minute : 0;
  for (int t = 0; t <= tracerCount; ++t) row[5 + t] = rowValues[t];
}

void AL_class::FlushBuffer(int force) {
  if (!writesTable() || force < 1 || bufferedRows == 0) return;
  appendResultRows(*diag, outputFileName, buffer, bufferedRows, rowLength,
                   static_cast<std::size_t>(tracerCount) + 1, minuteColumn, bufferBytes);
  bufferedRows = 0;
}
