#include "tests/routing/routing_model_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

std::string channelText(const std::string& element, double storageHours, double catchmentArea) {
  std::ostringstream s;
  s << " " << element << " (K = " << storageHours << ", KF = " << storageHours
    << ", B = 10, BF = 10, T = 100, M = 30, MF = 15, I = 0.001, L = 1, A = " << catchmentArea
    << ")";
  return s.str();
}

RoutingModelSetup::RoutingModelSetup(const std::string& name, int tracers)
    : base(name, ""), log(base.log), context(base.context), statistics(statisticTableEntries),
      tracerTable(static_cast<std::size_t>(tracers) + 1) {
  context.startDate = ModelDate{0, 0, 1, 1, 2001};
  context.endDate = ModelDate{0, 23, 31, 1, 2001};
  context.outputDirectory = log.directory + "/";
  context.statisticTable = statistics.data();
  context.statisticTableSize = static_cast<long>(statistics.size());
  context.tracerCount = tracers;
  context.tracerTable = &tracerTable;
  for (int k = 1; k <= tracers; ++k) {
    TracerRecord& t = tracerTable[static_cast<std::size_t>(k)];
    t.name = "tracer" + std::to_string(k);
    t.statExt = "stat";
    t.statCode = 2001;
  }
  base.addGrid("zone_grid", {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4});
  runoff.assign(static_cast<std::size_t>(tracers) + 1, std::vector<double>(5, 0.0));
  for (std::vector<double>& row : runoff) runoffRows.push_back(row.data());
}

void RoutingModelSetup::writeControlFile(const std::string& descriptions) {
  std::ostringstream c;
  c << "[routing_model]\n"
    << flowControl << "  flow control\n60  time interval\n"
    << header << "  qmin qmax intervals sub-intervals\n"
    << "routed.stat " << statisticCode << "  statistics\n"
    << observedFile << "  observed discharge\n"
    << columnDescriptors << "\n"
    << criteriaOffset << "  offset\n"
    << descriptions << "end of the descriptions\n\n"
    << "[output_interval]\n1\n0\n"
    << unit << "  unit\n0\n\n[unsatzon_model]\n";
  for (int k = 0; k < 20; ++k) c << "0  line " << k + 1 << "\n";
  c << runoffFile << " 2001  name of the Qgstatfiles\n\n" << extraSections;
  writeFile(context.controlFileName, c.str());
}

int RoutingModelSetup::build() {
  int code = 0;
  model = constructSubmodel<abflussmodellklasse>(code, context);
  return code;
}

void RoutingModelSetup::wire(const std::string* storageFile, int readMode) {
  model->SetRunoffSource(context.routingOnly ? nullptr : runoffRows.data());
  model->CheckInflowAbstractionLinks();
  model->ReadStorageContent(storageFile, readMode);
  model->setWriteStorageFlag(1);
}

ModelDate RoutingModelSetup::hourOf(long k) const {
  const long day = 1 + k / 24;
  return ModelDate{0, k % 24, day, 1, 2001};
}

void RoutingModelSetup::step(long k) {
  const ModelDate d = hourOf(k);
  model->RouteTimeStep(d.minute, d.hour, d.day, d.month, d.year);
}

std::vector<std::string> RoutingModelSetup::statisticLines() const {
  std::istringstream text(readFile(context.outputDirectory + "routed.stat"));
  std::vector<std::string> lines;
  int k = 0;
  for (std::string line; std::getline(text, line); ++k)
    if (k >= 3) lines.push_back(line);
  return lines;
}

std::string runoffTable(const std::vector<std::vector<double>>& hours, int firstHour) {
  std::string text = "YY\tMM\tDD\tHH\t\"1\"\t\"2\"\t\"3\"\t\"4\"\ttot_average\n"
                     "unsatzon_model_submodel:total runoff\n"
                     "--\t--\t--\t--\t0.25\t0.25\t0.25\t0.25\t1.0000\n";
  char line[256];
  for (std::size_t k = 0; k < hours.size(); ++k) {
    const long hour = firstHour + static_cast<long>(k);
    const std::vector<double>& v = hours[k];
    std::snprintf(line, sizeof line, "2001\t 1\t%2ld\t%2ld\t%.17g\t%.17g\t%.17g\t%.17g\t0\n",
                  1 + hour / 24, hour % 24, v[0], v[1], v[2], v[3]);
    text += line;
  }
  return text;
}

std::vector<std::vector<double>> tableRows(const std::string& path) {
  std::vector<std::vector<double>> rows;
  std::istringstream text(readFile(path));
  int k = 0;
  for (std::string line; std::getline(text, line); ++k) {
    if (k < 3) continue;
    std::istringstream fields(line);
    rows.emplace_back();
    for (double x; fields >> x;) rows.back().push_back(x);
  }
  return rows;
}
