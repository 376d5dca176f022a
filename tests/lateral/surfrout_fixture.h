#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lateral/surfaceroutingclass.h"
#include "tests/submodel/submodel_fixture.h"

// Surface routing with public access to what it keeps.
class TestSurfaceRouting : public surfaceroutingclass {
public:
  using surfaceroutingclass::surfaceroutingclass;
  using surfaceroutingclass::concentrationFactor;
  using surfaceroutingclass::currentDate;
  using surfaceroutingclass::dumpCount;
  using surfaceroutingclass::flowPathMethod;
  using surfaceroutingclass::maxSubTimeStep;
  using surfaceroutingclass::minSubTimeStep;
  using surfaceroutingclass::adaptedSubTimeStep;
  using surfaceroutingclass::InnerSteps;
  using surfaceroutingclass::Qg;
  using surfaceroutingclass::statistics;
  using surfaceroutingclass::useSiltingUpTracerStorage;
};

using CellFunction = std::function<double(long, long)>;

// The driver's tracer set-up without tracers, which builds the flow-time
// zones, and the unsaturated zone's baseflow and storage constants (minutes,
// per subbasin from 1), which must outlive the module; returns the set-up's
// code.
int startRouting(TestSurfaceRouting& module, surfaceroutingclass::RunoffArrays& baseflow,
                 std::vector<double>& constants);

// The lines 1 .. 21 of "[SurfaceRoutingModel]" (index 0 unused): method 2,
// inner steps of 1 to 100 s, no statistics files.
std::vector<std::string> surfroutLines();
std::string surfroutSection(const std::vector<std::string>& lines);

// One process holding a grid of ncols x nrows cells of size d, every cell in
// zone 1 unless `zone` says otherwise (nodata outside), with the grids the
// module takes from others: one land-use layer (record 1: plain soil with
// a Strickler coefficient of 10), no river unless `river` marks cells.
struct SurfroutSetup {
  SurfroutSetup(const std::string& name, long ncols, long nrows, double d,
                const CellFunction& elevation, const CellFunction& zone = nullptr,
                const std::function<bool(long, long)>& river = nullptr);
  std::unique_ptr<TestSurfaceRouting> build(int& errorCode, unsigned substeps = 4);
  std::unique_ptr<TestSurfaceRouting> build(unsigned substeps = 4);
  Grid addGrid(const std::string& name, const CellFunction& f);
  Grid grid(const std::string& name) const;
  Stack stack(const std::string& name) const;
  int index(const std::string& name) const;
  bool inside(long r, long c) const { return zoneGrid[r][c] != nodataValue; }

  static constexpr double nodataValue = -9999.0;
  SubmodelSetup base;
  std::vector<std::string> lines;
  std::string extraSections;
  std::vector<landuse_class> landuse;
  Grid zoneGrid = nullptr;
};
