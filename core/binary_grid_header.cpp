#include "core/binary_grid_header.h"

#include <cmath>
#include <filesystem>
#include <sstream>

namespace {

const char* const fieldNames[] = {"ncols", "nrows", "xllcorner", "yllcorner", "cellsize", "nodata"};

} // namespace

int invalidGridHeaderField(const double* v) {
  const auto badSize = [](double x) {
    return !(x >= 1.0 && x < 2147483648.0) || x != std::floor(x);
  };
  if (badSize(v[0])) return 0;
  if (badSize(v[1])) return 1;
  if (!std::isfinite(v[2])) return 2;
  if (!std::isfinite(v[3])) return 3;
  if (!(v[4] > 0.0) || !std::isfinite(v[4])) return 4;
  if (!std::isfinite(v[5])) return 5;
  return -1;
}

std::string gridHeaderFieldRule(int field, double value) {
  std::ostringstream text;
  text.precision(12);
  text << fieldNames[field] << " " << value;
  if (field <= 1)
    text << " is not a whole number of at least 1";
  else if (field == 4)
    text << " is not a finite number above 0";
  else
    text << " is not a finite number";
  return text.str();
}

std::string binaryHeaderLayoutNote(const std::string& fileName, std::size_t valueBytes, int field,
                                   double value) {
  std::ostringstream note;
  note << ": a binary grid is read in horva's own layout, twelve "
       << (valueBytes == sizeof(float) ? "4-byte floats" : "8-byte doubles")
       << " in front of the rows (ncols, nrows, xllcorner, yllcorner, cellsize, nodata = "
       << BinaryGridHeader::requiredNodata << " and six statistics), and its value #" << field;
  if (field >= 1 && field <= 6) note << " (" << fieldNames[field - 1] << ")";
  note << " holds " << value << ", which gives no grid";
  std::filesystem::path hdr(fileName);
  hdr.replace_extension(".hdr");
  std::error_code error;
  if (std::filesystem::exists(hdr, error))
    note << "; " << hdr.string()
         << " beside it marks a file of the EHdr layout (.bil, .flt), whose header stands in that "
            "file and not in the grid: convert it to an ASCII grid, for example with "
            "gdal_translate -of AAIGrid";
  else
    note << "; give the grid as an ASCII grid or in this layout";
  return note.str();
}
