#pragma once

#include <fstream>
#include <string>

#include "core/gif_decoder.h"
#include "core/grid_types.h"

// Reads one GIF file as a grid of colour indices and maps indices to values.
// Format errors, and a file that cannot be read, are thrown as a text
// (std::string) that the grid reader turns into its FATAL message.
class GIFReader {
public:
  explicit GIFReader(const std::string& fileName);

  // Width and height of the logical screen; opens and closes the file.
  void readScreenSize(int& width, int& height);
  // Fills rows 1..height and columns 1..width of the grid: index 255, and a
  // pixel that no image reaches, become -9999, any other index its value.
  // The file stays open until the reader is destroyed.
  void decode(Grid grid);

  // Maps colour indices (or values resampled from them) to values: 0 stays
  // 0, up to the threshold f1 * exp(x1 * v), up to 250 f2 * exp(x2 * v),
  // above 250 -9999. Cells at -9999 or below stay.
  static void applyGIFMapping(Grid grid, long firstColumn, long lastColumn, long firstRow,
                              long lastRow, int threshold, double f1, double x1, double f2,
                              double x2);

private:
  void open();

  std::string fileName;
  std::ifstream file;
  GifDecoder decoder;
  GifIndexImage image;
};
