#include "tests/routing/routing_network.h"

#include <gtest/gtest.h>

RoutingNetwork::RoutingNetwork(const std::string& name, int subbasinCount, int inflowCount,
                               int subIntervalCount, double step, int tracers)
    : log(name), tracerTable(tracers + 1), subbasins(subbasinCount), inflows(inflowCount),
      subIntervals(subIntervalCount), timeStep(step) {
  context.diag = &log.diag;
  context.outputDirectory = log.directory + "/";
  context.tracerCount = tracers;
  context.tracerTable = &tracerTable;
  const int width = columns() + 1;
  source.assign(tracers + 1, std::vector<double>(width, 0.0));
  stepStore.assign(tracers + 1, std::vector<double>(width, 0.0));
  subStore.assign(tracers + 1, std::vector<std::vector<double>>(subIntervals + 1,
                                                                std::vector<double>(width, 0.0)));
  subRows.resize(tracers + 1);
  queueRows.assign(tracers + 1, std::vector<double*>(width, nullptr));
  for (int t = 0; t <= tracers; ++t) {
    stepRows.push_back(stepStore[t].data());
    for (auto& row : subStore[t]) subRows[t].push_back(row.data());
    subTable.push_back(subRows[t].data());
    queueTable.push_back(queueRows[t].data());
  }
  stepRunoff = stepRows.data();
  subRunoff = subTable.data();
  areaRows.assign(2, std::vector<double>(width, 0.0));
  for (double& factor : areaRows[1]) factor = 1.0;
  areaTable = {areaRows[0].data(), areaRows[1].data()};
  for (int code = 0; code <= subbasins; ++code) columnMap.push_back(code);
  givenSubRunoff.assign(tracers + 1, std::vector<std::vector<double>>(width));
}

routingclass& RoutingNetwork::addElement(int code, double area,
                                         const std::vector<ChannelUse>& tributaries,
                                         const std::vector<ChannelUse>& summed,
                                         const std::vector<ChannelUse>& inflowChannels,
                                         double areaFactor) {
  RoutingElementLayout layout;
  layout.subbasins = subbasins;
  layout.timeStep = timeStep;
  layout.subIntervals = subIntervals;
  layout.elementArea = area;
  layout.areaFactor = areaFactor;
  layout.subbasinCode = code;
  layout.tributaries = static_cast<int>(tributaries.size());
  layout.summedTributaries = static_cast<int>(summed.size());
  layout.inflows = static_cast<int>(inflowChannels.size());
  layout.areaTable = areaTable.data();
  layout.columnMap = &columnMap;
  int error = -1;
  elements.push_back(std::make_unique<routingclass>(error, context, layout));
  EXPECT_EQ(error, 0) << log.console.str();
  routingclass& element = *elements.back();
  int c = 0;
  for (const auto* group : {&tributaries, &summed, &inflowChannels})
    for (const ChannelUse& use : *group) {
      const TestChannel& s = use.channel;
      element.BuildRoutingTables(++c, use.code, use.members, s.storageMain, s.storageFlood,
                                 s.widthMain, s.widthFlood, s.depthMain, s.manningMain,
                                 s.manningFlood, s.slope, s.length, s.area, s.qMin, s.qMax,
                                 s.intervals, group != &inflowChannels);
    }
  element.CheckBasinArea();
  return element;
}

void RoutingNetwork::takeSourceRunoff() {
  for (std::size_t t = 0; t < source.size(); ++t)
    for (int col = 1; col <= subbasins; ++col) stepRunoff[t][col] = source[t][col];
}

void RoutingNetwork::start() {
  takeSourceRunoff();
  for (auto& element : elements)
    element->SetFlowArrays(stepRunoff, subRunoff, queueTable.data(), nullptr, nullptr);
  for (auto& element : elements) element->InitChannelStates();
  ledger.owed.assign(static_cast<std::size_t>(subbasins) + 1, 0.0);
  ledger.outletElement.assign(static_cast<std::size_t>(subbasins) + 1, 0);
  for (std::size_t e = 0; e < elements.size(); ++e) {
    ledger.outletElement[static_cast<std::size_t>(elements[e]->getSubbasinCode())] =
        static_cast<int>(e) + 1;
    elements[e]->SetIrrigationLedger(&ledger);
  }
}

void RoutingNetwork::setSubIntervalRunoff(int column, const std::vector<double>& values,
                                          int tracer) {
  givenSubRunoff[tracer][column] = values;
}

void RoutingNetwork::step(int month) {
  takeSourceRunoff();
  for (int t = 0; t < static_cast<int>(stepStore.size()); ++t)
    for (int col = 1; col <= columns(); ++col) {
      std::vector<double>& given = givenSubRunoff[t][col];
      for (int n = 1; n <= subIntervals; ++n)
        subRunoff[t][n][col] = given.empty() ? stepRunoff[t][col] : given[n - 1];
      given.clear();
    }
  for (auto& element : elements) element->Route(month < 1 ? 0 : 2001, month, 1, 0, 0);
}
