#pragma once

#include <memory>
#include <string>
#include <vector>

#include "submodel/teilmodellklasse.h"
#include "vertical/grid_stack.h"
#include "vertical/zone_series.h"

// Interception from the section "[interception_model]", one entry a line,
// each followed by free text:
//
//   1                   flow control parameter (0 off)
//   60                  time interval in minutes
//   2                   method: ones digit the demand (1 potential
//                       transpiration, 2 potential interception
//                       evaporation); tens digit 0 after snow on its
//                       outflow, 1 before snow, 2 with canopy snow, 3 with
//                       canopy snow and the canopy energy balance
//   tf.asc / 0 / tf.stat 1001
//                       file, write code, statistics file and code of the
//                       throughfall, then of the interception evaporation
//                       and of the interception storage (layer 0: totals)
//   0.2                 storage per unit of leaf area (mm) where the land
//                       use gives no capacity
//   0                   1: start storages from their grid files
//   methods above 20: file, write code and statistics of the sub-canopy
//   temperature, humidity, shortwave radiation and wind, of the canopy snow
//   load, age, albedo and sublimation, of the solid and the liquid
//   unloading; the minimum leaf area and roughness length above which the
//   canopy snow model starts and the scaling factor of the leaf area;
//   methods above 30: file, write code and statistics of the energy-balance
//   residual, the canopy temperature, that of the step before and a spare.
//
// Per layer k (0 the totals, 1 .. n from the top) it registers
// "interception_storage<k>", "interception_evaporation<k>" and
// "throughfall<k>"; layer files insert "_Layer_<k>" before the extension.
// Each step the water enters a bucket per layer up to its capacity, the
// rest and what misses the vegetation falls through, and the bucket
// evaporates against the demand, which "pot_transpiration<k>" loses.
class interzeptionsmodellklasse : public teilmodellklasse {
public:
  // Never throws: errorCode is 0, the exit code of a failure, or 103.
  interzeptionsmodellklasse(const ModelContext& context, int& errorCode);
  // Frees the grids without writing; the registry must still exist.
  ~interzeptionsmodellklasse() override;

  // Writes what the statistics hold, unregisters and frees the grids, then
  // the base's teardown.
  void releaseModule() override;
  // The base's tracers, each with the concentration of the water coming in.
  void initTracers(int& errorCode, int tracerCount, std::vector<TracerRecord>& table,
                   StatisticTableEntry* statisticTable, long tableSize) override;
  void freeTracers() override;

  // Appends the buffered lines of every statistics series.
  virtual void flushStatistics();
  // The step. Collective.
  virtual void computeInterception(long minute, long hour, long day, long month, long year);
  // The method, 0 when the module is off.
  virtual int getMethod() const;

  // The snow model's rain/snow threshold T0R and the half-width of its
  // transition (degrees C); both 0 until the driver hands them over.
  void setRainSnowThreshold(double threshold, double halfWidth);
  // Whether a snow model takes the snow that falls from the canopy
  // ("Snow_canopy_unload_solid"); without one it joins the throughfall.
  void setSnowModelBelow(bool taken);

protected:
  // A registered grid of the module.
  struct OwnGrid {
    Grid grid = nullptr;
    int index = -1;
  };
  // File, write code and statistics of one output.
  struct OutputSettings {
    std::string file;
    int writeCode = 0;
    std::string statisticFile;
    int statisticCode = 0;
  };
  // The three outputs of every layer.
  enum LayerOutput { throughfallOutput, evaporationOutput, storageOutput, layerOutputCount };
  // The grids of the canopy snow model, in the order of their statistics;
  // the longwave radiation has none.
  enum CanopyGrid {
    canopyLoad,
    canopyAge,
    canopyAlbedo,
    canopySublimation,
    canopyUnloadSolid,
    canopyUnloadLiquid,
    canopyTemperature,
    canopyHumidity,
    canopyRadiation,
    canopyWind,
    canopyLongwave,
    canopyGridCount
  };
  // The grids of the canopy energy balance.
  enum BalanceGrid {
    balanceResidual,
    balanceTemperature,
    balancePreviousTemperature,
    balanceSpare,
    balanceGridCount
  };
  // One layer's grids and statistics.
  struct Layer {
    OwnGrid storage, evaporation, throughfall;
    ZoneSeries storageSeries, evaporationSeries, throughfallSeries;
    // inputs; null in layer 0
    Grid landuse = nullptr, leafArea = nullptr, coverage = nullptr, roughness = nullptr,
         canopyResistance = nullptr, interceptionResistance = nullptr;
    Grid potentialTranspiration = nullptr, potentialInterception = nullptr,
         realTranspiration = nullptr;
  };

  // --- construction (vertical/interzeptionsmodellklasse.cpp) ------------------
  void readSection();
  void readOutput(OutputSettings& o, const char* file, const char* writeCode,
                  const char* statistics);
  void checkMethod();
  void findInputGrids();
  void checkSnowGrids();
  // --- grids and statistics (vertical/interzeptionsmodellklasse_grids.cpp) ----
  void registerLayerGrids();
  void registerCanopyGrids();
  OwnGrid registerOwnGrid(const std::string& file, const std::string& name, long writeCode,
                          double start, bool fromFile);
  void releaseOwnGrids();
  void createStatistics();
  void releaseStatistics();
  std::vector<ZoneSeries*> allSeries();
  // --- the step (vertical/interzeptionsmodellklasse_step.cpp) ------------------
  void rememberTemperature();
  // --- the temperature history across runs (vertical/interzeptionsmodellklasse_state.cpp)
  void writeTemperatureHistory();
  void readTemperatureHistory();
  void computeCell(long r, long c);
  // The canopy snow model and its energy balance; returns the water that
  // reaches the buckets.
  double canopySnow(long r, long c, double input, double leafArea, double roughness,
                    const double (&aggregates)[4]);
  // Where the canopy snow model does not run: the climate above the canopy.
  void canopyUntouched(long r, long c, double input);
  void buckets(long r, long c, double input);
  double fillBucket(int k, long r, long c, double input, bool tracked);
  void tracersOfBucket(long r, long c, double before, double direct, double excess, double through);
  void tracersOfCanopy(long r, long c, double before, double arriving, double through);
  double capacity(int k, long r, long c) const;
  void dropCanopySnow(long r, long c);
  void glacierPart(long r, long c, double g, double input);
  double glacierFraction(long r, long c) const;
  void addStatistics();
  void writeResults();

  int method = 1;
  int layers = 1;         // n
  double thickness = 0.0; // storage per unit of leaf area without a land-use capacity
  int readStartGrids = 0; // 1: start values from files
  double threshold = 0.0; // T0R
  double halfWidth = 0.0; // of the rain/snow transition
  bool snowModelBelow = true;
  OutputSettings layerOutputs[layerOutputCount];
  OutputSettings canopyOutputs[canopyGridCount - 1];
  OutputSettings balanceOutputs[balanceGridCount];
  double minimumLeafArea = 0.0;  // of the canopy snow model
  double minimumRoughness = 0.0; // likewise
  double leafAreaScale = 1.0;

  OwnCells cells;
  long heldFirst = 1;
  long heldLast = 0;
  ZoneSeriesBook book;

  std::vector<Layer> layer; // 0 .. n
  Grid input = nullptr;     // "snowcover_outflow" or "precipitation"
  Grid temperature = nullptr, radiation = nullptr, wind = nullptr, humidity = nullptr,
       cloudiness = nullptr;
  Grid groundAlbedo = nullptr, snowStorage = nullptr, surfaceTemperature = nullptr;
  Grid elevation = nullptr;
  Grid glacier = nullptr; // "GlacierizedCells" or "ice_firn"
  OwnGrid canopy[canopyGridCount];
  OwnGrid balance[balanceGridCount];
  ZoneSeries canopySeries[canopyGridCount - 1];
  ZoneSeries balanceSeries[balanceGridCount];
  std::vector<Grid> tracerInput; // per tracer, from 1

  std::unique_ptr<GridStack> temperatureHistory;
  ModelDate lastStep{-1, -1, -1, -1, -1};
};
