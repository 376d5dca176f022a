#pragma once

#include <array>
#include <string>
#include <vector>

class DiagStream;

// Volumetric heat capacities (J/(m^3 K)) of liquid water and of ice (per
// volume of water it holds), as the heat model configures them.
struct SoilHeatConstants {
  double waterHeatCapacity = 0.0;
  double iceHeatCapacity = 0.0;
};

// One soil type: its layers with their van Genuchten parameters, retention
// and conductivity tables, thermal properties and freezing curves. Record 0
// of the table holds the number of types in its code field and the largest
// layer count of the table. Per-layer values are indexed by layer 1..n. The
// lookups are const and may be called from threads.
class soil_class {
public:
  // A record without code and without layers.
  soil_class();
  ~soil_class();

  int getCode() const { return code; }
  void setCode(int value) { code = value; }
  const std::string& getName() const { return name; }
  void setName(const std::string& value) { name = value; }
  int getLayerCount() const { return layerCount; }
  // For record 0, which carries the largest layer count of its table.
  void setLayerCount(int value) { layerCount = value; }

  double getThickness(int layer) const { return thickness[layer]; }
  double getThetaSat(int layer) const { return thetaSat[layer]; }
  double getThetaRes(int layer) const { return thetaRes[layer]; }
  // The lowest water content the soil water model leaves in the layer
  // ("theta_low", theta_res when not given).
  double getThetaLow(int layer) const { return thetaLow[layer]; }
  double getAlpha(int layer) const { return alpha[layer]; }
  double getPar_n(int layer) const { return parN[layer]; }
  double getPar_m(int layer) const { return parM[layer]; }
  // Largest ratio of the conductivities of neighbouring layers; infinite
  // when the table sets no limit.
  double getMaxRatio(int layer) const { return maxRatio[layer]; }
  // Saturated conductivities (m/s), indexed by layer 1..n.
  const double* getKsatArray() const { return ksat.data(); }
  // Thicknesses (m) and saturated water contents, indexed by layer 1..n.
  const double* getThicknessArray() const { return thickness.data(); }
  const double* getThetaSatArray() const { return thetaSat.data(); }

  // Thermal properties; negative when the table does not give them, until
  // the heat model sets its own values.
  double getHeatCapacityDry(int layer) const { return heatCapacityDry[layer]; }
  double getDensityDry(int layer) const { return densityDry[layer]; }
  double getDryThermalConduct(int layer) const { return dryThermalConduct[layer]; }
  double getMinFrozenConduct(int layer) const { return minFrozenConduct[layer]; }
  void setHeatCapacityDry(int layer, double value) { heatCapacityDry[layer] = value; }
  void setDensityDry(int layer, double value) { densityDry[layer] = value; }
  void setDryThermalConduct(int layer, double value) { dryThermalConduct[layer] = value; }
  void setMinFrozenConduct(int layer, double value) { minFrozenConduct[layer] = value; }

  // The thicknesses are stored scaled by "ThicknessScaling", so the factor
  // left to apply is always 1.0.
  double getThicknessScaling() const { return thicknessScaling; }
  double getTotalDepth() const;
  // Depth (m) from which soil evaporation draws ("EvapDepth").
  double getEvapDepth() const { return evapDepth; }
  double getPMacroThresh() const { return pMacroThresh; }
  double getMacroCapacity() const { return macroCapacity; }
  double getMacroDepth() const { return macroDepth; }
  double getCapacityRedu() const { return capacityRedu; }
  // Sand, silt, clay and four stone classes (fractions), index 0..6.
  double getGrainSizeDist(int index) const { return grainSizeDist[index]; }
  // "SU_PAR00" .. "SU_PAR10".
  double getSU_PAR(int number) const { return suPar[number]; }

  // Retention and conductivity, interpolated in the layer's tables.
  double thetaFromSuction(int layer, double suction) const;
  double suctionFromTheta(int layer, double theta) const;
  // Relative conductivity at the smaller of the two water contents.
  double krelFromTheta(int layer, double thetaA, double thetaB) const;

  // Freezing: the unfrozen water content at T below 0 degrees C is the water
  // content at the suction -factor * T. The factor must be above 0.
  void buildFreezingCurveTables(double factor, int layer);
  // For layers first..n: the unfrozen fraction of the water content and its
  // slope per K; layers without freezing curves count as unfrozen.
  void getUnfrozenWater(int first, const double* temperature, const double* theta, double* unfrozen,
                        double* slope) const;
  // For layers first..n: dry heat capacity times dry density plus the liquid
  // and frozen shares of the water content.
  void getHeatCapacity(const SoilHeatConstants& constants, int first, double* heatCapacity,
                       const double* theta, const double* unfrozen) const;

  // The powers of the conductivity model that depend only on the soil:
  // DryThermalConduct^(1 - theta_sat) and lambdaWater^theta_sat per layer.
  // Filled once, outside parallel regions, after the dry conductivities are
  // set.
  void cacheConductivityPowers(double lambdaWater);
  bool hasConductivityPowers() const { return conductivityPowersCached; }
  double getSolidConductivityPower(int layer) const { return solidConductivityPower[layer]; }
  double getWaterConductivityPower(int layer) const { return waterConductivityPower[layer]; }

  friend void parseSoilEntry(soil_class& record, DiagStream* diag, const std::string& block,
                             const std::string& syntax, const std::string& where);

private:
  struct LayerTables {
    std::vector<double> suction; // 0, then ascending (m)
    std::vector<double> theta;   // strictly decreasing
    std::vector<double> krel;
    // Logarithms of krel and of theta - theta_res per row, for the power
    // interpolation of krel.
    std::vector<double> logKrel, logSaturation;
    // Per band of equal width in theta, counted down from the first row:
    // the first row at or below the band's top, so that a lookup starts
    // next to its row instead of searching.
    std::vector<std::size_t> band;
    double bandScale = 0.0;                  // bands per unit of theta
    std::vector<double> freezingTemperature; // -suction / factor; empty until built
  };
  void buildRetentionTables();
  // Index j >= 1 of the first row at or below theta, for theta strictly
  // between the first and the last row of the table.
  static std::size_t bracket(const LayerTables& t, double theta);
  void resizeLayers(int layers);
  // Layers with values; record 0 of a table counts layers it does not hold.
  int storedLayers() const { return static_cast<int>(thickness.size()) - 1; }

  int code = 0;
  std::string name;
  int layerCount = 0;
  std::vector<double> thickness, ksat, thetaSat, thetaRes, thetaLow, alpha, parN, parM, maxRatio;
  std::vector<double> heatCapacityDry, densityDry, dryThermalConduct, minFrozenConduct;
  std::vector<LayerTables> tables;
  double thicknessScaling = 1.0;
  double evapDepth = 0.1;
  double pMacroThresh = 0.0;
  double macroCapacity = 0.0;
  double macroDepth = 0.0;
  double capacityRedu = 0.0;
  std::array<double, 7> grainSizeDist = {};
  std::array<double, 11> suPar = {};
  bool conductivityPowersCached = false;
  std::vector<double> solidConductivityPower, waterConductivityPower;
};

// Fills a record from the keys of one brace block in the soil-table syntax
// named (only "MultipleHorizons" exists); where names the entry in the
// messages. Failures are logged and thrown as 52.
void parseSoilEntry(soil_class& record, DiagStream* diag, const std::string& block,
                    const std::string& syntax, const std::string& where = "[soil_table]");
