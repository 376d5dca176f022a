#include "vertical/terrain_shading.h"

#include <cmath>

namespace {

// Ends of the quadrants of the azimuth.
constexpr double northEast = 1.570796326795;
constexpr double southEast = 3.14159265359;
constexpr double southWest = 4.7123889803850005;
// Beyond this |cos azimuth| a ray advances one row per step, else one column.
constexpr double rowAxisLimit = 0.707106781;

// How every ray of one sun position walks: one step along the main axis,
// one along the other axis whenever the integer error accumulator reaches 0.
struct RayWalk {
  long rowStep = 1;    // +1 southward, -1 northward
  long columnStep = 1; // +1 eastward, -1 westward
  bool alongRows = true;
  long span = 0;      // cells of the main axis: what the accumulator subtracts
  long increment = 0; // truncated span * |tangent of the sun's direction|
  double drop = 0.0;  // metres the ray sinks per step
};

void castRay(const ShadingTerrain& t, const RayWalk& w, long r, long c) {
  double height = t.elevation[r][c];
  long error = -(w.span / 2);
  for (;;) {
    if (t.zone[r][c] != t.nodata) {
      if (height > t.elevation[r][c]) {
        t.shadow[r][c] = 1.0;
      } else {
        t.shadow[r][c] = 0.0;
        height = t.elevation[r][c];
      }
    }
    error += w.increment;
    const bool side = error >= 0;
    if (side) error -= w.span;
    if (w.alongRows) {
      r += w.rowStep;
      if (side) c += w.columnStep;
      height -= w.drop;
    } else {
      c += w.columnStep;
      if (side) r += w.rowStep;
      if (height > t.nodata) height -= w.drop;
    }
    if (r < 1 || r > t.nrows || c < 1 || c > t.ncols) return;
  }
}

} // namespace

void castTerrainShadows(const ShadingTerrain& t, double azimuth, double elevation) {
  RayWalk w;
  // The rays run away from the sun: southward from a sun in the north.
  w.rowStep = azimuth <= northEast || azimuth > southWest ? 1 : -1;
  w.columnStep = azimuth <= southEast ? -1 : 1;
  const double cosine = std::cos(azimuth);
  const double sine = std::sin(azimuth);
  w.alongRows = std::fabs(cosine) > rowAxisLimit;
  if (w.alongRows) {
    w.span = t.nrows;
    w.increment = static_cast<long>(std::fabs(t.nrows * sine / cosine));
    w.drop = std::fabs(t.cellsize / cosine) * std::tan(elevation);
  } else {
    w.span = t.ncols;
    w.increment = static_cast<long>(std::fabs(t.ncols * cosine / sine));
    w.drop = std::fabs(t.cellsize / sine) * std::tan(elevation);
  }

  const long edgeRow = w.rowStep > 0 ? 1 : t.nrows;
  const long edgeColumn = w.columnStep > 0 ? 1 : t.ncols;
  for (long c = 1; c <= t.ncols; ++c) castRay(t, w, edgeRow, c);
  // Against the rays' direction: the rays that start nearest the sun come last.
  for (long k = 0; k < t.nrows; ++k) castRay(t, w, w.rowStep > 0 ? t.nrows - k : 1 + k, edgeColumn);
}
