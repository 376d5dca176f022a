#include "core/modelobject.h"

#include <cctype>
#include <cmath>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/control_file_text.h"
#include "core/diag_stream.h"
#include "core/file_failure.h"
#include "core/run_files.h"

modelobject::modelobject(DiagStream* diagArg, const std::string& controlFileNameArg, int /*unused*/,
                         bool writeAscii, bool writeDouble, bool writeNetCDF,
                         const std::string& inputDirectoryArg,
                         const std::string& outputDirectoryArg,
                         const std::vector<long>* cellsPerProcessArg,
                         const std::vector<HaloStrip>* haloSendListArg,
                         const std::vector<HaloStrip>* haloReceiveListArg, int driverFlagArg,
                         long driverValueArg)
    : requests(1000, MPI_REQUEST_NULL) {
  diag = diagArg;
  writeAsciiGrids = writeAscii;
  writeDoubleGrids = writeDouble;
  writeNetCDFGrids = writeNetCDF;
  inputDirectory = inputDirectoryArg;
  outputDirectory = outputDirectoryArg;
  cellsPerProcess = cellsPerProcessArg;
  haloSendList = haloSendListArg;
  haloReceiveList = haloReceiveListArg;
  driverFlag = driverFlagArg;
  driverValue = driverValueArg;
  worldRankAndSize(mpiRank, mpiSize);
  controlFileName = controlFileNameArg;
  netcdfWriter = std::make_unique<NetCDFGridWriter>(diag);
  netcdfReader = std::make_unique<NetCDFGridReader>(diag);
}

modelobject::modelobject() : requests(1000, MPI_REQUEST_NULL) {}

modelobject::~modelobject() {
  if (controlFile) std::fclose(controlFile);
}

void modelobject::appendToModelLog(const std::string& text) {
  if (mpiRank != 0) return;
  const std::string name = "modell_" + std::to_string(mpiRank) + ".log";
  std::time_t now = std::time(nullptr);
  char stamp[64];
  ctime_r(&now, stamp);
  appendOutputFile(name, std::string(stamp) + ": " + text + "\n");
}

void modelobject::setEndDate(long year, long month, long day, long hour, long minute) {
  endDate = ModelDate{minute, hour, day, month, year};
  endMinuteIndex = endDate.minuteIndex();
}

void modelobject::controlFileKeyNotFound(const std::string& what, const std::string& where) {
  *diag << "FATAL: error in control file, " << what << "; " << where << "not found!"
        << "[end-entry]";
  throw 17;
}

void modelobject::writeError(const std::string& fileName, long number) {
  // Callers come here straight from the failed call, which left its reason.
  const int error = errno;
  *diag << "FATAL: write error " << fileName << " ! (" << number << ")"
        << " (" << systemReason(error) << ")"
        << "[end-entry]";
  throw 18;
}

void modelobject::refuseControlValue(const std::string& section, const std::string& label,
                                     double value, const std::string& rule, int code) const {
  *diag << "FATAL: error in control file " << userControlFile(controlFileName) << ", section "
        << section << ": the value " << value << " of \"" << label << "\" " << rule
        << lineOfValue(label) << "; correct it in the control file"
        << "[end-entry]";
  throw code;
}

void modelobject::refuseValueText(const std::string& what, const std::string& text,
                                  const std::string& kind) const {
  *diag << "FATAL: error in control file " << userControlFile(controlFileName) << ", " << what
        << ": \"" << text << "\" is not " << kind << "; write " << kind << " there"
        << "[end-entry]";
  throw 17;
}

void modelobject::readError(const std::string& fileName, long number) {
  *diag << "FATAL: read error " << fileName << " ! (" << number << ")"
        << "[end-entry]";
  throw 19;
}

void modelobject::readError(const std::string& fileName, long number, int systemError) {
  *diag << "FATAL: read error " << fileName << " ! (" << number << ") ("
        << systemReason(systemError) << ")"
        << "[end-entry]";
  throw 19;
}

namespace {

// The conversion of a single-conversion scan format, such as "ld" of "%ld".
std::string conversionOf(const char* format) {
  const char* p = std::strchr(format, '%');
  if (!p) return "";
  ++p;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  std::string conversion;
  while (*p && std::strchr("hlLqjzt", *p)) conversion += *p++;
  if (*p) conversion += *p;
  return conversion;
}

// The conversions of a scan format in their order, such as "s", "d" of "%s%d".
std::vector<std::string> conversionsOf(const char* format) {
  std::vector<std::string> conversions;
  for (const char* p = std::strchr(format, '%'); p; p = std::strchr(p + 1, '%'))
    conversions.push_back(conversionOf(p));
  return conversions;
}

void requireConversions(const char* format, const std::vector<std::string>& expected) {
  if (conversionsOf(format) != expected)
    throw std::logic_error(std::string("scan format ") + format + " does not fit its targets");
}

void requireConversion(const char* format, std::initializer_list<const char*> allowed) {
  const std::string conversion = conversionOf(format);
  for (const char* a : allowed)
    if (conversion == a) return;
  throw std::logic_error(std::string("scan format ") + format + " does not fit its target");
}

// Section names are short; a longer first word is no section name.
constexpr size_t maxSectionNameChars = 2400;

// The section and the line (from 1) of a position of a control file.
struct ControlFilePlace {
  std::string section;
  long line = 1;
};

ControlFilePlace locateInControlFile(FILE* file, long position) {
  ControlFilePlace place;
  std::string firstWord;
  bool inFirstWord = true;
  if (position >= 0 && std::fseek(file, 0, SEEK_SET) == 0) {
    for (long i = 0; i < position; ++i) {
      const int c = std::getc(file);
      if (c == EOF) break;
      if (c == '\n') {
        if (!firstWord.empty() && firstWord[0] == '[') place.section = firstWord;
        firstWord.clear();
        inFirstWord = true;
        ++place.line;
      } else if (std::isspace(c)) {
        inFirstWord = firstWord.empty();
      } else if (inFirstWord && firstWord.size() < maxSectionNameChars) {
        firstWord += static_cast<char>(c);
      }
    }
  }
  return place;
}

// "[section], line N of file reads \"word\"" for the word at a position of a
// control file.
std::string placeInControlFile(FILE* file, const std::string& fileName, long position,
                               const std::string& word) {
  const ControlFilePlace place = locateInControlFile(file, position);
  return place.section + ", " + controlFileLine(fileName, place.line) + " reads \"" + word + "\"";
}

} // namespace

// " (line N of file)" for the value read under description, from the copy
// of the control file, which opens again at any time.
std::string modelobject::lineOfValue(const std::string& description) const {
  const auto found = valueStarts.find(description);
  if (found == valueStarts.end()) return "";
  FILE* file = openControlFile(controlFileName);
  if (!file) return "";
  std::string place;
  std::string word;
  if (std::fseek(file, found->second, SEEK_SET) == 0 && readControlWordFrom(file, word)) {
    const long at = std::ftell(file) - static_cast<long>(word.size());
    place = " (" + controlFileLine(controlFileName, locateInControlFile(file, at).line) + ")";
  }
  std::fclose(file);
  return place;
}

int modelobject::readControlValue(FILE* file, const char* format, int& target,
                                  const std::string& description, std::string& rest) {
  requireConversion(format, {"d", "i"});
  return scanControlValue(
      file, [&] { return std::fscanf(file, format, &target); }, true, description, rest);
}

int modelobject::readControlValue(FILE* file, const char* format, long& target,
                                  const std::string& description, std::string& rest) {
  requireConversion(format, {"ld", "li"});
  return scanControlValue(
      file, [&] { return std::fscanf(file, format, &target); }, true, description, rest);
}

int modelobject::readControlValue(FILE* file, const char* format, double& target,
                                  const std::string& description, std::string& rest) {
  requireConversion(format, {"lf", "le", "lg"});
  const long start = file ? std::ftell(file) : -1;
  const int count = scanControlValue(
      file, [&] { return std::fscanf(file, format, &target); }, true, description, rest);
  requireFinite(file, start, {target}, description);
  return count;
}

int modelobject::readControlValue(FILE* file, const char* format, std::string& target,
                                  const std::string& description, std::string& rest) {
  requireConversion(format, {"s"});
  return scanControlValue(
      file, [&] { return readControlWordFrom(file, target) ? 1 : 0; }, false, description, rest);
}

int modelobject::scanControlValue(FILE* file, const std::function<int()>& scan, bool number,
                                  const std::string& description, std::string& rest) {
  const long start = file ? std::ftell(file) : -1;
  lastValueFile = file;
  lastValueStart = start;
  noteValuePlace(description, file, start);
  const int count = file ? scan() : 0;
  if (count == 1 && number) requireWholeNumber(file, start, description);
  if (count != 1) {
    *diag << "--> In ."
          << "\n"
          << "  Next line in Horva control file: "
          << "[end-entry]";
    std::string next;
    if (file) readControlWordFrom(file, next);
    if (next.size() > 1007) next.resize(1007);
    *diag << next << "[end-entry]";
    refuseUnreadValue(file, start, description);
  }
  readRestOfLine(file, rest);
  return count;
}

void modelobject::refuseLastControlValue(const std::string& label, double value,
                                         const std::string& rule, int code) {
  std::string word;
  FILE* file = lastValueFile;
  long at = -1;
  if (file && lastValueStart >= 0 && std::fseek(file, lastValueStart, SEEK_SET) == 0 &&
      readControlWordFrom(file, word))
    at = std::ftell(file) - static_cast<long>(word.size());
  refuseValueAt(file, at, label, value, rule, code, " reads \"" + word + "\"");
}

void modelobject::refuseControlValueAt(FILE* file, long position, const std::string& label,
                                       double value, const std::string& rule, int code) {
  refuseValueAt(file, position, label, value, rule, code, "");
}

void modelobject::refuseValueAt(FILE* file, long position, const std::string& label, double value,
                                const std::string& rule, int code, const std::string& reads) {
  std::string where;
  // The value itself, not the line end before it.
  int c = EOF;
  if (file && position >= 0 && std::fseek(file, position, SEEK_SET) == 0)
    while ((c = std::getc(file)) != EOF && std::isspace(c)) ++position;
  if (c != EOF) {
    const long line = locateInControlFile(file, position).line;
    where = " (" + controlFileLine(controlFileName, line) + reads + ")";
  }
  *diag << "FATAL: error in control file " << userControlFile(controlFileName) << ", section "
        << sectionHeader << ": the value " << value << " of \"" << label << "\" " << rule << where
        << "; correct it in the control file"
        << "[end-entry]";
  throw code;
}

// The word that stands where a value was expected, with its line and
// section: without them "nan" or a word in a long section is hard to find.
void modelobject::refuseUnreadValue(FILE* file, long start, const std::string& description) {
  std::string word;
  if (!file || start < 0 || std::fseek(file, start, SEEK_SET) != 0 ||
      !readControlWordFrom(file, word))
    controlFileKeyNotFound(description, "(EOF)");
  const long at = std::ftell(file) - static_cast<long>(word.size());
  controlFileKeyNotFound(description, placeInControlFile(file, controlFileName, at, word) + ": ");
  throw 17; // the report is virtual; an override that returns must not let the reader go on
}

void modelobject::requireWholeNumber(FILE* file, long start, const std::string& description) {
  const int next = std::getc(file);
  if (next == EOF || std::isspace(next)) {
    if (next != EOF) std::ungetc(next, file);
    return;
  }
  // The word that holds the glued character: the words from start on up to
  // the first that ends behind it.
  const long glued = std::ftell(file) - 1;
  std::string word;
  long end = start;
  if (start >= 0 && std::fseek(file, start, SEEK_SET) == 0)
    while (end >= 0 && end <= glued && readControlWordFrom(file, word)) end = std::ftell(file);
  controlFileKeyNotFound(
      description,
      placeInControlFile(file, controlFileName, end - static_cast<long>(word.size()), word) + ": ");
}

int modelobject::readControlValuePair(FILE* file, const char* format, long& first, long& second,
                                      const std::string& description, std::string& rest) {
  return scanControlNumberPair(
      file, [&] { return std::fscanf(file, format, &first, &second); }, description, rest);
}

int modelobject::readControlValuePair(FILE* file, const char* format, double& first, double& second,
                                      const std::string& description, std::string& rest) {
  const long start = file ? std::ftell(file) : -1;
  const int count = scanControlNumberPair(
      file, [&] { return std::fscanf(file, format, &first, &second); }, description, rest);
  requireFinite(file, start, {first, second}, description);
  return count;
}

void modelobject::requireFinite(FILE* file, long start, std::initializer_list<double> values,
                                const std::string& description) {
  int k = 0;
  for (double v : values) {
    if (!std::isfinite(v)) break;
    ++k;
  }
  if (k == static_cast<int>(values.size())) return;
  std::string word;
  long at = start;
  if (start >= 0 && std::fseek(file, start, SEEK_SET) == 0)
    for (int i = 0; i <= k && readControlWordFrom(file, word); ++i)
      at = std::ftell(file) - static_cast<long>(word.size());
  *diag << "FATAL: error in control file, " << description << ": "
        << placeInControlFile(file, controlFileName, at, word)
        << ", which is not a finite number; write a number within the range of the value"
        << "[end-entry]";
  throw 17;
}

int modelobject::scanControlNumberPair(FILE* file, const std::function<int()>& scan,
                                       const std::string& description, std::string& rest) {
  const long start = file ? std::ftell(file) : -1;
  lastValueFile = file;
  lastValueStart = start;
  const int count = file ? scan() : 0;
  if (count != 2) {
    // Name the second word when the first was read.
    long second = start;
    std::string first;
    if (count == 1 && std::fseek(file, start, SEEK_SET) == 0 && readControlWordFrom(file, first))
      second = std::ftell(file);
    refuseUnreadValue(file, second, description);
  }
  requireWholeNumber(file, start, description);
  readRestOfLine(file, rest);
  return count;
}

int modelobject::readControlValuePair(FILE* file, const char* format, std::string& first,
                                      int& second, const std::string& description,
                                      std::string& rest) {
  requireConversions(format, {"s", "d"});
  int count = file && readControlWordFrom(file, first) ? 1 : 0;
  const long start = file ? std::ftell(file) : -1;
  if (count == 1) count += std::fscanf(file, "%d", &second) == 1 ? 1 : 0;
  if (count != 2) refuseUnreadValue(file, start, description);
  requireWholeNumber(file, start, description);
  readRestOfLine(file, rest);
  return count;
}

int modelobject::seekSection(const std::string& section, bool required) {
  bool endOfFile = controlFile == nullptr;
  if (controlFile) {
    std::rewind(controlFile);
    std::string word;
    std::string rest;
    while (word != section) {
      if (!readControlWordFrom(controlFile, word)) {
        endOfFile = true;
        break;
      }
      readRestOfLine(controlFile, rest);
    }
  }
  if (endOfFile && required) controlFileKeyNotFound(section, "(EOF)");
  return endOfFile ? 0 : 1;
}

void modelobject::resetGridStatistics(double nodata) {
  gridStatistics = GridStatistics{};
  gridStatistics.nodata = nodata;
}

void modelobject::addToGridStatistics(double value, double weight) {
  GridStatistics& s = gridStatistics;
  if (!(value > s.nodata + 1)) return;
  s.count += weight;
  s.sum += value * weight;
  s.sumOfSquares += value * value * weight;
  if (s.count == 1.0) {
    s.minimum = s.maximum = value;
  } else if (value < s.minimum) {
    s.minimum = value;
  } else if (value > s.maximum) {
    s.maximum = value;
  }
}

void modelobject::getGridStatistics(double& count, double& minimum, double& maximum, double& sum,
                                    double& mean, double& deviation) {
  const GridStatistics& s = gridStatistics;
  count = s.count;
  minimum = s.minimum;
  maximum = s.maximum;
  sum = s.sum;
  mean = s.count > 0 ? s.sum / s.count : -9999.0;
  if (s.count <= 2) {
    deviation = -9999.0;
  } else {
    deviation = (s.sumOfSquares - s.sum * s.sum / s.count) / (s.count - 1);
    if (deviation > 0) deviation = std::sqrt(deviation);
  }
}

double modelobject::interpolateLinear(double x0, double y0, double x1, double y1, double x) const {
  if (x1 - x0 == 0) return y0;
  return (x - x0) / (x1 - x0) * y1 + (x1 - x) / (x1 - x0) * y0;
}

void modelobject::releaseModule() {
  if (diag) *diag << "DEBUG: deleting module " << moduleName << "[end-entry]";
  // A grid may outlive the module that checks it.
  if (registry)
    for (int i = 1; i < gridRegistryLimit; ++i)
      for (std::vector<GridReadAction>* actions : {&registry[i].valueChecks, &registry[i].rebuilds})
        actions->erase(std::remove_if(actions->begin(), actions->end(),
                                      [this](const GridReadAction& a) { return a.owner == this; }),
                       actions->end());
  netcdfReader.reset(); // closes its files
  netcdfWriter.reset();
}

void modelobject::prependDirectory(const std::string& prefix, std::string& name) {
  if (prefix.empty() || name.empty() || name[0] == '/' || name[0] == '~') return;
  name = prefix + name;
}

bool modelobject::initialStateFileExists(const std::string& name) {
  std::string path = name;
  prependDirectory(inputDirectory, path);
  int found = 0;
  if (mpiRank == 0) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    found = file ? 1 : 0;
    if (file) std::fclose(file);
  }
  checkMPI(*diag, MPI_Bcast(&found, 1, MPI_INT, 0, MPI_COMM_WORLD), "MPI_Bcast");
  return found != 0;
}

void modelobject::setGIFGeoreference(Grid referenceGrid, double x0, double y0, double cellSize) {
  gifReferenceGrid = referenceGrid;
  gifX0 = x0;
  gifY0 = y0;
  gifCellSize = cellSize;
}
