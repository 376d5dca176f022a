#include <mpi.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/ascii_grid_text.h"
#include "core/collective_status.h"
#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "core/modelobject.h"
#include "core/netcdf_grid_writer.h"
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
template <typename T>
void copyLevelColumnMajor(const StackOutput& out, long level, std::vector<T>& values) {
  const long nrows = out.header.nrows;
  const long ncols = out.header.ncols;
  const T nodata = static_cast<T>(out.header.nodata);
  const Stack stack = out.stack;
#pragma omp parallel for schedule(runtime)
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c)
      values[(c - 1) * nrows + (r - 1)] = stack[r] ? static_cast<T>(stack[r][c][level]) : nodata;
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
  std::vector<T> values(static_cast<size_t>(out.header.nrows * out.header.ncols));
  for (long level = 0; level <= out.lastLevel; ++level) {
    copyLevelColumnMajor(out, level, values);
    writer.writeNetCDFGrid(fileName, variableName, values.data(),
                           static_cast<int>(out.header.nrows), static_cast<int>(out.header.ncols),
                           out.header.nodata);
  }
}

// --- ASCII ----------------------------------------------------------------------

void removePartialFile(const std::string& partial) { std::remove(partial.c_str()); }

// Renames the complete file to its real name; a failure removes it.
void movePartialFileIntoPlace(DiagStream& diag, const std::string& partial,
                              const std::string& name) {
  if (std::rename(partial.c_str(), name.c_str()) == 0) return;
  const std::string reason = std::strerror(errno);
  removePartialFile(partial);
  diag << "FATAL: error closing " << name << " (renaming " << partial << " failed: " << reason
       << ")"
       << "[end-entry]";
  throw closeErrorCode;
}

bool writeAsciiValues(FILE* file, const StackOutput& out, const double* header) {
  bool ok = std::fprintf(file,
                         "stack_ncols\t%lf\nnrows\t%lf\nxll\t%lf\nyll\t%lf\ncs\t%lf\nnodata\t%lf\n"
                         "cnt\t%lf\nmin\t%lf\nmax\t%lf\nsum\t%lf\naverage\t%lf\nnumlevels\t%lf\n",
                         header[0], header[1], header[2], header[3], header[4], header[5],
                         header[6], header[7], header[8], header[9], header[10], header[11]) > 0;
  // A row at a time: one fprintf per value made the stacks the largest cost
  // of the writing process.
  const size_t levels = static_cast<size_t>(std::max(0L, out.lastLevel + 1));
  std::vector<char> text(static_cast<size_t>(std::max(0L, out.header.ncols)) * levels *
                         (maxGridValueChars + 1));
  for (long r = 1; r <= out.header.nrows && ok; ++r) {
    double** row = out.stack[r];
    char* at = text.data();
    for (long c = 1; c <= out.header.ncols; ++c)
      for (long l = 0; l <= out.lastLevel; ++l) {
        at += formatStackValue(row ? row[c][l] : out.header.nodata, at);
        *at++ = '\n';
      }
    const size_t length = static_cast<size_t>(at - text.data());
    ok = std::fwrite(text.data(), 1, length, file) == length;
  }
  return ok;
}

void writeAsciiStack(modelobject& module, const StackOutput& out, const double* header) {
  const std::string partial = out.name + partialFileSuffix();
  // One left by a killed run could be a link, which the write would follow.
  removePartialFile(partial);
  FILE* file = std::fopen(partial.c_str(), "w");
  if (!file) {
    out.diag << "FATAL: error opening " << out.name << "[end-entry]";
    throw createErrorCode;
  }
  const bool written = writeAsciiValues(file, out, header);
  const bool closed = std::fclose(file) == 0;
  if (!written) {
    removePartialFile(partial);
    module.writeError(out.name, writeErrorCode);
  }
  if (!closed) {
    removePartialFile(partial);
    out.diag << "FATAL: error closing " << out.name << "[end-entry]";
    throw closeErrorCode;
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

// Blocks of values in file order, for the file view: a length and a
// displacement in values from the start of the file.
struct FileBlocks {
  std::vector<int> lengths;
  std::vector<MPI_Aint> starts;
  long values = 0;
  bool tooLong = false;
};

void addBlock(FileBlocks& blocks, long start, long length) {
  blocks.values += length;
  if (!blocks.lengths.empty()) {
    const long end = static_cast<long>(blocks.starts.back()) + blocks.lengths.back();
    if (end == start && blocks.lengths.back() <= INT_MAX - length) {
      blocks.lengths.back() += static_cast<int>(length);
      return;
    }
  }
  if (length > INT_MAX) blocks.tooLong = true;
  blocks.starts.push_back(static_cast<MPI_Aint>(start));
  blocks.lengths.push_back(static_cast<int>(std::min<long>(length, INT_MAX)));
}

// Rank 0's buffer starts with the header; the runs follow in file order.
FileBlocks layOutBlocks(WritePlan& plan, const GridHeader& h, long levels, int rank) {
  FileBlocks blocks;
  if (rank == 0) addBlock(blocks, 0, binaryHeaderValues);
  for (CellRun& run : plan.runs) {
    run.bufferStart = blocks.values;
    const long cell = (run.row - 1) * h.ncols + (run.firstColumn - 1);
    addBlock(blocks, binaryHeaderValues + cell * levels, run.count * levels);
  }
  return blocks;
}

template <typename T>
void fillBuffer(const StackOutput& out, const WritePlan& plan, Grid regions, int rank, int size,
                const double* header, std::vector<T>& buffer) {
  if (rank == 0)
    for (long i = 0; i < binaryHeaderValues; ++i) buffer[i] = static_cast<T>(header[i]);
  const long runs = static_cast<long>(plan.runs.size());
  const long levels = out.lastLevel + 1;
  const double nodata = out.header.nodata;
  const Stack stack = out.stack;
#pragma omp parallel for schedule(runtime)
  for (long i = 0; i < runs; ++i) {
    const CellRun& run = plan.runs[i];
    T* value = buffer.data() + run.bufferStart;
    for (long c = run.firstColumn; c < run.firstColumn + run.count; ++c) {
      const bool fromStack =
          regions ? ownerOf(regions[run.row][c], nodata, size) == rank : stack[run.row] != nullptr;
      for (long l = 0; l < levels; ++l)
        *value++ = static_cast<T>(fromStack ? stack[run.row][c][l] : nodata);
    }
  }
}

// The first failure of this process, logged where it happens.
struct LocalFailure {
  DiagStream& diag;
  const std::string& name;
  int code = 0;

  void mpiCall(int result, const char* call, int failureCode) {
    if (result == MPI_SUCCESS || code != 0) return;
    diag << "FATAL: error writing stack " << name << ": " << call << " failed ("
         << mpiErrorText(result) << ")"
         << "[end-entry]";
    code = failureCode;
  }
};

// After a failure anywhere, every process throws the same code; those that
// did not fail themselves say where it happened.
void settle(const LocalFailure& local, const CollectiveFailure& failure) {
  if (failure.code == 0) return;
  if (local.code == 0)
    local.diag << "FATAL: writing stack " << local.name << " failed on process " << failure.rank
               << "[end-entry]";
  throw failure.code;
}

template <typename T>
void writeBinaryStack(const StackOutput& out, Grid regions, long firstRegionRow, long lastRegionRow,
                      int rank, int size, const double* header, MPI_Datatype valueType) {
  const GridHeader& h = out.header;
  const long levels = out.lastLevel + 1;
  const std::string partial = out.name + partialFileSuffix();
  LocalFailure local{out.diag, out.name};

  WritePlan plan = planCells(out, regions, firstRegionRow, lastRegionRow, rank, size);
  const FileBlocks blocks = layOutBlocks(plan, h, levels, rank);
  long long cells = plan.cells;
  long long allCells = 0;
  local.mpiCall(MPI_Allreduce(&cells, &allCells, 1, MPI_LONG_LONG, MPI_SUM, MPI_COMM_WORLD),
                "MPI_Allreduce", writeErrorCode);
  if (local.code == 0 && allCells != static_cast<long long>(h.nrows) * h.ncols) {
    out.diag << "FATAL: error writing stack " << out.name << ": the processes would write "
             << allCells << " of its " << h.nrows * h.ncols
             << " cells; \"MPIRegions\" names owners that do not run or misses rows"
             << "[end-entry]";
    local.code = writeErrorCode;
  } else if (local.code == 0 && plan.rowNotHeld > 0) {
    out.diag << "FATAL: error writing stack " << out.name << ": process " << rank
             << " owns cells in row " << plan.rowNotHeld << " but does not hold that row"
             << "[end-entry]";
    local.code = missingRowCode;
  } else if (local.code == 0 && (blocks.tooLong || blocks.values > INT_MAX)) {
    out.diag << "FATAL: error writing stack " << out.name << ": " << blocks.values
             << " values are too many for one write of process " << rank << "[end-entry]";
    local.code = writeErrorCode;
  }
  // One left by a killed run could be a link, which the write would follow;
  // the agreement below keeps every process from opening it before it is
  // gone.
  if (rank == 0) removePartialFile(partial);
  settle(local, agreeOnFailure(local.code, writeErrorCode));

  std::vector<T> buffer(static_cast<size_t>(blocks.values));
  fillBuffer(out, plan, regions, rank, size, header, buffer);

  MPI_File file = MPI_FILE_NULL;
  local.mpiCall(MPI_File_open(MPI_COMM_WORLD, partial.c_str(), MPI_MODE_CREATE | MPI_MODE_WRONLY,
                              MPI_INFO_NULL, &file),
                "MPI_File_open", createErrorCode);
  const CollectiveFailure opened = agreeOnFailure(local.code, createErrorCode);
  if (opened.code != 0) {
    // A handle opened here while another process failed cannot be closed:
    // closing is collective over processes that have no handle.
    if (rank == 0) removePartialFile(partial);
    settle(local, opened);
  }

  // The file view lists this process's blocks, so that it writes all of
  // them in one call wherever they lie.
  const int valueSize = static_cast<int>(sizeof(T));
  std::vector<MPI_Aint> byteStarts(blocks.starts.size());
  for (size_t i = 0; i < byteStarts.size(); ++i) byteStarts[i] = blocks.starts[i] * valueSize;
  MPI_Datatype view = MPI_DATATYPE_NULL;
  if (!blocks.lengths.empty()) {
    const int made =
        MPI_Type_create_hindexed(static_cast<int>(blocks.lengths.size()), blocks.lengths.data(),
                                 byteStarts.data(), valueType, &view);
    if (made != MPI_SUCCESS) view = MPI_DATATYPE_NULL;
    local.mpiCall(made, "MPI_Type_create_hindexed", writeErrorCode);
    if (view != MPI_DATATYPE_NULL)
      local.mpiCall(MPI_Type_commit(&view), "MPI_Type_commit", writeErrorCode);
  }
  // Collective calls go on after a local failure, with nothing to write, so
  // that no process waits for one that gave up.
  const bool viewReady = local.code == 0 && view != MPI_DATATYPE_NULL;
  local.mpiCall(
      MPI_File_set_view(file, 0, valueType, viewReady ? view : valueType, "native", MPI_INFO_NULL),
      "MPI_File_set_view", writeErrorCode);
  const int count = local.code == 0 ? static_cast<int>(blocks.values) : 0;
  MPI_Status status;
  local.mpiCall(MPI_File_write_all(file, buffer.data(), count, valueType, &status),
                "MPI_File_write_all", writeErrorCode);
  int written = 0;
  local.mpiCall(MPI_Get_count(&status, valueType, &written), "MPI_Get_count", writeErrorCode);
  if (local.code == 0 && written != count) {
    out.diag << "FATAL: error writing stack " << out.name << ": process " << rank << " wrote "
             << written << " of " << count << " values"
             << "[end-entry]";
    local.code = writeErrorCode;
  }
  const MPI_Offset fileBytes =
      static_cast<MPI_Offset>(binaryHeaderValues + h.nrows * h.ncols * levels) * valueSize;
  local.mpiCall(MPI_File_set_size(file, fileBytes), "MPI_File_set_size", writeErrorCode);
  const int closed = MPI_File_close(&file);
  if (closed != MPI_SUCCESS && local.code == 0) {
    out.diag << "FATAL: error closing " << out.name << " (" << mpiErrorText(closed) << ")"
             << "[end-entry]";
    local.code = closeErrorCode;
  }
  if (view != MPI_DATATYPE_NULL) MPI_Type_free(&view);

  const CollectiveFailure failure = agreeOnFailure(local.code, writeErrorCode);
  if (failure.code != 0) {
    if (rank == 0) removePartialFile(partial);
    settle(local, failure);
  }
  // Rank 0 puts the complete file in place; every process learns whether it
  // could.
  int moved = 0;
  if (rank == 0) {
    try {
      movePartialFileIntoPlace(out.diag, partial, out.name);
    } catch (int code) {
      moved = code;
    }
  }
  const int shared = MPI_Bcast(&moved, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (shared != MPI_SUCCESS) {
    out.diag << "FATAL: error writing stack " << out.name << ": MPI_Bcast failed ("
             << mpiErrorText(shared) << ")"
             << "[end-entry]";
    throw writeErrorCode;
  }
  LocalFailure renamed{out.diag, out.name, rank == 0 ? moved : 0};
  settle(renamed, CollectiveFailure{moved, 0});
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
  const StackOutput out{*diag, header, name, stack, lastLevel};
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
    writeAsciiStack(*this, out, binaryHeader);
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
