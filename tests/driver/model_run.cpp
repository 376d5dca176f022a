#include "tests/driver/model_run.h"

#include "meteo/meteo_dates.h"

namespace {

std::string asciiGrid(const std::vector<std::string>& rows) {
  std::string text = "ncols 4\nnrows 3\nxllcorner 1000\nyllcorner 2000\ncellsize 100\n"
                     "nodata_value -9999\n";
  for (const std::string& row : rows) text += row + "\n";
  return text;
}

} // namespace

ModelDate TinyCatchment::hourOf(long k) { return addMinutes(ModelDate{0, 0, 1, 1, 2020}, 60 * k); }

void TinyCatchment::write(const std::string& dir) const {
  writeFile(dir + "/zone.asc", asciiGrid({"1 1 2 -9999", "1 2 2 2", "-9999 1 2 2"}));
  writeFile(dir + "/dem.asc",
            asciiGrid({"500 510 520 -9999", "490 500 530 540", "-9999 480 510 520"}));
  writeFile(dir + "/MpiSpeedFactor.dat", "1\n");
  std::ostringstream stations;
  stations << (secondStation ? "X 1150 1390\nY 2150 2010\nYY MM DD HH A B\n"
                             : "X 1150\nY 2150\nYY MM DD HH A\n");
  for (long k = 0; k <= lastHour; ++k) {
    const ModelDate d = hourOf(k);
    stations << d.year << " " << d.month << " " << d.day << " " << d.hour << " " << 10 + k;
    if (secondStation) stations << " " << 20 - k;
    stations << "\n";
  }
  writeFile(dir + "/stations.txt", stations.str());
  writeFile(dir + "/run.ctl", controlText());
}

std::string TinyCatchment::controlText() const {
  const ModelDate end = hourOf(lastHour);
  std::ostringstream c;
  c << "[output_interval]\n1  output interval\n0\n0\n"
    << minToIntEnd << "  min_to_int_end\n"
    << outputKeys << "\n"
    << "[output_list]\n0\n"
    << "[coordinates]\n47.5\n8.25\n15\n0\n"
    << meteoSections << "[model_time]\n0\n1\n1\n2020\n"
    << end.hour << "\n"
    << end.day << "\n"
    << end.month << "\n"
    << end.year << "\n"
    << "[irrigation]\n0\n60\n[radiation_correction]\n0\n60\n"
    << "[zone_grid]\nzone.asc\n[elevation_model]\ndem.asc\n"
    << "[standard_grids]\n"
    << standardGridCount << "\n"
    << standardGrids << "[variable_grids]\n0\n"
    << "[region_transition_distance]\n2\n[substance_transport]\n0  tracers\n"
    << "[temperature]\nstations.txt\n1  method\n60  minutes\n-50 50\n2 100000 4\n1\n"
    << temperatureOutput << "\n\n"
    << extraSections;
  return c.str();
}

int runModel(ModellApplication& model, const std::string& dir) {
  const InDirectory here(dir);
  return exitCodeOf([&] {
    model.init();
    model.run();
    model.ClearMemory();
  });
}
