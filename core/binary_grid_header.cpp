#include "core/binary_grid_header.h"

#include <filesystem>
#include <sstream>

std::string binaryHeaderLayoutNote(const std::string& fileName, std::size_t valueBytes, int field,
                                   double value) {
  static const char* const fieldNames[] = {"ncols",    "nrows",  "xllcorner",
                                           "yllcorner", "cellsize", "nodata"};
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
