#pragma once

#include <mpi.h>

// The MPI datatype and user operation of one reduction, freed on every way
// out of the function that made them.
struct MpiReductionHandles {
  MPI_Datatype type = MPI_DATATYPE_NULL;
  MPI_Op op = MPI_OP_NULL;

  MpiReductionHandles() = default;
  MpiReductionHandles(const MpiReductionHandles&) = delete;
  MpiReductionHandles& operator=(const MpiReductionHandles&) = delete;
  ~MpiReductionHandles() {
    if (op != MPI_OP_NULL) MPI_Op_free(&op);
    if (type != MPI_DATATYPE_NULL) MPI_Type_free(&type);
  }
};
