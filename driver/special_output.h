#pragma once

// Special output: the values of single cells of registered grids, one line
// per step or per sub-step, in files of their own.
//
// Control file (the module is off when the section is absent):
//
//   [special_output]
//   1      flow control parameter for special_output (0: off)
//   60     time interval for special_output
//   2      number of special outputs
//   {grid = temperature; file = temp_cells.txt; cells = 3 4 10 2; substeps = 0;}
//   {grid = soil_moisture; file = "moist cells.txt"; cells = 5 5; substeps = 1;}
//
// cells lists row and column pairs (counted from 1 like the grid files);
// substeps is optional (0: one line at the end of each step, 1: one line at
// the end of each sub-step). A relative file name gets the output directory
// in front. Errors end the run with code 82; a listed cell outside the
// catchment is written as nodata, with a warning.
//
// File: one header line "YY\tMM\tDD\tHH\tmm" ["\tsub"] + "\t<grid>(<row>,<column>)"
// per cell, then one line per step or sub-step with the date (and the
// sub-step) and the values, "%2ld" and "\t%.8g".
//
// For the driver:
//   - build it with constructSubmodel<SpecialOutputClass>(errorCode, context)
//     after channel routing, so that every grid it lists is registered;
//   - in every sub-step k = 1 .. n, at its end: writeStep(date, k);
//   - at the end of every step, after the standard grids: writeStep(date, 0);
//   - Ctrl-C answer 3 and shut-down: flush();
//   - teardown: releaseModule(), then delete. Lines not flushed are dropped.
// Every call is collective (all processes, same order); a module that is
// absent, switched off or in a routing-only run does nothing in any of them.

#include <string>
#include <vector>

#include "submodel/rule_blocks.h"
#include "submodel/teilmodellklasse.h"

class SpecialOutputClass : public teilmodellklasse {
public:
  // Reads "[special_output]", finds the grids and the owners of the listed
  // cells and creates every file with its header line. Collective. Failures
  // are handed back in errorCode (82 for the module's own, the base's codes,
  // 103 for anything else); see constructSubmodel.
  SpecialOutputClass(const ModelContext& context, int& errorCode);

  // Gathers the listed cells on rank 0 and buffers one line per output that
  // is due: substep 0 is the end of the step (outputs with "substeps = 0"),
  // k >= 1 the end of sub-step k (outputs with "substeps = 1"). A full buffer
  // is written at once. Collective.
  void writeStep(long minute, long hour, long day, long month, long year, unsigned substep);
  // Appends the buffered lines of every output to its file. Collective; a
  // failed write ends every process with code 82.
  void flush();
  void releaseModule() override;

  std::size_t getOutputCount() const { return outputs.size(); }

private:
  struct Output {
    int block = 0;
    std::string gridName;
    int gridIndex = 0;
    std::string fileName;
    bool substeps = false;
    std::vector<long> rows; // cell k is (rows[k], columns[k])
    std::vector<long> columns;

    // This process's cells, in list order, and their values of the step.
    std::vector<long> ownCells;
    std::vector<double> ownValues;
    // Rank 0: the gathered values of every process, by rank, and for every
    // listed cell the position of its value there (-1: no process owns it).
    std::vector<int> receiveCounts;
    std::vector<int> displacements;
    std::vector<double> received;
    std::vector<long> sourceOf;

    // Lines written at the latest flush; on rank 0 their stamps and values.
    std::size_t capacity = 1;
    std::size_t linesUsed = 0;
    std::vector<ModelDate> lineDates;
    std::vector<unsigned> lineSubsteps;
    std::vector<double> lineValues; // capacity x cells
  };

  void readOutputs();
  Output makeOutput(const RuleBlockReader& reader, const RuleBlock& block);
  void locateCells(Output& output, int regionsIndex);
  void createFile(const Output& output) const;
  void gather(Output& output);
  void bufferLine(Output& output, const ModelDate& date, unsigned substep);
  // Rank 0 appends the buffered lines; the count restarts on every process.
  int writeLines(Output& output);
  [[noreturn]] void failFile(const Output& output, const std::string& what) const;

  std::vector<Output> outputs;
};
