// The reservoir's table: one row per step with its level, area, volume,
// balance terms and concentrations, buffered and appended in blocks.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/tracer_ini_class.h"
#include "core/diag_stream.h"
#include "core/run_files.h"
#include "routing/result_table.h"
#include "routing/sp_class.h"

namespace {

constexpr long outputBufferBytes = 2097152;

std::string headerLine(bool minutes, const std::vector<TracerRecord>* tracers, int tracerCount) {
  std::string line = "YY\tMM\tDD\tHH";
  if (minutes) line += "\tmm";
  line += "\tW[m]\tA[m2]\tV[m3]";
  for (const char* term : {"Qin", "Qout", "Irrig", "QGW", "ETR", "PREC", "dV", "Abstr", "Err"})
    for (const char* unit : {"[m3]", "[mm]", "[m3s]"}) line += std::string("\t") + term + unit;
  for (int k = 1; k <= tracerCount && tracers; ++k)
    line += "\t" + (*tracers)[static_cast<std::size_t>(k)].name;
  return line;
}

} // namespace

void SP_class::WriteOutputHeader() {
  const std::string header = headerLine(writeMinutes, tracers, tracerCount);
  const int error = createOutputFile(
      outputFileName, header + "\nreservoir_" + std::to_string(number) + "\n" + header + "\n");
  if (error == 0) return;
  *diag << "FATAL: error opening " << outputFileName << " for reservoir " << number << " ("
        << std::strerror(error) << "); check the directory and \"file =\" of the reservoir"
        << "[end-entry]";
  throw 37;
}

void SP_class::StoreOutputRow(int year, int month, int day, int hour, int minute) {
  if (outputRows >= outputCapacity) FlushOutput(1);
  ++outputRows;
  double* row = &outputBuffer[outputRows * rowLength];
  const double dateValues[5] = {static_cast<double>(year), static_cast<double>(month),
                                static_cast<double>(day), static_cast<double>(hour),
                                static_cast<double>(minute)};
  std::copy(dateValues, dateValues + 5, row);
  double* v = row + 5;
  *v++ = LevelFromVolume(state[0]);
  *v++ = area;
  *v++ = state[0];
  for (const TermValues& t : terms) {
    *v++ = t.m3;
    *v++ = t.mm;
    *v++ = t.m3s;
  }
  for (int k = 1; k <= tracerCount; ++k) *v++ = state[static_cast<std::size_t>(k)];
  outputColumns = 30 + static_cast<std::size_t>(tracerCount);
}

void SP_class::FlushOutput(int flag) {
  if (flag < 1 || outputRows == 0) return;
  appendResultRows(*diag, outputFileName, outputBuffer, outputRows, rowLength, outputColumns,
                   writeMinutes, outputBufferBytes);
  outputRows = 0;
  outputColumns = 0;
}
