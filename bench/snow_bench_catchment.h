#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "bench/bench_catchment.h"
#include "snow/schneemodellklasse.h"
#include "submodel/model_context.h"

// The benchmark catchment with the grids the snow model reads in every
// benchmark, and zone 1 for its statistics.
struct SnowBenchCatchment : BenchCatchment {
  SnowBenchCatchment() {
    add("albedo", [](long, long) { return 0.7; });
    add("landuse1", [](long, long) { return nodata; });
    precipitation = add("precipitation", [](long, long) { return 0.0; });
    temperature = add("temperature", [](long, long) { return 0.0; });
    add("AspectCorrectedGlobalRadiation", [](long, long) { return 200.0; });
    add("snow_evaporation", [](long, long) { return 0.0; });
    useOneZone();
  }

  Grid precipitation = nullptr;
  Grid temperature = nullptr;
};

// "[snow_model]" of the snow benchmarks for a method: daily statistics of
// every series and no grid output.
inline void writeSnowBenchSection(std::ostream& out, int method) {
  out << "[snow_model]\n1\n60\n"
      << method << "\n1\n0\n0\n0.1\n0.5\n4\n2\n0.5\n0.01\n1\n3\n0.4\n0.9\n";
  auto pair = [&](const char* name) { out << name << ".asc\n0\n" << name << ".stat 1024\n"; };
  for (const char* name : {"rain", "snow", "days", "age"}) pair(name);
  out << "albedo.stat 1024\n";
  pair("outflow");
  pair("melt");
  out << "solid.asc\n0\nliquid.asc\n0\ntotal.stat 1024\ntotal.asc\n0\n0\n";
  if (method >= 5) {
    for (const char* name : {"snowtemp", "surftemp", "input", "mobile", "deposition"}) pair(name);
    out << "55\n1\n30\n0.01\n1\n1\n1\n";
  }
}

// The snow module of the control file; a failure stops every process.
inline std::unique_ptr<schneemodellklasse> buildSnowBenchModule(ModelContext& context,
                                                                const std::string& file) {
  auto m = constructBenchModule<schneemodellklasse>(context, file);
  m->setInterceptionFirst(false);
  return m;
}

// Hourly step n of a February or other month of 2021: snow, then glaciers.
inline void snowBenchStep(schneemodellklasse& module, long n, long month) {
  const long hour = n % 24;
  const long day = 1 + n / 24 % 28;
  module.computeSnowStep(0, hour, day, month, 2021);
  module.computeGlacierStep(0, hour, day, month, 2021);
}
