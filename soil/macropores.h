#pragma once

class SoilColumn;

// Macropores of the column's soil type: above a surface water rate of
// PMacroThresh (m/s) they take at most min(MacroCapacity, rate -
// PMacroThresh) (m/s) into the layers whose centre lies above MacroDepth
// (m), layer i at most MacroCapacity * CapacityRedu^(depth of its centre)
// and its free pores, filled from the deepest layer up. The water enters
// the layers' start water contents at once; `rate` falls by what was
// taken. Per layer the water taken (mm) goes to `inflow` (layers 1 .. n);
// returns their sum.
double infiltrateMacropores(double& rate, SoilColumn& column, double dt, double* inflow);
