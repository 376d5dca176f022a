#include "core/exact_sum.h"

#include <cmath>
#include <cstring>
#include <type_traits>

#include "core/mpi_reduction_handles.h"

namespace {

constexpr std::int64_t digitMask = 0xffffffff;

} // namespace

void ExactSum::add(double value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  const unsigned exponent = static_cast<unsigned>(bits >> 52) & 0x7ff;
  if (exponent >= 1023 + 100) {
    beyond += value;
    return;
  }
  // value = +-mantissa * 2^(exponent - 1075); the bit of the mantissa's unit
  // counted from 2^-160. Zero, subnormal and other values below 2^-213 add
  // nothing.
  if (exponent < 1075 - 32 * fractionDigits - 52) return;
  std::uint64_t mantissa = (bits & ((std::uint64_t{1} << 52) - 1)) | std::uint64_t{1} << 52;
  unsigned shift = 0;
  if (exponent >= 1075 - 32 * fractionDigits)
    shift = exponent - (1075 - 32 * fractionDigits);
  else
    mantissa >>= (1075 - 32 * fractionDigits) - exponent;
  const unsigned d = shift / 32, b = shift % 32;
  const std::uint64_t low = mantissa << b;
  const std::uint64_t high = (mantissa >> 1) >> (63 - b);
  std::int64_t* at = digits + d;
  if (bits >> 63) {
    at[0] -= static_cast<std::int64_t>(low & digitMask);
    at[1] -= static_cast<std::int64_t>(low >> 32);
    at[2] -= static_cast<std::int64_t>(high);
  } else {
    at[0] += static_cast<std::int64_t>(low & digitMask);
    at[1] += static_cast<std::int64_t>(low >> 32);
    at[2] += static_cast<std::int64_t>(high);
  }
  if (++adds == addsBeforeCarry) carry();
}

void ExactSum::add(const ExactSum& other) {
  // Carried first, so that a digit of either side near its limit cannot
  // overflow in the addition.
  carry();
  for (int i = 0; i < digitCount; ++i) digits[i] += other.digits[i];
  beyond += other.beyond;
  carry();
}

// Every digit but the top one into [0, 2^32), the rest passed up; the top
// digit keeps the sign.
void ExactSum::carry() {
  for (int i = 0; i + 1 < digitCount; ++i) {
    const std::int64_t low = digits[i] & digitMask;
    digits[i + 1] += (digits[i] - low) / (digitMask + 1);
    digits[i] = low;
  }
  adds = 0;
}

double ExactSum::value() const {
  ExactSum s = *this;
  s.carry();
  const bool negative = s.digits[digitCount - 1] < 0;
  if (negative) {
    for (std::int64_t& d : s.digits) d = -d;
    s.carry();
  }
  int top = digitCount - 1;
  while (top >= 0 && s.digits[top] == 0) --top;
  if (top < 0) return beyond;
  // The 64 bits from the highest set one, and whether any bit below them is
  // set, round to nearest (even) in one conversion.
  int length = 0;
  while (length < 63 && (s.digits[top] >> length) > 1) ++length;
  const int highest = 32 * top + length; // bit index of the highest set bit
  std::uint64_t window = 0;
  bool sticky = false;
  for (int i = top; i >= 0; --i) {
    const std::uint64_t d = static_cast<std::uint64_t>(s.digits[i]);
    const int at = 32 * i - (highest - 63); // where the digit's bit 0 lands
    if (at >= 0) {
      window |= d << at;
    } else if (at > -64) {
      window |= d >> -at;
      sticky = sticky || (d & ((std::uint64_t{1} << -at) - 1)) != 0;
    } else {
      sticky = sticky || d != 0;
    }
  }
  if (sticky) window |= 1;
  const double magnitude =
      std::ldexp(static_cast<double>(window), highest - 63 - 32 * fractionDigits);
  return (negative ? -magnitude : magnitude) + beyond;
}

namespace {

static_assert(std::is_trivially_copyable<ExactSum>::value, "sums travel as bytes");

void addExactSums(void* in, void* inout, int* length, MPI_Datatype* /*type*/) {
  const ExactSum* a = static_cast<const ExactSum*>(in);
  ExactSum* b = static_cast<ExactSum*>(inout);
  for (int i = 0; i < *length; ++i) b[i].add(a[i]);
}

} // namespace

int reduceExactSums(ExactSum* sums, int count, bool toAll, const char*& failedCall) {
  MpiReductionHandles handles;
  int result = MPI_Type_contiguous(static_cast<int>(sizeof(ExactSum)), MPI_BYTE, &handles.type);
  if (result != MPI_SUCCESS) return failedCall = "MPI_Type_contiguous", result;
  result = MPI_Type_commit(&handles.type);
  if (result != MPI_SUCCESS) return failedCall = "MPI_Type_commit", result;
  result = MPI_Op_create(addExactSums, 1, &handles.op);
  if (result != MPI_SUCCESS) return failedCall = "MPI_Op_create", result;
  if (toAll) {
    result = MPI_Allreduce(MPI_IN_PLACE, sums, count, handles.type, handles.op, MPI_COMM_WORLD);
    if (result != MPI_SUCCESS) failedCall = "MPI_Allreduce";
    return result;
  }
  int rank = 0;
  result = MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (result != MPI_SUCCESS) return failedCall = "MPI_Comm_rank", result;
  result = rank == 0
               ? MPI_Reduce(MPI_IN_PLACE, sums, count, handles.type, handles.op, 0, MPI_COMM_WORLD)
               : MPI_Reduce(sums, nullptr, count, handles.type, handles.op, 0, MPI_COMM_WORLD);
  if (result != MPI_SUCCESS) failedCall = "MPI_Reduce";
  return result;
}
