#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "snow/snow_physics.h"
#include "tests/snow/snow_fixture.h"

// Every step and cell: the change of the pack is what fell, less what left
// and what evaporated. Evaporation takes from the solid store before the
// step as the evaporation module does; the energy-balance methods write
// their own sublimation. What fell beyond the precipitation the deposition
// methods book as the wind's deposition.
TEST(SnowConservation, EveryMethodKeepsTheWaterOfEveryCell) {
  for (int minutes : {60, 1440}) {
    for (int method = 1; method <= 14; ++method) {
      SnowSection section;
      section.method = method;
      section.minutes = minutes;
      SnowModel m("snow_balance_" + std::to_string(method) + "_" + std::to_string(minutes),
                  section);
      for (const char* grid : {"wind_speed", "deposition_index", "AspectCorrectedGlobalRadiation"})
        m.grid(grid)[2][1] = m.grid(grid)[1][2] = m.grid(grid)[2][2] = 0.0;
      m.build();
      const bool balance = snowEnergyBalanceMethod(method);
      const long cellsOf[3][2] = {{1, 2}, {2, 1}, {2, 2}};
      for (int step = 0; step < 36; ++step) {
        double before[3];
        for (int k = 0; k < 3; ++k) {
          const long r = cellsOf[k][0], c = cellsOf[k][1];
          const double phase = step * 0.7 + k;
          m.grid("temperature")[r][c] = 4.0 * std::sin(phase) + (k - 1);
          m.grid("temperature_night")[r][c] = m.grid("temperature")[r][c] - 3.0;
          m.grid("precipitation")[r][c] = std::max(0.0, 6.0 * std::sin(0.5 * phase));
          m.grid("wind_speed")[r][c] = 1.0 + k;
          m.grid("deposition_index")[r][c] = 0.2 * k;
          m.grid("AspectCorrectedGlobalRadiation")[r][c] = 300.0 * std::max(0.0, std::cos(phase));
          double& solid = m.grid("snowstorage_solid")[r][c];
          before[k] = solid + m.grid("snowstorage_liquid")[r][c];
          double& evaporation = m.grid("snow_evaporation")[r][c];
          evaporation = balance ? 0.0 : std::min(solid, 0.05 * k);
          solid -= evaporation;
        }
        m.step(1 + step % 28, 2, minutes == 60 ? step % 24 : 0);
        for (int k = 0; k < 3; ++k) {
          const long r = cellsOf[k][0], c = cellsOf[k][1];
          const double after =
              m.grid("snowstorage_solid")[r][c] + m.grid("snowstorage_liquid")[r][c];
          const double in = m.grid("snow_fraction")[r][c] + m.grid("rain_fraction")[r][c];
          const double out = m.grid("snowcover_outflow")[r][c] + m.grid("snow_evaporation")[r][c];
          ASSERT_NEAR(after - before[k], in - out, 1e-9)
              << "method " << method << ", " << minutes << " minutes, step " << step << ", cell "
              << r << " " << c;
          ASSERT_EQ(m.grid("snow_storage_total")[r][c], after);
          const Grid deposited = m.grid("snow_deposition");
          ASSERT_EQ(deposited != nullptr, snowDepositionMethod(method)) << method;
          ASSERT_NEAR(in - (deposited ? deposited[r][c] : 0.0), m.grid("precipitation")[r][c], 1e-9)
              << "method " << method << ", " << minutes << " minutes, step " << step << ", cell "
              << r << " " << c;
        }
      }
    }
  }
}
