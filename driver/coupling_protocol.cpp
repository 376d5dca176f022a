// The driver's side of the coupling with an external program: waiting for
// its semaphore file at the start of a coupling interval, obeying its
// command, and at the end of the interval the grids, the statistics and the
// model's own semaphore file.

#include "driver/coupling_protocol.h"

#include <mpi.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "config/defaultini.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/line_reader.h"
#include "driver/modell_application.h"
#include "meteo/meteo_dates.h"

namespace {

constexpr int semaphoreWriteCode = 86;
constexpr int semaphoreReadCode = 87;

} // namespace

long couplingInterval(char gridMode, const ModelDate& date) {
  const long month = date.year * 12 + date.month;
  const long day = month * 32 + date.day;
  switch (gridMode) {
  case 'H':
    return day * 24 + date.hour;
  case 'D':
    return day;
  case 'M':
    return month;
  case 'Y':
    return date.year;
  default:
    return date.minuteIndex();
  }
}

bool sameCouplingInterval(char gridMode, const ModelDate& a, const ModelDate& b) {
  if (gridMode != 'H' && gridMode != 'D' && gridMode != 'M' && gridMode != 'Y') return false;
  return couplingInterval(gridMode, a) == couplingInterval(gridMode, b);
}

CalendarEnds calendarEndsBetween(const ModelDate& step, const ModelDate& next) {
  CalendarEnds ends;
  ends.year = next.year != step.year;
  ends.month = ends.year || next.month != step.month;
  ends.day = ends.month || next.day != step.day;
  return ends;
}

// The first step of a run and of every spin-up pass waits as well.
bool ModellApplication::couplingDue(const ModelDate& date) const {
  return !exchanged || !sameCouplingInterval(defaults->getCouplingGridMode(), date, lastExchange);
}

void ModellApplication::exchangeWithExternalProgram(const ModelDate& date) {
  const std::string step = stage;
  stage = "waiting for the external program at the step of " + formatDate(date);
  int command = 0;
  const int failure = diag->getRank() != 0 ? 0 : catchExitCode([&] {
    command = static_cast<int>(
        answerOfCommand(*diag, waitForSemaphoreFile(), defaults->getSemaphoreFileName()));
  });
  shareExitCode(*diag, failure);
  const auto answer = static_cast<RunAnswer>(agreeOnMaximum(*diag, command));
  stage = step;
  obey(answer, date);
  lastExchange = date;
  exchanged = true;
  defaults->exchangeExternalGrids(date.year, date.month, date.day, date.hour);
  externalTableDue = defaults->hasExternalGWTable();
}

// Rank 0: the first line of the semaphore file, once the file holds one.
std::string ModellApplication::waitForSemaphoreFile() {
  const std::string& name = defaults->getSemaphoreFileName();
  *diag << "INFO: waiting for the semaphore file " << name << " of the external program"
        << "[end-entry]";
  const long milliseconds = std::max(1L, defaults->getCouplingWaitInterval());
  const timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  for (;;) {
    if (std::FILE* file = std::fopen(name.c_str(), "r")) {
      std::string line;
      const LineRead read = readLine(file, line);
      std::fclose(file);
      if (read == LineRead::tooLong) {
        *diag << "FATAL: semaphore file " << name
              << " of the external program, line 1: " << lineTooLongText() << "[end-entry]";
        throw semaphoreReadCode;
      }
      if (!line.empty()) return line;
    }
    nanosleep(&pause, nullptr);
  }
}

void ModellApplication::endCouplingStep(const ModelDate& date, bool periodEnds, bool runEnds) {
  const ModelDate next = nextStepDate();
  if (!periodEnds && sameCouplingInterval(defaults->getCouplingGridMode(), date, next)) {
    defaults->accumulateCouplingStatistics();
    return;
  }
  const CalendarEnds ends = calendarEndsBetween(date, next);
  defaults->writeCouplingStatistics(date.hour, date.day, date.month, date.year, ends.day,
                                    ends.month, ends.year);
  const std::string command = runEnds ? "Finish" : defaults->getExternalSemaphoreContent();
  int failure = 0;
  if (diag->getRank() == 0) failure = catchExitCode([&] { writeModelSemaphoreFile(command); });
  shareExitCode(*diag, failure);
}

// Written under a temporary name and renamed, so that the external program
// never reads half a file.
void ModellApplication::writeModelSemaphoreFile(const std::string& command) {
  const std::string& name = defaults->getExternalSemaphoreFileName();
  const std::string temporary = name + ".tmp";
  const std::string text = "Command=" + command + "\n";
  std::FILE* file = std::fopen(temporary.c_str(), "w");
  bool written = file && std::fputs(text.c_str(), file) >= 0;
  if (file && std::fclose(file) != 0) written = false;
  if (written && std::rename(temporary.c_str(), name.c_str()) == 0) return;
  *diag << "FATAL: error writing the semaphore file " << name << " for the external program ("
        << std::strerror(errno) << ")"
        << "[end-entry]";
  throw semaphoreWriteCode;
}
