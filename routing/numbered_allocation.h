#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "core/diag_stream.h"

// Sizes one array of a routing element, zero-filled; a failure logs
// "FATAL: " + prefix + "memory allocation error " + the array's number and
// ends the run with exit code 1.
template <typename T>
void allocateNumbered(DiagStream* diag, const char* prefix, std::vector<T>& array, std::size_t size,
                      int number) {
  try {
    array.assign(size, T{});
  } catch (const std::bad_alloc&) {
    *diag << "FATAL: " << prefix << "memory allocation error " << number << " "
          << "[end-entry]";
    throw 1;
  }
}
