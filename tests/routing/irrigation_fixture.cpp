#include "tests/routing/irrigation_fixture.h"

#include <gtest/gtest.h>

#include <sstream>

IrrigationSetup::IrrigationSetup(const std::string& name, int minutesArg, int tracers,
                                 const std::string& statisticCodeArg)
    : routing(name, tracers), context(routing.context), minutes(minutesArg),
      statisticCode(statisticCodeArg) {
  context.endDate = ModelDate{0, 23, 31, 12, 2001};
  context.irrigationTable = &table;
  SubmodelSetup& base = routing.base;
  const std::vector<double> zero(12, 0.0);
  base.addGrid("MPIRegions", zero);
  base.addGrid("MPIHelper", zero);
  const std::pair<const char*, double> grids[] = {
      {"precipitation", 0.0},      {"irrigation_codes", 0.0}, {"Max_Pumping", 1e9},
      {"irrigation_amounts", 0.0}, {"SB_1_grid", 0.2},        {"SBLOW_grid", 0.1},
      {"SBHIGH_grid", 0.4},        {"ETR2ETP", 1.0},          {"root_depth1", 0.5}};
  for (const auto& [grid, value] : grids) base.addGrid(grid, std::vector<double>(12, value));
  for (int k = 1; k <= tracers; ++k)
    base.addGrid("concflux_tracer_" + std::to_string(k) + "_input", zero);

  const std::size_t rows = static_cast<std::size_t>(tracers) + 1;
  stubMaxIrrig.assign(rows, std::vector<double>(5, 0.0));
  stubFromReservoirs.assign(rows, std::vector<double>(5, 0.0));
  for (std::size_t t = 0; t < rows; ++t) {
    stubMaxIrrigRows.push_back(stubMaxIrrig[t].data());
    stubFromReservoirRows.push_back(stubFromReservoirs[t].data());
  }
  // 1 flows into 2, 3 into 4.
  stubTopology.tributaries = {0, 1, 2, 3, 4, 0};
  stubTopology.downstream = {0, 2, 0, 4, 0};
  stubTopology.description = {0, 0, 1, 0, 2};
  stubAreas = {{0.12, 0.25, 0.25, 0.25, 0.25}, {1.0, 1.0, 1.0, 1.0, 1.0}};
  for (std::vector<double>& row : stubAreas) stubAreaRows.push_back(row.data());
}

std::string IrrigationSetup::section() const {
  return "[irrigation]\n1  on\n" + std::to_string(minutes) + "  minutes\ngw.stat " + statisticCode +
         "  groundwater\nsw.stat " + statisticCode + "  surface water\n\n";
}

int IrrigationSetup::addType(int method, int origin, std::vector<IrrigationPoint> points,
                             double minEtrEtp) {
  IrrigationRecord r;
  r.code = static_cast<int>(table.size());
  r.method = method;
  r.origin = origin;
  r.minEtrEtp = minEtrEtp;
  r.points = std::move(points);
  table.push_back(r);
  table[0].code = static_cast<int>(table.size()) - 1;
  return r.code;
}

int IrrigationSetup::build() {
  if (!routing.model) writeFile(context.controlFileName, section());
  int code = 0;
  module = constructSubmodel<irrigationclass>(code, context);
  return code;
}

void IrrigationSetup::wireStub() {
  module->SetStorageRecords(riverflow.data());
  module->FindTracerStorageGrids();
  module->SetMaxIrrigation(stubMaxIrrigRows.data(), stubFromReservoirRows.data());
  module->SetRoutingTarget(&stubTopology);
  module->SetRoutingElements(stubAreaRows.data());
}

void IrrigationSetup::wireRouting(const std::string* stateFile, int readMode) {
  routing.model->SetRunoffSource(routing.runoffRows.data());
  routing.model->CheckInflowAbstractionLinks();
  routing.model->setIrrigationDemand(module->GetSurfaceDemand());
  routing.model->ReadStorageContent(stateFile, readMode);
  module->FindTracerStorageGrids();
  module->SetMaxIrrigation(routing.model->getMaxIrrig(),
                           routing.model->getMaxIrrigFromReservoirs());
  module->SetRoutingTarget(routing.model->getRoutingTarget());
  module->SetRoutingElements(routing.model->getAreaFactors());
}

void IrrigationSetup::step(const ModelDate& d) {
  module->Step(d.minute, d.hour, d.day, d.month, d.year);
}

Grid IrrigationSetup::grid(const std::string& name) const {
  for (const GridRegistryEntry& e : routing.base.registry)
    if (e.hasName && e.name == name) return e.grid;
  ADD_FAILURE() << name << " not registered";
  return nullptr;
}

void IrrigationSetup::setZone(const std::string& name, int z, double value) const {
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c)
      if (zoneOf(r, c) == z) at(name, r, c) = value;
}

std::vector<std::vector<double>> IrrigationSetup::statisticValues(const std::string& file) const {
  std::vector<std::vector<double>> rows = tableRows(context.outputDirectory + file);
  const std::size_t dateColumns = minutes < 60 ? 5 : 4;
  for (std::vector<double>& row : rows)
    row.erase(row.begin(), row.begin() + static_cast<long>(std::min(dateColumns, row.size())));
  return rows;
}
