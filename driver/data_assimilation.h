#pragma once

// Data assimilation: registered grids drawn towards observed grids.
//
// Control file (the module is off when the section is absent):
//
//   [data_assimilation]
//   1      flow control parameter for data_assimilation (0: off)
//   60     time interval for data_assimilation
//   2      number of rules
//   {kind = grid; target = snowstorage_solid; file = obs/swe; weight = 0.5;}
//   {kind = grid; target = temperature; file = obs/temp; weight = 1;}
//
// A grid rule looks for the observation file "%s_%04ld%02ld%02ld%02ld" made
// of its file (a relative name lies in the input directory) and the year,
// month, day and hour of the step: a grid file of any format the grid reader
// knows. When it exists, every cell where the observation and the target both
// hold data becomes (1 - weight) target + weight observation, with the weight
// in 0 .. 1; cells without an observation keep their value. A file is taken
// once, at the first step of its hour, so that steps shorter than an hour do
// not draw the target towards it again and again. Errors end the run with
// code 83.
//
// A lake rule {kind = lake; reservoir = 3; file = obs/levels; column = 0;
// weight = 0.5;} reads lake levels [m a.s.l.] from a dated table (value
// columns counted from 0). In a step whose date has a record above -9998 the
// lake's volume becomes (1 - weight) V + weight V(level), with the weight in
// (0, 1], and its cells take the new level at once on every process.
//
// For the driver:
//   - build it last of all modules with
//     constructSubmodel<data_assimilation>(errorCode, context, reservoirs,
//     routing), so that every target is registered; reservoirs lists channel
//     routing's reservoirs on rank 0 (empty elsewhere);
//   - first in every step, before any other module: step(date);
//   - nothing to flush; teardown: releaseModule(), then delete.
// step is collective (all processes, same order); a module that is absent,
// switched off or in a routing-only run does nothing.

#include <memory>
#include <string>
#include <vector>

#include "core/time_series_file.h"
#include "submodel/rule_blocks.h"
#include "submodel/teilmodellklasse.h"

class SP_class;
class abflussmodellklasse;

class data_assimilation : public teilmodellklasse {
public:
  // Reads "[data_assimilation]" and finds the target grids. Failures are
  // handed back in errorCode (83 for the module's own, the base's codes, 103
  // for anything else); see constructSubmodel.
  data_assimilation(const ModelContext& context, int& errorCode,
                    const std::vector<SP_class*>* reservoirs = nullptr,
                    abflussmodellklasse* routing = nullptr);
  ~data_assimilation() override;

  // Applies every rule whose observation file exists for the date.
  // Collective.
  void step(long minute, long hour, long day, long month, long year);
  void releaseModule() override;

  std::size_t getRuleCount() const { return gridRules.size() + lakeRules.size(); }

private:
  struct LakeRule {
    int block = 0;
    int reservoir = 0;
    SP_class* lake = nullptr; // rank 0
    std::string file;
    long column = 0;
    double weight = 0.0;
    std::unique_ptr<TimeSeriesFile> levels; // rank 0
  };
  LakeRule makeLakeRule(const RuleBlockReader& reader, const RuleBlock& block);
  // Rank 0: the lake and its level table; fails with 83.
  void findLake(const RuleBlockReader& reader, const RuleBlock& block, LakeRule& rule);
  // Rank 0: the level of the step's record, or false.
  bool observedLevel(LakeRule& rule, const ModelDate& date, double& level);
  void assimilateLakes(const ModelDate& date);

  struct GridRule {
    int block = 0;
    std::string target;
    int targetIndex = 0;
    std::string file;
    double weight = 0.0;
    long appliedHour = -1; // year, month, day and hour of the file taken last
  };

  void readRules();
  GridRule makeGridRule(const RuleBlockReader& reader, const RuleBlock& block);
  // Rank 0 looks, every process learns the answer.
  bool observationExists(const std::string& name);
  void readObservation(const std::string& name);
  void blend(const GridRule& rule);
  void freeObservation();

  std::vector<GridRule> gridRules;
  std::vector<LakeRule> lakeRules;
  const std::vector<SP_class*>* reservoirs = nullptr;
  abflussmodellklasse* routing = nullptr;
  // The observation of the step, over the rows the grid reader fills: this
  // process's strip and a halo row on each side.
  Grid observation = nullptr;
  long observationFirst = 1;
  long observationLast = 0;
};
