#pragma once

// Snow held in a forest canopy and the canopy's energy balance: one record
// per cell and step, and the small meteorological formulas the two are made
// of. Free functions without state or allocation, callable from any thread.
// Temperatures in kelvin unless stated; vapour pressure by the Magnus form
// over water from 273.15 K up, over ice below.

// One cell's record of 58 doubles, every field at its default after
// construction; the caller then fills the fields it gives. The comments
// give units and who sets a field.
struct SnowCanopyState {
  static constexpr int airTemperature = 0; // caller: degrees C + 273.16; on return below the canopy
  static constexpr int airDensity = 1;     // kg m-3
  static constexpr int airPressure = 2;    // Pa (not read)
  static constexpr int airHeatCapacity = 3;      // J kg-1 K-1
  static constexpr int dailyMeanTemperature = 4; // caller: mean of the last day
  static constexpr int temperatureOffset = 5;    // caller: daily mean (degrees C) / 3 in [-2, 2]
  static constexpr int relativeHumidity = 6;     // caller, %; on return below the canopy
  static constexpr int precipitation = 7;        // caller, mm in the step
  static constexpr int snowfall = 8;             // mm; on return the solid throughfall
  static constexpr int rainfall = 9;             // mm; on return the liquid throughfall
  static constexpr int shortwave = 10;  // caller, W m-2 above the canopy; on return below it
  static constexpr int windSpeed = 11;  // caller, m/s above the canopy; on return below it
  static constexpr int longwave = 12;   // W m-2 below the canopy on return
  static constexpr int cloudiness = 13; // caller, 0 .. 1
  static constexpr int timeStep = 14;   // caller, s
  static constexpr int elevation = 15;  // caller, m (not read)
  static constexpr int minimumSnowAlbedo = 16;
  static constexpr int freshSnowAlbedo = 17;       // fresh snow gets the minimum + this
  static constexpr int albedoDecayThawing = 18;    // per day, from 273.16 K
  static constexpr int albedoDecayFreezing = 19;   // per day, below
  static constexpr int leafAreaIndex = 20;         // caller
  static constexpr int canopyHeight = 22;          // m
  static constexpr int temperatureMeltFactor = 23; // mm K-1 h-1
  static constexpr int radiationMeltFactor = 24;   // mm per W m-2 per hour
  static constexpr int snowAlbedo = 25;            // caller; aged
  static constexpr int loadAfter = 26;             // result, mm
  static constexpr int loadBefore = 27;            // caller, mm
  static constexpr int liquidUnloading = 28;       // result, mm
  static constexpr int solidUnloading = 29;        // result, mm
  static constexpr int sublimation = 30;           // result, mm
  static constexpr int snowAge = 31;               // caller, days
  static constexpr int canopyAlbedo = 32;          // caller, for the energy balance
  static constexpr int groundAlbedo = 36;          // caller
  static constexpr int groundTemperature = 37;     // caller; -9999: not available
  static constexpr int canopyTemperature = 38;     // the value solved for
  static constexpr int previousCanopyTemperature = 39;
  static constexpr int energyShortwave = 41;     // caller, W m-2
  static constexpr int airTemperatureAbove = 43; // set by computeSnowCanopy
  static constexpr int humidityAbove = 44;       // set by computeSnowCanopy, %
  static constexpr int windAbove = 45;           // set by computeSnowCanopy, m/s
  // 46 .. 50: caller; inputs of latentHeatFlux, which the step does not call
  static constexpr int minimumCanopyResistance = 46;
  static constexpr int minimumInterceptionResistance = 47;
  static constexpr int maximumRoughness = 48;
  static constexpr int maximumStorage = 49;
  static constexpr int storageCapacity = 50;
  static constexpr int energyResidual = 56; // W m-2; 666 when no root was bracketed
  static constexpr int canopyMinusAir = 57; // K
  static constexpr int fieldCount = 58;

  SnowCanopyState();
  double& operator[](int field) { return value[field]; }
  double operator[](int field) const { return value[field]; }
  double value[fieldCount];
};

// One step of the canopy snow model: albedo ageing, the climate below the
// canopy, interception, sublimation, melt and unloading; returns 1.
int computeSnowCanopy(SnowCanopyState& s);
// The canopy energy balance (W m-2) at the record's canopy temperature.
double canopyEnergyResidual(SnowCanopyState& s);
// The canopy temperature by bisection on [240, 350] K and the longwave
// radiation below the canopy; returns 1.
int solveCanopyTemperature(SnowCanopyState& s);

// Saturation vapour pressure (hPa) over water or ice.
double magnusVapourPressure(double t);
void splitRainSnow(double& snow, double& rain, double celsius, double threshold, double halfWidth,
                   double precipitation);
double vapourPressure(double t, double humidity);
double wetBulbTemperature(double t, double humidity, double z);
void splitRainSnowWetBulb(double& snow, double& rain, double t, double humidity,
                          double precipitation, double z);
void ageSnowAlbedo(double& albedo, double& age, double minimum, double increment, double thawRate,
                   double freezeRate, double snowfall, double t, double dt);
double canopySnowMelt(double dt, double t, double albedo, double shortwave1, double shortwave2,
                      double temperatureFactor, double radiationFactor);
double incomingLongwave(double t, double humidity, double precipitation, double cloudCover);
double canopyShortwaveAbsorbed(double lai, double shortwave, double canopyAlbedo,
                               double groundAlbedo);
double canopyLongwaveNet(double lai, double groundT, double canopyT, double longwaveIn);
double frictionVelocity(double u);
double displacementHeight(double h);
double roughnessMomentum(double h);
double roughnessLength(double h);
double roughnessHeat(double h);
double windAtCanopy(double u, double h);
double aerodynamicResistance(double h, double u);
double stabilityNeutral();
double combinedResistance(double ra, double rb);
double bulkRichardson(double t0, double t1, double u, double z);
double neutralExchange(double h);
double stableExchange(double t0, double t1, double u, double h);
double sensibleHeatFlux(double h, double density, double heatCapacity, double t0, double t1,
                        double u);
double airPressure(double z, double t);
double latentHeat(double t);
double latentHeatFlux(double airT, double gasConstant, double canopyT, double humidity, double r1,
                      double r2, double u, double h, double z0, double z);
double interceptedHeatFlux(double t0, double t1, double water, double ice, double depth, double ra,
                           double rb);
double canopyHeatStorage(double canopyT, double previousT, double lai, double h, double dt);
double maxOf(double a, double b);
double minOf(double a, double b);
