#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/collective_status.h"
#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "core/grid_file_read.h"
#include "core/modelobject.h"

// Several ASCII grids read together: rank 0 reads only their headers, every
// process finds the rows that begin in its share of each file, and the
// collective calls and the messages of rows for rank 0 come once for all
// grids instead of once for each.

namespace {

// What rank 0 found in the files, in one block of bytes.
class BatchPacket {
public:
  template <typename T> void put(const T& value) {
    const char* from = reinterpret_cast<const char*>(&value);
    bytes.insert(bytes.end(), from, from + sizeof value);
  }
  template <typename T> void putAll(const T* values, size_t count) {
    put(count);
    const char* from = reinterpret_cast<const char*>(values);
    bytes.insert(bytes.end(), from, from + count * sizeof(T));
  }
  template <typename T> T get() {
    T value;
    take(&value, sizeof value);
    return value;
  }
  std::string getText() {
    std::string text(get<size_t>(), '\0');
    take(text.data(), text.size());
    return text;
  }

  // Rank 0's bytes reach every process, in pieces an int counts.
  void broadcast(DiagStream& diag, int rank) {
    long size = static_cast<long>(bytes.size());
    checkMPI(diag, MPI_Bcast(&size, 1, MPI_LONG, 0, MPI_COMM_WORLD),
             "MPI_Bcast of the files of a grid batch");
    if (rank != 0) bytes.assign(static_cast<size_t>(size), '\0');
    constexpr long piece = 1L << 30;
    for (long first = 0; first < size; first += piece)
      checkMPI(diag,
               MPI_Bcast(bytes.data() + first, static_cast<int>(std::min(piece, size - first)),
                         MPI_CHAR, 0, MPI_COMM_WORLD),
               "MPI_Bcast of the files of a grid batch");
  }

private:
  void take(void* to, size_t count) {
    std::memcpy(to, bytes.data() + at, count);
    at += count;
  }

  std::vector<char> bytes;
  size_t at = 0;
};

constexpr long noFailure = LONG_MAX;

} // namespace

// Every process counts the values in its share of the bytes of each file;
// the counts tell each process which rows begin in its share, and one
// exchange hands every row start to every process. A file that holds
// another number of values, or whose share a process cannot read, ends the
// batch: read alone, it names its fault.
size_t modelobject::findRowStartsTogether(std::vector<GridFileRead>& reads,
                                          const std::vector<long>& sameFile, size_t count) {
  const long nrows = header.nrows;
  const long needed = nrows * header.ncols;
  const size_t size = static_cast<size_t>(mpiSize);
  std::vector<size_t> files;
  for (size_t k = 0; k < count; ++k)
    if (sameFile[k] < 0) files.push_back(k);
  const size_t fileCount = files.size();
  const auto shareStart = [&](const GridFileRead& read, long p) {
    return read.dataStart + (read.fileSize - read.dataStart) * p / mpiSize;
  };
  // The text of this process's share, behind the character in front of it.
  std::vector<char> text;
  const auto readShare = [&](const GridFileRead& read) {
    const long from = shareStart(read, mpiRank);
    const long to = shareStart(read, mpiRank + 1L);
    const long before = from > read.dataStart ? 1 : 0;
    text.assign(static_cast<size_t>(to - from + before), ' ');
    std::FILE* file = std::fopen(read.name.c_str(), "rb");
    bool ok = file && std::fseek(file, from - before, SEEK_SET) == 0 &&
              std::fread(text.data(), 1, text.size(), file) == text.size();
    if (file && std::fclose(file) != 0) ok = false;
    if (before == 0) text.insert(text.begin(), ' ');
    return ok;
  };

  // The values that begin in front of each block of the share, so that
  // the search for the row starts looks at the blocks that hold one only.
  constexpr size_t blockBytes = 1 << 12;
  std::vector<std::vector<long>> blockStarts(fileCount);
  std::vector<long> mine(fileCount, -1);
  for (size_t f = 0; f < fileCount; ++f) {
    if (!readShare(reads[files[f]])) continue;
    std::vector<long>& counted = blockStarts[f];
    counted.assign(1, 0);
    // text[at] is the character in front of block text[at + 1 ...].
    for (size_t at = 0; at + 1 < text.size(); at += blockBytes) {
      const size_t length = std::min(blockBytes, text.size() - 1 - at);
      counted.push_back(counted.back() +
                        countTokenStarts(text.data() + 1 + at, length, isGridBlank(text[at])));
    }
    mine[f] = counted.back();
  }
  std::vector<long> counts(fileCount * size);
  checkMPI(*diag,
           MPI_Allgather(mine.data(), static_cast<int>(fileCount), MPI_LONG, counts.data(),
                         static_cast<int>(fileCount), MPI_LONG, MPI_COMM_WORLD),
           "MPI_Allgather of the values of a grid batch");
  const auto countOf = [&](size_t p, size_t f) { return counts[p * fileCount + f]; };
  size_t usable = 0;
  std::vector<long> totals(fileCount, 0);
  for (; usable < fileCount; ++usable) {
    bool readable = true;
    for (size_t p = 0; p < size; ++p) {
      readable = readable && countOf(p, usable) >= 0;
      totals[usable] += countOf(p, usable);
    }
    // Too few values or too many: read alone, the file names its fault.
    if (!readable || totals[usable] != needed) break;
  }

  // Row r begins with value (r - 1) * ncols, the end of the last row with
  // the first value behind it; each process finds the rows that begin in
  // its share.
  const auto firstRowFrom = [&](long value) {
    return value <= 0 ? 2 : std::max(2L, (value + header.ncols - 1) / header.ncols + 1);
  };
  std::vector<long> starts;
  std::vector<int> lengths(size, 0);
  std::vector<long> wanted;
  for (size_t f = 0; f < usable; ++f) {
    long before = 0;
    for (size_t p = 0; p < size; ++p) {
      const long from = firstRowFrom(before);
      const long to = std::min(nrows, firstRowFrom(before + countOf(p, f)) - 1);
      lengths[p] += static_cast<int>(std::max(0L, to - from + 1));
      if (static_cast<int>(p) == mpiRank && to >= from) {
        wanted.clear();
        for (long r = from; r <= to; ++r) wanted.push_back((r - 1) * header.ncols - before);
        const GridFileRead& read = reads[files[f]];
        const long shareFrom = shareStart(read, mpiRank);
        const std::vector<long>& counted = blockStarts[f];
        const bool readable = readShare(read);
        for (long value : wanted) {
          const size_t block = static_cast<size_t>(
              std::upper_bound(counted.begin(), counted.end(), value) - counted.begin() - 1);
          const size_t at = block * blockBytes;
          const long inBlock = value - counted[block];
          long found = -1;
          if (readable && at + 1 < text.size())
            findTokenStarts(text.data() + 1 + at, std::min(blockBytes, text.size() - 1 - at),
                            isGridBlank(text[at]), &inBlock, 1, &found);
          starts.push_back(found < 0 ? -1 : shareFrom + static_cast<long>(at) + found);
        }
      }
      before += countOf(p, f);
    }
  }
  std::vector<int> displacements(size, 0);
  for (size_t p = 1; p < size; ++p) displacements[p] = displacements[p - 1] + lengths[p - 1];
  std::vector<long> all(static_cast<size_t>(displacements[size - 1] + lengths[size - 1]));
  checkMPI(*diag,
           MPI_Allgatherv(starts.data(), static_cast<int>(starts.size()), MPI_LONG, all.data(),
                          lengths.data(), displacements.data(), MPI_LONG, MPI_COMM_WORLD),
           "MPI_Allgatherv of the rows of a grid batch");

  // The rows of file f lie in the order of the processes, file after file
  // in each process's part.
  std::vector<size_t> next(displacements.begin(), displacements.end());
  for (size_t f = 0; f < usable; ++f) {
    GridFileRead& read = reads[files[f]];
    read.rowStarts.assign(static_cast<size_t>(nrows + 2), 0);
    read.rowStarts[1] = read.dataStart;
    read.rowStarts[static_cast<size_t>(nrows + 1)] = read.fileSize;
    long before = 0;
    for (size_t p = 0; p < size; ++p) {
      const long from = firstRowFrom(before);
      const long to = std::min(nrows, firstRowFrom(before + countOf(p, f)) - 1);
      for (long r = from; r <= to; ++r) read.rowStarts[static_cast<size_t>(r)] = all[next[p]++];
      before += countOf(p, f);
    }
  }
  return usable < fileCount ? files[usable] : count;
}

void modelobject::readGrids(const std::vector<GridReadRequest>& requests, const GridTaker& take) {
  std::vector<char> wholeOnRoot(requests.size());
  for (size_t k = 0; k < requests.size(); ++k) wholeOnRoot[k] = requests[k].wholeOnRoot ? 1 : 0;
  if (mpiSize > 1 && !wholeOnRoot.empty())
    checkMPI(*diag,
             MPI_Bcast(wholeOnRoot.data(), static_cast<int>(wholeOnRoot.size()), MPI_CHAR, 0,
                       MPI_COMM_WORLD),
             "MPI_Bcast of the grids rank 0 reads whole");
  size_t next = 0;
  if (mpiSize > 1 && findGrid("MPIRegions", 1) > 0)
    next = readAsciiGridBatch(requests, wholeOnRoot, take);
  const long nrows = header.nrows;
  const long lo = stripFirstRow();
  const long hi = stripLastRow();
  for (; next < requests.size(); ++next) {
    const GridReadRequest& request = requests[next];
    const int whole = wholeOnRoot[next];
    Grid grid = nullptr;
    readGrid(request.path, grid, request.fillCode, true, true, true, whole, false, true,
             request.fillValue, request.resampling);
    const bool allRows = mpiRank == 0 && whole != 0;
    take(next, grid, allRows ? 1 : lo, allRows ? nrows : hi);
  }
}

size_t modelobject::readAsciiGridBatch(const std::vector<GridReadRequest>& requests,
                                       const std::vector<char>& wholeOnRoot,
                                       const GridTaker& take) {
  const size_t n = requests.size();
  std::vector<GridFileRead> reads(n);
  // The earlier grid of the same file, or -1.
  std::vector<long> sameFile(n, -1);
  const bool root = mpiRank == 0;
  size_t count = 0;
  {
    CtrlCIgnoredScope ctrlC;
    // Rank 0 looks at the files up to the first that is not a regular ASCII
    // grid without holes to fill, or that fails: that one and the rest are
    // read one by one, which logs its failure as ever.
    BatchPacket packet;
    if (root) {
      for (; count < n; ++count) {
        GridFileRead& read = reads[count];
        read.path = requests[count].path;
        read.resampling = requests[count].resampling;
        read.deferNotes = true;
        if (requests[count].fillCode != 0) break;
        for (size_t j = 0; j < count && sameFile[count] < 0; ++j)
          if (reads[j].path == read.path) sameFile[count] = static_cast<long>(j);
        if (sameFile[count] >= 0) {
          read.name = reads[static_cast<size_t>(sameFile[count])].name;
          noteReading(read);
          continue;
        }
        bool usable = false;
        read.attempt([&] {
          inspectGridFile(read, true);
          usable = read.format == asciiGridFile && read.regular && read.fileSize >= 0;
          if (!usable) return;
          read.dataStart = read.scanner->offset();
          read.closeFile();
        });
        if (!usable || read.failureCode != 0) break;
      }
      packet.put(count);
      for (size_t k = 0; k < count; ++k) {
        const GridFileRead& read = reads[k];
        packet.put(sameFile[k]);
        if (sameFile[k] >= 0) continue;
        packet.putAll(read.name.data(), read.name.size());
        packet.put(read.fileHeader);
        packet.put(read.dataStart);
        packet.put(read.fileSize);
      }
    }
    packet.broadcast(*diag, mpiRank);
    if (!root) {
      count = packet.get<size_t>();
      for (size_t k = 0; k < count; ++k) {
        GridFileRead& read = reads[k];
        read.path = requests[k].path;
        sameFile[k] = packet.get<long>();
        if (sameFile[k] >= 0) continue;
        read.name = packet.getText();
        read.fileHeader = packet.get<BinaryGridHeader>();
        read.dataStart = packet.get<long>();
        read.fileSize = packet.get<long>();
      }
    }
    if (count > 0) count = findRowStartsTogether(reads, sameFile, count);
  }
  if (count == 0) return 0;
  for (size_t k = 0; k < count; ++k) {
    const long source = sameFile[k];
    if (source < 0) continue;
    const GridFileRead& read = reads[static_cast<size_t>(source)];
    reads[k].name = read.name;
    reads[k].fileHeader = read.fileHeader;
  }
  // A file parsed once for several grids is whole on rank 0 when one of
  // them is.
  std::vector<char> whole(wholeOnRoot.begin(), wholeOnRoot.begin() + static_cast<long>(count));
  for (size_t k = 0; k < count; ++k)
    if (sameFile[k] >= 0 && whole[k]) whole[static_cast<size_t>(sameFile[k])] = 1;

  const long nrows = header.nrows;
  const long ncols = header.ncols;
  const long lo = stripFirstRow();
  const long hi = stripLastRow();
  std::vector<std::unique_ptr<OwnedRows>> grids;
  // The first grid that failed, as twice its index, plus one when its rows
  // failed rather than its allocation: the allocation came first.
  long failure = noFailure;
  long failedRow = 0;
  size_t complete = count;
  {
    CtrlCIgnoredScope ctrlC;
    std::vector<std::pair<long, long>> runs;
    std::vector<int> rootRowSenders;
    planAsciiRows(lo, hi, true, runs, rootRowSenders);
    std::vector<double> rowsForRoot;
    for (size_t k = 0; k < count && failure == noFailure; ++k) {
      GridFileRead& read = reads[k];
      grids.push_back(std::make_unique<OwnedRows>(*this, ncols, nrows));
      OwnedRows& grid = *grids.back();
      const bool allRows = root && whole[k];
      read.attempt([&] {
        grid.allocate(allRows ? 1 : lo, allRows ? nrows : hi);
        fillRows(grid.grid, lo, hi, ncols, header.nodata);
      });
      if (read.failureCode != 0) {
        failure = 2 * static_cast<long>(k);
        break;
      }
      if (sameFile[k] >= 0) continue;
      if (whole[k]) read.rootRowSenders = rootRowSenders;
      read.attempt([&] {
        for (const auto& run : runs)
          parseAsciiRows(read, grid.grid, run.first, run.second, lo, hi, failedRow);
      });
      if (read.failureCode != 0) failure = 2 * static_cast<long>(k) + 1;
      rowsForRoot.insert(rowsForRoot.end(), read.rowsForRoot.begin(), read.rowsForRoot.end());
      read.rowsForRoot = std::vector<double>();
    }
    long firstFailure = failure;
    checkMPI(*diag, MPI_Allreduce(&failure, &firstFailure, 1, MPI_LONG, MPI_MIN, MPI_COMM_WORLD),
             "MPI_Allreduce of the status of a grid batch");
    failure = firstFailure;
    if (failure != noFailure) complete = static_cast<size_t>(failure / 2);

    // Rank 0 takes the rows of the grids before the first failure only.
    std::vector<Grid> parsed;
    for (size_t k = 0; k < complete; ++k)
      if (sameFile[k] < 0 && whole[k]) parsed.push_back(grids[k]->grid);
    const long sent = std::count(rootRowSenders.begin(), rootRowSenders.end(), mpiRank);
    if (!root) rowsForRoot.resize(parsed.size() * static_cast<size_t>(sent * ncols));
    handRowsToRoot(rootRowSenders, rowsForRoot, parsed);
    for (size_t k = 0; k < complete; ++k)
      if (sameFile[k] >= 0)
        copyGridRows(grids[static_cast<size_t>(sameFile[k])]->grid, grids[k]->grid,
                     grids[k]->firstRow, grids[k]->lastRow, ncols);
  }

  {
    CtrlCIgnoredScope ctrlC;
    std::vector<Grid> done;
    for (size_t k = 0; k < complete; ++k) done.push_back(grids[k]->grid);
    MPIExchangeGridHalos(done);
  }
  for (size_t k = 0; k < complete; ++k) {
    GridFileRead& read = reads[k];
    if (root) read.logNotes(*diag);
    const long firstRow = grids[k]->firstRow;
    const long lastRow = grids[k]->lastRow;
    take(k, grids[k]->release(), firstRow, lastRow);
  }
  if (failure == noFailure) return count;
  GridFileRead& failed = reads[complete];
  if (root) failed.logNotes(*diag);
  CtrlCIgnoredScope ctrlC;
  if (failure % 2 == 0)
    settleGridRead(failed);
  else
    settleAsciiRows(failed, failedRow);
  // Processes that do not agree on the failure read the rest one by one.
  return complete;
}
