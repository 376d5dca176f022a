#pragma once

#include <cstddef>
#include <vector>

#include "core/grid_types.h"

// The waterlevel-discharge table of one channel and the state of its
// translation queue and retention. Per-row arrays have N + 2 entries, row 0
// unused; per-sub-channel arrays nSubChannels + 2, used from 1.
struct RoutingTable {
  std::vector<double> q;   // specific discharge, l/s/km^2
  std::vector<double> qmm; // the same as runoff depth per time step, mm
  std::vector<double> Q;   // discharge, m^3/s
  std::vector<double> v;   // mean velocity of main channel and flood plain, m/s
  std::vector<double> vm;  // velocity in the main channel, m/s
  std::vector<double> vf;  // velocity on the flood plain, m/s
  std::vector<double> t;   // flow time through the whole channel, h
  double nSubChannels = 0.0;
  std::vector<double> Rm; // hydraulic radius of the main channel, m
  std::vector<double> Rf; // hydraulic radius of the flood plain, m
  std::vector<double> dm; // water depth in the main channel, m
  std::vector<double> df; // water depth on the flood plain, m
  // Queue positions per channel beyond the sub-intervals.
  int nStorage = 0;
  std::vector<int> delta;         // translation delay per sub-channel, sub-intervals
  std::vector<double> floodShare; // Qf / (Qm + Qf)
  // Largest delay of the table; with the sub-intervals it is the length of
  // one sub-channel's segment of the queue.
  int maxDelta = 0;

  std::vector<int> queuePos; // per sub-channel: where the next inflow is written
  // Per sub-channel: the flood-plain share of its outflow in the previous step.
  std::vector<double> qvzuq;
  // [0 .. nSubChannels + 1][0 .. subIntervals + 1]: outflow of each sub-channel
  // and sub-interval in the previous step (memory_handling::matrix).
  Grid Qaus = nullptr;
  // The concentration of tracer t (1 .. number of tracers) in the outflow
  // of sub-channel s and sub-interval n in the previous step: the water its
  // storages hold carries it.
  std::vector<double> outflowConcentration;
  double& concentrationOf(int t, int s, int n, int subIntervals) {
    return outflowConcentration[concentrationIndex(t, s, n, subIntervals)];
  }
  double concentrationOf(int t, int s, int n, int subIntervals) const {
    return outflowConcentration[concentrationIndex(t, s, n, subIntervals)];
  }
  std::size_t concentrationIndex(int t, int s, int n, int subIntervals) const {
    const std::size_t slots = static_cast<std::size_t>(nSubChannels) + 2;
    return (static_cast<std::size_t>(t) * slots + static_cast<std::size_t>(s)) *
               (static_cast<std::size_t>(subIntervals) + 2) +
           static_cast<std::size_t>(n);
  }

  int segmentLength(int subIntervals) const { return maxDelta + subIntervals; }
};
