#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "config/landuse_class.h"
#include "config/soil_class.h"
#include "soil/column_solver.h"
#include "soil/soil_column.h"

// Van Genuchten-Mualem parameters of a soil and their closed forms.
struct VanGenuchten {
  double thetaR;
  double thetaS;
  double alpha; // 1/m
  double n;
  double ksat; // m/s

  double theta(double suction) const {
    return thetaR + (thetaS - thetaR) * std::pow(1.0 + std::pow(alpha * suction, n), -(1 - 1 / n));
  }
  double conductivity(double water) const {
    const double m = 1.0 - 1.0 / n;
    const double se = (water - thetaR) / (thetaS - thetaR);
    const double open = 1.0 - std::pow(1.0 - std::pow(se, 1.0 / m), m);
    return ksat * std::sqrt(se) * open * open;
  }
};

// The silt loam of the tests (K_s 0.108 m/d) and a loam.
constexpr VanGenuchten siltLoamSoil{0.067, 0.45, 2.0, 1.41, 0.108 / 86400.0};
constexpr VanGenuchten loamSoil{0.078, 0.43, 3.6, 1.56, 0.2496 / 86400.0};

// A soil-table entry of equal layers with more keys appended.
// The saturated conductivity of layer k is ksat * ksatFactor^(k - 1).
inline soil_class soilOf(const VanGenuchten& p, int layers, double thickness,
                         const std::string& extra = "", double ksatFactor = 1.0) {
  std::string block = "method = MultipleHorizons; layers = " + std::to_string(layers) + ";";
  const double values[] = {thickness, p.ksat, p.thetaS, p.thetaR, p.alpha, p.n};
  const char* const keys[] = {"thickness", "ksat", "theta_sat", "theta_res", "alpha", "Par_n"};
  char number[40];
  for (int i = 0; i < 6; ++i) {
    block += std::string(" ") + keys[i] + " =";
    for (int k = 0; k < layers; ++k) {
      std::snprintf(number, sizeof number, " %.17g",
                    i == 1 ? values[i] * std::pow(ksatFactor, k) : values[i]);
      block += number;
    }
    block += ";";
  }
  soil_class soil;
  parseSoilEntry(soil, nullptr, block + " " + extra + "}", "MultipleHorizons");
  return soil;
}

inline landuse_class landuseOf(const std::string& keys) {
  landuse_class record;
  parseLanduseEntry(record, nullptr,
                    "FixDays = 100; LAI = 1; VCF = 1; RootDepth = 1; Albedo = 0.2; Z0 = 0.1; "
                    "RSC = 50; RSI = 50; RSE = 50; " +
                        keys + "}",
                    "test");
  return record;
}

// One soil column with its solver and room for tracers, at the surface
// height 0, and the cell values the solver needs.
struct ColumnRig {
  ColumnRig(soil_class soilType, double tableDepth, int landuseLayers = 2, int tracers = 0)
      : soil(std::move(soilType)), layers(soil.getLayerCount()),
        solver(soil.getLayerCount(), landuseLayers, tracers) {
    ColumnTable t;
    setColumnAtRest(soil, layers, 0.0, -tableDepth, solver.column.z, solver.column.theta0,
                    solver.column.head, t);
    table = TableState{t.distance, t.layer, t.theta};
    settings.substepSeconds = 3600.0;
    bind();
  }
  void bind() {
    cell.tableLevel = table.level;
    cell.tableHeight = solver.column.z[0] + table.distance;
    solver.column.bind(soil, layers, cell);
  }
  // Sets a uniform water content above the table.
  void fill(double theta) {
    for (int k = 1; k < static_cast<int>(table.level); ++k) solver.column.theta0[k] = theta;
  }
  ColumnBudget step(const ColumnForcing& forcing) {
    bind();
    ColumnBudget budget;
    solver.solve(settings, forcing, table, ponding, budget, nullptr);
    return budget;
  }
  // Water of the column and its pond (mm).
  double storage() const {
    double water = ponding;
    for (int k = 1; k <= layers; ++k)
      water += solver.column.theta0[k] * soil.getThickness(k) * 1000;
    return water;
  }
  double theta(int k) const { return solver.column.theta0[k]; }
  double flux(int k) const { return solver.column.q[k]; }

  soil_class soil;
  int layers;
  ColumnSolver solver;
  ColumnStepSettings settings;
  ColumnCell cell;
  TableState table;
  double ponding = 0.0;
};

// The soil of the river cell below: twelve layers of 0.25 m with
// macropores, with more keys appended.
inline soil_class riverCellSoil(const std::string& extra = "") {
  return soilOf(siltLoamSoil, 12, 0.25,
                "PMacroThresh = 1e-7; MacroCapacity = 1e-6; MacroDepth = 0.6; "
                "CapacityRedu = 0.5; " +
                    extra,
                0.8);
}

// A river cell of twelve layers of 0.25 m with macropores, drains, a slope
// and grass, over a table 2 m deep, beside a river 1.6 m deep and 5 m wide
// (leakage 1e-6 / s) linked to its record, which flows at 0.5 m/s; the
// forcing of its sub-steps without input.
struct RiverColumnRig {
  explicit RiverColumnRig(int method, int tracers = 0)
      : rig(riverCellSoil(), 2.0, 1, tracers),
        grass(landuseOf("RootDist = 1; HReduDry = 3.45; TReduWet = 0.95; LimitReduWet = 0.5")) {
    rig.cell.slopeTangent = 0.2;
    rig.cell.channelDensity = 0.002;
    rig.cell.drainLayer = 3;
    rig.cell.drainDistance = 20.0;
    rig.settings.method = method;
    rig.settings.minimumStep = 600.0;
    uses[1] = LanduseDemand{&grass, 0.1, 0.8, 0.5};
    offer.cell.depth = 1.6;
    offer.cell.width = 5.0;
    offer.cell.leakage = 1e-6;
    offer.cell.cellSize = 100.0;
    offer.cell.linked = true;
    offer.cell.speed = 0.5;
    forcing.uses = uses;
    forcing.useCount = 1;
    forcing.potentialEvaporation = 0.03;
    forcing.maxBaseflow = 0.2;
    forcing.recession = 1.0;
    forcing.maxPonding = 1.0;
    forcing.macropores = true;
    forcing.river = &offer;
  }
  RiverColumnRig(const RiverColumnRig&) = delete;
  RiverColumnRig& operator=(const RiverColumnRig&) = delete;

  ColumnRig rig;
  landuse_class grass;
  LanduseDemand uses[2];
  RiverOffer offer;
  ColumnForcing forcing;
};
