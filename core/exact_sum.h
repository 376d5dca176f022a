#pragma once

#include <mpi.h>

#include <cstdint>

// A sum of doubles held exactly, as a fixed-point integer of 32-bit digits
// from 2^-160 up: it comes out the same to the last bit however the added
// values are divided among the processes and threads and in what order they
// arrive, where sums with rounding errors (even compensated ones) differ in
// their last bits. Each value is cut off below 2^-160; values of 2^100 and
// more, infinities and NaN are added plainly beside it.
class ExactSum {
public:
  void add(double value);
  // Adds another sum, exactly.
  void add(const ExactSum& other);
  // The sum, rounded once to the nearest double.
  double value() const;
  void clear() { *this = ExactSum{}; }

private:
  static constexpr int digitCount = 9;
  static constexpr int fractionDigits = 5; // digits below 2^0
  // Each add leaves a digit below 2^32 more; carries are passed up before
  // a digit could overflow.
  static constexpr std::int64_t addsBeforeCarry = std::int64_t{1} << 30;

  void carry();

  std::int64_t digits[digitCount] = {};
  std::int64_t adds = 0;
  double beyond = 0.0;
};

// Reduces `count` sums over MPI_COMM_WORLD, in place: to rank 0 alone, or
// with toAll to every process. Returns MPI_SUCCESS or the code of the first
// failing call, whose name goes to `failedCall`. Collective.
int reduceExactSums(ExactSum* sums, int count, bool toAll, const char*& failedCall);
