#pragma once

#include <mpi.h>

#include <cstddef>
#include <vector>

#include "core/reinfiltration_record.h"

class DiagStream;

// The MPI reduction of the records: for each record, the amount taken
// (`withdrawal`) of `in` is added to that of `inout`; no other field
// changes.
void sumReinfiltrationValue(void* in, void* inout, int* count, MPI_Datatype* type);

// The river water of every subbasin offered for re-infiltration, records
// 0 .. subbasins: channel routing fills discharge, flow speed and the
// concentrations of the river water on rank 0, the river cells take from
// them. Within a sub-step `withdrawal` holds the rate taken so far (m^3/s);
// `accumulator` sums the sub-steps' rates into the mean rate of the step,
// which the reduction hands to rank 0's `withdrawal` for routing to
// subtract.
class ReinfiltrationRecords {
public:
  ReinfiltrationRecords() = default;
  ~ReinfiltrationRecords();
  ReinfiltrationRecords(const ReinfiltrationRecords&) = delete;
  ReinfiltrationRecords& operator=(const ReinfiltrationRecords&) = delete;

  // Zeroed records 0 .. subbasins, and the MPI type and operator that move
  // them, built once.
  void create(DiagStream& diag, int subbasins);
  bool empty() const { return records.empty(); }
  std::size_t size() const { return records.size(); }
  ReinfiltrationRecord* data() { return records.empty() ? nullptr : records.data(); }
  ReinfiltrationRecord& operator[](std::size_t i) { return records[i]; }
  const ReinfiltrationRecord& operator[](std::size_t i) const { return records[i]; }

  // Every process takes rank 0's records, with nothing taken yet.
  // Collective.
  void broadcast(DiagStream& diag);
  // Ends a sub-step: its rate joins the step's mean, and the next sub-step
  // starts with nothing taken.
  void accumulate(unsigned substeps);
  // Ends the step: each process's mean rate becomes its `withdrawal`, and
  // rank 0's `withdrawal` the sum over the processes. Collective.
  void reduce(DiagStream& diag);

private:
  void release();
  std::vector<ReinfiltrationRecord> records;
  MPI_Datatype type = MPI_DATATYPE_NULL;
  MPI_Op sum = MPI_OP_NULL;
};
