#include <cmath>
#include <cstdio>
#include <string>

#include "core/diag_stream.h"
#include "core/file_failure.h"
#include "core/run_files.h"
#include "routing/routingclass.h"

namespace {

constexpr int createFailedCode = 26;

// A recession factor per time step shown as the storage constant in hours it
// came from.
double storageHours(double factor, double stepHours) {
  if (factor == 1.0) return 0.0;
  if (factor <= 0.0) return -9999.0;
  return -stepHours / std::log(factor);
}

std::string numbered(const char* format, int number) {
  char name[32];
  std::snprintf(name, sizeof name, format, number);
  return name;
}

} // namespace

void routingclass::WriteWQTable() {
  for (int c = 1; c <= channelCount(); ++c) writeTableFile(c);
}

void routingclass::writeTableFile(int c) {
  const RoutingTable& w = wqtab[c];
  std::string name = isInflowChannel(c) ? numbered("wq_tabZL.%.3d", channelCode[c])
                                        : numbered("wq_table.%.3d", channelColumn(c));
  prependDirectory(outputDirectory, name);
  noteOutputFile(name, "the water-level-discharge table of channel " + std::to_string(c) +
                           " of TG " + std::to_string(subbasinCode));
  OutputText text;
  FILE* file = text.file();
  const int N = static_cast<int>(tableIntervals[c]);
  const double stepHours = timeStep / 60.0;
  if (isInflowChannel(c)) {
    std::fprintf(file, "waterlevel-discharge-table for the channel of inflow %d", channelCode[c]);
  } else if (subbasinList[c].empty()) {
    std::fprintf(file, "waterlevel-discharge-table for the channel of subbasin %d", channelCode[c]);
  } else {
    const std::vector<int>& list = subbasinList[c];
    std::fprintf(file, "waterlevel-discharge-table for the channel of subbasins %d",
                 channelCode[c]);
    for (std::size_t i = 0; i + 1 < list.size(); ++i) std::fprintf(file, ", %d", list[i]);
    std::fprintf(file, " and %d", list.back());
  }
  std::fprintf(file, " to the outlet of subbasin %d\n", subbasinCode);
  std::fprintf(file, "input parameters from the control file:\n");
  std::fprintf(file, "------------------------------------------\n");
  std::fprintf(file, "storage constant mean channel [h] : %7.2f\n",
               storageHours(storageConstMain[c], stepHours));
  std::fprintf(file, "storage constant flood plain [h]  : %7.2f\n",
               storageHours(storageConstFlood[c], stepHours));
  std::fprintf(file, "width of the mean channel [m]     : %7.2f\n", widthMain[c]);
  std::fprintf(file, "width of flood plains  [m]        : %7.2f\n", widthFlood[c]);
  std::fprintf(file, "depth of mean channel  [m]        : %7.2f\n", depthMain[c]);
  std::fprintf(file, "Manning-coef. mean chan[m^(1/3)/s]: %7.2f\n", manningMain[c]);
  std::fprintf(file, "Manning-ceof. flood pl.[m^(1/3)/s]: %7.2f\n", manningFlood[c]);
  std::fprintf(file, "slope angle            [1/1]      : %7.4f\n", sqrtSlope[c] * sqrtSlope[c]);
  std::fprintf(file, "channel length         [m]        : %7.1f\n", channelLength[c]);
  std::fprintf(file, "catchment area         [km^2]     : %7.2f\n", catchmentArea[c]);
  std::fprintf(file, "min. spec. discharge   [l/s/km^2] : %7.1f\n", qMin[c]);
  std::fprintf(file, "max. spec. discharge   [l/s/km^2] : %7.1f\n", qMax[c]);
  std::fprintf(file, "intervals for w-q-table[-]        : %7.0f\n", N + 1.0);
  std::fprintf(file, "sub-intervals (time)   [-]        : %7d  \n", subIntervals);
  std::fprintf(file, "number of sub-channels            : %7.0f\n", w.nSubChannels);
  std::fprintf(file, "total number of storage elements  : %7d  \n", w.nStorage + subIntervals);
  const std::string separator(79, '-');
  std::fprintf(file, "%s\n", separator.c_str());
  std::fprintf(file, "  #    q      q       Q     dm    df     v      vm     vf     t   delta   "
                     "Qm/Q \n");
  std::fprintf(file, "     [mm]  l/s/km2 [m^3/s]  [m]   [m]   [m/s]  [m/s]  [m/s]  [h]  [Int]   "
                     "[1/1]\n");
  std::fprintf(file, "%s\n", separator.c_str());
  for (int k = 1; k <= N + 1; ++k)
    std::fprintf(file,
                 "%3d  %5.3f %6.1f %7.2f  %5.2f %5.2f %5.2f  %5.2f  %5.2f  %5.2f  %3d   %5.3f\n", k,
                 w.qmm[k], w.q[k], w.Q[k], w.dm[k], w.df[k], w.v[k], w.vm[k], w.vf[k], w.t[k],
                 w.delta[k], w.floodShare[k]);
  const int error = createOutputFile(name, text.text());
  if (error == 0) return;
  *diag << "FATAL: error writing file " << name << " (" << systemReason(error)
        << "; check user rights or disk space)"
        << "[end-entry]";
  throw fileFailureCode(error, createFailedCode);
}
