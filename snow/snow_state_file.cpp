// The snow model's section of the state file: the contents of the three
// linear storages of glacier runoff per subbasin and, for dynamic glaciers,
// the areas and volumes of every glacier. Values are written in
// their shortest exact form, so that a warm start goes on where the former
// run stopped; "%lf" readers still parse them.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/ascii_grid_text.h"
#include "core/diag_stream.h"
#include "core/line_reader.h"
#include "core/run_files.h"
#include "core/state_numbers.h"
#include "core/string_helpers.h"
#include "snow/schneemodellklasse.h"

namespace {

constexpr int fileCode = 64;
constexpr int contentCode = 71;
constexpr double relativeTolerance = 1e-5;
const char* const storageLabels[3] = {"(TG code and Qice_slr value)\n",
                                      "(TG code and Qfirn_slr value)\n",
                                      "(TG code and Qsnow_slr value)\n"};
const char* const storageNames[3] = {"Qice_slr", "Qfirn_slr", "Qsnow_slr"};


const char* const glacierCountLabel = "(number of glaciers)";

} // namespace

void schneemodellklasse::readStorage(const std::string* fileName, int mode) {
  if (flowControl == 0 || !fileName) return;
  storageFileName = *fileName;
  storageNameKept = true;
  std::vector<Glacier> volumes;
  bool volumesRead = false;
  if (mode == 1) {
    std::string path = storageFileName;
    prependDirectory(inputDirectory, path);
    volumesRead = readStorageSection(path, volumes);
  }
  // The glaciers' state grids come with the extent of the last close.
  if ((mode == 1 || mode == 3) && glacier.dynamic() && glacier.readGrids == 1)
    restoreGlaciers(volumes, mode == 1 && !volumesRead);
}

bool schneemodellklasse::readStorageSection(const std::string& path,
                                            std::vector<Glacier>& volumes) {
  const size_t n = static_cast<size_t>(zones.zoneCount);
  if (qIceEls.size() <= n || qFirnEls.size() <= n || qSnowEls.size() <= n) return false;
  noteInputFile(path, "the state file that [snow_model] starts from");
  // Closed on every way out, also when a mismatch ends the run.
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> opened(std::fopen(path.c_str(), "r"),
                                                               std::fclose);
  std::FILE* file = opened.get();
  const char* const coldStart = "WARNING: glacier model will be run with cold start "
                                "initialization values";
  if (!file) {
    *diag << "WARNING: in snow/glacier model: error opening storage content file " << path
          << "[end-entry]";
    *diag << coldStart << "[end-entry]";
    return false;
  }
  std::string line;
  long lineNumber = 0;
  bool found = false;
  while (!found && readLine(file, line) == LineRead::line) {
    ++lineNumber;
    found = line.find("snow_model") != std::string::npos;
  }
  if (!found) {
    *diag << "WARNING: in snow/glacier model: [snow_model] not found in storage content file "
          << path << "[end-entry]";
    *diag << coldStart << "[end-entry]";
    return false;
  }
  const double missing = header.nodata;
  auto nextLine = [&] {
    ++lineNumber;
    return readLine(file, line) == LineRead::line;
  };
  // The values of the line, each wholly a finite number, those that are
  // amounts not negative.
  std::vector<double> values;
  const auto numbers = [&](const std::string& what, std::size_t amountsFrom) {
    std::string fault;
    if (!stateLineNumbers(line, values, fault))
      refuseStateValue(*diag, path, lineNumber, what, fault, "is not a finite number");
    for (std::size_t k = amountsFrom; k < values.size(); ++k)
      if (values[k] < 0.0) refuseNegativeStateValue(*diag, path, lineNumber, what, values[k]);
    return !values.empty();
  };
  const auto leadingNumber = [&](long& value, const std::string& what) {
    if (!numbers(what, 1)) return false;
    if (std::fabs(values[0]) < 1e15 && std::floor(values[0]) == values[0]) {
      value = static_cast<long>(values[0]);
      return true;
    }
    refuseStateValue(*diag, path, lineNumber, what, line.substr(0, line.find_first_of(" \t(")),
                     "is not a whole number");
  };
  long count = 0;
  if (!nextLine() || !leadingNumber(count, "the number of subbasins")) {
    storageMismatch("number of subbasins", static_cast<double>(n), missing);
  }
  if (count != static_cast<long>(n)) {
    storageMismatch("number of subbasins", static_cast<double>(n), static_cast<double>(count));
  }
  std::vector<double>* tables[3] = {&qIceEls, &qFirnEls, &qSnowEls};
  for (size_t k = 1; k <= n; ++k)
    for (int t = 0; t < 3; ++t) {
      long code = 0;
      const std::string what = std::string(storageNames[t]) + " of subbasin " + std::to_string(k);
      if (!nextLine() || !leadingNumber(code, what)) {
        storageMismatch("subbasin code", static_cast<double>(k), missing);
      }
      if (code != static_cast<long>(k)) {
        storageMismatch("subbasin code", static_cast<double>(k), static_cast<double>(code));
      }
      if (values.size() < 2)
        storageMismatch(std::string(storageNames[t]) + " value of subbasin " + std::to_string(k),
                        (*tables[t])[k], missing);
      (*tables[t])[k] = values[1];
    }
  // Rank 0 writes the glaciers; a section of an earlier version ends here.
  long glaciers = 0;
  if (mpiRank != 0 || !glacier.dynamic() || !nextLine() ||
      line.find(glacierCountLabel) == std::string::npos ||
      !leadingNumber(glaciers, "the number of glaciers"))
    return false;
  for (long k = 1; k <= glaciers; ++k) {
    const std::string what = "the areas and volumes of glacier " + std::to_string(k);
    if (!nextLine() || !numbers(what, 1)) values.clear();
    if (values.size() < 5)
      storageMismatch("the areas and volumes of glacier " + std::to_string(k) + " of " +
                          std::to_string(glaciers),
                      5.0, static_cast<double>(values.size()));
    Glacier g;
    g.code = static_cast<int>(values[0]);
    g.area = values[1];
    g.volume = values[2];
    g.oldArea = values[3];
    g.oldVolume = values[4];
    volumes.push_back(g);
  }
  return true;
}

void schneemodellklasse::writeStorage(bool append) {
  if (flowControl == 0 || !storageNameKept) return;
  std::string path = storageFileName;
  prependDirectory(outputDirectory, path);
  std::FILE* file = std::fopen(path.c_str(), append ? "a" : "w");
  if (!file) {
    *diag << "FATAL: error opening storage content file " << path
          << " for the section [snow_model]; check the output directory and its rights"
          << "[end-entry]";
    throw fileCode;
  }
  const int n = zones.zoneCount;
  bool ok = std::fprintf(file, "[snow_model]\n%d (number of subasins)\n", n) > 0;
  const std::vector<double>* tables[3] = {&qIceEls, &qFirnEls, &qSnowEls};
  char value[maxGridValueChars + 1];
  for (int k = 1; k <= n && ok; ++k)
    for (int t = 0; t < 3 && ok; ++t) {
      const std::vector<double>& table = *tables[t];
      const size_t index = static_cast<size_t>(k);
      value[formatGridValue(index < table.size() ? table[index] : 0.0, value)] = '\0';
      ok = std::fprintf(file, "%d\t%s%s", k, value, storageLabels[t]) > 0;
    }
  // The glacier list lives on rank 0.
  if (ok && mpiRank == 0 && glacier.dynamic()) {
    const std::vector<Glacier>& list = glacierList.glaciers();
    ok = std::fprintf(file, "%zu %s\n", list.size(), glacierCountLabel) > 0;
    for (const Glacier& g : list) {
      ok = ok && std::fprintf(file, "%d", g.code) > 0;
      for (double v : {g.area, g.volume, g.oldArea, g.oldVolume}) {
        value[formatGridValue(v, value)] = '\0';
        ok = ok && std::fprintf(file, "\t%s", value) > 0;
      }
      ok = ok && std::fputs(" (glacier code, area, volume, old area and old volume)\n", file) >= 0;
    }
  }
  ok = ok && std::fputs("\n", file) >= 0;
  ok = std::fclose(file) == 0 && ok;
  if (ok) return;
  *diag << "FATAL: error writing the section [snow_model] to the storage content file " << path
        << "; check the disk space"
        << "[end-entry]";
  throw fileCode;
}

int schneemodellklasse::compareStorageValue(std::FILE* file, double current,
                                            const std::string& label) {
  double stored = 0.0;
  const int scanned = file ? std::fscanf(file, "%lf", &stored) : 0;
  const bool same =
      stored != 0.0 ? std::fabs((stored - current) / stored) <= relativeTolerance : current == 0.0;
  if (scanned != 1 || !same) storageMismatch(label, current, stored);
  return scanned;
}

void schneemodellklasse::storageMismatch(const std::string& label, double current, double stored) {
  *diag << "FATAL: (snow model) error in storage file content reading " << label
        << ":\nvalue in actual control is:   " << current
        << "\nbut value in storage file is: " << stored << "\nHorva throws..."
        << "[end-entry]";
  throw contentCode;
}
