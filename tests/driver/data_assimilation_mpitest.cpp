#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "driver/data_assimilation.h"
#include "tests/submodel/strip_context.h"

namespace {

// The observation of an hour; every fourth cell or so has none.
double observed(long hour, long r, long c) {
  return (r * c + hour) % 4 == 0 ? nodata : 7.0 * hour + 0.5 * r - 0.25 * c;
}

void writeAsciiObservation(const std::string& path, long hour, long nrows, long ncols) {
  std::string text = "ncols\t" + std::to_string(ncols) + "\nnrows\t" + std::to_string(nrows) +
                     "\nxllcorner\t0\nyllcorner\t0\ncellsize\t1\nnodata_value\t-9999\n";
  char value[32];
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c) {
      std::snprintf(value, sizeof value, "%.17g%s", observed(hour, r, c), c < ncols ? "\t" : "\n");
      text += value;
    }
  writeFile(path, text);
}

// A binary grid of doubles, which every process reads its own rows of.
void writeBinaryObservation(const std::string& path, long hour, long nrows, long ncols) {
  std::vector<double> values = {double(ncols), double(nrows), 0, 0, 1, nodata, 0, 0, 0, 0, 0, 0};
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c) values.push_back(observed(hour, r, c));
  writeFile(path, std::string(reinterpret_cast<const char*>(values.data()),
                              values.size() * sizeof(double)));
}

} // namespace

TEST(DataAssimilationMpi, TargetsAreDrawnTowardsTheObservationsOfTheirHours) {
  const std::string observations = makeTestDirectory("assimilation_observations", true);
  StripContext s("assimilation",
                 "[data_assimilation]\n1  flow control parameter\n60  time interval\n3  rules\n"
                 "{kind = grid; target = kept; file = obs/cells; weight = 0;}\n"
                 "{kind = grid; target = halfway; file = obs/cells; weight = 0.5;}\n"
                 "{kind = grid; target = replaced; file = obs/cells; weight = 1;}\n");
  s.context.inputDirectory = observations + "/";
  const long nrows = s.strips.nrows;
  const long ncols = s.strips.ncols;
  if (s.strips.rank == 0) {
    std::filesystem::create_directory(observations + "/obs");
    writeAsciiObservation(observations + "/obs/cells_2021030101", 1, nrows, ncols);
    writeBinaryObservation(observations + "/obs/cells_2021030103", 3, nrows, ncols);
  }
  const double weights[3] = {0.0, 0.5, 1.0};
  Grid targets[3];
  const char* names[3] = {"kept", "halfway", "replaced"};
  for (int k = 0; k < 3; ++k) {
    targets[k] = s.strips.grid(untouched);
    s.fill(targets[k], cellValue);
    s.strips.add(names[k], targets[k]);
  }
  int code = -1;
  const auto module = constructSubmodel<data_assimilation>(code, s.context);
  ASSERT_EQ(code, 0) << s.strips.m.console();
  ASSERT_EQ(module->getRuleCount(), 3u);

  // Hours 1 and 3 have a file; the second step of hour 1 must not take it
  // again.
  struct Step {
    long hour, minute;
    bool observation;
  };
  std::vector<std::vector<double>> expected(3, std::vector<double>((nrows + 1) * (ncols + 1)));
  for (int k = 0; k < 3; ++k)
    for (long r = 1; r <= nrows; ++r)
      for (long c = 1; c <= ncols; ++c) expected[k][r * (ncols + 1) + c] = cellValue(r, c);
  for (const Step step : {Step{0, 0, false}, Step{1, 0, true}, Step{1, 30, false},
                          Step{2, 0, false}, Step{3, 0, true}}) {
    SCOPED_TRACE(std::to_string(step.hour) + ":" + std::to_string(step.minute));
    module->step(step.minute, step.hour, 1, 3, 2021);
    for (int k = 0; k < 3; ++k)
      for (long r = 1; r <= nrows; ++r)
        for (long c = 1; c <= ncols; ++c) {
          double& e = expected[k][r * (ncols + 1) + c];
          const double o = observed(step.hour, r, c);
          if (step.observation && o != nodata) e = (1.0 - weights[k]) * e + weights[k] * o;
          if (s.strips.owner[r][c] == s.strips.rank) {
            ASSERT_EQ(targets[k][r][c], e) << names[k] << " at " << r << " " << c;
          }
        }
  }
  module->releaseModule();
}
