#include "driver/special_output.h"

#include <mpi.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"
#include "core/run_files.h"

namespace {

constexpr int specialOutputFailed = 82;
// Lines are kept like those of the zonal statistics: about 2 MB per file
// between two writes.
constexpr long bufferBytes = 2097152;
constexpr int noOwner = INT_MAX;

} // namespace

SpecialOutputClass::SpecialOutputClass(const ModelContext& contextArg, int& errorCode)
    : teilmodellklasse(contextArg, "special_output") {
  errorCode = catchModuleFailure([&] {
    HORVA_ANNOUNCE_MODULE(*diag);
    if (getFlowControl() == 0) return;
    readOutputs();
  });
}

void SpecialOutputClass::readOutputs() {
  const RuleBlockReader reader(*diag, sectionHeader, controlFileName, specialOutputFailed);
  const std::vector<RuleBlock> list = reader.readBlocks(controlFile, "number of special outputs");
  closeControlFile();
  for (const RuleBlock& block : list) outputs.push_back(makeOutput(reader, block));
  if (outputs.empty()) return;

  const int regions = requireGrid("MPIRegions");
  for (Output& output : outputs) locateCells(output, regions);
  int code = 0;
  if (mpiRank == 0)
    code = catchExitCode([&] {
      for (const Output& output : outputs) createFile(output);
    });
  shareExitCode(*diag, code);
}

SpecialOutputClass::Output SpecialOutputClass::makeOutput(const RuleBlockReader& reader,
                                                          const RuleBlock& block) {
  reader.allowKeys(block, {"grid", "file", "cells", "substeps"});
  Output output;
  output.block = block.number;
  output.gridName = reader.registeredGrid(block, "grid", *this, output.gridIndex);

  output.fileName = reader.word(block, "file");
  prependDirectory(outputDirectory, output.fileName);
  noteOutputFile(output.fileName,
                 "the file of block " + std::to_string(block.number) + " of [special_output]");
  for (const Output& other : outputs)
    if (other.fileName == output.fileName)
      reader.fail(block, "the file \"" + output.fileName +
                             "\" of key \"file\" is written by block " +
                             std::to_string(other.block) + " already");

  const std::vector<long> cells = reader.integers(block, "cells");
  if (cells.size() % 2 != 0)
    reader.fail(block, "key \"cells\" takes pairs of row and column, not " +
                           std::to_string(cells.size()) + " numbers");
  for (std::size_t k = 0; k < cells.size(); k += 2) {
    const long row = cells[k];
    const long column = cells[k + 1];
    if (row < 1 || row > header.nrows || column < 1 || column > header.ncols)
      reader.fail(block, "the cell " + std::to_string(row) + " " + std::to_string(column) +
                             " of key \"cells\" lies outside the grid of " +
                             std::to_string(header.nrows) + " rows and " +
                             std::to_string(header.ncols) + " columns");
    output.rows.push_back(row);
    output.columns.push_back(column);
  }

  if (reader.has(block, "substeps")) {
    const long substeps = reader.integer(block, "substeps");
    if (substeps != 0 && substeps != 1)
      reader.fail(block, "the value \"" + std::to_string(substeps) +
                             "\" of key \"substeps\" is neither 0 nor 1");
    output.substeps = substeps == 1;
  }

  const long cellCount = static_cast<long>(output.rows.size());
  output.capacity = static_cast<std::size_t>(std::max(1L, bufferBytes / (8 * cellCount + 32)));
  if (mpiRank == 0) {
    output.lineDates.resize(output.capacity);
    output.lineSubsteps.resize(output.capacity);
    output.lineValues.resize(output.capacity * output.rows.size());
  }
  return output;
}

// Every process learns the owner of every listed cell from "MPIRegions", so
// that rank 0 knows where each gathered value belongs.
void SpecialOutputClass::locateCells(Output& output, int regionsIndex) {
  const GridRegistryEntry& regions = registry[regionsIndex];
  const std::size_t count = output.rows.size();
  std::vector<int> owner(count, noOwner);
  for (std::size_t k = 0; k < count; ++k) {
    const long r = output.rows[k];
    if (r < regions.firstRow || r > regions.lastRow || !regions.grid[r]) continue;
    const double value = regions.grid[r][output.columns[k]];
    if (value != header.nodata && static_cast<int>(value) == mpiRank) owner[k] = mpiRank;
  }
  checkMPI(*diag,
           MPI_Allreduce(MPI_IN_PLACE, owner.data(), static_cast<int>(count), MPI_INT, MPI_MIN,
                         MPI_COMM_WORLD),
           "MPI_Allreduce of the owners of the special output cells");

  for (std::size_t k = 0; k < count; ++k) {
    if (owner[k] == mpiRank) output.ownCells.push_back(static_cast<long>(k));
    if (owner[k] == noOwner)
      *diag << "WARNING: the cell " << output.rows[k] << " " << output.columns[k] << " of block "
            << output.block << " of " << sectionHeader
            << " lies outside the catchment; its column of " << output.fileName << " holds nodata"
            << "[end-entry]";
  }
  output.ownValues.resize(output.ownCells.size());
  if (mpiRank != 0) return;

  output.receiveCounts.assign(static_cast<std::size_t>(mpiSize), 0);
  for (int o : owner)
    if (o != noOwner) ++output.receiveCounts[static_cast<std::size_t>(o)];
  output.displacements.assign(static_cast<std::size_t>(mpiSize), 0);
  for (int p = 1; p < mpiSize; ++p)
    output.displacements[p] = output.displacements[p - 1] + output.receiveCounts[p - 1];
  std::vector<int> next = output.displacements;
  output.sourceOf.assign(count, -1);
  for (std::size_t k = 0; k < count; ++k)
    if (owner[k] != noOwner) output.sourceOf[k] = next[static_cast<std::size_t>(owner[k])]++;
  output.received.resize(static_cast<std::size_t>(next.back()));
}

void SpecialOutputClass::createFile(const Output& output) const {
  OutputText text;
  FILE* file = text.file();
  std::fputs(output.substeps ? "YY\tMM\tDD\tHH\tmm\tsub" : "YY\tMM\tDD\tHH\tmm", file);
  for (std::size_t k = 0; k < output.rows.size(); ++k)
    std::fprintf(file, "\t%s(%ld,%ld)", output.gridName.c_str(), output.rows[k], output.columns[k]);
  std::fputc('\n', file);
  const int error = createOutputFile(output.fileName, text.text());
  if (error != 0)
    failFile(output, "cannot create " + output.fileName + " (" + std::strerror(error) + ")");
}

void SpecialOutputClass::writeStep(long minute, long hour, long day, long month, long year,
                                   unsigned substep) {
  if (flowControl == 0 || outputs.empty()) return;
  reportModelTime(minute, hour, day, month, year);
  const ModelDate date{minute, hour, day, month, year};
  for (Output& output : outputs) {
    if (output.substeps != (substep > 0)) continue;
    gather(output);
    bufferLine(output, date, substep);
    if (output.linesUsed == output.capacity) shareExitCode(*diag, writeLines(output));
  }
}

void SpecialOutputClass::gather(Output& output) {
  const GridRegistryEntry& entry = registry[output.gridIndex];
  const Grid grid = entry.grid;
  for (std::size_t i = 0; i < output.ownCells.size(); ++i) {
    const std::size_t k = static_cast<std::size_t>(output.ownCells[i]);
    const long r = output.rows[k];
    const bool held = grid && r >= entry.firstRow && r <= entry.lastRow && grid[r];
    output.ownValues[i] = held ? grid[r][output.columns[k]] : header.nodata;
  }
  checkMPI(*diag,
           MPI_Gatherv(output.ownValues.data(), static_cast<int>(output.ownValues.size()),
                       MPI_DOUBLE, output.received.data(), output.receiveCounts.data(),
                       output.displacements.data(), MPI_DOUBLE, 0, MPI_COMM_WORLD),
           "MPI_Gatherv of the special output cells");
}

void SpecialOutputClass::bufferLine(Output& output, const ModelDate& date, unsigned substep) {
  if (mpiRank == 0) {
    const std::size_t count = output.rows.size();
    double* line = &output.lineValues[output.linesUsed * count];
    for (std::size_t k = 0; k < count; ++k) {
      const long source = output.sourceOf[k];
      line[k] = source >= 0 ? output.received[static_cast<std::size_t>(source)] : header.nodata;
    }
    output.lineDates[output.linesUsed] = date;
    output.lineSubsteps[output.linesUsed] = substep;
  }
  ++output.linesUsed;
}

int SpecialOutputClass::writeLines(Output& output) {
  const std::size_t lines = output.linesUsed;
  output.linesUsed = 0;
  if (mpiRank != 0 || lines == 0) return 0;
  return catchExitCode([&] {
    CtrlCIgnoredScope ignored;
    FILE* file = std::fopen(output.fileName.c_str(), "a");
    if (!file)
      failFile(output,
               "cannot open " + output.fileName + " for appending (" + std::strerror(errno) + ")");
    const std::size_t count = output.rows.size();
    for (std::size_t l = 0; l < lines; ++l) {
      const ModelDate& d = output.lineDates[l];
      std::fprintf(file, "%2ld\t%2ld\t%2ld\t%2ld\t%2ld", d.year, d.month, d.day, d.hour, d.minute);
      if (output.substeps) std::fprintf(file, "\t%u", output.lineSubsteps[l]);
      const double* values = &output.lineValues[l * count];
      for (std::size_t k = 0; k < count; ++k) std::fprintf(file, "\t%.8g", values[k]);
      std::fputc('\n', file);
    }
    const bool failed = std::ferror(file) != 0;
    if (std::fclose(file) != 0 || failed)
      failFile(output, "error writing " + output.fileName + " (" + std::strerror(errno) + ")");
    *diag << "DEBUG: special output: " << static_cast<unsigned long>(lines) << " lines appended to "
          << output.fileName << "[end-entry]";
  });
}

void SpecialOutputClass::flush() {
  if (flowControl == 0 || outputs.empty()) return;
  int code = 0;
  for (Output& output : outputs) {
    const int written = writeLines(output);
    if (code == 0) code = written;
  }
  shareExitCode(*diag, code);
}

void SpecialOutputClass::releaseModule() {
  outputs.clear();
  teilmodellklasse::releaseModule();
}

void SpecialOutputClass::failFile(const Output& output, const std::string& what) const {
  *diag << "FATAL: " << what << " for block " << output.block << " of " << sectionHeader << " in "
        << userControlFile(controlFileName) << "[end-entry]";
  throw specialOutputFailed;
}
