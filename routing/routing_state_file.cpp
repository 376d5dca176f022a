// The routing section of the state file: per element its translation
// queues, the retention outflows of its sub-channels with their flood-plain
// shares and queue write positions, and its riverflow records; then the
// water the rivers and reservoirs offer irrigation and what the channels owe
// the fields. Values carry 17 digits, so that a warm start continues a run
// exactly.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "core/ascii_grid_text.h"
#include "core/diag_stream.h"
#include "core/run_files.h"
#include "core/state_numbers.h"
#include "core/string_helpers.h"
#include "routing/abflussmodellklasse.h"

namespace {

bool readLine(FILE* file, std::string& line) {
  line.clear();
  int c = 0;
  while ((c = std::fgetc(file)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
  return c != EOF || !line.empty();
}

// Reads the next line, and puts it back unless taken.
class StateLines {
public:
  StateLines(FILE* fileArg, const std::string& pathArg, DiagStream& diagArg)
      : file(fileArg), path(pathArg), diag(diagArg) {}
  bool next(std::string& line) {
    lastStart = std::ftell(file);
    return readLine(file, line);
  }
  // The numbers of the line last taken, each wholly a finite number.
  std::vector<double> numbers(const std::string& line, const std::string& what) {
    std::vector<double> values;
    std::string fault;
    if (!stateLineNumbers(line, values, fault))
      refuseStateValue(diag, path, lineNumberAt(file, lastStart), what, fault,
                       "is not a finite number");
    return values;
  }
  // The same for counts, codes and indices: whole numbers.
  std::vector<long> wholeNumbers(const std::string& line, const std::string& what) {
    std::vector<long> whole;
    const std::vector<double> values = numbers(line, what);
    for (std::size_t k = 0; k < values.size(); ++k) {
      if (!(std::fabs(values[k]) < 1e15 && std::floor(values[k]) == values[k]))
        refuseStateValue(diag, path, lineNumberAt(file, lastStart), what,
                         splitWords(line.substr(0, line.find('(')))[k], "is not a whole number");
      whole.push_back(static_cast<long>(values[k]));
    }
    return whole;
  }
  // A volume or another amount of the line last taken.
  void requireNotNegative(double value, const std::string& what) {
    if (!(value >= 0.0))
      refuseNegativeStateValue(diag, path, lineNumberAt(file, lastStart), what, value);
  }
  // A reservoir's or lake's volume, as "V0" may hold it.
  void requireVolume(double value, const std::string& what) {
    requireNotNegative(value, what);
    if (value <= largestReservoirVolume) return;
    char text[maxGridValueChars + 1];
    text[formatGridValue(value, text)] = '\0';
    std::ostringstream rule;
    rule << "must be at most " << largestReservoirVolume << " m3, as V0 of the control file";
    refuseStateValue(diag, path, lineNumberAt(file, lastStart), what, text, rule.str());
  }
  void requireConcentration(double value, const std::string& what) {
    requireStateConcentration(diag, path, lineNumberAt(file, lastStart), what, value);
  }
  bool peek(std::string& line) {
    const long at = std::ftell(file);
    const bool read = readLine(file, line);
    if (at < 0 || std::fseek(file, at, SEEK_SET) != 0) {
      diag << "FATAL: error reading storage content file " << path << " (" << std::strerror(errno)
           << ")"
           << "[end-entry]";
      throw 71;
    }
    return read;
  }
  // The next line that holds anything but blanks.
  bool nextFilled(std::string& line) {
    while (next(line))
      if (filled(line)) return true;
    return false;
  }
  // The same, put back; the blank lines before it are passed.
  bool peekFilled(std::string& line) {
    while (peek(line)) {
      if (filled(line)) return true;
      next(line);
    }
    return false;
  }
  [[noreturn]] void failure(const char* what, int position) {
    diag << "FATAL: error reading " << what << " in file " << path << " (position " << position
         << ")"
         << "[end-entry]";
    throw 71;
  }

private:
  static bool filled(const std::string& line) {
    return line.find_first_not_of(" \t\r") != std::string::npos;
  }
  FILE* file;
  const std::string& path;
  DiagStream& diag;
  long lastStart = 0;
};

const char* const irrigationSupplyLabel = "(subbasins and tracers of the irrigation supply)";
const char* const outflowConcentrationLabel = "outflow_concentration";
const char* const owedRiverWaterLabel = "(subbasins of the river water the channels owe the soil)";
const char* const owedIrrigationLabel =
    "(subbasins of the irrigation water the channels owe the fields)";

// One line of a value per subbasin into target[1 .. subbasins].
void readSubbasinValues(StateLines& lines, DiagStream& diag, int subbasins, const std::string& what,
                        double* target) {
  std::string line;
  const std::vector<double> values =
      lines.next(line) ? lines.numbers(line, what) : std::vector<double>();
  if (static_cast<long>(values.size()) != subbasins)
    abflussmodellklasse::StorageValueMismatch(diag, "the values of " + what, subbasins,
                                              static_cast<long>(values.size()));
  for (int i = 1; i <= subbasins; ++i) target[i] = values[static_cast<std::size_t>(i) - 1];
}

// The labelled line counting the subbasins, then one of a value per
// subbasin.
void readCountedSubbasinValues(StateLines& lines, DiagStream& diag, int subbasins,
                               const std::string& what, double* target) {
  std::string line;
  lines.next(line);
  const std::vector<long> count = lines.wholeNumbers(line, "the count of " + what);
  const long stored = count.empty() ? -1 : count[0];
  if (stored != subbasins)
    abflussmodellklasse::StorageValueMismatch(diag, "the number of subbasins of " + what,
                                              subbasins, stored);
  readSubbasinValues(lines, diag, subbasins, what, target);
}

void writeQueue(FILE* f, const double* queue, int count) {
  for (int i = 1; i <= count; ++i) std::fprintf(f, i % 10 == 0 ? "%.17g \n" : "%.17g ", queue[i]);
  if (count % 10 != 0) std::fputs("\n", f);
}

} // namespace

// --- the module's part ------------------------------------------------------------

void abflussmodellklasse::StorageValueMismatch(DiagStream& diag, const std::string& what,
                                               long controlValue, long storedValue) {
  diag << "FATAL: error in storage file content reading " << what
       << ":\nvalue in actual control is:   " << controlValue
       << "\nbut value in storage file is: " << storedValue << "\nHorva throws..."
       << "[end-entry]";
  throw 72;
}

void abflussmodellklasse::ReadStorageContent(const std::string* fileName, int readMode) {
  if (flowControl <= 0) return;
  storageFileName = fileName ? fileName->substr(0, 2400) : std::string();
  std::string written = stateFileToWrite();
  prependDirectory(outputDirectory, written);
  noteSharedOutputFile(written, "the state file of [routing_model]");
  if (storageFileName.empty() || readMode == 0 || readMode == 2 || readMode == 4) return;
  std::string path = storageFileName;
  prependDirectory(inputDirectory, path);
  noteInputFile(path, "the state file that [routing_model] starts from");
  FILE* file = std::fopen(path.c_str(), "rt");
  if (!file) {
    *diag << "FATAL: error opening storage content file " << path << "[end-entry]";
    throw 64;
  }
  const std::unique_ptr<FILE, int (*)(FILE*)> closer(file, std::fclose);
  std::string line;
  bool found = false;
  while (!found && readLine(file, line)) found = line.find("routing_model") != std::string::npos;
  if (!found) {
    *diag << "FATAL: error looking for the section "
          << "routing_model"
          << " in " << path << "[end-entry]";
    throw 71;
  }
  for (std::size_t d = 1; d < elements.size(); ++d) elements[d]->ReadState(file, path);
  readIrrigationSupply(file, path);
  readIrrigationOwed(file, path);
  skipOwedRiverWater(file, path);
}

// What the rivers and reservoirs offered irrigation at the end of the last
// step, which the first irrigation step of a warm start draws on; written
// when irrigation draws on them.
void abflussmodellklasse::writeIrrigationSupply(FILE* f) const {
  if (!irrigationDemand) return;
  std::fprintf(f, "%d %d %s\n", subbasins, tracerCount, irrigationSupplyLabel);
  for (const std::vector<double*>* table : {&maxirrig, &maxirrigFromReservoirs})
    for (int t = 0; t <= tracerCount; ++t) {
      for (int i = 1; i <= subbasins; ++i)
        std::fprintf(f, "%.17g ", (*table)[static_cast<std::size_t>(t)][i]);
      std::fprintf(f, "(%s[%d])\n", table == &maxirrig ? "maxirrig" : "maxirrigFromReservoirs", t);
    }
}

void abflussmodellklasse::readIrrigationSupply(FILE* file, const std::string& path) {
  StateLines lines(file, path, *diag);
  std::string line;
  // A section of an earlier version ends with the elements.
  if (!lines.peekFilled(line) || line.find(irrigationSupplyLabel) == std::string::npos) {
    if (irrigationDemand)
      *diag << "WARNING: no irrigation supply in the section [routing_model] of " << path
            << ": the first step draws no irrigation water from rivers and reservoirs"
            << "[end-entry]";
    return;
  }
  lines.next(line);
  const std::vector<long> counts =
      lines.wholeNumbers(line, "the counts of the irrigation supply");
  const long storedSubbasins = counts.size() == 2 ? counts[0] : -1;
  const long storedTracers = counts.size() == 2 ? counts[1] : -1;
  if (storedSubbasins != subbasins)
    StorageValueMismatch(*diag, "the number of subbasins of the irrigation supply", subbasins,
                         storedSubbasins);
  if (storedTracers != tracerCount)
    StorageValueMismatch(*diag, "the number of tracers of the irrigation supply", tracerCount,
                         storedTracers);
  for (const std::vector<double*>* table : {&maxirrig, &maxirrigFromReservoirs})
    for (int t = 0; t <= tracerCount; ++t)
      readSubbasinValues(lines, *diag, subbasins, "the irrigation supply",
                         (*table)[static_cast<std::size_t>(t)]);
}

// What the channels owe the fields at the end of the last step, which they
// pay first from the next steps' inflows; written with the supply.
void abflussmodellklasse::writeIrrigationOwed(FILE* f) const {
  if (!irrigationDemand) return;
  std::fprintf(f, "%d %s\n", subbasins, owedIrrigationLabel);
  for (int i = 1; i <= subbasins; ++i)
    std::fprintf(f, "%.17g ", irrigationLedger.owed[static_cast<std::size_t>(i)]);
  std::fputs("(irrigation owed)\n", f);
}

void abflussmodellklasse::readIrrigationOwed(FILE* file, const std::string& path) {
  StateLines lines(file, path, *diag);
  std::string line;
  if (!lines.peekFilled(line) || line.find(owedIrrigationLabel) == std::string::npos) {
    if (irrigationDemand)
      *diag << "WARNING: no irrigation water owed by the channels in the section [routing_model] "
               "of "
            << path << ": the channels owe the fields nothing at the start"
            << "[end-entry]";
    return;
  }
  double* owed = irrigationLedger.owed.data();
  readCountedSubbasinValues(lines, *diag, subbasins, "the irrigation water the channels owe", owed);
  for (int i = 1; i <= subbasins; ++i)
    lines.requireNotNegative(owed[i],
                             "the irrigation water the channels owe subbasin " + std::to_string(i));
}

// Earlier versions let the channels owe the soil river water they did not
// hold, and wrote it after the irrigation supply. The soil now takes only
// what a channel holds: nothing is owed, and what such a file owes is
// dropped.
void abflussmodellklasse::skipOwedRiverWater(FILE* file, const std::string& path) {
  StateLines lines(file, path, *diag);
  std::string line;
  if (!lines.peekFilled(line) || line.find(owedRiverWaterLabel) == std::string::npos) return;
  std::vector<double> owed(static_cast<std::size_t>(subbasins) + 1, 0.0);
  readCountedSubbasinValues(lines, *diag, subbasins, "the river water owed to the soil",
                            owed.data());
  double total = 0.0;
  for (double value : owed) total += value;
  if (total != 0.0)
    *diag << "WARNING: the section [routing_model] of " << path
          << " holds river water the channels owed the soil of the river cells (" << total
          << " mm over the subbasins), which this version no longer keeps: the soil takes only "
             "what a channel holds, and the owed water is dropped"
          << "[end-entry]";
}

void abflussmodellklasse::WriteStorageContent() {
  if (flowControl <= 0) return;
  std::string path = stateFileToWrite();
  prependDirectory(outputDirectory, path);
  FILE* file = std::fopen(path.c_str(), "w");
  if (!file) {
    if (storageFileName.empty())
      *diag << "WARNING: couldn't open file " << path
            << " \n(no filename was given or model version \ndoesn't support this feature or "
               "the current user has no write access)"
            << "[end-entry]";
    else
      *diag << "WARNING: couldn't open file \"" << path
            << "\" \n(model version doesn't support this feature or write access error)"
            << "[end-entry]";
    return;
  }
  std::fputs("[routing_model]\n", file);
  for (std::size_t d = 1; d < elements.size(); ++d) elements[d]->WriteState(file);
  writeIrrigationSupply(file);
  writeIrrigationOwed(file);
  std::fputs("\n", file);
  const bool failed = std::ferror(file) != 0;
  if (std::fclose(file) != 0 || failed)
    *diag << "WARNING: error writing " << path << " (" << std::strerror(errno)
          << "): the routing state in it is incomplete and cannot start a later run"
          << "[end-entry]";
}

// --- one element's block ------------------------------------------------------------

void routingclass::WriteState(FILE* f) const {
  std::fprintf(f, "%d (routing subbasin with tributaries", subbasinCode);
  for (int c = 1; c <= tributaries + summedTributaries; ++c) std::fprintf(f, " %d", channelCode[c]);
  std::fputs("\n", f);
  const auto writeSubChannels = [&](int c) {
    const RoutingTable& w = wqtab[c];
    for (int s = 1; s <= static_cast<int>(w.nSubChannels); ++s) {
      for (int n = 1; n <= subIntervals; ++n) std::fprintf(f, "%.17g ", w.Qaus[s][n]);
      std::fprintf(f, " (wqtab[local tributary %d].Qaus[subchannel %d][1..%d])\n", c, s,
                   subIntervals);
      std::fprintf(f, "%.17g %d (wqtab[local tributary %d].qvzuq[subchannel %d])\n", w.qvzuq[s],
                   w.queuePos[s], c, s);
      if (tracerCount < 1) continue;
      for (int t = 1; t <= tracerCount; ++t)
        for (int n = 1; n <= subIntervals; ++n)
          std::fprintf(f, "%.17g ", w.concentrationOf(t, s, n, subIntervals));
      std::fprintf(f, " (wqtab[local tributary %d].%s[subchannel %d][tracers 1..%d][1..%d])\n", c,
                   outflowConcentrationLabel, s, tracerCount, subIntervals);
    }
  };
  const auto writeColumn = [&](int c, int col, const char* label, bool riverflow) {
    const int count = wqtab[c].nStorage + subIntervals;
    for (int t = 0; t <= tracerCount; ++t) {
      std::fprintf(f, "%d %d (tracer/flow index and %s)\n", t, col, label);
      writeQueue(f, routeQueue[t][col], count);
    }
    writeSubChannels(c);
    if (!riverflow || !riverflowTable) return;
    const ReinfiltrationRecord& r = riverflowTable[col];
    for (int t = 0; t <= tracerCount && t < 10; ++t) std::fprintf(f, "%.17g ", r.flow_mm[t]);
    std::fprintf(f, "(riverflow_table[%d].flow_mm[%d])\n", col, tracerCount + 1);
    std::fprintf(f, "%.17g %.17g (riverflow_table[%d].flowm3s/speed\n", r.flowm3s, r.speed, col);
  };
  for (int c = 1; c <= tributaries + summedTributaries; ++c) {
    for (int member : memberColumns[c]) writeColumn(c, member, "tributary subbasin", true);
    writeColumn(c, channelColumn(c), "tributary subbasin", true);
  }
  for (int c = tributaries + summedTributaries + 1; c <= channelCount(); ++c)
    writeColumn(c, channelColumn(c), "external inflow", false);
  writeReservoirState(f);
  std::fputs("\n\n", f);
}

void routingclass::writeReservoirState(FILE* f) const {
  std::fprintf(f, "%d (number of reservoirs)\n", reservoirs);
  for (int k = 1; k <= reservoirs; ++k) {
    const SP_class& r = reservoir(k);
    for (int t = 0; t <= tracerCount; ++t)
      std::fprintf(f, "%.17g ", t == 0 ? r.getVolume() : r.getConcentration(t));
    std::fprintf(f, " (reservoir %d)\n", k);
    std::fprintf(f, "%d (useRunningAvg reservoir %d)\n", r.getUseRunningAvg(), k);
    if (r.getUseRunningAvg() <= 0) continue;
    for (double v : r.getVolumeHistory()) std::fprintf(f, "%.17g ", v);
    std::fputs("\n", f);
  }
}

void routingclass::ReadState(FILE* file, const std::string& path) {
  StateLines lines(file, path, *diag);
  std::string line;
  int position = 1;
  const std::string where = " of routing subbasin " + std::to_string(subbasinCode);
  if (!lines.nextFilled(line) || lines.wholeNumbers(line, "the subbasin code" + where) !=
                                     std::vector<long>{subbasinCode})
    lines.failure("subbasin code", position);

  const auto readQueue = [&](int c, int col, int t) {
    const int expected = wqtab[c].nStorage + subIntervals;
    double* queue = routeQueue[t][col];
    int count = 0;
    while (count < expected) {
      if (!lines.peek(line) || line.find('(') != std::string::npos) break;
      lines.next(line);
      for (double x : lines.numbers(line, "the translation queue of channel " + std::to_string(c) +
                                              where)) {
        if (count < expected) queue[count + 1] = x;
        ++count;
      }
    }
    while (lines.peek(line) && line.find('(') == std::string::npos &&
           !numbersBeforeComment(line).empty()) {
      lines.next(line);
      count += static_cast<int>(numbersBeforeComment(line).size());
    }
    if (count != expected)
      abflussmodellklasse::StorageValueMismatch(*diag,
                                                "the translation queue of channel " +
                                                    std::to_string(c) + " (column " +
                                                    std::to_string(col) + ")" + where,
                                                expected, count);
  };
  // The concentrations of a sub-channel's last outflow, which its storages
  // hold; a file of an earlier version has none: the storages then take
  // those of the water in the sub-channel's outflow window.
  const auto readOutflowConcentrations = [&](int c, int col, int s, const std::string& channel) {
    if (tracerCount < 1) return;
    RoutingTable& w = wqtab[c];
    const int base = (s - 1) * w.segmentLength(subIntervals);
    if (!lines.peek(line) || line.find(outflowConcentrationLabel) == std::string::npos) {
      for (int t = 1; t <= tracerCount; ++t)
        for (int n = 1; n <= subIntervals; ++n)
          w.concentrationOf(t, s, n, subIntervals) = routeQueue[t][col][base + n];
      return;
    }
    ++position;
    lines.next(line);
    const std::vector<double> values =
        lines.numbers(line, "the outflow concentrations" + channel);
    const std::size_t expected = static_cast<std::size_t>(tracerCount) * subIntervals;
    if (values.size() != expected)
      abflussmodellklasse::StorageValueMismatch(
          *diag, "the outflow concentrations of sub-channel " + std::to_string(s) + channel,
          static_cast<long>(expected), static_cast<long>(values.size()));
    std::size_t k = 0;
    for (int t = 1; t <= tracerCount; ++t)
      for (int n = 1; n <= subIntervals; ++n) {
        lines.requireConcentration(values[k], "the outflow concentration of tracer " +
                                                  std::to_string(t) + channel);
        w.concentrationOf(t, s, n, subIntervals) = values[k++];
      }
  };
  const auto readSubChannels = [&](int c, int col) {
    RoutingTable& w = wqtab[c];
    const int subChannels = static_cast<int>(w.nSubChannels);
    const std::string channel = " of channel " + std::to_string(c) + where;
    for (int s = 1; s <= subChannels; ++s) {
      position += 2;
      const std::string mark = "Qaus[subchannel " + std::to_string(s) + "][1..";
      lines.peek(line);
      // More tracers in the file than in this run.
      if (line.find("(tracer/flow index") != std::string::npos)
        lines.failure("tracer code", position - 1);
      const std::size_t at = line.find(mark);
      if (at == std::string::npos)
        abflussmodellklasse::StorageValueMismatch(*diag, "the number of sub-channels" + channel,
                                                  subChannels, s - 1);
      lines.next(line);
      const long stored = std::atol(line.c_str() + at + mark.size());
      if (stored != subIntervals)
        abflussmodellklasse::StorageValueMismatch(*diag, "the number of sub-intervals" + channel,
                                                  subIntervals, stored);
      const std::vector<double> outflows = lines.numbers(line, "the outflows" + channel);
      for (int n = 1; n <= subIntervals && n <= static_cast<int>(outflows.size()); ++n)
        w.Qaus[s][n] = outflows[static_cast<std::size_t>(n) - 1];
      lines.next(line);
      const std::vector<double> share = lines.numbers(line, "the flood-plain share" + channel);
      if (!share.empty()) w.qvzuq[s] = share[0];
      if (share.size() >= 2) {
        const long written = static_cast<long>(share[1]);
        const long length = w.segmentLength(subIntervals);
        if (written < (s - 1) * length || written > s * length)
          abflussmodellklasse::StorageValueMismatch(
              *diag, "the write position of sub-channel " + std::to_string(s) + channel,
              (s - 1) * length + subIntervals, written);
        w.queuePos[s] = static_cast<int>(written);
      }
      readOutflowConcentrations(c, col, s, channel);
    }
    int more = 0;
    while (lines.peek(line) && line.find("].Qaus[subchannel ") != std::string::npos) {
      lines.next(line);
      lines.next(line);
      ++more;
    }
    if (more > 0)
      abflussmodellklasse::StorageValueMismatch(*diag, "the number of sub-channels" + channel,
                                                subChannels, subChannels + more);
  };
  const auto readColumn = [&](int c, int col, bool riverflow) {
    for (int t = 0; t <= tracerCount; ++t) {
      ++position;
      const std::vector<long> indices =
          lines.next(line) ? lines.wholeNumbers(line, "the tracer and column" + where)
                           : std::vector<long>();
      if (indices.size() != 2 || indices[0] != t) lines.failure("tracer code", position);
      if (indices[1] != col) lines.failure("tributary index", position);
      readQueue(c, col, t);
    }
    readSubChannels(c, col);
    if (!riverflow || !lines.peek(line) || line.find("riverflow_table") == std::string::npos)
      return;
    position += 2;
    lines.next(line);
    const std::vector<double> flows = lines.numbers(line, "the riverflow" + where);
    lines.next(line);
    const std::vector<double> speed = lines.numbers(line, "the riverflow and its speed" + where);
    if (!riverflowTable) return;
    ReinfiltrationRecord& r = riverflowTable[col];
    for (std::size_t t = 0; t < flows.size() && t < 10; ++t) r.flow_mm[t] = flows[t];
    if (speed.size() >= 2) {
      r.flowm3s = speed[0];
      r.speed = speed[1];
    }
  };
  for (int c = 1; c <= tributaries + summedTributaries; ++c) {
    for (int member : memberColumns[c]) readColumn(c, member, true);
    readColumn(c, channelColumn(c), true);
  }
  for (int c = tributaries + summedTributaries + 1; c <= channelCount(); ++c)
    readColumn(c, channelColumn(c), false);
  // What the soil may take next is what the channels read hold.
  offerHeldWater();
  ++position;
  if (!lines.nextFilled(line) || line.find("number of reservoirs") == std::string::npos ||
      lines.wholeNumbers(line, "the number of reservoirs" + where) != std::vector<long>{reservoirs})
    lines.failure("reservoir code", position);
  // The running-average list replaces what the initial routing left.
  for (int k = 1; k <= reservoirs; ++k) {
    SP_class& r = reservoir(k);
    const std::string name = "reservoir " + std::to_string(r.getNumber()) + where;
    const std::vector<double> values =
        lines.next(line) ? lines.numbers(line, "the volume and concentrations of " + name)
                         : std::vector<double>();
    if (!values.empty()) {
      lines.requireVolume(values[0], "the volume of " + name);
      r.setVolume(values[0]);
    }
    std::vector<double> concentrations(values.begin() + (values.empty() ? 0 : 1), values.end());
    for (std::size_t k = 0; k < concentrations.size(); ++k)
      lines.requireConcentration(concentrations[k], "the concentration of tracer " +
                                                        std::to_string(k + 1) + " of " + name);
    r.setConcentrations(concentrations);
    if (!lines.peek(line) || line.find("useRunningAvg") == std::string::npos) continue;
    lines.next(line);
    const std::vector<long> running =
        lines.wholeNumbers(line, "the running mean of " + name);
    if (running.empty() || running[0] <= 0) continue;
    lines.next(line);
    const std::vector<double> history = lines.numbers(line, "the volume history of " + name);
    for (double v : history) lines.requireVolume(v, "the volume history of " + name);
    r.setVolumeHistory(history, timeStep);
  }
}
