#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/irrigation_table.h"
#include "routing/irrigationclass.h"
#include "tests/routing/routing_model_fixture.h"

// Irrigation on the routing model's grid of 4 x 3 cells of 100 m (zones
// 1 .. 4 of three cells each, in row order), its grids at 0, the soil at
// SB_1 0.2, SBLOW 0.1, SBHIGH 0.4, roots 0.5 m deep, ETR/ETP 1 and pumping
// without limit. Routing is either the real module (`routing`) or arrays
// the test owns (`stub*`).
struct IrrigationSetup {
  IrrigationSetup(const std::string& name, int minutes = 60, int tracers = 0,
                  const std::string& statisticCode = "2001");

  // "[irrigation]" with both statistics.
  std::string section() const;
  // A type of the irrigation table; returns its code.
  int addType(int method, int origin, std::vector<IrrigationPoint> points = {},
              double minEtrEtp = 0.0);
  // Builds the module; returns its error code.
  int build();
  // Hands the module the test's arrays as routing would.
  void wireStub();
  // Wires irrigation and the built routing model as the driver does, the
  // routing state read from stateFile (in the input directory) by readMode.
  void wireRouting(const std::string* stateFile = nullptr, int readMode = 0);
  void step(const ModelDate& d);
  // The grid of that name, and its cell (r, c).
  Grid grid(const std::string& name) const;
  double& at(const std::string& name, long r, long c) const { return grid(name)[r][c]; }
  // Every cell of zone z (1 .. 4) gets the value.
  void setZone(const std::string& name, int z, double value) const;
  // The values of a statistics file's lines after its three header lines,
  // the date columns left out.
  std::vector<std::vector<double>> statisticValues(const std::string& file) const;

  RoutingModelSetup routing;
  ModelContext& context;
  int minutes;
  std::string statisticCode;
  IrrigationTable table = IrrigationTable(1);

  // Routing's arrays [tracer][subbasin 0 .. 4], its topology and area table.
  std::vector<std::vector<double>> stubMaxIrrig, stubFromReservoirs;
  std::vector<double*> stubMaxIrrigRows, stubFromReservoirRows;
  RoutingTopology stubTopology;
  std::vector<std::vector<double>> stubAreas;
  std::vector<double*> stubAreaRows;
  std::vector<ReinfiltrationRecord> riverflow = std::vector<ReinfiltrationRecord>(5);

  std::unique_ptr<irrigationclass> module;
};

// The zone (1 .. 4) of cell (r, c) of the grid above.
inline int zoneOf(long r, long c) { return static_cast<int>(((r - 1) * 4 + c - 1) / 3) + 1; }
