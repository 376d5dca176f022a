#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "core/modelobject.h"

// One solute tracer of "[substance_transport]".
struct TracerRecord {
  std::string name;      // first three characters of its name, lower case, padded with "_"
  int radioactive = 0;   // 1 "radioactive", 0 "non_radioactive"
  int evaporating = 0;   // 1 "evaporating", 0 "non_evaporating"
  double minConc = 0.0;  // "min_conc"
  double maxConc = 0.0;  // "max_conc"; the unit is checked, not converted
  double halfTime = 0.0; // days; -9999.0 for a tracer that is not radioactive
  double gwIni = 0.0;    // "gwini": initial value in groundwater
  double soilIni = 0.0;  // "soilini": initial value in the soil
  // 0 after reading; the sub-model base stores its decay factor per time
  // step here.
  double decayFactor = 0.0;
  std::string path;    // "path": prefix of the tracer's input and output files
  std::string statExt; // "statext": extension of its statistics files
  std::string gridExt; // "gridext": extension of its grid files
  int statCode = 0;    // "statcode"
  int gridCode = 0;    // "gridcode"

  // Set by the modules that carry the tracer, not read from the control file.
  // 0: gwIni is a concentration, 1: a storage.
  int gwIniIsStorage = 0;
  // Decay factors written by channel routing: per routing sub-interval, and
  // over the translation delay of the routing element being routed.
  double subIntervalDecayFactor = 0.0;
  double delayDecayFactor = 0.0;
  // Set when the tracer's soil store is taken from another store and so
  // holds concentrations, not masses: the unsaturated zone then copies the
  // stored value instead of dividing it by the water content, and initialises
  // the store with the concentration itself.
  int takenFromOtherStore = 0;

  // The mass that may leave with an amount of water: at most the water times
  // "max_conc"; a largest concentration of 0 sets no limit.
  double limitMoved(double moved, double water) const {
    return maxConc > 0.0 ? std::min(moved, water * maxConc) : moved;
  }
};

// The tracer set-up: reads "[substance_transport]" once per control file and
// holds the records that the sub-models read when they set up their tracer
// grids.
class tracer_ini_class : public modelobject {
public:
  static constexpr int maxTracers = 9;

  // Never throws: errorCode is 0 after a successful reading, else the exit
  // code (103 for a failure that is not one of the reader's own). The
  // arguments after the control-file name are those of the full modelobject
  // constructor.
  tracer_ini_class(int& errorCode, DiagStream* diag, const std::string& controlFileName, int unused,
                   bool writeAsciiGrids, bool writeDoubleGrids, bool writeNetCDFGrids,
                   const std::string& inputDirectory, const std::string& outputDirectory,
                   const std::vector<long>* cellsPerProcess,
                   const std::vector<HaloStrip>* haloSendList,
                   const std::vector<HaloStrip>* haloReceiveList, int driverFlag, long driverValue);
  tracer_ini_class(const tracer_ini_class&) = delete;
  tracer_ini_class& operator=(const tracer_ini_class&) = delete;

  // Releases the records, then the module.
  virtual void FreeMemory();
  void releaseModule() override { FreeMemory(); }

  int getTracerCount() const { return tracerCount; }
  // Records 1 .. count (record 0 is unused); empty without tracers. The
  // sub-models write their decay factors into the records.
  std::vector<TracerRecord>& getTracerInfoTable() { return tracer_info_table; }

protected:
  void readTracers();
  void readTracer(int k, const std::string& line);

  int tracerCount = 0;
  std::vector<TracerRecord> tracer_info_table;
};
