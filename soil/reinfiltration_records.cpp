#include "soil/reinfiltration_records.h"

#include <cstddef>

#include "core/collective_status.h"
#include "core/diag_stream.h"

void sumReinfiltrationValue(void* in, void* inout, int* count, MPI_Datatype*) {
  const auto* from = static_cast<const ReinfiltrationRecord*>(in);
  auto* to = static_cast<ReinfiltrationRecord*>(inout);
  for (int k = 0; k < *count; ++k) to[k].withdrawal += from[k].withdrawal;
}

ReinfiltrationRecords::~ReinfiltrationRecords() { release(); }

void ReinfiltrationRecords::release() {
  int finalized = 0;
  MPI_Finalized(&finalized);
  if (finalized) return;
  if (sum != MPI_OP_NULL) MPI_Op_free(&sum);
  if (type != MPI_DATATYPE_NULL) MPI_Type_free(&type);
}

void ReinfiltrationRecords::create(DiagStream& diag, int subbasins) {
  records.assign(static_cast<std::size_t>(subbasins) + 1, ReinfiltrationRecord{});
  if (type != MPI_DATATYPE_NULL) return;
  // Fifteen doubles, the first ten as one block, two ints, one double.
  int lengths[9] = {10, 1, 1, 1, 1, 1, 1, 1, 1};
  MPI_Aint displacements[9] = {0, 80, 88, 96, 104, 112, 120, 124, 128};
  MPI_Datatype types[9] = {MPI_DOUBLE, MPI_DOUBLE, MPI_DOUBLE, MPI_DOUBLE, MPI_DOUBLE,
                           MPI_DOUBLE, MPI_INT,    MPI_INT,    MPI_DOUBLE};
  static_assert(offsetof(ReinfiltrationRecord, withdrawal) == 104 &&
                    offsetof(ReinfiltrationRecord, channel) == 124 &&
                    offsetof(ReinfiltrationRecord, held) == 128,
                "the record travels with the displacements of its MPI type");
  checkMPI(diag, MPI_Type_create_struct(9, lengths, displacements, types, &type),
           "MPI_Type_create_struct of the re-infiltration records");
  checkMPI(diag, MPI_Type_commit(&type), "MPI_Type_commit of the re-infiltration records");
  checkMPI(diag, MPI_Op_create(sumReinfiltrationValue, 1, &sum),
           "MPI_Op_create of the re-infiltration sum");
}

void ReinfiltrationRecords::broadcast(DiagStream& diag) {
  if (records.empty()) return;
  checkMPI(diag,
           MPI_Bcast(records.data(), static_cast<int>(records.size()), type, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the re-infiltration records");
  // Routing has subtracted the last step's take, or nobody routes it: the
  // takes of a new step start from nothing.
  for (ReinfiltrationRecord& r : records) r.withdrawal = r.accumulator = 0.0;
}

void ReinfiltrationRecords::accumulate(unsigned substeps) {
  for (ReinfiltrationRecord& r : records) {
    r.accumulator += r.withdrawal / substeps;
    r.withdrawal = 0.0;
  }
}

void ReinfiltrationRecords::reduce(DiagStream& diag) {
  if (records.empty()) return;
  for (ReinfiltrationRecord& r : records) {
    r.withdrawal = r.accumulator;
    r.accumulator = 0.0;
  }
  int rank = 0;
  int size = 1;
  worldRankAndSize(rank, size);
  if (size < 2) return;
  const int count = static_cast<int>(records.size());
  checkMPI(diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier");
  checkMPI(diag,
           MPI_Reduce(rank == 0 ? MPI_IN_PLACE : records.data(),
                      rank == 0 ? records.data() : nullptr, count, type, sum, 0, MPI_COMM_WORLD),
           "MPI_Reduce of the re-infiltration records");
  checkMPI(diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier");
}
