#include "core/gif_grid_reader.h"

#include <cmath>

#include "core/diag_stream.h"
#include "core/grid_resampler.h"
#include "core/modelobject.h"

namespace {

constexpr uint8_t noDataIndex = 255;
constexpr double noData = -9999.0;
// Above this index a pixel has no value, whatever the mapping parameters.
constexpr double highestMappedIndex = 250.0;

// The fixed grid that GIF input is taken to lie on when the reading module
// has not set its georeference.
constexpr double defaultGifX0 = 255000.0;
constexpr double defaultGifY0 = -160000.0;
constexpr double defaultGifCellSize = 1000.0;

// Frees the decoded image grid on every way out of the GIF branch.
struct PixelGrid {
  memory_handling& memory;
  Grid grid = nullptr;
  long rows = 0;
  long columns = 0;
  ~PixelGrid() { memory.free_matrix(grid, 1, rows, 1, columns); }
};

} // namespace

GIFReader::GIFReader(const std::string& fileNameArg) : fileName(fileNameArg) {}

void GIFReader::open() {
  if (file.is_open()) file.close();
  file.clear();
  file.open(fileName, std::ios::binary);
  if (!file) throw std::string("cannot open the file");
}

void GIFReader::readScreenSize(int& width, int& height) {
  open();
  decoder.readScreenSize(file, width, height);
  file.seekg(0, std::ios::end);
  const double bytes = static_cast<double>(file.tellg());
  file.close();
  // A code of at least 3 bits stands for at most 4096 pixels, so a file
  // cannot describe more; a forged screen size must not claim gigabytes.
  const double describable = 4096.0 * 8.0 * bytes / 3.0;
  if (static_cast<double>(width) * static_cast<double>(height) > describable)
    throw "the logical screen of " + std::to_string(width) + " x " + std::to_string(height) +
        " pixels is larger than the " + std::to_string(static_cast<long>(bytes)) +
        " bytes of the file can describe";
}

void GIFReader::decode(Grid grid) {
  open();
  decoder.decode(file, image);
  const long width = image.width;
#pragma omp parallel for schedule(runtime)
  for (long row = 1; row <= image.height; ++row) {
    const uint8_t* pixel = image.pixels.data() + (row - 1) * width;
    double* cells = grid[row];
    for (long column = 1; column <= width; ++column) {
      const uint8_t index = pixel[column - 1];
      cells[column] = index == noDataIndex ? noData : static_cast<double>(index);
    }
  }
}

void GIFReader::applyGIFMapping(Grid grid, long firstColumn, long lastColumn, long firstRow,
                                long lastRow, int threshold, double f1, double x1, double f2,
                                double x2) {
#pragma omp parallel for schedule(runtime)
  for (long row = firstRow; row <= lastRow; ++row) {
    double* cells = grid[row];
    for (long column = firstColumn; column <= lastColumn; ++column) {
      const double v = cells[column];
      if (v <= noData || v == 0.0) continue;
      if (v <= threshold)
        cells[column] = f1 * std::exp(x1 * v);
      else if (v <= highestMappedIndex)
        cells[column] = f2 * std::exp(x2 * v);
      else
        cells[column] = noData;
    }
  }
}

void modelobject::readGIFGrid(const std::string& fileName, Grid grid) {
  GIFReader reader(fileName);
  PixelGrid pixels{*this};
  try {
    int width = 0;
    int height = 0;
    reader.readScreenSize(width, height);
    pixels.grid = matrix(1, height, 1, width, height);
    pixels.rows = height;
    pixels.columns = width;
    reader.decode(pixels.grid);
  } catch (const std::string& text) {
    *diag << "FATAL: error reading GIF " << fileName << " (" << text << ")"
          << "[end-entry]";
    throw 22;
  }

  if (gifX0 == 0.0 || gifY0 == 0.0 || gifCellSize == 0.0) {
    if (gifX0 == 0.0) gifX0 = defaultGifX0;
    if (gifY0 == 0.0) gifY0 = defaultGifY0;
    if (gifCellSize == 0.0) gifCellSize = defaultGifCellSize;
    *diag << "WARNING: no complete georeference set for GIF input " << fileName << " of module "
          << moduleName << ": assuming the lower left corner at x0 = " << gifX0
          << ", y0 = " << gifY0 << " and the cell size " << gifCellSize << "[end-entry]";
  }
  GridHeader source;
  source.ncols = pixels.columns;
  source.nrows = pixels.rows;
  source.xllcorner = gifX0;
  source.yllcorner = gifY0;
  source.cellsize = gifCellSize;
  source.nodata = noData;

  GridHeader target = header;
  target.firstRow = 1;
  target.lastRow = header.nrows;
  if (!resampleToModelGrid(pixels.grid, source, grid, target, gifReferenceGrid)) {
    *diag << "FATAL: error reading GIF " << fileName << " (unusable georeference x0 = " << gifX0
          << ", y0 = " << gifY0 << ", cell size " << gifCellSize << ")"
          << "[end-entry]";
    throw 22;
  }
  GIFReader::applyGIFMapping(grid, 1, header.ncols, 1, header.nrows, gifThreshold, gifF1, gifX1,
                             gifF2, gifX2);
}
