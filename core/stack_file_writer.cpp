#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/ascii_grid_text.h"
#include "core/collective_file_write.h"
#include "core/collective_status.h"
#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "core/file_failure.h"
#include "core/modelobject.h"
#include "core/netcdf_grid_writer.h"
#include "core/non_finite_output.h"
#include "core/stack_file_format.h"

namespace {

constexpr int writeErrorCode = 18;
constexpr int createErrorCode = 26;
constexpr int closeErrorCode = 27;
constexpr int missingRowCode = 33;

// What every form of stack output needs.
struct StackOutput {
  DiagStream& diag;
  const GridHeader& header;
  const std::string& name;
  Stack stack;
  long lastLevel;
  const ModelDate& step;

  int reportNonFinite(const NonFiniteCell& cell) const {
    return reportNonFiniteOutput(diag, name, cell.place(), cell.value, step);
  }
};

// --- netCDF -------------------------------------------------------------------

std::vector<double> columnMajorGrid(Grid grid, const GridHeader& h) {
  const long nrows = h.nrows;
  const long ncols = h.ncols;
  std::vector<double> values(static_cast<size_t>(nrows * ncols));
#pragma omp parallel for schedule(runtime)
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c)
      values[(c - 1) * nrows + (r - 1)] = grid[r] ? grid[r][c] : h.nodata;
  return values;
}

// Rows that this process does not hold are no-data, for floats as well.
// Returns the first cell whose value, as stored, is not a finite number.
template <typename T>
NonFiniteCell copyLevelColumnMajor(const StackOutput& out, long level, std::vector<T>& values,
                                   std::vector<long>& nonFinite) {
  const long nrows = out.header.nrows;
  const long ncols = out.header.ncols;
  const T nodata = static_cast<T>(out.header.nodata);
  const Stack stack = out.stack;
#pragma omp parallel for schedule(runtime)
  for (long r = 1; r <= nrows; ++r) {
    long& bad = nonFinite[static_cast<size_t>(r - 1)];
    bad = 0;
    for (long c = 1; c <= ncols; ++c) {
      T& v = values[(c - 1) * nrows + (r - 1)];
      v = stack[r] ? static_cast<T>(stack[r][c][level]) : nodata;
      if (bad == 0 && !std::isfinite(v)) bad = c;
    }
  }
  NonFiniteCell cell;
  for (long r = 1; r <= nrows && !cell.found(); ++r) {
    const long c = nonFinite[static_cast<size_t>(r - 1)];
    if (c > 0) cell = {r, c, level, static_cast<double>(values[(c - 1) * nrows + (r - 1)])};
  }
  return cell;
}

// Latitude and longitude go into the file when registry entry 1 names the
// standard grids that hold them.
void handOverCoordinates(const GridRegistryEntry* registry, const GridHeader& h,
                         NetCDFGridWriter& writer) {
  if (!registry) return;
  auto gridAt = [registry](int index) {
    return index > 0 && index < gridRegistryLimit ? registry[index].grid : nullptr;
  };
  if (Grid latitude = gridAt(registry[1].latitudeIndex))
    writer.setLatitudeValues(columnMajorGrid(latitude, h));
  if (Grid longitude = gridAt(registry[1].longitudeIndex))
    writer.setLongitudeValues(columnMajorGrid(longitude, h));
}

// The levels become successive records of one variable.
template <typename T> void writeNetCDFStack(const StackOutput& out, NetCDFGridWriter& writer) {
  const std::string fileName = appendNetCDFExtension(out.name);
  const std::string variableName = makeNetCDFVariableName(out.name);
  // Every level is converted before the first is written, so that a value
  // that is not finite leaves no part of the stack in the file.
  std::vector<std::vector<T>> levels(static_cast<size_t>(out.lastLevel + 1));
  std::vector<long> nonFinite(static_cast<size_t>(out.header.nrows));
  for (long level = 0; level <= out.lastLevel; ++level) {
    std::vector<T>& values = levels[static_cast<size_t>(level)];
    values.resize(static_cast<size_t>(out.header.nrows * out.header.ncols));
    const NonFiniteCell bad = copyLevelColumnMajor(out, level, values, nonFinite);
    if (bad.found())
      throw reportNonFiniteOutput(out.diag, fileName, bad.place(), bad.value, out.step);
  }
  for (const std::vector<T>& values : levels)
    writer.writeNetCDFGrid(fileName, variableName, values.data(),
                           static_cast<int>(out.header.nrows), static_cast<int>(out.header.ncols),
                           out.header.nodata);
}

// --- ASCII ----------------------------------------------------------------------

void removePartialFile(const std::string& partial) { std::remove(partial.c_str()); }

bool writeAsciiValues(FILE* file, const StackOutput& out, NonFiniteCell& bad) {
  const std::string head = asciiStackHeaderText(out.header, out.lastLevel);
  bool ok = std::fwrite(head.data(), 1, head.size(), file) == head.size();
  // A row at a time: one fprintf per value made the stacks the largest cost
  // of the writing process.
  const long levels = std::max(0L, out.lastLevel + 1);
  const std::vector<double> missing(static_cast<size_t>(levels), out.header.nodata);
  std::vector<char> text(static_cast<size_t>(std::max(0L, out.header.ncols) * levels) *
                         (maxGridValueChars + 1));
  for (long r = 1; r <= out.header.nrows && ok; ++r) {
    double** row = out.stack[r];
    char* at = text.data();
    for (long c = 1; c <= out.header.ncols; ++c) {
      long nonFinite = 0;
      at += formatStackValues(row ? row[c] : missing.data(), levels, at, nonFinite);
      if (nonFinite > 0) {
        bad = {r, c, nonFinite - 1, row[c][nonFinite - 1]};
        return ok;
      }
    }
    const size_t length = static_cast<size_t>(at - text.data());
    ok = std::fwrite(text.data(), 1, length, file) == length;
  }
  return ok;
}

void writeAsciiStack(modelobject& module, const StackOutput& out) {
  const std::string partial = out.name + partialFileSuffix();
  // One left by a killed run could be a link, which the write would follow.
  removePartialFile(partial);
  FILE* file = std::fopen(partial.c_str(), "w");
  if (!file) {
    const int error = errno;
    out.diag << "FATAL: error opening " << out.name << " (" << systemReason(error) << ")"
             << "[end-entry]";
    throw createErrorCode;
  }
  NonFiniteCell bad;
  const bool written = writeAsciiValues(file, out, bad);
  int error = written ? 0 : errno;
  const bool closed = std::fclose(file) == 0;
  if (bad.found()) {
    removePartialFile(partial);
    throw out.reportNonFinite(bad);
  }
  if (!closed && written) error = errno;
  if (!written) {
    removePartialFile(partial);
    errno = error;
    module.writeError(out.name, writeErrorCode);
  }
  if (!closed) {
    removePartialFile(partial);
    out.diag << "FATAL: error closing " << out.name << " (" << systemReason(error) << ")"
             << "[end-entry]";
    throw fileFailureCode(error, closeErrorCode);
  }
  movePartialFileIntoPlace(out.diag, partial, out.name);
}

// --- binary -----------------------------------------------------------------------

// Cells of one row that this process writes, and where their values start
// in its buffer.
struct CellRun {
  long row;
  long firstColumn;
  long count;
  long bufferStart;
};

// A cell's owner as "MPIRegions" gives it: -1 outside the catchment, -2 for a
// process that does not run (nobody writes its cells).
int ownerOf(double value, double nodata, int size) {
  if (!(value >= 0.0) || value == nodata) return -1;
  return value < size ? static_cast<int>(value) : -2;
}

// Which cells of the file this process writes, so that every cell is
// written exactly once whatever the ownership: a catchment cell by its owner,
// a cell outside the catchment by the owner of the nearest catchment cell
// before it in its row (of the row's first one for leading cells), a row
// without catchment cells by rank 0. Each decision needs only the row's
// "MPIRegions" values, which every process that holds the row has alike.
// Without "MPIRegions" rank 0 writes every cell.
struct WritePlan {
  std::vector<CellRun> runs;
  long cells = 0;
  long rowNotHeld = 0; // a row with own cells that the stack lacks
};

void addCell(WritePlan& plan, long row, long column) {
  ++plan.cells;
  if (!plan.runs.empty()) {
    CellRun& last = plan.runs.back();
    if (last.row == row && last.firstColumn + last.count == column) {
      ++last.count;
      return;
    }
  }
  plan.runs.push_back(CellRun{row, column, 1, 0});
}

WritePlan planCells(const StackOutput& out, Grid regions, long firstRow, long lastRow, int rank,
                    int size) {
  WritePlan plan;
  const GridHeader& h = out.header;
  if (!regions) {
    for (long r = 1; r <= h.nrows && rank == 0; ++r)
      for (long c = 1; c <= h.ncols; ++c) addCell(plan, r, c);
    return plan;
  }
  for (long r = firstRow; r <= lastRow; ++r) {
    const double* row = regions[r];
    if (!row) continue;
    int writer = -1;
    for (long c = 1; c <= h.ncols && writer == -1; ++c) writer = ownerOf(row[c], h.nodata, size);
    if (writer == -1) writer = 0;
    for (long c = 1; c <= h.ncols; ++c) {
      const int owner = ownerOf(row[c], h.nodata, size);
      if (owner != -1) writer = owner;
      if (writer != rank) continue;
      if (owner == rank && !out.stack[r] && plan.rowNotHeld == 0) plan.rowNotHeld = r;
      addCell(plan, r, c);
    }
  }
  return plan;
}

// Rank 0's buffer starts with the header; the runs follow in file order.
FileBlocks layOutBlocks(WritePlan& plan, const GridHeader& h, long levels, int rank) {
  FileBlocks blocks;
  if (rank == 0) blocks.add(0, binaryHeaderValues);
  for (CellRun& run : plan.runs) {
    run.bufferStart = blocks.values;
    const long cell = (run.row - 1) * h.ncols + (run.firstColumn - 1);
    blocks.add(binaryHeaderValues + cell * levels, run.count * levels);
  }
  return blocks;
}

// Returns the first cell of the runs whose value, as stored, is not a finite
// number.
template <typename T>
NonFiniteCell fillBuffer(const StackOutput& out, const WritePlan& plan, Grid regions, int rank,
                         int size, const double* header, std::vector<T>& buffer) {
  if (rank == 0)
    for (long i = 0; i < binaryHeaderValues; ++i) buffer[i] = static_cast<T>(header[i]);
  const long runs = static_cast<long>(plan.runs.size());
  const long levels = out.lastLevel + 1;
  const double nodata = out.header.nodata;
  const Stack stack = out.stack;
  // Runs follow the file order, as do the values of each.
  std::vector<long> nonFinite(static_cast<size_t>(runs), 0);
#pragma omp parallel for schedule(runtime)
  for (long i = 0; i < runs; ++i) {
    const CellRun& run = plan.runs[i];
    T* value = buffer.data() + run.bufferStart;
    for (long c = run.firstColumn; c < run.firstColumn + run.count; ++c) {
      const bool fromStack =
          regions ? ownerOf(regions[run.row][c], nodata, size) == rank : stack[run.row] != nullptr;
      for (long l = 0; l < levels; ++l) {
        *value = static_cast<T>(fromStack ? stack[run.row][c][l] : nodata);
        if (nonFinite[i] == 0 && !std::isfinite(*value))
          nonFinite[i] = 1 + (value - (buffer.data() + run.bufferStart));
        ++value;
      }
    }
  }
  for (long i = 0; i < runs; ++i) {
    if (nonFinite[i] == 0) continue;
    const CellRun& run = plan.runs[i];
    const long k = nonFinite[i] - 1;
    return {run.row, run.firstColumn + k / levels, k % levels,
            static_cast<double>(buffer[run.bufferStart + k])};
  }
  return {};
}

template <typename T>
void writeBinaryStack(const StackOutput& out, Grid regions, long firstRegionRow, long lastRegionRow,
                      int rank, int size, const double* header, MPI_Datatype valueType) {
  const GridHeader& h = out.header;
  const long levels = out.lastLevel + 1;
  CollectiveWrite write{out.diag, out.name, "stack"};

  WritePlan plan = planCells(out, regions, firstRegionRow, lastRegionRow, rank, size);
  const FileBlocks blocks = layOutBlocks(plan, h, levels, rank);
  long long cells = plan.cells;
  long long allCells = 0;
  write.mpiCall(MPI_Allreduce(&cells, &allCells, 1, MPI_LONG_LONG, MPI_SUM, MPI_COMM_WORLD),
                "MPI_Allreduce", writeErrorCode);
  if (write.code == 0 && allCells != static_cast<long long>(h.nrows) * h.ncols) {
    out.diag << "FATAL: error writing stack " << out.name << ": the processes would write "
             << allCells << " of its " << h.nrows * h.ncols
             << " cells; \"MPIRegions\" names owners that do not run or misses rows"
             << "[end-entry]";
    write.code = writeErrorCode;
  } else if (write.code == 0 && plan.rowNotHeld > 0) {
    out.diag << "FATAL: error writing stack " << out.name << ": process " << rank
             << " owns cells in row " << plan.rowNotHeld << " but does not hold that row"
             << "[end-entry]";
    write.code = missingRowCode;
  }
  write.checkFits(blocks, rank);
  // The buffer is filled only where this process holds the rows of its
  // cells; a value that is not finite ends the write of every process with
  // the agreement on the others' failures.
  std::vector<T> buffer;
  NonFiniteCell bad;
  if (write.code == 0) {
    buffer.resize(static_cast<size_t>(blocks.values));
    bad = fillBuffer(out, plan, regions, rank, size, header, buffer);
  }
  const CollectiveFailure failure =
      agreeOnFailure(bad.found() ? nonFiniteOutputCode : write.code, writeErrorCode);
  if (failure.code == nonFiniteOutputCode) settleNonFiniteOutput(out.diag, out.name, bad, out.step);
  write.settle(failure);
  const MPI_Offset fileBytes =
      static_cast<MPI_Offset>(binaryHeaderValues + h.nrows * h.ncols * levels) * sizeof(T);
  writeFileBlocks(write, out.name, blocks, buffer.data(), valueType, fileBytes, false);
}

} // namespace

void modelobject::writeStack(const std::string& path, Stack stack, int lastLevel, bool ascii,
                             bool doubleGrid, bool netcdf) {
  CtrlCIgnoredScope ctrlC;
  std::string name = path;
  prependDirectory(outputDirectory, name);
  if ((netcdf || ascii) && mpiRank != 0) return;
  if (lastLevel < 0 || !stack) {
    *diag << "FATAL: error writing stack " << name << ": "
          << (stack ? "invalid last level " + std::to_string(lastLevel) : std::string("no stack"))
          << "[end-entry]";
    throw writeErrorCode;
  }
  const StackOutput out{*diag, header, name, stack, lastLevel, currentDate};
  if (netcdf) {
    if (!netcdfWriter) netcdfWriter = std::make_unique<NetCDFGridWriter>(diag);
    netcdfWriter->setGeoreference(header.xllcorner, header.yllcorner, header.cellsize);
    handOverCoordinates(registry, header, *netcdfWriter);
    if (doubleGrid)
      writeNetCDFStack<double>(out, *netcdfWriter);
    else
      writeNetCDFStack<float>(out, *netcdfWriter);
    return;
  }
  binaryHeader[0] = static_cast<double>(header.ncols);
  binaryHeader[1] = static_cast<double>(header.nrows);
  binaryHeader[2] = header.xllcorner;
  binaryHeader[3] = header.yllcorner;
  binaryHeader[4] = header.cellsize;
  binaryHeader[5] = header.nodata;
  for (int i = 6; i < stackLevelField; ++i) binaryHeader[i] = 0.0;
  binaryHeader[stackLevelField] = lastLevel;
  if (ascii) {
    writeAsciiStack(*this, out);
    return;
  }
  const int regionsIndex = findGrid("MPIRegions", 1);
  Grid regions = regionsIndex > 0 ? registry[regionsIndex].grid : nullptr;
  const long firstRegionRow = regions ? registry[regionsIndex].firstRow : 0;
  const long lastRegionRow = regions ? registry[regionsIndex].lastRow : -1;
  if (doubleGrid)
    writeBinaryStack<double>(out, regions, firstRegionRow, lastRegionRow, mpiRank, mpiSize,
                             binaryHeader, MPI_DOUBLE);
  else
    writeBinaryStack<float>(out, regions, firstRegionRow, lastRegionRow, mpiRank, mpiSize,
                            binaryHeader, MPI_FLOAT);
}
