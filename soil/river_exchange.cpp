#include "soil/river_exchange.h"

#include <algorithm>

#include "soil/column_numerics.h"

namespace {

bool hasBed(const RiverCell& river) {
  return river.depth > 0.0 && river.width > 0.0 && river.leakage > 0.0;
}

// The first layer whose running depth reaches the river's.
int bedLayer(const double* d, int n, double riverDepth) {
  int bed = 1;
  double depth = d[1];
  while (bed < n && depth < riverDepth) depth += d[++bed];
  return bed;
}

} // namespace

double riverLoss(const RiverBank& bank, const RiverCell& river) {
  const double bedHeight = bank.surface - river.depth;
  // Until routing has filled the record there is no river to lose water.
  if (!hasBed(river) || bank.tableHeight > bedHeight || !river.linked || !(river.discharge > 0.0) ||
      !(river.speed > 0.0))
    return 0.0;
  const int bed = bedLayer(bank.d, bank.layers, river.depth);
  const double level = river.discharge / river.speed / river.width;
  const double bedHead =
      bed <= std::min(bank.layers, bank.tableLayer + 2) ? bank.head[bed] : bank.tableHeight;
  return std::max(0.0,
                  river.leakage * (bedHeight + level - bedHead) * river.width / river.cellSize);
}

void exchangeWithSurfaceWater(SoilColumn& c, const RiverCell& river, double dt) {
  const int n = c.layers;
  double* in = c.riverInfiltration;
  double* out = c.riverExfiltration;
  std::fill(in, in + n + 2, 0.0);
  std::fill(out, out + n + 2, 0.0);
  if (!hasBed(river)) return;
  const int bed = bedLayer(c.d, n, river.depth);
  const double bedHeight = c.z[0] - river.depth;
  const double table = c.cell.tableHeight;
  const int g = c.tableLayer();
  auto mean = [&](int i) { return 0.5 * (c.theta0[i] + c.theta[i]); };

  if (table <= bedHeight) {
    const RiverBank bank{c.d, c.z[0], c.head, n, g, table};
    const double level =
        river.linked && river.speed > 0.0 ? river.discharge / river.speed / river.width : 0.0;
    double rate = std::min(riverLoss(bank, river), river.cap);
    auto place = [&](int i) {
      const double room = std::max(0.0, (c.thetaSat[i] - mean(i)) * c.d[i] / dt);
      in[i] = std::min(rate, room);
      rate -= in[i];
    };
    for (int i = bed; i <= n && rate > 0.0; ++i) place(i);
    for (int i = bed - 1; i >= 1 && rate > 0.0 && c.z[i] < bedHeight + level; --i) place(i);
    return;
  }

  double rate = river.width * river.leakage * (table - bedHeight) / river.cellSize;
  for (int i = g; i <= bed && rate > 0.0; ++i) {
    // Of the table layer only the saturated part above the riverbed gives.
    const double height = i == g ? std::min(c.d[i], table - std::max(c.z[i], bedHeight)) : c.d[i];
    out[i] = std::min(rate, std::max(0.0, (mean(i) - c.thetaFc[i]) * height / dt));
    rate -= out[i];
  }
}
