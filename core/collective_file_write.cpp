#include "core/collective_file_write.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "core/diag_stream.h"
#include "core/stack_file_format.h"

namespace {

constexpr int writeErrorCode = 18;
constexpr int createErrorCode = 26;
constexpr int closeErrorCode = 27;

void removePartialFile(const std::string& partial) { std::remove(partial.c_str()); }

} // namespace

void FileBlocks::add(long start, long length) {
  values += length;
  if (!lengths.empty()) {
    const long end = static_cast<long>(starts.back()) + lengths.back();
    if (end == start && lengths.back() <= INT_MAX - length) {
      lengths.back() += static_cast<int>(length);
      return;
    }
  }
  if (length > INT_MAX) tooLong = true;
  starts.push_back(static_cast<MPI_Aint>(start));
  lengths.push_back(static_cast<int>(std::min<long>(length, INT_MAX)));
}

void CollectiveWrite::mpiCall(int result, const char* call, int failureCode) {
  if (result == MPI_SUCCESS || code != 0) return;
  diag << "FATAL: error writing " << what << " " << name << ": " << call << " failed ("
       << mpiErrorText(result) << ")"
       << "[end-entry]";
  code = failureCode;
}

void CollectiveWrite::checkFits(const FileBlocks& blocks, int rank) {
  if (code != 0 || (!blocks.tooLong && blocks.values <= INT_MAX)) return;
  diag << "FATAL: error writing " << what << " " << name << ": " << blocks.values
       << " values are too many for one write of process " << rank << "[end-entry]";
  code = writeErrorCode;
}

void CollectiveWrite::settle(const CollectiveFailure& failure) const {
  if (failure.code == 0) return;
  if (code == 0)
    diag << "FATAL: writing " << what << " " << name << " failed on process " << failure.rank
         << "[end-entry]";
  throw failure.code;
}

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

void writeFileBlocks(CollectiveWrite& write, const std::string& path, const FileBlocks& blocks,
                     const void* buffer, MPI_Datatype valueType, MPI_Offset fileBytes,
                     bool independent) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  const std::string partial = path + partialFileSuffix();
  write.checkFits(blocks, rank);
  // One left by a killed run could be a link, which the write would follow;
  // the agreement below keeps every process from opening it before it is
  // gone.
  if (rank == 0) removePartialFile(partial);
  write.settle(agreeOnFailure(write.code, writeErrorCode));

  MPI_File file = MPI_FILE_NULL;
  MPI_Datatype view = MPI_DATATYPE_NULL;
  write.mpiCall(MPI_File_open(MPI_COMM_WORLD, partial.c_str(), MPI_MODE_CREATE | MPI_MODE_WRONLY,
                              MPI_INFO_NULL, &file),
                "MPI_File_open", createErrorCode);
  const CollectiveFailure opened = agreeOnFailure(write.code, createErrorCode);
  if (opened.code != 0) {
    // A handle opened here while another process failed cannot be closed:
    // closing is collective over processes that have no handle.
    if (rank == 0) removePartialFile(partial);
    write.settle(opened);
  }

  int valueSize = 0;
  write.mpiCall(MPI_Type_size(valueType, &valueSize), "MPI_Type_size", writeErrorCode);
  int written = 0;
  const int count = write.code == 0 ? static_cast<int>(blocks.values) : 0;
  if (independent) {
    // Long blocks go straight from each process to the file: a collective
    // write would pass them through the processes that aggregate it.
    const char* from = static_cast<const char*>(buffer);
    for (size_t i = 0; i < blocks.lengths.size() && write.code == 0; ++i) {
      MPI_Status status;
      int done = 0;
      write.mpiCall(MPI_File_write_at(file, blocks.starts[i] * valueSize, from, blocks.lengths[i],
                                      valueType, &status),
                    "MPI_File_write_at", writeErrorCode);
      write.mpiCall(MPI_Get_count(&status, valueType, &done), "MPI_Get_count", writeErrorCode);
      written += write.code == 0 ? done : 0;
      from += static_cast<size_t>(blocks.lengths[i]) * static_cast<size_t>(valueSize);
    }
  } else {
    // The file view lists this process's blocks, so that it writes all of
    // them in one call wherever they lie.
    std::vector<MPI_Aint> byteStarts(blocks.starts.size());
    for (size_t i = 0; i < byteStarts.size(); ++i) byteStarts[i] = blocks.starts[i] * valueSize;
    if (!blocks.lengths.empty() && write.code == 0) {
      const int made =
          MPI_Type_create_hindexed(static_cast<int>(blocks.lengths.size()), blocks.lengths.data(),
                                   byteStarts.data(), valueType, &view);
      if (made != MPI_SUCCESS) view = MPI_DATATYPE_NULL;
      write.mpiCall(made, "MPI_Type_create_hindexed", writeErrorCode);
      if (view != MPI_DATATYPE_NULL)
        write.mpiCall(MPI_Type_commit(&view), "MPI_Type_commit", writeErrorCode);
    }
    // Collective calls go on after a local failure, with nothing to write,
    // so that no process waits for one that gave up.
    const bool viewReady = write.code == 0 && view != MPI_DATATYPE_NULL;
    write.mpiCall(MPI_File_set_view(file, 0, valueType, viewReady ? view : valueType, "native",
                                    MPI_INFO_NULL),
                  "MPI_File_set_view", writeErrorCode);
    MPI_Status status;
    write.mpiCall(MPI_File_write_all(file, buffer, write.code == 0 ? count : 0, valueType, &status),
                  "MPI_File_write_all", writeErrorCode);
    write.mpiCall(MPI_Get_count(&status, valueType, &written), "MPI_Get_count", writeErrorCode);
  }
  if (write.code == 0 && written != count) {
    write.diag << "FATAL: error writing " << write.what << " " << write.name << ": process " << rank
               << " wrote " << written << " of " << count << " values"
               << "[end-entry]";
    write.code = writeErrorCode;
  }
  write.mpiCall(MPI_File_set_size(file, fileBytes), "MPI_File_set_size", writeErrorCode);
  const int closed = MPI_File_close(&file);
  if (closed != MPI_SUCCESS && write.code == 0) {
    write.diag << "FATAL: error closing " << write.name << " (" << mpiErrorText(closed) << ")"
               << "[end-entry]";
    write.code = closeErrorCode;
  }
  if (view != MPI_DATATYPE_NULL) MPI_Type_free(&view);

  const CollectiveFailure failure = agreeOnFailure(write.code, writeErrorCode);
  if (failure.code != 0) {
    if (rank == 0) removePartialFile(partial);
    write.settle(failure);
  }
  // Rank 0 puts the complete file in place; every process learns whether it
  // could.
  int moved = 0;
  if (rank == 0) {
    try {
      movePartialFileIntoPlace(write.diag, partial, path);
    } catch (int code) {
      moved = code;
    }
  }
  const int shared = MPI_Bcast(&moved, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (shared != MPI_SUCCESS) {
    write.diag << "FATAL: error writing " << write.what << " " << write.name
               << ": MPI_Bcast failed (" << mpiErrorText(shared) << ")"
               << "[end-entry]";
    throw writeErrorCode;
  }
  CollectiveWrite renamed{write.diag, write.name, write.what, rank == 0 ? moved : 0};
  renamed.settle(CollectiveFailure{moved, 0});
}
