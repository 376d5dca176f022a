#pragma once

#include <memory>

#include "core/grid_types.h"
#include "soil/point_series.h"
#include "submodel/teilmodellklasse.h"

// One tracer of the unsaturated zone: its record, statistic and grids.
struct SoilTracer {
  // The module's copy of the record, the zone records and statistic of the
  // concentration of the subbasins' runoff; its grids stay unused.
  SubmodelTracer tracer;
  // "concstor_tracer_%d_unsatzon_model": per soil layer the mass (mm times
  // concentration), or the concentration where the record says the store
  // is taken from another one; level 0 the concentration of the ponded
  // water. The same registry entry holds the concentration of layer 1.
  Stack store = nullptr;
  Grid top = nullptr;
  int storeIndex = 0;
  // "_CONC_QD_%i_" and "_CONC_QI_%i_": concentration of the direct runoff
  // and interflow of the last sub-step per cell.
  Grid directflow = nullptr;
  Grid interflow = nullptr;
  int directflowIndex = 0;
  int interflowIndex = 0;
  Grid input = nullptr;               // concentration of the water input
  // With the groundwater model: "concstor_tracer_%d_layer_1_groundwater_flow",
  // the concentration of its first aquifer layer.
  Grid aquifer = nullptr;
  // Silting-up's "concflux_tracer_%d_SiltingUpModel" (its direct runoff) and
  // "concstor_tracer_%d_SiltingUpModel" (the water on the land, which
  // surface routing registers under that name without silting-up).
  Grid landRunoff = nullptr;
  Grid landStored = nullptr;
  // With silting-up, which moves the water on the land into the water
  // input: that input's concentration, silting-up's store after its step.
  Grid siltedInput = nullptr;
  // With the layered snow model, "concstor_tracer_%d_snowpack": the
  // concentration of the pack's water; and that of the snow the snow model
  // holds, with which what it adds to the pack enters.
  Grid pack = nullptr;
  Grid snowfall = nullptr;
  int packIndex = 0;
  double decay = 1.0;                 // factor per sub-step
  std::unique_ptr<PointSeries> point; // on the process of the control cell
  long firstRow = 1;
  long lastRow = 0;
};
