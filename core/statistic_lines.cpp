#include "core/statistic_lines.h"

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "core/ascii_grid_text.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/line_reader.h"
#include "core/state_numbers.h"
#include "core/zonal_statistic.h"

namespace {

constexpr int stateFileCode = 64;

std::vector<zonalstatistic*>& enlisted() {
  static std::vector<zonalstatistic*> all;
  return all;
}

std::string valueText(double value) {
  char text[maxGridValueChars + 1];
  text[formatGridValue(value, text)] = '\0';
  return text;
}

bool whole(double v) { return std::fabs(v) < 1e9 && std::floor(v) == v; }

// One line of the file, checked against the statistic it names.
class LineCheck {
public:
  LineCheck(DiagStream& diagArg, const std::string& pathArg, long numberArg)
      : diag(diagArg), path(pathArg), number(numberArg) {}
  [[noreturn]] void refuse(const std::string& what, double value, const std::string& rule) const {
    refuseStateValue(diag, path, number, what, valueText(value), rule);
  }
  // The line of the statistic, from its numbers.
  zonalstatistic::OpenLine take(const std::vector<double>& v, const zonalstatistic& s,
                                const std::string& name) const {
    const std::string of = " of the statistic " + name;
    const char* const heads[] = {"the code", "the steps of the open line", "the number of zones"};
    for (size_t k = 0; k < 3; ++k) {
      if (k >= v.size()) refuseStateValue(diag, path, number, heads[k] + of, "", "is missing");
      if (!whole(v[k])) refuse(heads[k] + of, v[k], "is not a whole number");
    }
    zonalstatistic::OpenLine line;
    line.code = static_cast<int>(v[0]);
    line.steps = static_cast<int>(v[1]);
    line.zoneCount = static_cast<int>(v[2]);
    if (line.zoneCount != s.getZoneCount())
      refuse("the number of zones" + of, v[2],
             "must be the " + std::to_string(s.getZoneCount()) +
                 " zones of this run: the file was written for other zones");
    const size_t sums = 3 * (static_cast<size_t>(line.zoneCount) + 1);
    if (v.size() != 3 + sums)
      refuseStateValue(diag, path, number, "the line" + of, std::to_string(v.size() - 3) + " sums",
                       "must hold " + std::to_string(sums) +
                           " sums, three for each zone and for the cells of no zone");
    if (line.code != s.getCode()) return line;
    const int count = s.getStepsPerLine();
    if (line.steps < 0 || line.steps >= count)
      refuse("the steps of the open line" + of, v[1],
             "must be 0 ... " + std::to_string(count - 1) + " (a line of code " +
                 std::to_string(line.code) + " takes " + std::to_string(count) + " steps)");
    line.sums.assign(v.begin() + 3, v.end());
    for (size_t k = 0; k < sums; ++k) {
      const double x = line.sums[k];
      const std::string what = std::string(k % 3 == 0   ? "the weight sum"
                                           : k % 3 == 1 ? "the value sum"
                                                        : "the effective weight") +
                               " of record " + std::to_string(k / 3) + of;
      if (line.steps == 0 && x != 0.0) refuse(what, x, "must be 0 in a line of 0 steps");
      if (k % 3 != 1 && !(x >= 0.0)) refuse(what, x, "must not be negative");
    }
    return line;
  }

private:
  DiagStream& diag;
  const std::string& path;
  long number;
};

// The lines read: in the order of the file, each taken by the first
// statistic of its name that has none yet.
void continueLines(DiagStream& diag, const std::string& path) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> opened(std::fopen(path.c_str(), "r"),
                                                               std::fclose);
  if (!opened) {
    diag << "FATAL: error opening " << path
         << "; check the directory of the initial states and its rights"
         << "[end-entry]";
    throw stateFileCode;
  }
  const std::vector<zonalstatistic*>& all = enlisted();
  std::vector<bool> taken(all.size(), false);
  std::vector<std::string> anew;
  std::string text;
  std::vector<double> values;
  std::string fault;
  for (long number = 1; readLine(opened.get(), text) == LineRead::line; ++number) {
    if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close <= open + 1)
      refuseStateValue(diag, path, number, "a line of a statistic", text,
                       "must end with the file of its statistic in parentheses");
    if (!stateLineNumbers(text, values, fault))
      refuseStateValue(diag, path, number, "a line of a statistic", fault,
                       "is not a finite number");
    const std::string name = text.substr(open + 1, close - open - 1);
    size_t k = 0;
    while (k < all.size() && (taken[k] || all[k]->getGivenName() != name)) ++k;
    // A statistic the warm start does not keep: nothing goes on.
    if (k == all.size()) continue;
    taken[k] = true;
    const zonalstatistic::OpenLine line = LineCheck(diag, path, number).take(values, *all[k], name);
    if (line.code != all[k]->getCode()) {
      anew.push_back(name + " (code " + std::to_string(line.code) + " before, " +
                     std::to_string(all[k]->getCode()) + " now)");
      continue;
    }
    all[k]->continueLine(line);
  }
  for (size_t k = 0; k < all.size(); ++k)
    if (!taken[k]) anew.push_back(all[k]->getGivenName() + " (not in the file)");
  if (anew.empty()) return;
  diag << "WARNING: " << path << " holds no open line to go on with for the statistics";
  for (const std::string& s : anew) diag << (&s == &anew.front() ? " " : ", ") << s;
  diag << ": their lines start anew at the first step, so that they fall on other steps than "
          "in a run through"
       << "[end-entry]";
}

} // namespace

void StatisticLines::enlist(zonalstatistic* statistic) { enlisted().push_back(statistic); }

void StatisticLines::leave(zonalstatistic* statistic) {
  std::vector<zonalstatistic*>& all = enlisted();
  all.erase(std::remove(all.begin(), all.end(), statistic), all.end());
}

const std::vector<zonalstatistic*>& StatisticLines::statistics() { return enlisted(); }

bool StatisticLines::anyOnAnyProcess(DiagStream& diag) {
  int own = enlisted().empty() ? 0 : 1;
  int any = own;
  checkMPI(diag, MPI_Allreduce(&own, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD),
           "MPI_Allreduce of the statistics of several steps");
  return any != 0;
}

void StatisticLines::write(DiagStream& diag, const std::string& path) {
  int rank = 0;
  int size = 1;
  worldRankAndSize(rank, size);
  shareExitCode(diag, catchExitCode([&] {
                  if (rank != 0 || enlisted().empty()) return;
                  std::FILE* file = std::fopen(path.c_str(), "w");
                  bool ok = file != nullptr;
                  for (const zonalstatistic* s : enlisted()) {
                    if (!ok) break;
                    const zonalstatistic::OpenLine line = s->openLine();
                    ok = std::fprintf(file, "%d %d %d", line.code, line.steps, line.zoneCount) > 0;
                    for (double v : line.sums) ok = ok && std::fprintf(file, " %.17g", v) > 0;
                    ok = ok && std::fprintf(file, " (%s)\n", s->getGivenName().c_str()) > 0;
                  }
                  if (file) ok = std::fclose(file) == 0 && ok;
                  if (ok) return;
                  diag << "FATAL: error writing the open lines of the statistics to " << path
                       << "; check the output directory, its rights and the disk space"
                       << "[end-entry]";
                  throw stateFileCode;
                }));
}

void StatisticLines::read(DiagStream& diag, const std::string& path, bool exists) {
  int rank = 0;
  int size = 1;
  worldRankAndSize(rank, size);
  shareExitCode(
      diag, catchExitCode([&] {
        if (rank != 0 || enlisted().empty()) return;
        if (exists) {
          continueLines(diag, path);
          return;
        }
        diag << "WARNING: no file " << path
             << " of a former run: the statistics whose lines take several steps (the first is "
             << enlisted().front()->getGivenName() << ", code " << enlisted().front()->getCode()
             << ") start their lines anew at the first step, so that they fall on other steps than "
                "in a run through"
             << "[end-entry]";
      }));
}
