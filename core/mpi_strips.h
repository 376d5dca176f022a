#pragma once

#include <mpi.h>

// The reduction of zone records (five doubles each, see ZoneRecord): adds
// weightSum, valueSum and effectiveWeight of `in` to those of `inout` and
// leaves code and areaFraction of `inout` as they are.
void sumZoneRecords(void* in, void* inout, int* length, MPI_Datatype* type);
