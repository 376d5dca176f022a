#pragma once

#include <mpi.h>

#include <cmath>

// Sums that come out the same however the added values are divided among
// the processes and in what order they arrive: each sum carries the rounding
// error of its additions (Neumaier), and the reduction over processes adds
// the pairs with the rounding of the addition taken exactly.

// Adds value to sum; error collects what rounding drops from sum.
inline void addCompensated(double& sum, double& error, double value) {
  const double t = sum + value;
  error += std::fabs(sum) >= std::fabs(value) ? (sum - t) + value : (value - t) + sum;
  sum = t;
}

// The sum with its rounding error put back; an overflow stays as it is.
inline double folded(double sum, double error) { return std::isfinite(sum) ? sum + error : sum; }

// A sum and its rounding error, the unit of the reduction over processes.
struct CompensatedSum {
  double sum = 0.0;
  double error = 0.0;

  void add(double value) { addCompensated(sum, error, value); }
  double value() const { return folded(sum, error); }
};

// MPI user operation over CompensatedSum pairs (a datatype of two doubles):
// adds the pairs of `in` to those of `inout`. Commutative.
void addCompensatedSums(void* in, void* inout, int* length, MPI_Datatype* type);

// Reduces `count` pairs over MPI_COMM_WORLD with addCompensatedSums, in
// place: to rank 0 alone, or with toAll to every process. Returns
// MPI_SUCCESS or the code of the first failing call, whose name goes to
// `failedCall`. Collective.
int reduceCompensatedSums(CompensatedSum* pairs, int count, bool toAll, const char*& failedCall);
