#pragma once

#include <functional>
#include <string>
#include <vector>

// The bytes of a binary stack file as they must come out: the twelve header
// values, then levels 0..lastLevel of every cell in row order, all of type T.
template <typename T>
std::string expectedBinaryStack(long ncols, long nrows, double xll, double yll, double cellsize,
                                double nodata, long lastLevel,
                                const std::function<double(long, long, long)>& value) {
  std::vector<T> values = {static_cast<T>(ncols),
                           static_cast<T>(nrows),
                           static_cast<T>(xll),
                           static_cast<T>(yll),
                           static_cast<T>(cellsize),
                           static_cast<T>(nodata),
                           0,
                           0,
                           0,
                           0,
                           0,
                           static_cast<T>(lastLevel)};
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c)
      for (long l = 0; l <= lastLevel; ++l) values.push_back(static_cast<T>(value(r, c, l)));
  return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
}
