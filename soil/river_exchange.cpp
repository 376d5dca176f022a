#include "soil/river_exchange.h"

#include <algorithm>

#include "soil/column_numerics.h"

void exchangeWithSurfaceWater(SoilColumn& c, const RiverCell& river, double dt) {
  const int n = c.layers;
  double* in = c.riverInfiltration;
  double* out = c.riverExfiltration;
  std::fill(in, in + n + 2, 0.0);
  std::fill(out, out + n + 2, 0.0);
  if (!(river.depth > 0.0) || !(river.width > 0.0) || !(river.leakage > 0.0)) return;
  int bed = 1;
  double depth = c.d[1];
  while (bed < n && depth < river.depth) depth += c.d[++bed];
  const double bedHeight = c.z[0] - river.depth;
  const double table = c.cell.tableHeight;
  const int g = c.tableLayer();
  auto mean = [&](int i) { return 0.5 * (c.theta0[i] + c.theta[i]); };

  if (table <= bedHeight) {
    // Until routing has filled the record there is no river to lose water.
    if (!river.linked || !(river.discharge > 0.0) || !(river.speed > 0.0)) return;
    const double level = river.discharge / river.speed / river.width;
    const double bedHead = bed <= std::min(n, g + 2) ? c.head[bed] : table;
    double rate = river.leakage * (bedHeight + level - bedHead) * river.width / river.cellSize;
    rate = std::min(rate, river.cap);
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
