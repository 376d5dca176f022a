#pragma once

#include <mpi.h>

#include <string>
#include <vector>

#include "core/collective_status.h"

class DiagStream;

// A file that every process writes its own parts of with MPI-IO, at their
// places, in one collective write: binary stacks and the ASCII output grids
// and stacks. The file is written under a temporary name and moved into
// place only once complete, so that a failed write never leaves a file that
// looks valid.

// Blocks of the file that this process writes, in file order: where each
// begins, in values of the file's type from the start of the file, and how
// many values it has. Blocks that meet merge.
struct FileBlocks {
  std::vector<int> lengths;
  std::vector<MPI_Aint> starts;
  long values = 0;
  bool tooLong = false;

  void add(long start, long length);
};

// One collective write: the file, what it holds ("stack" or "grid") for the
// messages, and this process's first failure, logged where it happens.
struct CollectiveWrite {
  DiagStream& diag;
  const std::string& name;
  const char* what;
  int code = 0;

  void mpiCall(int result, const char* call, int failureCode);
  // One write call takes at most INT_MAX values.
  void checkFits(const FileBlocks& blocks, int rank);
  // After a failure anywhere every process throws the same code; those that
  // did not fail themselves say where it happened.
  void settle(const CollectiveFailure& failure) const;
};

// Writes the blocks of every process from its buffer, which holds their
// values one after the other, into the file at path (the same on every
// process), sizes it to fileBytes and moves it into place. A failure of this
// process noted in write.code before the call ends the write on every
// process before anything is written. Few long blocks are written
// independently, many short ones in one collective write. Collective over
// MPI_COMM_WORLD.
void writeFileBlocks(CollectiveWrite& write, const std::string& path, const FileBlocks& blocks,
                     const void* buffer, MPI_Datatype valueType, MPI_Offset fileBytes,
                     bool independent);

// Rank 0's last step of a write of its own: renames the complete temporary
// file to its real name; a failure removes it and ends with code 27.
void movePartialFileIntoPlace(DiagStream& diag, const std::string& partial,
                              const std::string& name);
