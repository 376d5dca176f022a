#include <mpi.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/collective_status.h"
#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "core/modelobject.h"
#include "core/run_files.h"
#include "core/stack_file_format.h"

namespace {

constexpr int openErrorCode = 21;
constexpr int formatErrorCode = 22;
constexpr int closeErrorCode = 23;
constexpr int measuresErrorCode = 24;
constexpr int readErrorCode = 19;

enum StackFileFormat { floatStack = 0, asciiStack = 1, doubleStack = 2 };

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using OpenFile = std::unique_ptr<FILE, FileCloser>;

// Closes the file and reports whether that worked.
bool closeFile(OpenFile& file) { return std::fclose(file.release()) == 0; }

// The last 35 characters of a name, as the measures message shows them.
std::string lastCharacters(const std::string& name) {
  return name.size() > 35 ? name.substr(name.size() - 35) : name;
}

// What rank 0 finds out about a stack file and shares with the others.
struct StackFile {
  int format = doubleStack;
  int lastLevel = 0;
  double header[binaryHeaderValues] = {};
  long valueSize() const { return format == floatStack ? 4 : 8; }
};

// --- rank 0: the file's header ------------------------------------------------

// A double header is tried first; a float stack may be shorter than one.
StackFile recogniseFormat(DiagStream& diag, FILE* file, const std::string& name) {
  StackFile stack;
  unsigned char start[binaryHeaderValues * sizeof(double)] = {};
  const size_t bytes = std::fread(start, 1, sizeof start, file);
  double doubles[binaryHeaderValues];
  float floats[binaryHeaderValues];
  std::memcpy(doubles, start, sizeof doubles);
  std::memcpy(floats, start, sizeof floats);
  if (bytes >= 5 && std::memcmp(start, "stack", 5) == 0) {
    stack.format = asciiStack;
    std::rewind(file);
    for (int i = 0; i < binaryHeaderValues; ++i) {
      // Keys are not compared, only their order counts.
      char key[256];
      if (std::fscanf(file, "%255s %lf", key, &stack.header[i]) != 2) {
        diag << "FATAL: error reading ascii value #" << i + 1 << " from " << name << "[end-entry]";
        throw formatErrorCode;
      }
    }
  } else if (bytes == sizeof doubles && doubles[5] == binaryNodataMarker) {
    stack.format = doubleStack;
    std::copy(doubles, doubles + binaryHeaderValues, stack.header);
  } else if (bytes >= sizeof floats && floats[5] == binaryNodataMarker) {
    stack.format = floatStack;
    std::copy(floats, floats + binaryHeaderValues, stack.header);
  } else if (bytes < sizeof doubles) {
    diag << "FATAL: error reading from " << name << "[end-entry]";
    throw formatErrorCode;
  } else {
    diag << "FATAL: could not recognise file format (ascii, single float or double float) for "
            "stack "
         << name << "[end-entry]";
    throw formatErrorCode;
  }
  return stack;
}

// Sizes as whole numbers: a stack of 24.5 columns is none of 24.
bool measuresMatch(const double* file, const GridHeader& h) {
  return file[0] == static_cast<double>(h.ncols) && file[1] == static_cast<double>(h.nrows) &&
         std::floor(file[2]) == std::floor(h.xllcorner) &&
         std::floor(file[3]) == std::floor(h.yllcorner) && file[4] == h.cellsize &&
         file[5] == h.nodata;
}

// The level count is checked against the size of the file before anything
// is allocated for it.
void checkLevelCount(DiagStream& diag, FILE* file, const std::string& name, StackFile& stack,
                     const GridHeader& h) {
  const double field = stack.header[stackLevelField];
  if (!(field >= 0.0 && field < INT_MAX)) {
    diag << "FATAL: invalid last level index " << field << " in stack " << name
         << "; it must lie between 0 and " << INT_MAX - 1 << "[end-entry]";
    throw formatErrorCode;
  }
  stack.lastLevel = static_cast<int>(std::floor(field));
  struct stat status;
  if (fstat(fileno(file), &status) != 0) {
    diag << "FATAL: error reading from " << name << "[end-entry]";
    throw readErrorCode;
  }
  const double values = static_cast<double>(h.nrows) * h.ncols * (stack.lastLevel + 1.0);
  double needed = 0.0;
  double available = static_cast<double>(status.st_size);
  if (stack.format == asciiStack) {
    // Every value takes at least one character and one separator.
    available -= static_cast<double>(std::ftell(file));
    needed = 2.0 * values - 1.0;
  } else {
    needed = (binaryHeaderValues + values) * static_cast<double>(stack.valueSize());
  }
  if (available >= needed) return;
  diag << "FATAL: stack " << name << " is too short for the " << stack.lastLevel + 1
       << " levels its header gives: " << static_cast<long>(available) << " bytes where " << needed
       << " are needed"
       << "[end-entry]";
  throw formatErrorCode;
}

// Opens the file, recognises its format and checks its header against the
// module's grid; the file stays open behind the header.
StackFile examineStackFile(DiagStream& diag, const std::string& name, const std::string& moduleName,
                           const std::string& reference, const GridHeader& h, OpenFile& handle) {
  handle.reset(std::fopen(name.c_str(), "rb"));
  if (!handle) {
    diag << "FATAL: error opening " << name << "[end-entry]";
    throw openErrorCode;
  }
  diag << "reading " << name << " for " << moduleName << "..."
       << "[end-entry]";
  StackFile file = recogniseFormat(diag, handle.get(), name);
  if (!measuresMatch(file.header, h)) {
    // Stacks are never resampled.
    diag << "FATAL: " << name << " has not the specified grid measures (in " << moduleName << ")\n"
         << lastCharacters(reference) << " " << lastCharacters(name) << "\n"
         << h.ncols << " " << file.header[0] << "\n"
         << h.nrows << " " << file.header[1] << "\n"
         << h.xllcorner << " " << file.header[2] << "\n"
         << h.yllcorner << " " << file.header[3] << "\n"
         << h.cellsize << " " << file.header[4] << "\n"
         << h.nodata << " " << file.header[5] << "[end-entry]";
    if (!closeFile(handle)) {
      diag << "FATAL: error closing stack (1) " << name << "[end-entry]";
      throw closeErrorCode;
    }
    throw measuresErrorCode;
  }
  checkLevelCount(diag, handle.get(), name, file, h);
  return file;
}

// --- rank 0: the whole file -----------------------------------------------------

template <typename T>
void readBinaryRows(DiagStream& diag, FILE* file, const std::string& name, Stack stack,
                    const GridHeader& h, long levels, const char* typeName) {
  const size_t rowValues = static_cast<size_t>(h.ncols * levels);
  std::vector<T> row(rowValues);
  if (std::fseek(file, binaryHeaderValues * static_cast<long>(sizeof(T)), SEEK_SET) != 0) {
    diag << "FATAL: error reading " << typeName << " stack " << name << "at row " << 1L
         << "[end-entry]";
    throw formatErrorCode;
  }
  for (long r = 1; r <= h.nrows; ++r) {
    if (std::fread(row.data(), sizeof(T), rowValues, file) != rowValues) {
      diag << "FATAL: error reading " << typeName << " stack " << name << "at row " << r
           << "[end-entry]";
      throw formatErrorCode;
    }
    double* values = stack[r][1];
    for (size_t i = 0; i < rowValues; ++i) values[i] = row[i];
  }
}

void readAsciiValues(DiagStream& diag, FILE* file, const std::string& name, Stack stack,
                     const GridHeader& h, long lastLevel) {
  for (long r = 1; r <= h.nrows; ++r)
    for (long c = 1; c <= h.ncols; ++c)
      for (long l = 0; l <= lastLevel; ++l)
        if (std::fscanf(file, "%lf", &stack[r][c][l]) != 1) {
          diag << "FATAL: error reading ascii stack " << name << "at row " << r << ", column " << c
               << ", level " << l << "[end-entry]";
          throw formatErrorCode;
        }
}

void readWholeFile(DiagStream& diag, OpenFile& handle, const std::string& name,
                   const StackFile& file, Stack stack, const GridHeader& h) {
  const long levels = file.lastLevel + 1L;
  if (file.format == asciiStack)
    readAsciiValues(diag, handle.get(), name, stack, h, file.lastLevel);
  else if (file.format == floatStack)
    readBinaryRows<float>(diag, handle.get(), name, stack, h, levels, "float");
  else
    readBinaryRows<double>(diag, handle.get(), name, stack, h, levels, "double");
  if (!closeFile(handle)) {
    diag << "FATAL: error closing stack (2) " << name << "[end-entry]";
    throw closeErrorCode;
  }
}

// --- every process: its strip through MPI-IO -------------------------------------

struct MPIReadFailure {
  DiagStream& diag;
  const std::string& name;
  int code = 0;

  void check(int result, const char* call, int failureCode) {
    if (result == MPI_SUCCESS || code != 0) return;
    diag << "FATAL: error reading stack " << name << ": " << call << " failed ("
         << mpiErrorText(result) << ")"
         << "[end-entry]";
    code = failureCode;
  }
};

// Every process calls every collective, also after a local failure, so that
// nobody waits for one that gave up; the caller agrees on the result.
template <typename T>
int readStrip(DiagStream& diag, const std::string& name, Stack stack, const GridHeader& h,
              long firstRow, long lastRow, long levels, MPI_Datatype valueType) {
  MPIReadFailure failure{diag, name};
  MPI_File file = MPI_FILE_NULL;
  const int opened =
      MPI_File_open(MPI_COMM_WORLD, name.c_str(), MPI_MODE_RDONLY, MPI_INFO_NULL, &file);
  if (opened != MPI_SUCCESS)
    diag << "FATAL: error opening " << name << " (" << mpiErrorText(opened) << ")"
         << "[end-entry]";
  const CollectiveFailure open =
      agreeOnFailure(opened == MPI_SUCCESS ? 0 : openErrorCode, openErrorCode);
  // A handle opened here while another process failed cannot be closed:
  // closing is collective over processes that have no handle.
  if (open.code != 0) return opened == MPI_SUCCESS ? 0 : openErrorCode;

  const long rowValues = h.ncols * levels;
  const long rows = std::max(0L, lastRow - firstRow + 1);
  std::vector<T> buffer(static_cast<size_t>(rows * rowValues));
  MPI_Datatype rowType = MPI_DATATYPE_NULL;
  const int made = MPI_Type_contiguous(static_cast<int>(rowValues), valueType, &rowType);
  if (made != MPI_SUCCESS) rowType = MPI_DATATYPE_NULL;
  failure.check(made, "MPI_Type_contiguous", readErrorCode);
  if (rowType != MPI_DATATYPE_NULL)
    failure.check(MPI_Type_commit(&rowType), "MPI_Type_commit", readErrorCode);
  const bool typeReady = failure.code == 0;
  const MPI_Offset offset = static_cast<MPI_Offset>(
      (binaryHeaderValues + (std::max(firstRow, 1L) - 1) * rowValues) * sizeof(T));
  const int count = typeReady && rows <= INT_MAX ? static_cast<int>(rows) : 0;
  MPI_Status status;
  failure.check(MPI_File_read_at_all(file, offset, buffer.data(), count,
                                     typeReady ? rowType : valueType, &status),
                "MPI_File_read_at_all", readErrorCode);
  MPI_Count elements = 0;
  failure.check(MPI_Get_elements_x(&status, valueType, &elements), "MPI_Get_elements_x",
                readErrorCode);
  if (failure.code == 0 && elements != static_cast<MPI_Count>(rows * rowValues)) {
    diag << "FATAL: error reading " << (sizeof(T) == 4 ? "float" : "double") << " stack " << name
         << "at row " << firstRow + static_cast<long>(elements) / rowValues << "[end-entry]";
    failure.code = formatErrorCode;
  }
  const int closed = MPI_File_close(&file);
  if (closed != MPI_SUCCESS && failure.code == 0) {
    diag << "FATAL: error closing stack (2) " << name << " (" << mpiErrorText(closed) << ")"
         << "[end-entry]";
    failure.code = closeErrorCode;
  }
  if (rowType != MPI_DATATYPE_NULL) MPI_Type_free(&rowType);
  if (failure.code != 0) return failure.code;
#pragma omp parallel for schedule(runtime)
  for (long i = 0; i < rows; ++i) {
    const T* from = buffer.data() + i * rowValues;
    double* to = stack[firstRow + i][1];
    for (long k = 0; k < rowValues; ++k) to[k] = from[k];
  }
  return 0;
}

void broadcast(DiagStream& diag, const std::string& name, void* data, int count,
               MPI_Datatype type) {
  const int result = MPI_Bcast(data, count, type, 0, MPI_COMM_WORLD);
  if (result == MPI_SUCCESS) return;
  diag << "FATAL: error reading stack " << name << ": MPI_Bcast failed (" << mpiErrorText(result)
       << ")"
       << "[end-entry]";
  throw readErrorCode;
}

// The other processes hear of a failure on rank 0 and end with its code.
void followRoot(DiagStream& diag, const std::string& name, int code, int rank) {
  if (code == 0) return;
  if (rank != 0)
    diag << "FATAL: reading stack " << name << " failed on process 0"
         << "[end-entry]";
  throw code;
}

void settle(DiagStream& diag, const std::string& name, int localCode,
            const CollectiveFailure& failure) {
  if (failure.code == 0) return;
  if (localCode == 0)
    diag << "FATAL: reading stack " << name << " failed on process " << failure.rank
         << "[end-entry]";
  throw failure.code;
}

} // namespace

int modelobject::readStack(const std::string& path, Stack& stack, bool keepWholeOnRoot) {
  // Reading a stack ends with the default action of SIGINT, not the handler.
  CtrlCIgnoredScope ctrlC(CtrlCIgnoredScope::Afterwards::DefaultAction);
  std::string name = path;
  prependDirectory(inputDirectory, name);
  noteInputFile(name, "a stack of " + moduleName);
  const bool root = mpiRank == 0;

  // Rank 0 examines the file and shares what it found, or its failure.
  StackFile file;
  OpenFile handle;
  int code = 0;
  if (root) {
    try {
      const std::string reference = registry ? registry[1].fileName : std::string();
      file = examineStackFile(*diag, name, moduleName, reference, header, handle);
      if (file.format != asciiStack && !keepWholeOnRoot && !closeFile(handle)) {
        *diag << "FATAL: error closing grid " << name << "[end-entry]";
        throw closeErrorCode;
      }
    } catch (int failure) {
      code = failure;
    }
  }
  double shared[9] = {static_cast<double>(code), static_cast<double>(file.format),
                      static_cast<double>(file.lastLevel)};
  std::copy(file.header, file.header + 6, shared + 3);
  long nameLength = static_cast<long>(name.size());
  broadcast(*diag, name, shared, 9, MPI_DOUBLE);
  broadcast(*diag, name, &nameLength, 1, MPI_LONG);
  name.resize(static_cast<size_t>(nameLength));
  broadcast(*diag, name, &name[0], static_cast<int>(nameLength), MPI_CHAR);
  followRoot(*diag, name, static_cast<int>(shared[0]), mpiRank);
  file.format = static_cast<int>(shared[1]);
  file.lastLevel = static_cast<int>(shared[2]);
  std::copy(shared + 3, shared + 9, binaryHeader);
  if (root) std::copy(file.header + 6, file.header + binaryHeaderValues, binaryHeader + 6);
  binaryHeader[stackLevelField] = file.lastLevel;

  const long levels = file.lastLevel + 1L;
  const bool wholeFile = file.format == asciiStack || keepWholeOnRoot;
  const long firstRow = root && wholeFile ? 1 : header.firstRow;
  const long lastRow = root && wholeFile ? header.nrows : header.lastRow;
  Stack read = nullptr;
  code = 0;
  try {
    read = three_d_matrix(firstRow, lastRow, 1, header.ncols, file.lastLevel, header.nrows);
  } catch (int failure) {
    code = failure;
  }
  settle(*diag, name, code, agreeOnFailure(code, readErrorCode));

  try {
    if (!wholeFile) {
      code =
          file.format == floatStack
              ? readStrip<float>(*diag, name, read, header, firstRow, lastRow, levels, MPI_FLOAT)
              : readStrip<double>(*diag, name, read, header, firstRow, lastRow, levels, MPI_DOUBLE);
      settle(*diag, name, code, agreeOnFailure(code, readErrorCode));
    } else {
      if (root) {
        try {
          readWholeFile(*diag, handle, name, file, read, header);
        } catch (int failure) {
          code = failure;
        }
      } else {
        // Cells of other processes stay empty: the strips bring only this
        // process's own cells.
        for (long r = firstRow; r <= lastRow; ++r)
          std::fill(read[r][0], read[r][0] + (header.ncols + 1) * levels, header.nodata);
      }
      broadcast(*diag, name, &code, 1, MPI_INT);
      followRoot(*diag, name, code, mpiRank);
      MPIScatterStack(0, read, static_cast<unsigned>(file.lastLevel));
      if (root && !keepWholeOnRoot) {
        const long first = header.firstRow;
        const long last = header.lastRow;
        Stack strip = three_d_matrix(first, last, 1, header.ncols, file.lastLevel, header.nrows);
        for (long r = first; r <= last; ++r)
          std::copy(read[r][0], read[r][0] + (header.ncols + 1) * levels, strip[r][0]);
        free_three_d_matrix(read, firstRow, lastRow);
        read = strip;
      }
    }
  } catch (...) {
    free_three_d_matrix(read, firstRow, lastRow);
    throw;
  }
  stack = read;
  return file.lastLevel;
}
