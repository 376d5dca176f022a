#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/ascii_grid_text.h"
#include "core/collective_file_write.h"
#include "core/collective_status.h"
#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "core/modelobject.h"
#include "core/non_finite_output.h"
#include "core/replacing_file.h"

// An ASCII output grid or stack is written without one process doing the
// work: every process formats the rows it owns cells in, after its
// neighbours sent it their cells of the rows it shares with them, and writes
// the text at its place in the file with MPI-IO. The file is the one a whole
// gathered grid or stack gives.

namespace {

constexpr int transferFailedCode = 121;
constexpr int cellTag = 30002;
// Rows are formatted in blocks of about this many bytes of text.
constexpr size_t formatBlockBytes = 4 << 20;

struct Where {
  DiagStream& diag;
  const char* what; // "grid" or "stack"
  const std::string& file;
};

void check(const Where& where, int result, const char* call, int peer) {
  if (result == MPI_SUCCESS) return;
  where.diag << "FATAL: writing " << where.what << " " << where.file << ": " << call
             << " with process " << peer << " failed: " << mpiErrorText(result) << "[end-entry]";
  throw transferFailedCode;
}

int messageLength(const Where& where, size_t length, int peer) {
  if (length <= static_cast<size_t>(INT_MAX)) return static_cast<int>(length);
  where.diag << "FATAL: writing " << where.what << " " << where.file << ": " << length
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
  std::vector<std::vector<double>> received; // values of the others, by process
  std::vector<size_t> cursor;                // the next one to use, by process
  std::vector<double> values;                // a block of whole rows
  std::vector<char> block;                   // their text, row by row
  std::vector<size_t> blockLengths;
  std::vector<long> nonFinite; // of each row of the block, as the formatters give it
  std::vector<char> text;      // this process's text, in file order
  std::vector<char> copied;    // rank 0: a block of a file it copies
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

void modelobject::writeOutputAscii(const AsciiOutputValues& out, const std::string& path,
                                   const std::string& again) {
  CtrlCIgnoredScope ctrlC;
  std::string name = path;
  prependDirectory(outputDirectory, name);
  const bool root = mpiRank == 0;
  AsciiOutputBuffers& b = outputBuffers();
  const char* openFailure = out.stack ? "error opening " : nullptr;
  // The owners the gather of a whole grid masks with: with one process and
  // no strips those of the first output, if there was one. A stack written
  // by one process keeps every cell it holds.
  Grid regions = gatherRegions();
  if (!regions && mpiSize < 2 && !out.stack) regions = outputRegions;
  if (outputRowBounds.empty() || outputRowsDecomposed != (regions && mpiSize > 1))
    findOutputRowRuns(regions && mpiSize > 1);
  const std::string head = !root       ? std::string()
                           : out.stack ? asciiStackHeaderText(header, out.levels - 1)
                                       : asciiGridHeaderText(header);

  if (mpiSize < 2) {
    ReplacingFile file(*this, *diag, name, true, openFailure);
    file.write(head.data(), head.size());
    exchangeSharedRowCells(out, regions, name);
    b.cursor.assign(1, 0);
    NonFiniteCell bad;
    for (const OutputRowRun& run : outputRowRuns) {
      formatOutputRun(
          run, out, regions, [&](const char* text, size_t length) { file.write(text, length); },
          bad);
      if (bad.found())
        throw reportNonFiniteOutput(*diag, name, bad.place(), bad.value, currentDate);
    }
    file.commit();
    if (!again.empty()) copyOutputFile(name, again);
    return;
  }

  // Rank 0 tries the file first, so that a folder it cannot write to ends
  // the run as every other output does, before anything is formatted.
  int code =
      !root ? 0
            : catchExitCode([&] { ReplacingFile probe(*this, *diag, name, true, openFailure); });
  shareExitCode(*diag, code);
  // Every process writes into the file rank 0 names, as when it wrote
  // alone, whatever folder the others work in.
  std::error_code unknown; // without a working directory the name stays as it is
  std::string file = root ? std::filesystem::absolute(name, unknown).string() : std::string();
  if (root && file.empty()) file = name;
  broadcastText(*diag, file, 0, "MPI_Bcast of the name of an output file");

  exchangeSharedRowCells(out, regions, name);
  b.cursor.assign(static_cast<size_t>(mpiSize), 0);
  // Every process formats its runs, rank 0 after the header; from the
  // lengths of all of them each run learns its place in the file.
  b.text.assign(head.begin(), head.end());
  // Behind the lengths: how many processes found a value that is not finite.
  std::vector<long long> lengths(outputRowRuns.size() + 2, 0);
  lengths[0] = static_cast<long long>(head.size());
  NonFiniteCell bad;
  for (size_t i = 0; i < outputRowRuns.size(); ++i) {
    if (outputRowRuns[i].rank != mpiRank) continue;
    const size_t before = b.text.size();
    formatOutputRun(
        outputRowRuns[i], out, regions,
        [&](const char* text, size_t length) { b.text.insert(b.text.end(), text, text + length); },
        bad);
    lengths[i + 1] = static_cast<long long>(b.text.size() - before);
  }
  lengths.back() = bad.found() ? 1 : 0;
  checkMPI(*diag,
           MPI_Allreduce(MPI_IN_PLACE, lengths.data(), static_cast<int>(lengths.size()),
                         MPI_LONG_LONG, MPI_SUM, MPI_COMM_WORLD),
           "MPI_Allreduce of the text lengths of an ASCII output");
  if (lengths.back() > 0) settleNonFiniteOutput(*diag, name, bad, currentDate);
  lengths.pop_back();
  FileBlocks blocks;
  long long at = 0;
  for (size_t i = 0; i < lengths.size(); ++i) {
    const bool mine = i == 0 ? root : outputRowRuns[i - 1].rank == mpiRank;
    if (mine && lengths[i] > 0) blocks.add(at, lengths[i]);
    at += lengths[i];
  }
  CollectiveWrite write{*diag, name, out.stack ? "stack" : "grid"};
  writeFileBlocks(write, file, blocks, b.text.data(), MPI_CHAR, at, true);
  if (again.empty()) return;
  code = !root ? 0 : catchExitCode([&] { copyOutputFile(name, again); });
  shareExitCode(*diag, code);
}

// Values of the rows another process formats go to it in row order; the
// values this process receives wait in the output buffers.
void modelobject::exchangeSharedRowCells(const AsciiOutputValues& out, Grid regions,
                                         const std::string& name) {
  if (!regions) return;
  const long ncols = header.ncols;
  const long levels = out.levels;
  const Where where{*diag, out.stack ? "stack" : "grid", name};
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
        if (mine && owner != mpiRank) expected[static_cast<size_t>(owner)] += levels;
        if (!mine && owner == mpiRank) {
          std::vector<double>& to = sends[static_cast<size_t>(run.rank)];
          to.insert(to.end(), out.at(r, c), out.at(r, c) + levels);
        }
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
      const char* unit = levels == 1 ? " cells" : " values";
      *diag << "FATAL: writing " << where.what << " " << name << ": process " << peers[i]
            << " sent " << got << unit << " instead of " << wanted
            << "; the processes disagree on MPIRegions"
            << "[end-entry]";
      throw transferFailedCode;
    }
  }
}

// The rows of a run with the cells of the others filled in; cells of no
// process, and outside the valid columns when masked, are nodata.
void modelobject::formatOutputRun(const OutputRowRun& run, const AsciiOutputValues& out,
                                  Grid regions,
                                  const std::function<void(const char*, size_t)>& take,
                                  NonFiniteCell& firstNonFinite) {
  const long ncols = header.ncols;
  const long levels = out.levels;
  const double nodata = header.nodata;
  const RowColumnRange* ranges = out.masked ? rowColumnRange : nullptr;
  // Without owners rank 0 writes what it holds, and a grid row it does not
  // hold as missing.
  const double unheld = out.masked || out.stack ? nodata : -9999.0;
  const long myFirst = outputRowBounds[2 * static_cast<size_t>(mpiRank)];
  const long myLast = outputRowBounds[2 * static_cast<size_t>(mpiRank) + 1];
  AsciiOutputBuffers& b = outputBuffers();
  // Column c's values start at c * levels, so that a grid row is values[1..ncols].
  const size_t width = static_cast<size_t>((ncols + 1) * levels);
  const size_t rowCapacity = static_cast<size_t>(ncols * levels) * (maxGridValueChars + 1);
  const long blockRows = std::max(1L, static_cast<long>(formatBlockBytes / rowCapacity));
  for (long first = run.first; first <= run.last; first += blockRows) {
    const long count = std::min(blockRows, run.last - first + 1);
    b.values.resize(static_cast<size_t>(count) * width);
    b.block.resize(static_cast<size_t>(count) * rowCapacity);
    b.blockLengths.resize(static_cast<size_t>(count));
    b.nonFinite.resize(static_cast<size_t>(count));
    // The values of the others come in row order: a serial pass puts them
    // in place.
    for (long j = 0; j < count; ++j) {
      const long r = first + j;
      double* values = b.values.data() + static_cast<size_t>(j) * width;
      const bool held = r >= myFirst && r <= myLast;
      if (held && !regions) {
        const bool row = out.holds(r);
        for (long c = 1; c <= ncols; ++c)
          for (long l = 0; l < levels; ++l) values[c * levels + l] = row ? out.at(r, c)[l] : unheld;
        continue;
      }
      const double* owners = held ? regions[r] : nullptr;
      // A row this process lacks leaves its own cells there nodata.
      const bool row = held && out.holds(r);
      for (long c = 1; c <= ncols; ++c) {
        const int owner = owners ? ownerOf(owners[c], mpiSize) : -1;
        double* cell = values + c * levels;
        if (owner < 0 || (owner == mpiRank && !row)) {
          std::fill(cell, cell + levels, nodata);
        } else if (owner == mpiRank) {
          std::copy(out.at(r, c), out.at(r, c) + levels, cell);
        } else {
          const size_t p = static_cast<size_t>(owner);
          const double* from = b.received[p].data() + b.cursor[p];
          std::copy(from, from + levels, cell);
          b.cursor[p] += static_cast<size_t>(levels);
        }
      }
    }
#pragma omp parallel for schedule(runtime)
    for (long j = 0; j < count; ++j) {
      double* values = b.values.data() + static_cast<size_t>(j) * width;
      char* text = b.block.data() + static_cast<size_t>(j) * rowCapacity;
      if (ranges) {
        const RowColumnRange range = ranges[first + j];
        const long keepFirst = range.last < 1 ? ncols + 1 : std::max(1L, range.first);
        const long keepLast = range.last < 1 ? ncols : std::min(ncols, range.last);
        for (long c = 1; c < keepFirst; ++c) values[c] = nodata;
        for (long c = keepLast + 1; c <= ncols; ++c) values[c] = nodata;
      }
      long& bad = b.nonFinite[static_cast<size_t>(j)];
      b.blockLengths[static_cast<size_t>(j)] =
          out.stack ? formatStackValues(values + levels, ncols * levels, text, bad)
                    : formatGridRow(values, ncols, std::string_view(), text, bad);
    }
    for (long j = 0; j < count && !firstNonFinite.found(); ++j) {
      const long bad = b.nonFinite[static_cast<size_t>(j)];
      if (bad == 0) continue;
      // A stack's values of column c stand at (c - 1) * levels + level + 1.
      NonFiniteCell& cell = firstNonFinite;
      cell.row = first + j;
      cell.column = out.stack ? (bad - 1) / levels + 1 : bad;
      cell.level = out.stack ? (bad - 1) % levels : -1;
      const double* values = b.values.data() + static_cast<size_t>(j) * width;
      cell.value = values[cell.column * levels + std::max(0L, cell.level)];
    }
    for (long j = 0; j < count; ++j)
      take(b.block.data() + static_cast<size_t>(j) * rowCapacity,
           b.blockLengths[static_cast<size_t>(j)]);
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
  std::vector<char>& block = outputBuffers().copied;
  block.resize(copyBlockBytes);
  for (;;) {
    const size_t got = std::fread(block.data(), 1, block.size(), source);
    copy.write(block.data(), got);
    if (got < block.size()) break;
  }
  if (std::ferror(source)) readError(from, 0);
  copy.commit();
}
