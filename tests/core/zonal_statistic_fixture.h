#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/diag_stream.h"
#include "core/routing_statistic.h"
#include "core/statistic_table.h"
#include "core/zonal_statistic.h"
#include "tests/test_support.h"

// A log stream with its console captured, zone records as the zone ranking
// leaves them (codes and area fractions of zones 1..n, record 0 unused) and
// a statistics table, for the statistics tests.
struct StatisticFixture {
  StatisticFixture(const std::string& name, const std::vector<double>& codes,
                   const std::vector<double>& fractions, bool sharedDirectory = false)
      : dir(makeTestDirectory(name, sharedDirectory)),
        diag(dir + "/diag.xml", 4, &console, &errors), zones(codes.size() + 1),
        records(zones.data()), table(8) {
    for (size_t z = 1; z < zones.size(); ++z) {
      zones[z].code = codes[z - 1];
      zones[z].areaFraction = fractions[z - 1];
    }
  }

  std::string path(const std::string& file) const { return dir + "/" + file; }
  int zoneCount() const { return static_cast<int>(zones.size()) - 1; }

  // listed holds the codes of modes 5 and 6 (position 0 unused).
  std::unique_ptr<zonalstatistic> zonal(int code, int decimals, const std::string& file,
                                        std::vector<int> listed = {0}, bool minute = false,
                                        Grid weights = nullptr, int rows = 0, int columns = 0) {
    fileName = file;
    listedCodes = std::move(listed);
    return std::make_unique<zonalstatistic>(
        error, &diag, table.data(), static_cast<long>(table.size()), weights, rows, columns,
        &records, zoneCount(), code, decimals, fileName, dir + "/",
        static_cast<int>(listedCodes.size()) - 1, listedCodes.data(), minute);
  }
  std::unique_ptr<routstatistic> routed(int code, int decimals, const std::string& file,
                                        const std::vector<double>& areas,
                                        std::vector<int> listed = {0}) {
    fileName = file;
    listedCodes = std::move(listed);
    return std::make_unique<routstatistic>(
        error, &diag, table.data(), static_cast<long>(table.size()), nullptr, 1, 1, &records,
        areas.data(), zoneCount(), code, decimals, fileName, dir + "/",
        static_cast<int>(listedCodes.size()) - 1, listedCodes.data(), false);
  }

  std::string diagFile() const { return readFile(diag.getFileName()); }

  std::ostringstream console;
  std::ostringstream errors;
  std::string dir;
  DiagStream diag;
  std::vector<ZoneRecord> zones;
  ZoneRecord* records;
  std::vector<StatisticTableEntry> table;
  std::vector<int> listedCodes;
  std::string fileName;
  int error = -1;
};

// The lines of a text file, without their line ends.
inline std::vector<std::string> fileLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(readFile(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The tab-separated fields of a line.
inline std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) out.push_back(field);
  return out;
}
