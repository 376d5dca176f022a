#pragma once

#include <cstddef>
#include <vector>

class SoilColumn;

// What a tracer is to a soil column.
struct SoluteProperties {
  // Above 0: no transfer between layers or out of the column carries more
  // than its water times this concentration.
  double maxConcentration = 0.0;
  bool evaporating = false; // leaves with transpiration and evaporation
  double decay = 1.0;       // factor per sub-step
};

// The water of one water step at the surface of a column (mm).
struct SurfaceWater {
  double ponding = 0.0;    // at the start of the step
  double input = 0.0;      // arriving in the step
  double transpired = 0.0; // taken from the ponding by plants
  double macropores = 0.0; // into the macropores
  double infiltration = 0.0;
  double directflow = 0.0;
  double fromLand = 0.0; // of the ponding at the start, what silting-up and surface routing left
  double left = 0.0;     // ponding at the end
};

// The water the layered snow pack on a column exchanged in a water step (mm).
struct PackWater {
  double intoPack = 0.0; // entering its top from the surface
  double toSoil = 0.0;   // leaving its bottom into soil layer 1
  double lateral = 0.0;  // its interflow
  // Let go into soil layers 1 and 2 (index 1, 2) before the layers' flows
  // and after them.
  double released[3] = {};
  double releasedLater[3] = {};
  double surplus = 0.0; // let go and run off at the surface
};

// Mass of a tracer (mm of water times its concentration) that entered or
// left a column in a sub-step.
struct SoluteBudget {
  double input = 0.0;
  double river = 0.0; // with river water
  double directflow = 0.0;
  double interflow = 0.0;
  double baseflow = 0.0;
  double exfiltration = 0.0;
  double evaporated = 0.0;
  double decayed = 0.0;
};

// The tracers of one soil column: their masses per layer, moved with the
// water of each water step by explicit upwind transfers. A transfer takes
// the concentration of the layer it leaves at the start of the step; a
// saturated layer passes on what enters it from above, and a layer that
// gives more water than it holds what enters it from above, the river and
// below; no layer gives more mass than it holds, nor one drier than 0.001
// any of its own; the saturated zone ends
// the step mixed to one concentration, together with the aquifer below
// where there is one. Sized once, reused cell after cell.
class ColumnSolutes {
public:
  ColumnSolutes(int maxLayers, int maxTracers);

  // Starts a cell of n layers: its tracers 1 .. tracerCount, whose masses
  // the caller sets.
  void bind(int tracerCount, int n);
  int count() const { return tracers; }
  // Mass per level of tracer t: 0 the ponded water, 1 .. n the layers.
  double* mass(int t) { return &masses[static_cast<std::size_t>(t) * stride]; }
  const double* mass(int t) const { return &masses[static_cast<std::size_t>(t) * stride]; }

  // Per tracer 1 .. count: properties, concentration of the water input
  // and of the river water, budget of the sub-step.
  std::vector<SoluteProperties> properties;
  std::vector<double> inputConcentration;
  std::vector<double> riverConcentration;
  std::vector<double> landConcentration; // of the water left on the land
  std::vector<SoluteBudget> budget;
  // The aquifer under the column that the saturated zone mixes with: the
  // water of its pores (mm; 0 where the soil is not coupled to one) and per
  // tracer its concentration, which the mixing updates.
  double aquiferWater = 0.0;
  std::vector<double> aquiferConcentration;
  // The layered snow pack: its water (mm), which the transport follows, and
  // per tracer the concentration of the pack, mixed as one store.
  double packWater = 0.0;
  std::vector<double> packConcentration;

  void beginSubstep();
  // Moves every tracer with the water of a water step: the surface water
  // mixes ponding and input, gives the macropores (mm per layer 1 .. n of
  // macroporeWater), the infiltration and the direct runoff their share and
  // keeps the rest; then the transfers between the layers and out of them
  // (baseflow in m/s per layer; the drains' water leaves in the interflow
  // of their layer), with
  // the column's fluxes and water contents before and after the step and
  // the table layer after it.
  // With a pack on the column, the water entering the surface goes into
  // the pack and the soil gets what the pack lets go (pack).
  void transportSolutesInColumn(const SoilColumn& column, const SurfaceWater& surface,
                                const double* macroporeWater, const double* baseflow,
                                int tableLayer, double dt, const PackWater& pack = PackWater{});
  // The decay of the sub-step.
  void decay();

private:
  void transportTracer(int t, const SoilColumn& column, const SurfaceWater& surface,
                       const double* macroporeWater, const double* baseflow, int tableLayer,
                       double dt, const PackWater& pack);

  int tracers = 0;
  int layers = 0;
  int maxLayers;
  std::size_t stride;
  std::vector<double> masses;
  // Per layer of the tracer being moved (mm and mm times concentration).
  std::vector<double> upMass;
};
