#include <mpi.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/ascii_grid_text.h"
#include "core/binary_grid_header.h"
#include "core/collective_status.h"
#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "core/file_failure.h"
#include "core/grid_file_read.h"
#include "core/grid_resampler.h"
#include "core/modelobject.h"
#include "core/netcdf_grid_reader.h"
#include "core/run_files.h"

namespace {

constexpr int openFailedCode = 21;
constexpr int readFailedCode = 22;
constexpr int closeFailedCode = 23;

constexpr int openAttempts = 6;
constexpr int retryMilliseconds = 200;
// A file lies on the model grid when its corner and its far edges are off by
// less than this fraction of a cell.
constexpr double alignmentTolerance = 1e-3;
// Binary grids are read in blocks of whole rows of about this size.
constexpr size_t blockBytes = 4 << 20;

// Reads rows 1..rows of an ASCII grid, each on a line of its own with cols
// values, into the grid (without a grid only checks them), and makes sure
// that no value follows the last row; values equal to fromNodata become
// toNodata.
void readAsciiRows(AsciiGridScanner& scanner, const std::string& name, Grid grid, long rows,
                   long cols, double fromNodata, double toNodata) {
  for (long r = 1; r <= rows; ++r) {
    double* row = grid ? grid[r] : nullptr;
    long line = 0;
    for (long c = 1; c <= cols; ++c) {
      double v = 0.0;
      bool ended = false;
      const bool number = scanner.nextNumber(v, ended);
      if (c == 1) line = scanner.tokenLine();
      if (c > 1 && (ended || scanner.lineEndBefore()))
        fail(readFailedCode, rowLineFault(name, r, c, line, c - 1, cols, rows));
      if (!number)
        fail(readFailedCode, "FATAL: error reading ascii grid " + name + " in ASCII-Format in row " +
                                 std::to_string(r) + ", col " + std::to_string(c) +
                                 (ended ? ": the file ends after " + std::to_string(r - 1) +
                                              " of the nrows " + std::to_string(rows) +
                                              " rows that its header gives"
                                        : std::string()));
      if (row) row[c] = v == fromNodata ? toNodata : v;
    }
    const long extra = scanner.skipRestOfLine();
    if (extra > 0)
      fail(readFailedCode, rowLineFault(name, r, cols + 1, line, cols + extra, cols, rows));
  }
  long extra = 0;
  long line = 0;
  std::string_view token;
  for (; scanner.nextToken(token, SIZE_MAX); ++extra)
    if (extra == 0) line = scanner.tokenLine();
  if (extra > 0) fail(readFailedCode, valuesBehindRowsFault(name, line, extra, cols, rows));
}

} // namespace

// --- rank 0: open, recognise, read the header -----------------------------------

void modelobject::inspectGridFile(GridFileRead& read, bool verbose) {
  read.name = read.path;
  const size_t marker = read.name.find('<');
  if (marker != std::string::npos && marker > 0) {
    read.netcdfName = read.name;
    read.name.resize(marker);
    prependDirectory(inputDirectory, read.netcdfName);
  }
  prependDirectory(inputDirectory, read.name);
  const std::string& name = read.name;
  noteInputFile(name, "a grid of " + moduleName);

  for (int attempt = 1;; ++attempt) {
    read.file = std::fopen(name.c_str(), "rb");
    if (read.file) break;
    const int error = errno;
    if (attempt == openAttempts)
      fail(openFailedCode,
           "FATAL: still error opening " + name + " - no retry. (" + systemReason(error) + ")");
    // A file that another program is still writing may appear in a moment.
    read.note(*diag, [name, left = openAttempts - attempt](DiagStream& d) {
      d << "WARNING: error opening " << name << ". Will try again in " << retryMilliseconds
        << " ms... (retriesleft = " << left << ")"
        << "[end-entry]";
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(retryMilliseconds));
  }

  unsigned char head[BinaryGridHeader::dataOffset(sizeof(double))] = {};
  const size_t got = std::fread(head, 1, sizeof head, read.file);
  auto startsWith = [&](const char* text, size_t at) {
    const size_t n = std::strlen(text);
    return got >= at + n && std::memcmp(head + at, text, n) == 0;
  };
  double doubles[BinaryGridHeader::valueCount];
  float floats[BinaryGridHeader::valueCount];
  std::memcpy(doubles, head, sizeof doubles);
  std::memcpy(floats, head, sizeof floats);
  if (got >= 3 && head[0] && head[1] && head[2] && (startsWith("HDF", 1) || startsWith("CDF", 0)))
    read.format = netcdfGridFile;
  else if (startsWith("ncol", 0) || startsWith("NCOL", 0))
    read.format = asciiGridFile;
  else if (got >= sizeof doubles && doubles[5] == BinaryGridHeader::requiredNodata)
    read.format = doubleGridFile;
  else if (got >= 6 * sizeof(float) && floats[5] == BinaryGridHeader::requiredNodata)
    read.format = floatGridFile;
  else if (startsWith("GIF8", 0))
    read.format = gifGridFile;
  else
    fail(readFailedCode, "FATAL: could not recognise file format (neither ascii, nor single, "
                         "double, or GIF) for " +
                             name);

  // The size before the scanner takes over the file position.
  struct stat status;
  const long size = fstat(fileno(read.file), &status) == 0 ? static_cast<long>(status.st_size) : -1;
  read.fileSize = size;
  if (std::fseek(read.file, 0, SEEK_SET) != 0)
    fail(readFailedCode, "FATAL: could not recognise file format (neither ascii, nor single, "
                         "double, or GIF) for " +
                             name);
  if (verbose) noteReading(read);

  BinaryGridHeader& h = read.fileHeader;
  double values[BinaryGridHeader::valueCount] = {};
  int bad = -1;
  switch (read.format) {
  case asciiGridFile: {
    // The scanner then stands at the first value.
    read.scanner = std::make_unique<AsciiGridScanner>(read.file);
    bool nodataGiven = true;
    if (std::string key;
        const int field = readAsciiGridHeaderValues(*read.scanner, values, key, nodataGiven))
      fail(readFailedCode,
           "FATAL: error reading ascii value #" + std::to_string(field) + " from " + name);
    // Without a nodata line no value of the file is nodata but the model's own.
    if (!nodataGiven) values[5] = header.nodata;
    read.headerLine = read.scanner->tokenLine();
    bad = invalidGridHeaderField(values);
    if (bad >= 0)
      fail(readFailedCode, "FATAL: error reading ascii value #" + std::to_string(bad + 1) +
                               " from " + name + ": " + gridHeaderFieldRule(bad, values[bad]) +
                               "; correct the header of the grid");
    if (const long behind = nodataGiven ? read.scanner->skipRestOfLine() : 0)
      fail(readFailedCode, "FATAL: error reading ascii grid " + name + ": line " +
                               std::to_string(read.headerLine) + " holds " +
                               std::to_string(behind) +
                               " values behind the header's last value; begin each row on a "
                               "line of its own");
    break;
  }
  case doubleGridFile:
    if (std::fread(values, sizeof(double), 12, read.file) != 12)
      fail(readFailedCode, "FATAL: error reading double value from the header of " + name);
    bad = invalidGridHeaderField(values);
    if (bad >= 0)
      fail(readFailedCode, "FATAL: error reading double value from the header of " + name +
                               binaryHeaderLayoutNote(name, sizeof(double), bad + 1, values[bad]));
    break;
  case floatGridFile:
    for (int k = 0; k < 12; ++k) {
      float value = 0.0f;
      if (std::fread(&value, sizeof value, 1, read.file) != 1)
        fail(readFailedCode, "FATAL: error reading double value #" + std::to_string(k + 1) +
                                 " from the header of " + name);
      values[k] = value;
    }
    bad = invalidGridHeaderField(values);
    if (bad >= 0)
      fail(readFailedCode, "FATAL: error reading double value #" + std::to_string(bad + 1) +
                               " from the header of " + name +
                               binaryHeaderLayoutNote(name, sizeof(float), bad + 1, values[bad]));
    break;
  case gifGridFile:
  case netcdfGridFile:
    BinaryGridHeader{static_cast<double>(header.ncols),
                     static_cast<double>(header.nrows),
                     header.xllcorner,
                     header.yllcorner,
                     header.cellsize,
                     header.nodata}
        .toValues(values);
    break;
  }
  h = BinaryGridHeader::fromValues(values);
  h.toValues(binaryHeader);
  read.ncols = static_cast<long>(std::floor(h.ncols));
  read.nrows = static_cast<long>(std::floor(h.nrows));

  // Corners are compared in cells, not by their floor: on a geographic grid
  // of 0.01 degrees a shift below one unit is many cells.
  const double cell = header.cellsize;
  const double tolerance = alignmentTolerance * cell;
  const double longestSide = static_cast<double>(std::max(read.ncols, read.nrows));
  read.regular = read.ncols == header.ncols && read.nrows == header.nrows &&
                 std::fabs(h.xllcorner - header.xllcorner) <= tolerance &&
                 std::fabs(h.yllcorner - header.yllcorner) <= tolerance &&
                 std::fabs(h.cellsize - cell) * longestSide <= tolerance &&
                 h.nodata <= header.nodata;
  if (!read.regular && read.resampling == Resampling::onModelGrid) {
    std::ostringstream text;
    text << "FATAL: " << name << " holds " << read.ncols << " columns x " << read.nrows
         << " rows of cells of " << h.cellsize << " from (" << h.xllcorner << ", " << h.yllcorner
         << ") with nodata " << h.nodata << ", not the model grid of " << header.ncols
         << " columns x " << header.nrows << " rows of cells of " << header.cellsize << " from ("
         << header.xllcorner << ", " << header.yllcorner << ") with nodata " << header.nodata
         << ": it holds the state of a run on another grid, which no cell of this one can take "
            "over; start from the files of a former run of this model grid, or cold";
    fail(readFailedCode, text.str());
  }
  if (verbose && !read.regular)
    read.note(*diag, [name, ncols = read.ncols, nrows = read.nrows, h, model = header,
                      method = read.resampling](DiagStream& d) {
      d << "INFO: " << name << " holds " << ncols << " columns x " << nrows << " rows of cells of "
        << h.cellsize << " from (" << h.xllcorner << ", " << h.yllcorner
        << "); it is resampled onto the model grid of " << model.ncols << " columns x "
        << model.nrows << " rows of cells of " << model.cellsize << " from (" << model.xllcorner
        << ", " << model.yllcorner << ") " << resamplingText(method) << "[end-entry]";
    });

  // A file shorter than its header promises fails before anything is
  // allocated or read.
  const double cells = static_cast<double>(read.ncols) * static_cast<double>(read.nrows);
  if (read.format == doubleGridFile || read.format == floatGridFile) {
    const double needed = static_cast<double>(BinaryGridHeader::dataOffset(read.valueBytes())) +
                          cells * static_cast<double>(read.valueBytes());
    // Bytes behind the rows tell of a header that gives too few rows or
    // columns, or of a file of another layout.
    if (size < 0 || static_cast<double>(size) != needed)
      fail(readFailedCode,
           (read.regular ? "FATAL: error reading double grid " + name
                         : "FATAL: error reading (irregular) float  grid " + name) +
               ": it holds " + std::to_string(size) + " bytes, but its header (ncols " +
               std::to_string(read.ncols) + ", nrows " + std::to_string(read.nrows) + ") asks for " +
               std::to_string(static_cast<long>(needed)) + ", " +
               std::to_string(BinaryGridHeader::dataOffset(read.valueBytes())) +
               " of the header and " + std::to_string(read.valueBytes()) +
               " for each value; correct the header or write the grid anew");
  } else if (read.format == asciiGridFile) {
    // Every value takes a character and a separator, the last one no separator.
    const double fitting = (static_cast<double>(std::max(size, 0L)) + 1.0) / 2.0;
    if (cells > fitting) {
      // The message names the first row that is not whole; the file is
      // small next to the grid, so reading its rows costs little.
      readAsciiRows(*read.scanner, name, nullptr, read.nrows, read.ncols, 0.0, 0.0);
    }
  }
}

void modelobject::noteReading(GridFileRead& read) {
  read.note(*diag, [name = read.name, module = moduleName](DiagStream& d) {
    d << "reading " << name << " for " << module << "..."
      << "[end-entry]";
  });
}

// --- collective steps -----------------------------------------------------------

// Every process learns whether one of them failed in the last step. Rank 0
// logs that failure (its own, or the one of the failing process with the
// highest code) and every process throws the code, so that no process waits
// for a message that never comes.
void modelobject::settleGridRead(GridFileRead& read) {
  const int code = read.failureCode;
  std::string message = read.failureMessage;
  read.failureCode = 0;
  read.failureMessage.clear();
  if (read.localOnly) {
    if (code == 0) return;
    if (!message.empty()) *diag << message.c_str() << "[end-entry]";
    throw code;
  }
  const CollectiveFailure worst = agreeOnFailure(code, readFailedCode);
  if (worst.code == 0) return;
  const int root = worst.rank;
  int length = static_cast<int>(message.size());
  if (MPI_Bcast(&length, 1, MPI_INT, root, MPI_COMM_WORLD) == MPI_SUCCESS) {
    message.resize(static_cast<size_t>(length));
    if (length > 0) MPI_Bcast(message.data(), length, MPI_CHAR, root, MPI_COMM_WORLD);
  }
  if (mpiRank == 0) {
    if (!message.empty())
      *diag << message.c_str() << "[end-entry]";
    else if (root != 0)
      *diag << "FATAL: error reading grid " << read.name << " on process " << root << "[end-entry]";
  }
  throw worst.code;
}

// Rank 0 hands the name, format, header and alignment to the others.
void modelobject::shareGridFileInfo(GridFileRead& read) {
  const BinaryGridHeader& h = read.fileHeader;
  // The name's length travels with the header, exact as a double.
  double info[9] = {h.ncols,
                    h.nrows,
                    h.xllcorner,
                    h.yllcorner,
                    h.cellsize,
                    h.nodata,
                    static_cast<double>(read.format),
                    read.regular ? 1.0 : 0.0,
                    static_cast<double>(read.name.size())};
  bool ok = MPI_Bcast(info, 9, MPI_DOUBLE, 0, MPI_COMM_WORLD) == MPI_SUCCESS;
  const int length = static_cast<int>(info[8]);
  if (ok) {
    read.name.resize(static_cast<size_t>(length));
    ok = length == 0 ||
         MPI_Bcast(read.name.data(), length, MPI_CHAR, 0, MPI_COMM_WORLD) == MPI_SUCCESS;
  }
  if (!ok) {
    *diag << "FATAL: error reading grid " << read.path << ": MPI_Bcast failed"
          << "[end-entry]";
    throw readFailedCode;
  }
  read.fileHeader = BinaryGridHeader{info[0], info[1], info[2], info[3], info[4], info[5]};
  read.format = static_cast<GridFileFormat>(static_cast<long>(info[6]));
  read.regular = info[7] != 0.0;
  read.ncols = static_cast<long>(std::floor(info[0]));
  read.nrows = static_cast<long>(std::floor(info[1]));
}

// --- rank 0: the whole file -----------------------------------------------------

namespace {

// Puts count rows of binary values, read into block as doubles or floats,
// into the grid from row first on; fromNodata becomes toNodata.
void copyBinaryRows(const std::vector<char>& block, bool doubles, Grid grid, long first, long count,
                    long cols, double fromNodata, double toNodata) {
  const double* d = reinterpret_cast<const double*>(block.data());
  const float* f = reinterpret_cast<const float*>(block.data());
#pragma omp parallel for schedule(runtime)
  for (long i = 0; i < count; ++i) {
    double* row = grid[first + i];
    for (long c = 1; c <= cols; ++c) {
      const size_t at = static_cast<size_t>(i * cols + c - 1);
      const double v = doubles ? d[at] : static_cast<double>(f[at]);
      row[c] = v == fromNodata ? toNodata : v;
    }
  }
}

// Reads rows 1..rows of columns 1..cols of an ASCII or binary grid file into
// the grid; values equal to fromNodata become toNodata.
template <typename Failure>
void readFileValues(AsciiGridScanner* scanner, const std::string& name, FILE* file, bool doubles,
                    Grid grid, long rows, long cols, double fromNodata, double toNodata,
                    Failure failure) {
  if (scanner) {
    readAsciiRows(*scanner, name, grid, rows, cols, fromNodata, toNodata);
    return;
  }
  const size_t valueBytes = doubles ? sizeof(double) : sizeof(float);
  const long blockRows = std::max(1L, static_cast<long>(blockBytes / (cols * valueBytes)));
  std::vector<char> block(static_cast<size_t>(std::min(blockRows, rows) * cols) * valueBytes);
  for (long first = 1; first <= rows; first += blockRows) {
    const long count = std::min(blockRows, rows - first + 1);
    const size_t values = static_cast<size_t>(count * cols);
    if (std::fread(block.data(), valueBytes, values, file) != values) failure(first, 1L);
    copyBinaryRows(block, doubles, grid, first, count, cols, fromNodata, toNodata);
  }
}

} // namespace

void modelobject::readWholeGridFile(GridFileRead& read, Grid whole) {
  const std::string& name = read.name;
  if (read.format == gifGridFile) {
    read.closeFile();
    readGIFGrid(name, whole);
    return;
  }
  if (read.format == netcdfGridFile) {
    read.closeFile();
    readNetCDFGridFile(read, whole);
    return;
  }
  AsciiGridScanner* scanner = read.format == asciiGridFile ? read.scanner.get() : nullptr;
  const bool doubles = read.format == doubleGridFile;
  const double fileNodata = read.fileHeader.nodata;
  if (read.regular) {
    readFileValues(scanner, name, read.file, doubles, whole, header.nrows, header.ncols,
                   fileNodata, header.nodata, [&](long, long) {
                     fail(readFailedCode, "FATAL: error reading double grid " + name);
                   });
    read.closeFile();
    return;
  }
  OwnedRows source(*this, read.ncols, read.nrows);
  source.allocate(1, read.nrows);
  readFileValues(scanner, name, read.file, doubles, source.grid, read.nrows, read.ncols,
                 fileNodata, fileNodata, [&](long, long) {
                   fail(readFailedCode, "FATAL: error reading (irregular) float  grid " + name);
                 });
  read.closeFile();
  GridHeader sourceHeader;
  sourceHeader.ncols = read.ncols;
  sourceHeader.nrows = read.nrows;
  sourceHeader.xllcorner = read.fileHeader.xllcorner;
  sourceHeader.yllcorner = read.fileHeader.yllcorner;
  sourceHeader.cellsize = read.fileHeader.cellsize;
  sourceHeader.nodata = fileNodata;
  GridHeader target = header;
  target.firstRow = 1;
  target.lastRow = header.nrows;
  if (!resampleToModelGrid(source.grid, sourceHeader, whole, target, gifReferenceGrid,
                           read.resampling))
    fail(readFailedCode, "FATAL: error reading (irregular) float  grid " + name);
  refuseUncoveredCatchment(name, sourceHeader);
  if (read.resampling == Resampling::bilinear && !read.holesRepaired)
    refuseGapsOfResampling(name, source.grid, sourceHeader, whole);
}

// Without a georeference of its own (unset, or 9999 in all three values) a
// netCDF grid must lie on the model grid.
bool modelobject::netcdfOnModelGrid() const {
  const bool noGeoreference = !(gifCellSize > 0.0);
  return noGeoreference || (gifX0 == 9999.0 && gifY0 == 9999.0 && gifCellSize == 9999.0);
}

void modelobject::checkNetCDFGridSize(const std::string& name, long rows, long cols) {
  if (rows != header.nrows || cols != header.ncols)
    fail(readFailedCode,
         "FATAL: error assigning cell values from a netCDF file to Horva grids from file " + name +
             ". number of columns (" + std::to_string(cols) + ") and/or rows (" +
             std::to_string(rows) + ") in nc-file not matching those in Horva (" +
             std::to_string(header.ncols) + " and " + std::to_string(header.nrows) + " resp.).\n" +
             " If the error occurs in interpolation method 9, please define xllcorner, "
             "yllcorner and cellsize in the x-, y- and z header rows of the input file for "
             "interpolation");
}

void modelobject::readNetCDFGridFile(GridFileRead& read, Grid whole) {
  std::string name = read.netcdfName.empty() ? read.name : read.netcdfName;
  const std::string wholeName = name;
  std::vector<double> values;
  int rows = static_cast<int>(header.nrows);
  int cols = static_cast<int>(header.ncols);
  netcdfReader->readNetCDFGrid(name, values, rows, cols, header.nodata);
  if (rows < 1 || cols < 1 || values.size() != static_cast<size_t>(rows) * cols)
    fail(readFailedCode, "FATAL: error reading netCDF grid " + wholeName + ": " +
                             std::to_string(values.size()) + " values for " + std::to_string(cols) +
                             " columns and " + std::to_string(rows) + " rows");
  const long nrows = header.nrows;
  const long ncols = header.ncols;
  const double nodata = header.nodata;
  if (netcdfOnModelGrid()) {
    checkNetCDFGridSize(wholeName, rows, cols);
    checkNetCDFPlacement(wholeName, name, rows, cols);
    const Grid reference = gifReferenceGrid;
#pragma omp parallel for schedule(runtime)
    for (long r = 1; r <= nrows; ++r)
      for (long c = 1; c <= ncols; ++c) {
        const bool outside = reference && reference[r] && reference[r][c] == nodata;
        whole[r][c] = outside ? nodata : values[static_cast<size_t>((c - 1) * nrows + r - 1)];
      }
    return;
  }
  OwnedRows source(*this, cols, rows);
  source.allocate(1, rows);
#pragma omp parallel for schedule(runtime)
  for (long r = 1; r <= rows; ++r)
    for (long c = 1; c <= cols; ++c)
      source.grid[r][c] = values[static_cast<size_t>((c - 1) * rows + r - 1)];
  GridHeader sourceHeader;
  sourceHeader.ncols = cols;
  sourceHeader.nrows = rows;
  sourceHeader.xllcorner = gifX0;
  sourceHeader.yllcorner = gifY0;
  sourceHeader.cellsize = gifCellSize;
  sourceHeader.nodata = nodata;
  GridHeader target = header;
  target.firstRow = 1;
  target.lastRow = nrows;
  if (!resampleToModelGrid(source.grid, sourceHeader, whole, target, gifReferenceGrid,
                           read.resampling))
    failUnusableNetCDFGeoreference(wholeName);
}

void modelobject::failUnusableNetCDFGeoreference(const std::string& name) {
  fail(readFailedCode, "FATAL: error reading netCDF grid " + name +
                           ": unusable georeference x0 = " + std::to_string(gifX0) + ", y0 = " +
                           std::to_string(gifY0) + ", cell size " + std::to_string(gifCellSize));
}

// --- every process: its own rows of a netCDF grid ----------------------------------

void modelobject::readOwnNetCDFRows(GridFileRead& read, Grid grid, long firstRow, long lastRow) {
  if (lastRow < firstRow) return;
  std::string name = read.path;
  prependDirectory(inputDirectory, name);
  const std::string wholeName = name;
  const double nodata = header.nodata;
  int rows = static_cast<int>(header.nrows);
  int cols = static_cast<int>(header.ncols);
  // Every process keeps the file open for the next record; failures reach
  // rank 0's log through the settling of the read.
  const auto reading = [](auto step) {
    try {
      step();
    } catch (const NetCDFReadFailure& failure) {
      fail(failure.code, failure.message);
    }
  };
  const auto checkSize = [&] {
    if (rows < 1 || cols < 1)
      fail(readFailedCode, "FATAL: error reading netCDF grid " + wholeName + ": 0 values for " +
                               std::to_string(cols) + " columns and " + std::to_string(rows) +
                               " rows");
  };
  const bool onModelGrid = netcdfOnModelGrid();
  GridHeader target = header;
  target.firstRow = firstRow;
  target.lastRow = lastRow;
  GridHeader source;
  long sourceFirst = firstRow;
  long sourceLast = lastRow;
  if (!onModelGrid) {
    // A grid of its own georeference is read in the rows that the
    // resampling of this process's rows draws from. The size stays as found:
    // both reads go to the file held open.
    std::string sizeName = name;
    reading([&] { netcdfReader->findNetCDFGridSize(sizeName, rows, cols, nodata); });
    checkSize();
    source.ncols = cols;
    source.nrows = rows;
    source.xllcorner = gifX0;
    source.yllcorner = gifY0;
    source.cellsize = gifCellSize;
    source.nodata = nodata;
    if (!sourceRowsOfModelRows(source, target, sourceFirst, sourceLast))
      failUnusableNetCDFGeoreference(wholeName);
  }
  std::vector<double> values;
  reading([&] {
    netcdfReader->readNetCDFRows(name, sourceFirst, sourceLast, values, rows, cols, nodata);
  });
  checkSize();
  const Grid reference = gifReferenceGrid;
  if (onModelGrid) {
    checkNetCDFGridSize(wholeName, rows, cols);
    checkNetCDFPlacement(wholeName, name, rows, cols);
    const long ncols = header.ncols;
#pragma omp parallel for schedule(runtime)
    for (long r = firstRow; r <= lastRow; ++r)
      for (long c = 1; c <= ncols; ++c) {
        const bool outside = reference && reference[r] && reference[r][c] == nodata;
        grid[r][c] = outside ? nodata : values[static_cast<size_t>((r - firstRow) * ncols + c - 1)];
      }
    return;
  }
  OwnedRows sourceRows(*this, cols, rows);
  sourceRows.allocate(sourceFirst, sourceLast);
#pragma omp parallel for schedule(runtime)
  for (long r = sourceFirst; r <= sourceLast; ++r)
    std::copy_n(values.begin() + (r - sourceFirst) * cols, cols, sourceRows.grid[r] + 1);
  if (!resampleToModelGrid(sourceRows.grid, source, grid, target, reference, read.resampling))
    failUnusableNetCDFGeoreference(wholeName);
}

// --- every process: its own rows of a regular binary grid ----------------------------

void modelobject::readOwnGridRows(GridFileRead& read, Grid grid, long firstRow, long lastRow) {
  if (lastRow < firstRow) return;
  const std::string where = "FATAL: error reading double grid " + read.name +
                            " with MPI-IO on process " + std::to_string(mpiRank) + ": ";
  // Each process opens the file on its own: a failure on one process then
  // cannot leave the others in a collective call.
  MPI_File file;
  int result =
      MPI_File_open(MPI_COMM_SELF, read.name.c_str(), MPI_MODE_RDONLY, MPI_INFO_NULL, &file);
  if (result != MPI_SUCCESS) fail(readFailedCode, where + "MPI_File_open: " + mpiErrorText(result));
  struct Closer {
    MPI_File* file;
    ~Closer() {
      if (*file != MPI_FILE_NULL) MPI_File_close(file);
    }
  } closer{&file};

  const long ncols = header.ncols;
  const double fileNodata = read.fileHeader.nodata;
  const double nodata = header.nodata;
  const bool doubles = read.format == doubleGridFile;
  const size_t valueBytes = read.valueBytes();
  const MPI_Datatype type = doubles ? MPI_DOUBLE : MPI_FLOAT;
  const long blockRows = std::max(1L, static_cast<long>(blockBytes / (ncols * valueBytes)));
  const long rows = lastRow - firstRow + 1;
  std::vector<char> block(static_cast<size_t>(std::min(blockRows, rows) * ncols) * valueBytes);
  for (long first = firstRow; first <= lastRow; first += blockRows) {
    const long count = std::min(blockRows, lastRow - first + 1);
    const int values = static_cast<int>(count * ncols);
    const MPI_Offset offset =
        BinaryGridHeader::dataOffset(valueBytes) +
        static_cast<MPI_Offset>((first - 1) * ncols) * static_cast<MPI_Offset>(valueBytes);
    MPI_Status status;
    result = MPI_File_read_at(file, offset, block.data(), values, type, &status);
    if (result != MPI_SUCCESS)
      fail(readFailedCode, where + "MPI_File_read_at of rows " + std::to_string(first) + ".." +
                               std::to_string(first + count - 1) + ": " + mpiErrorText(result));
    int got = 0;
    if (MPI_Get_count(&status, type, &got) != MPI_SUCCESS || got != values)
      fail(readFailedCode, where + "rows " + std::to_string(first) + ".." +
                               std::to_string(first + count - 1) + " gave " + std::to_string(got) +
                               " of " + std::to_string(values) + " values");
    copyBinaryRows(block, doubles, grid, first, count, ncols, fileNodata, nodata);
  }
  result = MPI_File_close(&file);
  if (result != MPI_SUCCESS)
    fail(readFailedCode, where + "MPI_File_close: " + mpiErrorText(result));
}

// --- the read --------------------------------------------------------------------

void modelobject::readGrid(const std::string& path, Grid& grid, int fillCode, bool allocate,
                           bool verbose, bool useNeighbourValues, int keepWholeOnRoot,
                           bool localOnly, bool withHalo, double fillValue, Resampling resampling) {
  CtrlCIgnoredScope ctrlC;
  GridFileRead read;
  read.path = path;
  read.resampling = resampling;
  read.localOnly = localOnly;
  const bool reader = localOnly || mpiRank == 0;
  // An ASCII grid that no process needs whole is parsed by all of them.
  // Rank 0 keeps a whole grid it asks for from the others' rows.
  const auto parsedByAll = [&] {
    return !localOnly && mpiSize > 1 && read.format == asciiGridFile && read.regular &&
           fillCode == 0 && (keepWholeOnRoot == 0 || allocate) && findGrid("MPIRegions", 1) > 0;
  };
  // Rank 0 finds the rows before the others hear of the file: one wait
  // fewer for them.
  bool rowsFound = false;
  if (reader)
    read.attempt([&] {
      inspectGridFile(read, verbose);
      if (parsedByAll()) rowsFound = findAsciiRowStarts(read);
    });
  settleGridRead(read);
  if (!localOnly) shareGridFileInfo(read);

  const long nrows = header.nrows;
  const long ncols = header.ncols;
  bool parallelAscii = parsedByAll();
  const bool wholeOnRoot = keepWholeOnRoot == 1;
  if (parallelAscii) parallelAscii = shareAsciiRowStarts(read, rowsFound);
  // A netCDF grid that no one needs whole is read by every process for its
  // own rows.
  const bool ownNetCDFRows =
      !localOnly && read.format == netcdfGridFile && fillCode == 0 && keepWholeOnRoot == 0;
  const bool wholeFile =
      !parallelAscii && !ownNetCDFRows &&
      (localOnly || read.format == asciiGridFile || read.format == gifGridFile ||
       read.format == netcdfGridFile || fillCode != 0 || keepWholeOnRoot != 0 || !read.regular);
  const long first = std::max(1L, header.firstRow);
  const long last = std::min(nrows, header.lastRow);
  const long lo = withHalo && first >= 2 ? first - 1 : first;
  const long hi = withHalo && last < nrows ? last + 1 : last;
  const bool readsWhole = reader && wholeFile;
  const bool keepsWhole = readsWhole && (keepWholeOnRoot == 1 || (lo == 1 && hi == nrows));

  // target: where this process's values go first; owned: a grid allocated
  // for the caller; whole: rank 0's whole grid when the caller's grid holds
  // its own rows only.
  OwnedRows owned(*this, ncols, nrows);
  OwnedRows whole(*this, ncols, nrows);
  Grid target = grid;
  read.attempt([&] {
    if (allocate) {
      const bool allRows = readsWhole || (parallelAscii && wholeOnRoot && mpiRank == 0);
      owned.allocate(allRows ? 1 : lo, allRows ? nrows : hi);
      // Rows that the scatter fills only in part start as nodata.
      if ((wholeFile || parallelAscii) && !readsWhole)
        fillRows(owned.grid, lo, hi, ncols, header.nodata);
      target = owned.grid;
    } else if (!grid) {
      fail(readFailedCode, "FATAL: error reading grid " + read.name +
                               " no memory allocated (pointer given to function is NULL)");
    } else if (readsWhole && !keepsWhole) {
      whole.allocate(1, nrows);
      target = whole.grid;
    }
    // Every process opens the file for its own rows.
    if (parallelAscii) read.closeFile();
  });
  settleGridRead(read);

  if (wholeFile) {
    read.holesRepaired = fillCode == 1 || fillCode == 2;
    if (readsWhole)
      read.attempt([&] {
        readWholeGridFile(read, target);
        if (fillCode == 1 || fillCode == 2)
          repairGridHoles(target, read.netcdfName.empty() ? read.name : read.netcdfName, fillCode,
                          useNeighbourValues, fillValue, verbose);
      });
    settleGridRead(read);
    if (!localOnly) MPIScatterGrid(0, target);
  } else if (parallelAscii) {
    readOwnAsciiRows(read, target, lo, hi, parallelAscii && wholeOnRoot);
  } else {
    read.attempt([&] {
      if (reader) read.closeFile();
      if (ownNetCDFRows)
        readOwnNetCDFRows(read, target, lo, hi);
      else
        readOwnGridRows(read, target, lo, hi);
    });
    settleGridRead(read);
  }

  if (readsWhole && !keepsWhole) {
    if (allocate) {
      OwnedRows strip(*this, ncols, nrows);
      strip.allocate(lo, hi);
      copyGridRows(owned.grid, strip.grid, lo, hi, ncols);
      owned.reset();
      owned.grid = strip.release();
      owned.firstRow = lo;
      owned.lastRow = hi;
      target = owned.grid;
    } else {
      copyGridRows(whole.grid, grid, lo, hi, ncols);
      target = grid;
    }
  }
  if (withHalo && !localOnly) MPIExchangeGridHalo(0, target);
  if (allocate) grid = owned.release();
}

void modelobject::findCellWeights() {
  const int index = registry ? findGrid("RelCellArea", 1) : 0;
  cellWeights = index > 0 ? registry[index].grid : nullptr;
}
