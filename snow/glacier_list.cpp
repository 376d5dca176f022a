// The glacier list of the whole catchment on rank 0: built from the grids,
// the table of glacierized shares per subbasin, the codes of new glacier
// cells and the spreading of the mass balance over what a glacier keeps.
#include <algorithm>

#include "core/diag_stream.h"
#include "snow/glacier.h"
#include "submodel/teilmodellklasse.h"

namespace {

constexpr int twoSubbasinsCode = 84;

} // namespace

long GlacierList::indexOf(double code) const {
  if (!(code > 0.0)) return -1;
  const auto it = codeIndex.find(static_cast<int>(code));
  return it == codeIndex.end() ? -1 : static_cast<long>(it->second);
}

void GlacierList::build(const GlacierField& field, DiagStream& diag) {
  std::map<int, Glacier> before;
  for (Glacier& g : list) before[g.code] = g;
  list.clear();
  codeIndex.clear();
  const double cellArea = field.cellSize * field.cellSize;
  std::vector<bool> first;
  for (long r = 1; r <= field.nrows; ++r)
    for (long c = 1; c <= field.ncols; ++c) {
      if (!field.valid(r, c) || !(field.codes[r][c] > 0.0)) continue;
      const int code = static_cast<int>(field.codes[r][c]);
      const int subbasin = static_cast<int>(field.subbasins->grid[r][c]);
      auto at = codeIndex.find(code);
      if (at == codeIndex.end()) {
        at = codeIndex.emplace(code, list.size()).first;
        list.emplace_back(code, settings.numElevBands, settings.extraWeightBand0, subbasin,
                          settings.vaScaling, settings.vaExponent, 0.0, 0.0, field.cellSize);
        first.push_back(true);
      }
      Glacier& g = list[at->second];
      if (g.subbasin != subbasin) {
        diag << "FATAL: \n\n=======================================\n"
             << "!!!! ERROR !!!! \n\n"
             << "glacier " << code << " is located in more than one subbasin:\n"
             << "First cell was found in subbasin " << g.subbasin << ",\n"
             << "whereas the cell in row " << r << " and col " << c << " belongs to subbasin "
             << subbasin
             << ".\nPlease make sure that each single glacier belongs to one specific subbasin "
                "only."
             << "[end-entry]";
        throw twoSubbasinsCode;
      }
      g.addCell(first[at->second], cellArea, field.elevation[r][c], field.clampedFraction(r, c));
      first[at->second] = false;
    }
  for (Glacier& g : list) g.buildBands();
  for (long r = 1; r <= field.nrows; ++r)
    for (long c = 1; c <= field.ncols; ++c) {
      const long k = field.valid(r, c) ? indexOf(field.codes[r][c]) : -1;
      if (k >= 0) list[static_cast<size_t>(k)].assignCellToBand(field.elevation[r][c], r, c);
    }
  for (Glacier& g : list) {
    const auto old = before.find(g.code);
    if (old == before.end()) {
      g.startFromArea();
      continue;
    }
    g.area = old->second.area;
    g.volume = old->second.volume;
    g.oldArea = old->second.oldArea;
    g.oldVolume = old->second.oldVolume;
  }
}

void GlacierList::takeVolumes(const std::vector<Glacier>& stored) {
  for (const Glacier& s : stored) {
    const long k = indexOf(s.code);
    if (k < 0) continue;
    Glacier& g = list[static_cast<size_t>(k)];
    g.area = s.area;
    g.volume = s.volume;
    g.oldArea = s.oldArea;
    g.oldVolume = s.oldVolume;
  }
}

std::vector<GlacierSubbasin> GlacierList::subbasinTable(const GlacierField& field,
                                                        int count) const {
  std::vector<GlacierSubbasin> table(static_cast<size_t>(count) + 1);
  for (long r = 1; r <= field.nrows; ++r)
    for (long c = 1; c <= field.ncols; ++c) {
      const int s = field.subbasinOf(r, c);
      if (s <= 0 || s > count) continue;
      GlacierSubbasin& t = table[static_cast<size_t>(s)];
      const double g = field.clampedFraction(r, c);
      t.glacierArea += g;
      t.freeArea += 1.0 - g;
      if (g > 0.0) t.hasGlacier = true;
    }
  return table;
}

// What a glacier gave up (the fraction a cell lost, or the whole cell that
// left it) returns as an even share over the fraction it still covers, so
// that its sum of balance times fraction stays.
void GlacierList::redistributeGlacierMassBalance(const GlacierField& field, int code) {
  auto concerned = [&](long k) { return k >= 0 && (code < 0 || list[size_t(k)].code == code); };
  for (size_t k = 0; k < list.size(); ++k)
    if (concerned(static_cast<long>(k)))
      list[k].mbSum = list[k].oldAreaSum = list[k].newAreaSum = 0.0;
  for (long r = 1; r <= field.nrows; ++r)
    for (long c = 1; c <= field.ncols; ++c) {
      if (!field.valid(r, c)) continue;
      const double mb = field.massBalance[r][c];
      const long old = indexOf(field.codesOld[r][c]);
      if (concerned(old)) {
        Glacier& g = list[static_cast<size_t>(old)];
        g.mbSum += field.codes[r][c] == field.codesOld[r][c]
                       ? (field.fractionOld[r][c] - field.fraction[r][c]) * mb
                       : mb * field.fractionOld[r][c];
        g.oldAreaSum += field.fractionOld[r][c];
      }
      const long now = indexOf(field.codes[r][c]);
      if (concerned(now)) list[static_cast<size_t>(now)].newAreaSum += field.fraction[r][c];
    }
  for (size_t k = 0; k < list.size(); ++k)
    if (concerned(static_cast<long>(k)))
      list[k].meanMB = list[k].newAreaSum != 0.0 ? list[k].mbSum / list[k].newAreaSum : 0.0;
  for (long r = 1; r <= field.nrows; ++r)
    for (long c = 1; c <= field.ncols; ++c) {
      const long now = field.valid(r, c) ? indexOf(field.codes[r][c]) : -1;
      if (concerned(now)) field.massBalance[r][c] += list[static_cast<size_t>(now)].meanMB;
    }
}

void GlacierList::nameNewGlacierCells(const GlacierField& field) {
  int largest = 0;
  for (const Glacier& g : list) largest = std::max(largest, g.code);
  const long dr[] = {-1, 0, 1, 0};
  const long dc[] = {0, 1, 0, -1};
  for (long r = 1; r <= field.nrows; ++r)
    for (long c = 1; c <= field.ncols; ++c) {
      if (!field.valid(r, c) || field.codes[r][c] != -1.0) continue;
      double code = 0.0;
      for (int k = 0; k < 4 && code <= 0.0; ++k) {
        const long nr = r + dr[k];
        const long nc = c + dc[k];
        if (nr < 1 || nr > field.nrows || nc < 1 || nc > field.ncols || !field.valid(nr, nc) ||
            field.subbasins->grid[nr][nc] != field.subbasins->grid[r][c])
          continue;
        if (field.codes[nr][nc] > 0.0) code = field.codes[nr][nc];
      }
      if (code <= 0.0) code = ++largest;
      largest = std::max(largest, static_cast<int>(code));
      field.codes[r][c] = field.codesOld[r][c] = code;
      field.fraction[r][c] = settings.relSizeNewGlacier;
    }
}
