#include "meteo/station_file.h"

#include <mpi.h>

#include <fstream>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/earth_bounds.h"
#include "core/line_reader.h"
#include "core/string_helpers.h"
#include "core/time_series_file.h"
#include "meteo/meteo_dates.h"
#include "meteo/section_lines.h"

namespace {

constexpr int openFailedCode = 67;
constexpr int formatCode = 68;
constexpr int dateCode = 69;
// Memory budget of the reader's block of lines.
constexpr long readerBufferBytes = 1000000;

std::string elevationRange() {
  char text[64];
  std::snprintf(text, sizeof text, "%g ... %g m", lowestElevation, highestElevation);
  return text;
}

struct CoordinateLine {
  const char* word;
  const char* axis; // singular
  long line = 0;
  std::vector<double> values;
};

bool startsWithDigit(const std::string& line) {
  return !line.empty() && line[0] >= '0' && line[0] <= '9';
}

} // namespace

StationFile::StationFile(DiagStream& diagArg, const Settings& settingsArg)
    : diag(diagArg), settings(settingsArg) {
  checkMPI(diag, MPI_Comm_rank(MPI_COMM_WORLD, &rank), "MPI_Comm_rank");
  const int code = rank == 0 ? catchExitCode([&] { check(); }) : 0;
  shareExitCode(diag, code);
  shareStations();
}

StationFile::~StationFile() = default;

void StationFile::fail(int code, long line, const std::string& what) {
  diag << "FATAL: station file " << settings.path;
  if (line > 0) diag << ", line " << line;
  diag << " (interpolation of " << settings.variable << "): " << what << "[end-entry]";
  throw code;
}

void StationFile::check() {
  std::ifstream in(settings.path, std::ios::binary);
  if (!in) {
    diag << "FATAL: cannot open the station file " << settings.path << " for the interpolation of "
         << settings.variable << "[end-entry]";
    throw openFailedCode;
  }
  CoordinateLine coordinates[3] = {
      {"X", "x coordinate", 0, {}}, {"Y", "y coordinate", 0, {}}, {"Z", "elevation", 0, {}}};
  std::vector<std::string> names;
  long columnLine = 0;
  std::size_t dateFields = 4;
  bool inData = false;
  bool startFound = false;
  bool endReached = false;
  long lineNumber = 0;
  long record = 0;
  long previousLine = 0;
  ModelDate previous;
  const ModelDate& start = settings.start;
  std::string line;
  for (LineRead read; !endReached && (read = readLine(in, line)) != LineRead::end;) {
    ++lineNumber;
    if (read == LineRead::tooLong) fail(formatCode, lineNumber, lineTooLongText());
    const std::vector<std::string> words = splitWords(line);
    if (!inData && !startsWithDigit(line)) {
      if (words.empty()) continue;
      for (CoordinateLine& c : coordinates) {
        if (words[0] != c.word) continue;
        if (c.line > 0)
          fail(formatCode, lineNumber,
               std::string("a second \"") + c.word + "\" line (the first is line " +
                   std::to_string(c.line) + ")");
        c.line = lineNumber;
        for (std::size_t i = 1; i < words.size(); ++i) {
          double value = 0.0;
          if (!parseNumber(words[i], value))
            fail(formatCode, lineNumber,
                 std::string("the ") + c.axis + " of station " + std::to_string(i) + " \"" +
                     words[i] + "\" is not a number");
          if (c.word[0] == 'Z' && !(value >= lowestElevation && value <= highestElevation))
            fail(formatCode, lineNumber,
                 "the elevation of station " + std::to_string(i) + " is " + words[i] +
                     ", which must be " + elevationRange());
          c.values.push_back(value);
        }
      }
      if (words[0] != "YY") continue;
      if (columnLine > 0)
        fail(formatCode, lineNumber,
             "a second column line (the first is line " + std::to_string(columnLine) + ")");
      if (words.size() < 4 || words[1] != "MM" || words[2] != "DD" || words[3] != "HH")
        fail(formatCode, lineNumber,
             "the column line must begin with \"YY MM DD HH\", optionally followed by \"mm\"");
      columnLine = lineNumber;
      dateFields = words.size() > 4 && words[4] == "mm" ? 5 : 4;
      names.assign(words.begin() + static_cast<long>(dateFields), words.end());
      if (names.empty()) fail(formatCode, lineNumber, "the column line names no station");
      continue;
    }
    if (!inData) {
      inData = true;
      if (columnLine == 0)
        fail(formatCode, lineNumber,
             "data before the column line \"YY MM DD HH [mm] name1 ... nameS\"");
      for (const CoordinateLine& c : coordinates) {
        const bool needed = c.word[0] != 'Z' || settings.needsElevation;
        if (c.line == 0 && needed)
          fail(formatCode, columnLine,
               std::string("no \"") + c.word + "\" line with the " + c.axis +
                   "s of the stations before the column line");
        if (c.line > 0 && c.values.size() != names.size())
          fail(formatCode, c.line,
               std::to_string(c.values.size()) + " " + c.axis + "s for " +
                   std::to_string(names.size()) + " stations");
      }
    }
    if (words.empty()) continue;
    if (words.size() != dateFields + names.size()) {
      const long values = static_cast<long>(words.size()) - static_cast<long>(dateFields);
      fail(formatCode, lineNumber,
           std::to_string(values < 0 ? 0 : values) + " values for " + std::to_string(names.size()) +
               " stations");
    }
    long field[5] = {0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < dateFields; ++i)
      if (!parseWholeNumber(words[i], field[i]))
        fail(formatCode, lineNumber,
             "the date field \"" + words[i] + "\" (column " + std::to_string(i + 1) +
                 ") is not a whole number");
    for (std::size_t j = 0; j < names.size(); ++j) {
      double value = 0.0;
      if (!parseNumber(words[dateFields + j], value))
        fail(formatCode, lineNumber,
             "the value \"" + words[dateFields + j] + "\" of station " + names[j] + " (column " +
                 std::to_string(dateFields + j + 1) + ") is not a number");
    }
    const ModelDate date{field[4], field[3], field[2], field[1], field[0]};
    if (!isCalendarDate(date))
      fail(dateCode, lineNumber, "the date " + formatDate(date) + " does not exist");
    if (previousLine > 0 && absoluteMinutes(date) - absoluteMinutes(previous) != settings.timeStep)
      fail(dateCode, lineNumber,
           "the date " + formatDate(date) + " does not follow the date " + formatDate(previous) +
               " of line " + std::to_string(previousLine) + " by the time step of " +
               std::to_string(settings.timeStep) + " minutes");
    if (!startFound) {
      if (sameDate(date, start)) {
        startFound = true;
        startRecord = record;
      } else if (date.minuteIndex() > start.minuteIndex()) {
        fail(dateCode, lineNumber,
             "the start date " + formatDate(start) + " is not in the file (this line holds " +
                 formatDate(date) + "); [model_time] sets the start");
      }
    }
    endReached = startFound && date.minuteIndex() >= settings.end.minuteIndex();
    previous = date;
    previousLine = lineNumber;
    ++record;
  }
  if (in.bad()) fail(formatCode, lineNumber + 1, "the line cannot be read");
  if (!inData) fail(formatCode, 0, "the file holds no data line");
  if (!startFound)
    fail(dateCode, previousLine,
         "the start date " + formatDate(start) + " is not in the file, which ends with " +
             formatDate(previous) + "; [model_time] sets the start");
  if (!endReached)
    fail(dateCode, previousLine,
         "the file ends with the date " + formatDate(previous) + " before the end date " +
             formatDate(settings.end));
  x = coordinates[0].values;
  y = coordinates[1].values;
  z = coordinates[2].line > 0 ? coordinates[2].values : std::vector<double>(names.size(), -9999.0);
}

void StationFile::shareStations() {
  long count = stationCount();
  checkMPI(diag, MPI_Bcast(&count, 1, MPI_LONG, 0, MPI_COMM_WORLD), "MPI_Bcast of the stations");
  x.resize(static_cast<std::size_t>(count));
  y.resize(static_cast<std::size_t>(count));
  z.resize(static_cast<std::size_t>(count));
  for (std::vector<double>* v : {&x, &y, &z})
    checkMPI(diag, MPI_Bcast(v->data(), static_cast<int>(count), MPI_DOUBLE, 0, MPI_COMM_WORLD),
             "MPI_Bcast of the stations");
}

void StationFile::openReader() {
  reader = std::make_unique<TimeSeriesFile>(&diag);
  reader->open(settings.path, 0, readerBufferBytes);
  if (reader->getState() == 3) {
    diag << "FATAL: cannot open the station file " << settings.path << " for the interpolation of "
         << settings.variable << "[end-entry]";
    throw openFailedCode;
  }
  if (reader->getState() == 5 || reader->getValueColumns() != stationCount())
    fail(formatCode, 0, "the file changed after it was checked");
  for (long k = 0; k < startRecord; ++k) reader->next();
}

void StationFile::read(const ModelDate& date, std::vector<double>& values) {
  const long n = stationCount();
  values.resize(static_cast<std::size_t>(n));
  const int code = rank != 0 ? 0 : catchExitCode([&] {
    if (!reader) openReader();
    if (reader->getState() == 5) fail(formatCode, 0, "the file cannot be read any further");
    int year, month, day, hour, minute;
    reader->getDate(year, month, day, hour, minute);
    const ModelDate found{minute, hour, day, month, year};
    if (reader->getState() == 4 || !sameDate(found, date))
      fail(dateCode, 0, "no line for the date " + formatDate(date));
    for (long s = 0; s < n; ++s) values[static_cast<std::size_t>(s)] = reader->getValue(s);
    reader->next();
  });
  shareExitCode(diag, code);
  checkMPI(diag, MPI_Bcast(values.data(), static_cast<int>(n), MPI_DOUBLE, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the station values");
}

void StationFile::rewind() { reader.reset(); }
