// The first step's preparation: the work arrays handed to the elements and
// the channels filled by routing the first runoff until it has flowed
// through.
#include <algorithm>
#include <cmath>

#include "core/diag_stream.h"
#include "routing/abflussmodellklasse.h"

void abflussmodellklasse::CheckInflowAbstractionLinks() {
  if (flowControl <= 0 || !runoffSource) return;
  const int columns = subbasins + countZL;
  for (int t = 0; t <= tracerCount; ++t) {
    for (int i = 1; i <= subbasins; ++i) stepRunoff[t][i] = runoffSource[t][i];
    std::fill(stepRunoff[t] + subbasins + 1, stepRunoff[t] + columns + 1, 0.0);
  }
  convertObservedForRouting();
  const double* const* observed =
      specificDischarges && observedOpened ? routedObservationRows.data() : nullptr;
  for (std::size_t e = 1; e < elements.size(); ++e)
    elements[e]->SetFlowArrays(stepRunoff, subTable.data(), queueTable.data(), observed,
                               observedColumn.data());
  for (int t = 0; t <= tracerCount; ++t)
    for (int j = 1; j <= subIntervals; ++j)
      std::copy(stepRunoff[t] + 1, stepRunoff[t] + columns + 1, subTable[t][j] + 1);
  *diag << "checking connection of internal inflows and abstractions"
        << "[end-entry]";
  linkInternalAbstractions();
  for (std::size_t e = 1; e < elements.size(); ++e) elements[e]->InitChannelStates();
  if (readGrids != 0) return;

  // Long enough for the slowest water of every element to leave it.
  double hours = 0.0;
  for (std::size_t e = 1; e < elements.size(); ++e) {
    const routingclass& element = *elements[e];
    double slowest = 0.0;
    for (int c = 1; c <= element.channelCount(); ++c)
      slowest = std::max(slowest, std::trunc(element.table(c).t[1]));
    hours += slowest;
  }
  const int repetitions = std::max(1, static_cast<int>(std::ceil(hours / timeStepMinutes * 60.0)));
  *diag << "routing the initialization discharges (" << repetitions << " times)"
        << "[end-entry]";
  std::vector<std::vector<double>> saved(stepStore);
  for (int n = 0; n < repetitions; ++n) {
    for (int t = 0; t <= tracerCount; ++t) {
      std::copy(stepRunoff[t] + 1, stepRunoff[t] + columns + 1, saved[t].begin() + 1);
      for (int j = 1; j <= subIntervals; ++j)
        std::copy(stepRunoff[t] + 1, stepRunoff[t] + columns + 1, subTable[t][j] + 1);
    }
    for (std::size_t e = 1; e < elements.size(); ++e) elements[e]->Route(0, 0, 0, 0, 0);
    *diag << ".";
    for (int t = 0; t <= tracerCount; ++t)
      std::copy(saved[t].begin() + 1, saved[t].begin() + subbasins + 1, stepRunoff[t] + 1);
  }
  *diag << "[end-entry]";
}
