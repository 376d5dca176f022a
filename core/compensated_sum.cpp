#include "core/compensated_sum.h"

void addCompensatedSums(void* in, void* inout, int* length, MPI_Datatype* /*type*/) {
  const CompensatedSum* a = static_cast<const CompensatedSum*>(in);
  CompensatedSum* b = static_cast<CompensatedSum*>(inout);
  for (int i = 0; i < *length; ++i) {
    const double s = a[i].sum + b[i].sum;
    const double bPart = s - a[i].sum;
    const double rounding = (a[i].sum - (s - bPart)) + (b[i].sum - bPart);
    b[i].error = (a[i].error + b[i].error) + rounding;
    b[i].sum = s;
  }
}

namespace {

// Frees the datatype and operation of the reduction on every way out.
struct ReductionHandles {
  MPI_Datatype type = MPI_DATATYPE_NULL;
  MPI_Op op = MPI_OP_NULL;
  ~ReductionHandles() {
    if (op != MPI_OP_NULL) MPI_Op_free(&op);
    if (type != MPI_DATATYPE_NULL) MPI_Type_free(&type);
  }
};

} // namespace

int reduceCompensatedSums(CompensatedSum* pairs, int count, bool toAll, const char*& failedCall) {
  static_assert(sizeof(CompensatedSum) == 2 * sizeof(double), "pairs travel as two doubles");
  ReductionHandles handles;
  int result = MPI_Type_contiguous(2, MPI_DOUBLE, &handles.type);
  if (result != MPI_SUCCESS) return failedCall = "MPI_Type_contiguous", result;
  result = MPI_Type_commit(&handles.type);
  if (result != MPI_SUCCESS) return failedCall = "MPI_Type_commit", result;
  result = MPI_Op_create(addCompensatedSums, 1, &handles.op);
  if (result != MPI_SUCCESS) return failedCall = "MPI_Op_create", result;
  if (toAll) {
    result = MPI_Allreduce(MPI_IN_PLACE, pairs, count, handles.type, handles.op, MPI_COMM_WORLD);
    if (result != MPI_SUCCESS) failedCall = "MPI_Allreduce";
    return result;
  }
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  result = rank == 0 ? MPI_Reduce(MPI_IN_PLACE, pairs, count, handles.type, handles.op, 0,
                                  MPI_COMM_WORLD)
                     : MPI_Reduce(pairs, nullptr, count, handles.type, handles.op, 0,
                                  MPI_COMM_WORLD);
  if (result != MPI_SUCCESS) failedCall = "MPI_Reduce";
  return result;
}
