#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/ascii_grid_text.h"
#include "core/collective_status.h"
#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "core/modelobject.h"
#include "core/replacing_file.h"

// An ASCII output grid is written without one process doing the work: every
// process formats the rows it owns cells in, after its neighbours sent it
// their cells of the rows it shares with them, and rank 0 puts the ready
// text into the file in row order. The file is the one a whole gathered grid
// gives.

namespace {

constexpr int transferFailedCode = 121;
// Text of one run of rows, sent to rank 0 in row order.
constexpr int textTag = 30001;
constexpr int cellTag = 30002;
// Rows are formatted in blocks of about this many bytes of text.
constexpr size_t formatBlockBytes = 4 << 20;

struct Where {
  DiagStream& diag;
  const std::string& file;
};

void check(const Where& where, int result, const char* call, int peer) {
  if (result == MPI_SUCCESS) return;
  where.diag << "FATAL: writing grid " << where.file << ": " << call << " with process " << peer
             << " failed: " << mpiErrorText(result) << "[end-entry]";
  throw transferFailedCode;
}

int messageLength(const Where& where, size_t length, int peer) {
  if (length <= static_cast<size_t>(INT_MAX)) return static_cast<int>(length);
  where.diag << "FATAL: writing grid " << where.file << ": " << length
             << " values for process " << peer
             << " do not fit into one message; start more processes"
             << "[end-entry]";
  throw transferFailedCode;
}

// Rank 0's write of an output grid under a second name: a copy of the first
// file.
constexpr size_t copyBlockBytes = 1 << 20;

// Buffers of the writes, kept for the next one so that no write takes fresh
// pages: one set per process, as the writes follow each other.
struct AsciiOutputBuffers {
  std::vector<std::vector<double>> received; // cells of the others, by process
  std::vector<double> values;                // a block of whole rows
  std::vector<char> block;                   // their text, row by row
  std::vector<size_t> blockLengths;
  std::vector<char> text;     // this process's text, run after run
  std::vector<size_t> runLengths;
  std::vector<char> incoming; // rank 0: a run of another process
};

AsciiOutputBuffers& outputBuffers() {
  static AsciiOutputBuffers buffers;
  return buffers;
}

// The owner of a cell by "MPIRegions", -1 for none.
int ownerOf(double region, int size) {
  if (!(region >= 0.0) || region >= size) return -1;
  return static_cast<int>(region);
}

} // namespace

void modelobject::findOutputRowRuns(bool decomposed) {
  const long nrows = header.nrows;
  // Every process owns cells only in the rows of its strip; without strips
  // rank 0 writes its own grid whole, as the gather leaves it.
  long own[2] = {1, nrows};
  if (decomposed) {
    own[0] = std::max(1L, header.firstRow);
    own[1] = std::min(nrows, header.lastRow);
  } else if (mpiRank != 0) {
    own[1] = 0;
  }
  outputRowsDecomposed = decomposed;
  outputRowBounds.assign(2 * static_cast<size_t>(mpiSize), 0);
  if (mpiSize > 1)
    checkMPI(*diag,
             MPI_Allgather(own, 2, MPI_LONG, outputRowBounds.data(), 2, MPI_LONG, MPI_COMM_WORLD),
             "MPI_Allgather of the rows of every process");
  else
    std::copy(own, own + 2, outputRowBounds.begin());
  // A row goes to the lowest process that holds it; rows no process holds
  // have no owned cell and are written by rank 0.
  outputRowRuns.clear();
  for (long r = 1; r <= nrows; ++r) {
    int formatter = 0;
    for (int p = 0; p < mpiSize; ++p) {
      if (r >= outputRowBounds[2 * p] && r <= outputRowBounds[2 * p + 1]) {
        formatter = p;
        break;
      }
    }
    if (outputRowRuns.empty() || outputRowRuns.back().rank != formatter)
      outputRowRuns.push_back(OutputRowRun{r, r, formatter});
    else
      outputRowRuns.back().last = r;
  }
}

void modelobject::writeOutputAscii(Grid grid, bool masked, const std::string& path,
                                   const std::string& again) {
  CtrlCIgnoredScope ctrlC;
  std::string name = path;
  prependDirectory(outputDirectory, name);
  const Where where{*diag, name};
  const bool root = mpiRank == 0;
  AsciiOutputBuffers& buffers = outputBuffers();
  // The owners the gather of a whole grid masks with: with one process and
  // no strips those of the first output, if there was one.
  Grid regions = gatherRegions();
  if (!regions && mpiSize < 2) regions = outputRegions;
  if (outputRowBounds.empty() || outputRowsDecomposed != (regions && mpiSize > 1))
    findOutputRowRuns(regions && mpiSize > 1);

  // Rank 0 opens the file first: should that fail, nothing is sent.
  std::unique_ptr<ReplacingFile> file;
  int code = !root ? 0 : catchExitCode([&] {
    file = std::make_unique<ReplacingFile>(*this, *diag, name, true);
    const std::string head = asciiGridHeaderText(header);
    file->write(head.data(), head.size());
  });
  if (mpiSize > 1)
    shareExitCode(*diag, code);
  else if (code != 0)
    throw code;

  exchangeSharedRowCells(grid, regions, name);
  formatOwnRows(grid, regions, masked);

  // Rank 0 writes the runs in row order, its own text and that of the others
  // as it arrives; after a failed write it still takes every message.
  size_t at = 0;
  for (size_t i = 0; i < outputRowRuns.size(); ++i) {
    const OutputRowRun& run = outputRowRuns[i];
    if (run.rank == mpiRank) {
      const char* text = buffers.text.data() + at;
      const size_t length = buffers.runLengths[i];
      at += length;
      if (root) {
        if (code == 0) code = catchExitCode([&] { file->write(text, length); });
      } else {
        check(where,
              MPI_Send(text, messageLength(where, length, 0), MPI_CHAR, 0, textTag,
                       MPI_COMM_WORLD),
              "MPI_Send", 0);
      }
      continue;
    }
    if (!root) continue;
    MPI_Status status;
    check(where, MPI_Probe(run.rank, textTag, MPI_COMM_WORLD, &status), "MPI_Probe", run.rank);
    int bytes = 0;
    check(where, MPI_Get_count(&status, MPI_CHAR, &bytes), "MPI_Get_count", run.rank);
    buffers.incoming.resize(static_cast<size_t>(bytes));
    check(where,
          MPI_Recv(buffers.incoming.data(), bytes, MPI_CHAR, run.rank, textTag, MPI_COMM_WORLD,
                   MPI_STATUS_IGNORE),
          "MPI_Recv", run.rank);
    if (code == 0)
      code = catchExitCode([&] { file->write(buffers.incoming.data(), buffers.incoming.size()); });
  }
  if (root && code == 0)
    code = catchExitCode([&] {
      file->commit();
      if (!again.empty()) copyOutputFile(name, again);
    });
  file.reset();
  if (mpiSize > 1)
    shareExitCode(*diag, code);
  else if (code != 0)
    throw code;
}

// Cells of the rows another process formats go to it in row order; the
// cells this process receives wait in the output buffers.
void modelobject::exchangeSharedRowCells(Grid grid, Grid regions, const std::string& name) {
  if (!regions) return;
  const long ncols = header.ncols;
  const Where where{*diag, name};
  const long myFirst = outputRowBounds[2 * static_cast<size_t>(mpiRank)];
  const long myLast = outputRowBounds[2 * static_cast<size_t>(mpiRank) + 1];
  AsciiOutputBuffers& buffers = outputBuffers();
  std::vector<std::vector<double>> sends(static_cast<size_t>(mpiSize));
  std::vector<long> expected(static_cast<size_t>(mpiSize), 0);
  for (const OutputRowRun& run : outputRowRuns) {
    const bool mine = run.rank == mpiRank;
    for (long r = std::max(run.first, myFirst); r <= std::min(run.last, myLast); ++r) {
      const double* owners = regions[r];
      for (long c = 1; c <= ncols; ++c) {
        const int owner = ownerOf(owners[c], mpiSize);
        if (owner < 0) continue;
        if (mine && owner != mpiRank) ++expected[static_cast<size_t>(owner)];
        if (!mine && owner == mpiRank) sends[static_cast<size_t>(run.rank)].push_back(grid[r][c]);
      }
    }
  }
  buffers.received.resize(static_cast<size_t>(mpiSize));
  std::vector<MPI_Request> requests;
  std::vector<int> peers;
  auto post = [&](int p, std::vector<double>& values, bool receive) {
    if (values.empty()) return;
    requests.emplace_back();
    peers.push_back(p);
    const int length = messageLength(where, values.size(), p);
    check(where,
          receive ? MPI_Irecv(values.data(), length, MPI_DOUBLE, p, cellTag, MPI_COMM_WORLD,
                              &requests.back())
                  : MPI_Isend(values.data(), length, MPI_DOUBLE, p, cellTag, MPI_COMM_WORLD,
                              &requests.back()),
          receive ? "MPI_Irecv" : "MPI_Isend", p);
  };
  for (int p = 0; p < mpiSize; ++p) {
    std::vector<double>& into = buffers.received[static_cast<size_t>(p)];
    into.resize(static_cast<size_t>(expected[static_cast<size_t>(p)]));
    post(p, into, true);
  }
  const size_t receives = requests.size();
  for (int p = 0; p < mpiSize; ++p) post(p, sends[static_cast<size_t>(p)], false);
  if (!requests.empty()) {
    std::vector<MPI_Status> statuses(requests.size());
    const int result =
        MPI_Waitall(static_cast<int>(requests.size()), requests.data(), statuses.data());
    for (size_t i = 0; i < requests.size(); ++i)
      check(where, result == MPI_ERR_IN_STATUS ? statuses[i].MPI_ERROR : result, "MPI_Waitall",
            peers[i]);
    for (size_t i = 0; i < receives; ++i) {
      const long wanted = expected[static_cast<size_t>(peers[i])];
      int got = 0;
      check(where, MPI_Get_count(&statuses[i], MPI_DOUBLE, &got), "MPI_Get_count", peers[i]);
      if (got == wanted) continue;
      *diag << "FATAL: writing grid " << name << ": process " << peers[i] << " sent " << got
            << " cells instead of " << wanted << "; the processes disagree on MPIRegions"
            << "[end-entry]";
      throw transferFailedCode;
    }
  }
}

// The rows this process formats, with the cells of the others filled in;
// cells of no process, and outside the valid columns when masked, are
// nodata.
void modelobject::formatOwnRows(Grid grid, Grid regions, bool masked) {
  const long ncols = header.ncols;
  const double nodata = header.nodata;
  const RowColumnRange* ranges = masked ? rowColumnRange : nullptr;
  // Without owners rank 0 writes its grid as it holds it, and a row it does
  // not hold as missing.
  const double unheld = masked ? nodata : -9999.0;
  const long myFirst = outputRowBounds[2 * static_cast<size_t>(mpiRank)];
  const long myLast = outputRowBounds[2 * static_cast<size_t>(mpiRank) + 1];
  AsciiOutputBuffers& b = outputBuffers();
  const size_t width = static_cast<size_t>(ncols + 1);
  const size_t rowCapacity = static_cast<size_t>(ncols) * (maxGridValueChars + 1);
  const long blockRows = std::max(1L, static_cast<long>(formatBlockBytes / rowCapacity));
  b.text.clear();
  b.runLengths.assign(outputRowRuns.size(), 0);
  std::vector<size_t> cursor(static_cast<size_t>(mpiSize), 0);
  for (size_t i = 0; i < outputRowRuns.size(); ++i) {
    const OutputRowRun& run = outputRowRuns[i];
    if (run.rank != mpiRank) continue;
    const size_t textBefore = b.text.size();
    for (long first = run.first; first <= run.last; first += blockRows) {
      const long count = std::min(blockRows, run.last - first + 1);
      b.values.resize(static_cast<size_t>(count) * width);
      b.block.resize(static_cast<size_t>(count) * rowCapacity);
      b.blockLengths.resize(static_cast<size_t>(count));
      // The cells of the others come in row order: a serial pass puts them
      // in place.
      for (long j = 0; j < count; ++j) {
        const long r = first + j;
        double* values = b.values.data() + static_cast<size_t>(j) * width;
        const bool held = r >= myFirst && r <= myLast;
        if (held && !regions) {
          const double* row = grid[r];
          for (long c = 1; c <= ncols; ++c) values[c] = row ? row[c] : unheld;
          continue;
        }
        const double* owners = held ? regions[r] : nullptr;
        for (long c = 1; c <= ncols; ++c) {
          const int owner = owners ? ownerOf(owners[c], mpiSize) : -1;
          if (owner < 0)
            values[c] = nodata;
          else if (owner == mpiRank)
            values[c] = grid[r][c];
          else
            values[c] = b.received[static_cast<size_t>(owner)][cursor[owner]++];
        }
      }
#pragma omp parallel for schedule(runtime)
      for (long j = 0; j < count; ++j) {
        double* values = b.values.data() + static_cast<size_t>(j) * width;
        if (ranges) {
          const RowColumnRange range = ranges[first + j];
          const long keepFirst = range.last < 1 ? ncols + 1 : std::max(1L, range.first);
          const long keepLast = range.last < 1 ? ncols : std::min(ncols, range.last);
          for (long c = 1; c < keepFirst; ++c) values[c] = nodata;
          for (long c = keepLast + 1; c <= ncols; ++c) values[c] = nodata;
        }
        b.blockLengths[static_cast<size_t>(j)] =
            formatGridRow(values, ncols, std::string_view(),
                          b.block.data() + static_cast<size_t>(j) * rowCapacity);
      }
      for (long j = 0; j < count; ++j) {
        const char* text = b.block.data() + static_cast<size_t>(j) * rowCapacity;
        b.text.insert(b.text.end(), text, text + b.blockLengths[static_cast<size_t>(j)]);
      }
    }
    b.runLengths[i] = b.text.size() - textBefore;
  }
}

void modelobject::copyOutputFile(const std::string& from, const std::string& path) {
  std::string name = path;
  prependDirectory(outputDirectory, name);
  FILE* source = std::fopen(from.c_str(), "rb");
  if (!source) readError(from, 0);
  struct Closer {
    FILE* file;
    ~Closer() { std::fclose(file); }
  } closer{source};
  ReplacingFile copy(*this, *diag, name, true);
  std::vector<char>& block = outputBuffers().incoming;
  block.resize(copyBlockBytes);
  for (;;) {
    const size_t got = std::fread(block.data(), 1, block.size(), source);
    copy.write(block.data(), got);
    if (got < block.size()) break;
  }
  if (std::ferror(source)) readError(from, 0);
  copy.commit();
}
