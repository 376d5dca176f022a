#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "config/defaultini.h"
#include "core/ascii_grid_text.h"
#include "core/binary_grid_header.h"
#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "core/file_failure.h"
#include "core/netcdf_grid_reader.h"

namespace {

constexpr int openFailed = 21;
constexpr int readFailed = 22;
constexpr int closeFailed = 23;

[[noreturn]] void fail(DiagStream& diag, const std::string& message, int code) {
  diag << "FATAL: " << message << "[end-entry]";
  throw code;
}

// The reader opens and closes the file on every way out.
struct ProbedFile {
  explicit ProbedFile(const std::string& name) : file(std::fopen(name.c_str(), "rb")) {}
  ~ProbedFile() {
    if (file) std::fclose(file);
  }
  ProbedFile(const ProbedFile&) = delete;
  ProbedFile& operator=(const ProbedFile&) = delete;
  bool close() {
    FILE* f = file;
    file = nullptr;
    return std::fclose(f) == 0;
  }
  FILE* file;
};

bool readValuesFromStart(FILE* file, void* values, std::size_t size, std::size_t count) {
  return std::fseek(file, 0, SEEK_SET) == 0 && std::fread(values, size, count, file) == count;
}

} // namespace

void defaultini::readGridHeader(int& ncols, int& nrows, double& xllcorner, double& yllcorner,
                                double& cellsize, double& nodata) {
  CtrlCIgnoredScope ctrlC(CtrlCIgnoredScope::Afterwards::DefaultAction);
  std::string netcdfName = registry[1].fileName;
  prependDirectory(inputDirectory, netcdfName);
  // "file<variable>record" names a netCDF record, as for every other grid.
  const std::size_t marker = registry[1].fileName.find('<');
  std::string name = registry[1].fileName;
  if (marker != std::string::npos && marker > 0) name.resize(marker);
  prependDirectory(inputDirectory, name);
  ProbedFile probe(name);
  const int error = errno;
  if (!probe.file)
    fail(*diag, "error opening " + name + " (" + systemReason(error) + ")", openFailed);

  double* const values = binaryHeader;
  char head[4] = {};
  const bool complete = std::fread(head, 1, 4, probe.file) == 4;
  const bool ascii =
      complete && (std::memcmp(head, "ncol", 4) == 0 || std::memcmp(head, "NCOL", 4) == 0);
  const bool netcdf = complete && head[0] && head[1] && head[2] &&
                      (std::memcmp(head, "CDF", 3) == 0 || std::memcmp(head + 1, "HDF", 3) == 0);
  std::size_t binaryBytes = 0;
  if (netcdf) {
    if (name == netcdfName)
      fail(*diag,
           "the zone grid " + name +
               " is a netCDF file; name its variable and record as " + name + "<variable>0",
           readFailed);
    readNetCDFZoneHeader(netcdfName, values);
  } else if (ascii) {
    if (std::fseek(probe.file, 0, SEEK_SET) != 0) fail(*diag, "error reading " + name, readFailed);
    AsciiGridScanner scanner(probe.file, 4096);
    std::string key;
    bool nodataGiven = true;
    // Without a nodata line the model takes the nodata value of horva's grids.
    values[5] = BinaryGridHeader::requiredNodata;
    if (const int field = readAsciiGridHeaderValues(scanner, values, key, nodataGiven))
      fail(*diag,
           "error reading " + name + " (header value #" + std::to_string(field) +
               ", after the key \"" + key + "\")",
           readFailed);
  } else {
    double doubles[BinaryGridHeader::valueCount] = {};
    float floats[BinaryGridHeader::valueCount] = {};
    if (readValuesFromStart(probe.file, doubles, sizeof(double), 6) &&
        doubles[5] == BinaryGridHeader::requiredNodata) {
      if (!readValuesFromStart(probe.file, doubles, sizeof(double), BinaryGridHeader::valueCount))
        fail(*diag, "error reading double value from the header of " + name, readFailed);
      std::memcpy(values, doubles, sizeof doubles);
      binaryBytes = sizeof(double);
    } else if (readValuesFromStart(probe.file, floats, sizeof(float), 6) &&
               floats[5] == BinaryGridHeader::requiredNodata) {
      if (std::fseek(probe.file, 0, SEEK_SET) != 0)
        fail(*diag, "error reading double value #1 from the header of " + name, readFailed);
      for (int k = 0; k < BinaryGridHeader::valueCount; ++k) {
        if (std::fread(&floats[k], sizeof(float), 1, probe.file) != 1)
          fail(*diag,
               "error reading double value #" + std::to_string(k + 1) + " from the header of " +
                   name,
               readFailed);
        values[k] = floats[k];
      }
      binaryBytes = sizeof(float);
    } else {
      fail(*diag, "could not recognise file format (ascii, float or double) for " + name,
           readFailed);
    }
  }
  // The whole model rests on this header, so it is checked here rather than
  // when the first grid is allocated.
  if (const int field = invalidGridHeaderField(values) + 1)
    fail(*diag,
         "error reading " + name + ": header value #" + std::to_string(field) + " (" +
             gridHeaderFieldRule(field - 1, values[field - 1]) +
             ") gives no model grid; the sizes must be whole numbers of at least 1 and the cell "
             "size must be positive" +
             (binaryBytes ? binaryHeaderLayoutNote(name, binaryBytes, field, values[field - 1])
                          : std::string()),
         readFailed);
  if (!probe.close()) fail(*diag, "error closing grid " + name, closeFailed);

  ncols = static_cast<int>(std::floor(values[0]));
  nrows = static_cast<int>(std::floor(values[1]));
  xllcorner = values[2];
  yllcorner = values[3];
  cellsize = values[4];
  nodata = values[5];
}

void defaultini::readNetCDFZoneHeader(std::string netcdfName, double* values) {
  try {
    netcdfReader->findNetCDFGeoreference(netcdfName, values);
  } catch (const NetCDFReadFailure& failure) {
    *diag << failure.message << "[end-entry]";
    throw failure.code;
  }
  values[5] = BinaryGridHeader::requiredNodata;
}
