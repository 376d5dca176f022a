#include "tests/meteo/meteo_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>

#include "meteo/meteoint.h"
#include "tests/test_support.h"

MeteoModel::MeteoModel(const std::string& controlFileArg, const std::vector<std::string>& maskArg,
                       double xll, double yll, double cellsize, const CellFunction& elevation)
    : DecompositionModel(".", controlFileArg), mask(maskArg) {
  controlFile = std::fopen(controlFileName.c_str(), "r");
  setDomain(mask, {}, elevation);
  header.xllcorner = xll;
  header.yllcorner = yll;
  header.cellsize = cellsize;
  distributeBaseGrids(lo, hi);
  const long n = header.nrows;
  addGrid("CellSizeX", [&](long, long) { return cellsize; });
  addGrid("CellSizeY", [&](long, long) { return cellsize; });
  // The corners over the strip rows alone, as the set-up makes them.
  const long first = header.firstRow;
  const long last = header.lastRow;
  for (const char* name : {"CoordX", "CoordY"}) {
    Grid g = ownedGrid(first, last);
    const bool isX = name[5] == 'X';
    for (long r = first; r <= last; ++r)
      for (long c = 1; c <= header.ncols; ++c)
        g[r][c] = !valid(r, c) ? -9999.0
                  : isX        ? xll + (c - 1) * cellsize
                               : yll + (n - r) * cellsize;
    registerGrid(firstFreeRegistryIndex(), name, g, nullptr, 0, name, 0, first, last);
  }
}

Grid MeteoModel::addGrid(const std::string& name, const CellFunction& value) {
  Grid g = ownedGrid(lo, hi);
  for (long r = lo; r <= hi; ++r)
    for (long c = 1; c <= header.ncols; ++c) g[r][c] = valid(r, c) ? value(r, c) : -9999.0;
  registerGrid(firstFreeRegistryIndex(), name + ".asc", g, nullptr, 0, name, 0, lo, hi);
  return g;
}

ModelContext MeteoModel::context(const ModelDate& start, const ModelDate& end) {
  ModelContext c;
  c.diag = getDiag();
  c.controlFileName = controlFileName;
  c.registry = entries();
  c.header = header;
  c.rowColumnRange = rowColumnRange;
  c.cellsPerProcess = &cells;
  c.haloSendList = &sendList;
  c.haloReceiveList = &receiveList;
  c.startDate = start;
  c.endDate = end;
  c.writeAsciiGrids = true;
  return c;
}

std::vector<double> MeteoModel::gathered(int index) {
  Grid whole = MPIGatherGridCopy(index);
  std::vector<double> values;
  if (mpiRank == 0) {
    Grid source = whole ? whole : entries()[index].grid;
    for (long r = 1; r <= header.nrows; ++r)
      values.insert(values.end(), source[r] + 1, source[r] + header.ncols + 1);
  }
  if (whole) free_matrix(whole, 1, header.nrows, 1, header.ncols);
  return values;
}

std::string StationTable::text() const {
  std::ostringstream out;
  out.precision(17);
  const char* axes[3] = {"X", "Y", "Z"};
  const std::vector<double>* lines[3] = {&x, &y, &z};
  for (int a = 0; a < 3; ++a) {
    if (lines[a]->empty()) continue;
    out << axes[a];
    for (double v : *lines[a]) out << " " << v;
    out << "\n";
  }
  out << "YY MM DD HH" << (step < 60 ? " mm" : "");
  for (std::size_t s = 0; s < x.size(); ++s) out << " S" << s + 1;
  out << "\n";
  long minutes = start.minute + 60 * (start.hour + 24 * (start.day - 1));
  for (const std::vector<double>& line : values) {
    // Dates within one month are enough for these tables.
    const long day = minutes / 1440 + 1;
    const long hour = minutes / 60 % 24;
    out << start.year << " " << start.month << " " << day << " " << hour;
    if (step < 60) out << " " << minutes % 60;
    for (double v : line) out << " " << v;
    out << "\n";
    minutes += step;
  }
  return out.str();
}

std::string InterpolatorSection::text() const {
  std::ostringstream out;
  out << "[" << name << "]\n"
      << input << "   input file\n"
      << method << "   method\n"
      << gifLines << step << "   time step in minutes\n"
      << limits << "   lower and upper limit\n"
      << idw << "   IDW exponent, maximum distance, maximum number of stations\n"
      << minStations << "   minimum number of stations per regression region\n"
      << output << "   output grid file name and write code\n\n";
  return out.str();
}

double idwByDefinition(double x, double y, const std::vector<double>& sx,
                       const std::vector<double>& sy, const std::vector<double>& values,
                       double exponent, double maxDistance, long maxStations) {
  std::vector<std::pair<double, std::size_t>> byDistance;
  for (std::size_t s = 0; s < values.size(); ++s)
    if (values[s] > -999.0) byDistance.push_back({std::hypot(x - sx[s], y - sy[s]), s});
  std::stable_sort(byDistance.begin(), byDistance.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  double weights = 0.0, sum = 0.0;
  long used = 0;
  for (const auto& [d, s] : byDistance) {
    if (d > maxDistance || used == maxStations) break;
    if (d == 0.0) return values[s];
    weights += std::pow(d, -exponent);
    sum += std::pow(d, -exponent) * values[s];
    ++used;
  }
  return used > 0 ? sum / weights : values[byDistance.front().second];
}

const std::vector<std::string> MeteoRun::catchment = {"..xxxxxx..", ".xxxxxxxx.", "xxx..xxxxx",
                                                      "xxxxxxxxxx", ".xxxxx.xx.", "..xxxxxx..",
                                                      "...xxxx...", "....xx...."};

MeteoRun::MeteoRun(const std::string& name, const std::string& sections,
                   const std::vector<std::pair<std::string, std::string>>& files,
                   const std::vector<std::string>& mask, const CellFunction& elevation)
    : directory(std::make_unique<SpeedDirectory>(name, "1")) {
  writeFile(directory->controlFile(), controlFileText(0) + "\n" + sections);
  for (const auto& [file, text] : files) {
    const std::filesystem::path parent = std::filesystem::path(file).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent);
    writeFile(file, text);
  }
  model = std::make_unique<MeteoModel>(directory->controlFile(), mask, 0.0, 0.0, 1000.0, elevation);
  context = model->context(ModelDate{0, 0, 1, 4, 2015}, ModelDate{0, 3, 1, 4, 2015});
}

MeteoRun::~MeteoRun() {
  model.reset();
  directory.reset();
}

std::unique_ptr<meteointerpol> MeteoRun::interpolator(const std::string& variable, int& code) {
  return std::make_unique<meteointerpol>(context, code, variable, outputSwitch);
}

void MeteoRun::step(meteointerpol& interpolator) {
  interpolator.interpolate(interpolator.getNextDate());
}
