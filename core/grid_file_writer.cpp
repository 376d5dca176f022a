#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "core/ascii_grid_text.h"
#include "core/binary_grid_header.h"
#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "core/modelobject.h"
#include "core/non_finite_output.h"
#include "core/replacing_file.h"
#include "core/stack_file_format.h"

namespace {

// Text and binary data go to the file in blocks of about this size.
constexpr size_t blockBytes = 1 << 20;

} // namespace

void modelobject::refuseNonFiniteRow(const std::string& file, Grid grid, long firstRow,
                                     const long* nonFinite, long count, bool asFloat) const {
  for (long i = 0; i < count; ++i) {
    const long c = nonFinite[i];
    if (c == 0) continue;
    NonFiniteCell cell;
    cell.row = firstRow + i;
    cell.column = c;
    const double v = grid[cell.row][c];
    cell.value = asFloat ? static_cast<double>(static_cast<float>(v)) : v;
    throw reportNonFiniteOutput(*diag, file, cell.place(), cell.value, currentDate);
  }
}

void modelobject::writeGrid(const std::string& path, Grid grid, bool ascii, bool doubleGrid,
                            bool netcdf) {
  writeGridFile(path, grid, ascii, doubleGrid, netcdf, false);
}

void modelobject::writeGridMasked(const std::string& path, Grid grid, bool ascii, bool doubleGrid,
                                  bool netcdf) {
  writeGridFile(path, grid, ascii, doubleGrid, netcdf, true);
}

void modelobject::writeGridFile(const std::string& path, Grid grid, bool ascii, bool doubleGrid,
                                bool netcdf, bool masked) {
  CtrlCIgnoredScope ctrlC;
  std::string name = path;
  prependDirectory(outputDirectory, name);
  const long nrows = header.nrows;
  const long ncols = header.ncols;
  const double nodata = header.nodata;
  // Cells outside the valid columns of their row become nodata, in every
  // format: statistics grids hold zeros there.
  if (masked && rowColumnRange) {
#pragma omp parallel for schedule(runtime)
    for (long r = 1; r <= nrows; ++r) {
      if (!grid[r]) continue;
      const RowColumnRange range = rowColumnRange[r];
      double* row = grid[r];
      const long first = range.last < 1 ? ncols + 1 : std::max(1L, range.first);
      const long last = range.last < 1 ? ncols : std::min(ncols, range.last);
      for (long c = 1; c < first; ++c) row[c] = nodata;
      for (long c = last + 1; c <= ncols; ++c) row[c] = nodata;
    }
  }
  if (netcdf)
    writeNetCDFGridFile(name, grid, doubleGrid);
  else if (ascii)
    writeAsciiGridFile(name, grid, masked);
  else
    writeBinaryGridFile(name, grid, doubleGrid, masked);
}

void modelobject::writeNetCDFGridFile(const std::string& name, Grid grid, bool doubleGrid) {
  const long nrows = header.nrows;
  const long ncols = header.ncols;
  const double nodata = header.nodata;
  // Rows whose first value that is not finite (as stored) lies at nonFinite[r - 1].
  std::vector<long> nonFinite(static_cast<size_t>(nrows));
  auto columnMajor = [&](Grid from, auto* values) {
#pragma omp parallel for schedule(runtime)
    for (long r = 1; r <= nrows; ++r) {
      long& bad = nonFinite[static_cast<size_t>(r - 1)];
      bad = 0;
      for (long c = 1; c <= ncols; ++c) {
        const double v = from[r] ? from[r][c] : nodata;
        auto& stored = values[static_cast<size_t>((c - 1) * nrows + r - 1)];
        stored = static_cast<std::remove_reference_t<decltype(*values)>>(v);
        if (bad == 0 && !std::isfinite(stored)) bad = c;
      }
    }
  };
  netcdfWriter->setGeoreference(header.xllcorner, header.yllcorner, header.cellsize);
  const size_t cells = static_cast<size_t>(nrows * ncols);
  // Latitude and longitude go into the file when registry entry 1 names the
  // standard grids that hold them.
  auto coordinate = [this](int index) {
    return registry && index > 0 && index < gridRegistryLimit ? registry[index].grid : nullptr;
  };
  if (Grid latitude = coordinate(registry ? registry[1].latitudeIndex : 0)) {
    std::vector<double> values(cells);
    columnMajor(latitude, values.data());
    netcdfWriter->setLatitudeValues(std::move(values));
  }
  if (Grid longitude = coordinate(registry ? registry[1].longitudeIndex : 0)) {
    std::vector<double> values(cells);
    columnMajor(longitude, values.data());
    netcdfWriter->setLongitudeValues(std::move(values));
  }
  const std::string fileName = appendNetCDFExtension(name);
  const std::string variable = makeNetCDFVariableName(name);
  const int rows = static_cast<int>(nrows);
  const int cols = static_cast<int>(ncols);
  if (doubleGrid) {
    std::vector<double> values(cells);
    columnMajor(grid, values.data());
    refuseNonFiniteRow(fileName, grid, 1, nonFinite.data(), nrows, false);
    netcdfWriter->writeNetCDFGrid(fileName, variable, values.data(), rows, cols, nodata);
  } else {
    std::vector<float> values(cells);
    columnMajor(grid, values.data());
    refuseNonFiniteRow(fileName, grid, 1, nonFinite.data(), nrows, true);
    netcdfWriter->writeNetCDFGrid(fileName, variable, values.data(), rows, cols, nodata);
  }
}

void modelobject::writeAsciiGridFile(const std::string& name, Grid grid, bool masked) {
  const long nrows = header.nrows;
  const long ncols = header.ncols;
  ReplacingFile file(*this, *diag, name, true);
  const std::string head = asciiGridHeaderText(header);
  file.write(head.data(), head.size());
  // A row this process does not hold: "-9999", or the model's nodata when
  // masked.
  char missing[maxGridValueChars];
  const std::string_view missingText(missing, masked ? formatGridValue(header.nodata, missing)
                                                     : formatGridValue(-9999.0, missing));

  // Rows are formatted in parallel into a block of row buffers, then written
  // in order.
  const size_t rowCapacity = static_cast<size_t>(ncols) * (maxGridValueChars + 1);
  const long blockRows = std::max(1L, static_cast<long>(4 * blockBytes / rowCapacity));
  std::vector<char> text(static_cast<size_t>(std::min(blockRows, nrows)) * rowCapacity);
  std::vector<size_t> lengths(static_cast<size_t>(std::min(blockRows, nrows)));
  std::vector<long> nonFinite(lengths.size());
  for (long first = 1; first <= nrows; first += blockRows) {
    const long count = std::min(blockRows, nrows - first + 1);
#pragma omp parallel for schedule(runtime)
    for (long i = 0; i < count; ++i)
      lengths[static_cast<size_t>(i)] = formatGridRow(
          grid[first + i], ncols, missingText, text.data() + static_cast<size_t>(i) * rowCapacity,
          nonFinite[static_cast<size_t>(i)]);
    refuseNonFiniteRow(name, grid, first, nonFinite.data(), count, false);
    for (long i = 0; i < count; ++i)
      file.write(text.data() + static_cast<size_t>(i) * rowCapacity,
                 lengths[static_cast<size_t>(i)]);
  }
  file.commit();
}

void modelobject::writeBinaryGridFile(const std::string& name, Grid grid, bool doubleGrid,
                                      bool masked) {
  const long nrows = header.nrows;
  const long ncols = header.ncols;
  const double nodata = header.nodata;
  // Statistics of the held rows in row order, so that they do not depend on
  // how the grid was gathered. Cells count from the first to the last valid
  // column, weighted by "RelCellArea"; a row without valid cells counts all
  // its cells with weight 1 (none when masked).
  resetGridStatistics(nodata);
  for (long r = 1; r <= nrows; ++r) {
    const double* row = grid[r];
    if (!row) continue;
    const RowColumnRange range = rowColumnRange ? rowColumnRange[r] : RowColumnRange{1, ncols};
    const double* weights = cellWeights && range.last >= 1 ? cellWeights[r] : nullptr;
    long first = std::max(1L, range.first);
    long last = std::min(ncols, range.last);
    if (range.last < 1) {
      if (masked) continue;
      first = 1;
      last = ncols;
    }
    for (long c = first; c <= last; ++c) addToGridStatistics(row[c], weights ? weights[c] : 1.0);
  }
  BinaryGridHeader h{static_cast<double>(ncols),
                     static_cast<double>(nrows),
                     header.xllcorner,
                     header.yllcorner,
                     header.cellsize,
                     nodata};
  getGridStatistics(h.count, h.min, h.max, h.sum, h.mean, h.stddev);
  h.toValues(binaryHeader);

  ReplacingFile file(*this, *diag, name, false);
  const size_t valueBytes = doubleGrid ? sizeof(double) : sizeof(float);
  const long blockRows = std::max(1L, static_cast<long>(blockBytes / (ncols * valueBytes)));
  std::vector<double> doubles(doubleGrid ? static_cast<size_t>(blockRows * ncols) : 0);
  std::vector<float> floats(doubleGrid ? 0 : static_cast<size_t>(blockRows * ncols));
  if (doubleGrid) {
    file.write(binaryHeader, sizeof binaryHeader);
  } else {
    float values[BinaryGridHeader::valueCount];
    for (int i = 0; i < BinaryGridHeader::valueCount; ++i)
      values[i] = static_cast<float>(binaryHeader[i]);
    file.write(values, sizeof values);
  }
  std::vector<long> nonFinite(static_cast<size_t>(std::min(blockRows, nrows)));
  for (long first = 1; first <= nrows; first += blockRows) {
    const long count = std::min(blockRows, nrows - first + 1);
#pragma omp parallel for schedule(runtime)
    for (long i = 0; i < count; ++i) {
      const double* row = grid[first + i];
      const size_t at = static_cast<size_t>(i * ncols);
      long& bad = nonFinite[static_cast<size_t>(i)];
      bad = 0;
      // A float takes what a double holds only up to about 3.4e38.
      for (long c = 1; c <= ncols; ++c) {
        const double v = row ? row[c] : nodata;
        bool finite = true;
        if (doubleGrid) {
          doubles[at + c - 1] = v;
          finite = std::isfinite(v);
        } else {
          floats[at + c - 1] = static_cast<float>(v);
          finite = std::isfinite(floats[at + c - 1]);
        }
        if (!finite && bad == 0) bad = c;
      }
    }
    refuseNonFiniteRow(name, grid, first, nonFinite.data(), count, !doubleGrid);
    const size_t values = static_cast<size_t>(count * ncols);
    if (doubleGrid)
      file.write(doubles.data(), values * sizeof(double));
    else
      file.write(floats.data(), values * sizeof(float));
  }
  file.commit();
}
