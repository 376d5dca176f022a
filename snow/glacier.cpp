// A glacier with its elevation bands and its volume-area relation.
#include "snow/glacier.h"

#include <algorithm>
#include <cmath>

#include "submodel/teilmodellklasse.h"

long ElevationBand::countChangeable(double delta, Grid fraction) {
  changeable = 0;
  fixed.assign(cells.size(), 1);
  for (size_t i = 0; i < cells.size(); ++i) {
    const double f = fraction[cells[i].row][cells[i].column];
    const bool open = (delta < 0.0 && f > 0.0) || (delta > 0.0 && f < 1.0);
    if (!open) continue;
    fixed[i] = 0;
    ++changeable;
  }
  return changeable;
}

Glacier::Glacier(int code_, int bands_, int extra, int subbasin_, double scaling, double exponent,
                 double volume_, double area_, double cellSize_)
    : code(code_), cellSize(cellSize_), area(area_), volume(volume_), oldArea(area_),
      oldVolume(volume_), vaScaling(scaling), vaExponent(exponent), numElevBands(bands_),
      extraWeightBand0(extra), subbasin(subbasin_) {}

void Glacier::addCell(bool first, double cellArea, double elevation, double fraction) {
  ++cellCount;
  area += cellArea * fraction / 1e6;
  if (first) {
    minElevation = maxElevation = elevation;
    return;
  }
  minElevation = std::min(minElevation, elevation);
  maxElevation = std::max(maxElevation, elevation);
}

void Glacier::buildBands() {
  bands.assign(static_cast<size_t>(std::max(1, numElevBands)), ElevationBand{});
  const double width = (maxElevation - minElevation) / static_cast<double>(bands.size());
  for (size_t i = 0; i < bands.size(); ++i) {
    bands[i].lower = minElevation + static_cast<double>(i) * width;
    bands[i].upper = minElevation + static_cast<double>(i + 1) * width;
    bands[i].width = width;
  }
  cellsInBands = 0;
}

void Glacier::assignCellToBand(double elevation, long row, long column) {
  size_t b = 0;
  if (elevation >= maxElevation)
    b = bands.size() - 1;
  else if (elevation > minElevation)
    while (b + 1 < bands.size() && !(elevation < bands[b].upper)) ++b;
  ElevationBand& band = bands[b];
  band.cells.push_back({row, column});
  band.fixed.push_back(0);
  ++cellsInBands;
}

void Glacier::cellsToChangeFromArea() {
  cellsToChange = (area - oldArea) * 1e6 / (cellSize * cellSize);
  changeWeight = 0.0;
}

double Glacier::changeableWeight(double delta, Grid fraction) {
  changeWeight = 0.0;
  for (size_t b = 0; b < bands.size(); ++b) {
    const double n = static_cast<double>(bands[b].countChangeable(delta, fraction));
    changeWeight += b == 0 ? n * (1.0 + extraWeightBand0) : n;
  }
  return changeWeight;
}

double Glacier::minimumVolume() const {
  return vaScaling * std::pow(smallestGlacierArea, vaExponent);
}

void Glacier::volumeFromArea() {
  if (area <= 0.01) area = 0.01;
  volume = vaScaling * std::pow(area, vaExponent);
}

void Glacier::settle(double& a, double& v) const {
  if (v <= minimumVolume()) {
    v = minimumVolume();
    a = smallestGlacierArea;
    return;
  }
  a = std::pow(std::max(v, 0.0) / vaScaling, 1.0 / vaExponent);
}

void Glacier::areaFromVolume() {
  if (volume == 0.0) {
    const double a = area > 0.0 ? area : smallestGlacierArea;
    volume = vaScaling * std::pow(a, vaExponent);
    oldArea = area;
    oldVolume = volume;
  }
  settle(area, volume);
}

void Glacier::startFromArea() {
  volumeFromArea();
  settle(area, volume);
  oldArea = area;
  oldVolume = volume;
}

int GlacierField::subbasinOf(long r, long c) const {
  if (zone[r][c] == nodata) return 0;
  return subbasins->indexOf(subbasins->grid[r][c]);
}

double GlacierField::clampedFraction(long r, long c) const {
  return std::clamp(fraction[r][c], 0.0, 1.0);
}
