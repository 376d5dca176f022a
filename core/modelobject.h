#pragma once

#include <mpi.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/grid_registry.h"
#include "core/grid_resampler.h"
#include "core/grid_types.h"
#include "core/memory_handling.h"
#include "core/netcdf_grid_reader.h"
#include "core/netcdf_grid_writer.h"
#include "core/non_finite_output.h"

class DiagStream;

// Base of every module: the model context (log stream, control file, grid
// header and local rows, MPI rank and size, grid registry, dates, output
// settings) and the operations every module shares on it.
class modelobject : public memory_handling {
public:
  // Full construction; callers without MPI lists (the control-file reader)
  // pass null pointers.
  modelobject(DiagStream* diag, const std::string& controlFileName, int unused,
              bool writeAsciiGrids, bool writeDoubleGrids, bool writeNetCDFGrids,
              const std::string& inputDirectory, const std::string& outputDirectory,
              const std::vector<long>* cellsPerProcess, const std::vector<HaloStrip>* haloSendList,
              const std::vector<HaloStrip>* haloReceiveList, int driverFlag, long driverValue);
  // Bare construction for modules that fill the context themselves.
  modelobject();
  ~modelobject() override;

  // --- model context -------------------------------------------------------
  virtual void appendToModelLog(const std::string& text);
  virtual void setEndDate(long year, long month, long day, long hour, long minute);
  virtual void setOutputInterval(unsigned interval) { outputInterval = interval; }
  virtual unsigned getOutputInterval() const { return outputInterval; }
  virtual double getMinToIntEndHours() const { return minToIntEndHours; }

  // --- grid registry ---------------------------------------------------------
  virtual int findGrid(const std::string& name, int passStacks = 0);
  virtual int requireGrid(const std::string& name);
  // "name" (file) of the named entry, for messages about its values: the
  // user knows the file, not the name the model gave its grid.
  std::string gridWithFile(const std::string& name) const;
  virtual int requireOneOf3Grids(const std::string& a, const std::string& b, const std::string& c);
  virtual int requireOneOf4Grids(const std::string& a, const std::string& b, const std::string& c,
                                 const std::string& d);

  // --- control file ---------------------------------------------------------
  [[noreturn]] virtual void controlFileKeyNotFound(const std::string& what,
                                                   const std::string& where);
  [[noreturn]] virtual void writeError(const std::string& fileName, long number);
  [[noreturn]] virtual void readError(const std::string& fileName, long number);
  // Ends the run with code: a FATAL entry names the control file, the
  // section, the label and the value, and says what the value must be; the
  // line of the value too when readControlValue read it under the label.
  [[noreturn]] void refuseControlValue(const std::string& section, const std::string& label,
                                       double value, const std::string& rule, int code) const;
  // " (line N of file)": the place of the value that a read from the
  // control file noted under description, or nothing.
  std::string lineOfValue(const std::string& description) const;
  // Notes that the value of description stands in file (the module's
  // control file) at position start (ftell, blanks before it allowed).
  void noteValuePlace(const std::string& description, FILE* file, long start) {
    if (file && file == controlFile && start >= 0) valueStarts[description] = start;
  }
  // A value that could not be scanned from position start on: fails with
  // code 17, naming section, line and the word read there.
  [[noreturn]] void refuseUnreadValue(FILE* file, long start, const std::string& description);
  // Ends the run with code 17: the value of `what` (its place in the
  // control file: section, label, key) reads `text`, which is not `kind`
  // ("a whole number", "a finite number") as a whole.
  [[noreturn]] void refuseValueText(const std::string& what, const std::string& text,
                                    const std::string& kind) const;
  // The same with the system's reason for the failed read (an errno value).
  [[noreturn]] void readError(const std::string& fileName, long number, int systemError);
  // Ends the run with code: the value that readControlValue read last, of
  // label, breaks the rule ("must be 0 ... 10"). The FATAL entry names the
  // section, the user's file and line, the text read there and the value.
  [[noreturn]] void refuseLastControlValue(const std::string& label, double value,
                                           const std::string& rule, int code);
  // The same for a value read from file at position (ftell, blanks before
  // the value allowed): the FATAL entry names the user's file and line.
  [[noreturn]] void refuseControlValueAt(FILE* file, long position, const std::string& label,
                                         double value, const std::string& rule, int code);

  // Reads one value of a legacy section line with a single-conversion scan
  // format ("%d", "%ld", "%lf", "%s", ...; it must fit the target's type) and
  // keeps the free text after it in `rest`. A missing value ends the run with
  // code 17. A "%s" target receives one whitespace-delimited word.
  int readControlValue(FILE* file, const char* format, int& target, const std::string& description,
                       std::string& rest);
  int readControlValue(FILE* file, const char* format, long& target, const std::string& description,
                       std::string& rest);
  int readControlValue(FILE* file, const char* format, double& target,
                       const std::string& description, std::string& rest);
  int readControlValue(FILE* file, const char* format, std::string& target,
                       const std::string& description, std::string& rest);
  template <typename T>
  int readControlValue(FILE* file, const char* format, T& target, const std::string& description) {
    return readControlValue(file, format, target, description, lineBuffer);
  }
  // The same for two numeric values of one type on one line ("%ld %ld",
  // "%lf %lf", ...).
  int readControlValuePair(FILE* file, const char* format, long& first, long& second,
                           const std::string& description, std::string& rest);
  int readControlValuePair(FILE* file, const char* format, double& first, double& second,
                           const std::string& description, std::string& rest);
  // A word and a whole number ("%s%d"), such as a file name and its code.
  int readControlValuePair(FILE* file, const char* format, std::string& first, int& second,
                           const std::string& description, std::string& rest);
  template <typename T, typename U>
  int readControlValuePair(FILE* file, const char* format, T& first, U& second,
                           const std::string& description) {
    return readControlValuePair(file, format, first, second, description, lineBuffer);
  }
  // Positions the control file behind the line of a section header such as
  // "[model_time]"; returns 0 when the section is absent (fatal, code 17,
  // when it is required).
  virtual int seekSection(const std::string& section, bool required);

  // --- grid statistics -------------------------------------------------------
  virtual void resetGridStatistics(double nodata);
  virtual void addToGridStatistics(double value, double weight);
  virtual void getGridStatistics(double& count, double& minimum, double& maximum, double& sum,
                                 double& mean, double& deviation);

  // --- registry entries ------------------------------------------------------
  virtual void registerGrid(int index, const std::string& fileName, Grid grid, Stack stack,
                            unsigned levels, const std::string& name, long writecode, long firstRow,
                            long lastRow);
  virtual void unregisterGrid(int index);
  // The check of the values of registry entry index that the module ran at
  // set-up, to run again after every read of the file during the run.
  void checkAgainOnRead(int index, std::function<void(const std::string& from)> check);
  // After the file of registry entry index was read during the run, from
  // the file from: every check of its values. Collective.
  void checkReadValues(int index, const std::string& from);
  // What the module derived from registry entry index at set-up, to derive
  // again after every read of it during the run (and the return of its
  // set-up values). Collective.
  void rebuildOnRead(int index, std::function<void()> rebuild);
  void rebuildFromReadValues(int index, const std::string& from);
  // Registry entry index fed something the module built once at set-up,
  // described by what (a clause such as "the snow model builds ..."): the
  // set-up refuses to read the grid again during the run.
  void builtOnceFrom(int index, const std::string& what);
  // The first entry (from 1) whose file name is not set; 1000 when the
  // registry is full, which registerGrid refuses with code 12.
  int firstFreeRegistryIndex() const;

  // --- grid files (core/grid_file_reader.cpp, grid_file_writer.cpp) ----------
  // Reads an ASCII, binary (double or float), GIF or netCDF grid file
  // ("file<variable>record" for netCDF; the format is recognised from the
  // file's first bytes) into the rows this process holds: its strip, widened
  // by a halo row on each side with withHalo; all rows on rank 0 when
  // keepWholeOnRoot is 1. A file that does not lie on the model grid is
  // resampled by the given method. fillCode 1 fills holes inside the zone
  // grid from the nearest value (or fillValue without useNeighbourValues), 2
  // with fillValue.
  // With allocate the grid is allocated here, else the caller's grid must
  // hold those rows. Collective over all processes unless localOnly, with
  // which the calling process reads the whole file without communication.
  virtual void readGrid(const std::string& path, Grid& grid, int fillCode, bool allocate,
                        bool verbose, bool useNeighbourValues, int keepWholeOnRoot, bool localOnly,
                        bool withHalo, double fillValue,
                        Resampling resampling = Resampling::bilinear);
  // Not collective: the size and place of a netCDF grid
  // "file<variable>record" that readGrid will take cell for cell, checked
  // before the first read (logged FATAL; 22, or 21 when unreadable).
  void checkNetCDFGridFile(const std::string& name);
  // One file of readGrids. Without wholeOnRoot rank 0 holds its strip and
  // halo rows only, as the others do; rank 0's choice holds for all.
  struct GridReadRequest {
    std::string path;
    int fillCode = 0;
    double fillValue = 0.0;
    bool wholeOnRoot = true;
    Resampling resampling = Resampling::bilinear;
  };
  // Reads the files in order as readGrid(path, grid, fillCode, true, true,
  // true, wholeOnRoot, false, true, fillValue, resampling) would, one after the other,
  // and hands each grid over to take(k, grid, firstRow, lastRow) as soon as
  // it is read. Collective. The ASCII grids that every process parses are
  // read together: rank 0 reads their headers, every process finds the rows
  // in its share of each file, a file named twice is parsed once (whole on
  // rank 0 when any of its requests asks so), and the collective calls and
  // the rows for rank 0 come once for all of them. The log and the failures
  // are those of the reads one by one.
  using GridTaker = std::function<void(size_t, Grid, long, long)>;
  void readGrids(const std::vector<GridReadRequest>& requests, const GridTaker& take);
  // Writes rows 1..nrows of the grid (rows whose pointer is null as nodata)
  // as netCDF, else ASCII, else binary doubles or floats. Not collective.
  virtual void writeGrid(const std::string& path, Grid grid, bool ascii, bool doubleGrid,
                         bool netcdf);
  // The same after setting, in the caller's grid, every cell outside the
  // valid columns of its row to nodata.
  virtual void writeGridMasked(const std::string& path, Grid grid, bool ascii, bool doubleGrid,
                               bool netcdf);
  // Takes the registry grid "RelCellArea" as the weights of the cells in the
  // statistics of binary grids; none (weight 1) when it is absent.
  void findCellWeights();

  // --- output of registered grids (core/output_grids.cpp) ---------------------
  // Updates the sum, mean, minimum, maximum and vegetation-period grids of
  // registry entry index from its grid over the cells this process owns, and
  // writes the grid and the statistics grids that its write code asks for at
  // the current date (rank 0 writes what all processes gathered). The second
  // argument is not used; callers pass 1. While pending is set (a further
  // sub-interval of the step follows) the statistics are updated but nothing
  // is written: what falls due waits for the step's last call. Collective:
  // every process calls it for the same entries in the same order.
  virtual void writeOutputGrids(int index, int unused = 1, int pending = 0);
  // Writes the stack of registry entry index as its ones digit asks (1 to 5).
  // Collective like writeOutputGrids.
  virtual void writeOutputStack(int index);
  // Writes the stack of registry entry index under the name and, when
  // `again` is not empty, under that name too, whatever its write code;
  // the files do not depend on the number of processes. Collective.
  void writeRegisteredStack(int index, const std::string& name, const std::string& again = "");
  // Writes a grid whose write code asks for it at once (ones digit 8).
  virtual void writeGridAtRegistration(int index);

  virtual double interpolateLinear(double x0, double y0, double x1, double y1, double x) const;
  virtual void setWriteStorageFlag(unsigned flag) { writeStorage = flag; }
  virtual void releaseModule();

  // Prefixes a relative name with a directory (which carries its own "/").
  static void prependDirectory(const std::string& prefix, std::string& name);
  // Whether rank 0 can open the file in the directory of the initial
  // states, for state that a former run may not have written. Collective.
  bool initialStateFileExists(const std::string& name);
  // A warm start: the sums and counts of every registered grid's statistics
  // over a day, a month or a year as the former run left them; a grid whose
  // files are missing starts anew, with a WARNING. Files on another grid
  // than the model's, and counts and sums that no run of steps of
  // stepMinutes can have left (a count that is no whole number of values
  // of the period, a sum beyond the count times the grid's value range),
  // end the run with 22. Collective, once every module registered its grids.
  void readStatisticsState(double stepMinutes);
  void setGIFGeoreference(Grid referenceGrid, double x0, double y0, double cellSize);
  // The GIF branch of the grid reader: decodes the image, resamples it onto
  // rows 1..nrows of the model grid (every row held) from the GIF
  // georeference, whose (x0, y0) is the image's lower left corner, and applies
  // the "GIF-Mapping". Unset georeference values fall back to x0 = 255000,
  // y0 = -160000 and cell size 1000, stored back with a WARNING. A file that
  // cannot be decoded ends with code 22.
  void readGIFGrid(const std::string& fileName, Grid grid);

  // --- accessors used across modules and by tests ------------------------------
  DiagStream* getDiag() const { return diag; }
  const std::string& getModuleName() const { return moduleName; }
  const GridHeader& getHeader() const { return header; }
  GridRegistryEntry* getRegistry() const { return registry; }
  void setRegistry(GridRegistryEntry* table) { registry = table; }
  const ModelDate& getEndDate() const { return endDate; }
  long getEndMinuteIndex() const { return endMinuteIndex; }
  int getMpiRank() const { return mpiRank; }
  int getMpiSize() const { return mpiSize; }

  // --- MPI row strips and halo exchange (core/mpi_strips.cpp) -----------------
  // Strip transfers between rank 0's whole grids and the other processes'
  // rows, as "MPIRegions" and "MPIHelper" describe them. A null grid or stack
  // means the registry entry's own. Collective: every process calls them in
  // the same order.
  void MPIScatterGrid(int index, Grid grid = nullptr);
  void MPIGatherGrid(int index, Grid grid = nullptr);
  // Rank 0 gets a new whole grid that the caller frees; the others get null.
  Grid MPIGatherGridCopy(int index, Grid grid = nullptr);
  void MPIGatherStack(int index, Stack stack = nullptr);
  Stack MPIGatherStackCopy(int index, Stack stack = nullptr);
  // With an index below 1 the stack and its last level must be given.
  void MPIScatterStack(int index, Stack stack = nullptr, unsigned levels = 0);
  // Fill the halo cells from their owners along haloReceiveList and
  // haloSendList; a negative index does nothing.
  void MPIExchangeGridHalo(int index, Grid grid = nullptr);
  // The halo exchange of several grids at once.
  void MPIExchangeGridHalos(const std::vector<Grid>& grids);
  void MPIExchangeStackHalo(int index, int unusedLevels, Stack stack = nullptr);
  // The same exchange split so that work can overlap the transfers.
  void MPIStartHaloReceive(int index, Grid grid = nullptr);
  void MPIStartHaloSend(int index, Grid grid = nullptr);
  void MPIWaitHaloExchange(int index);
  // Sums weightSum and valueSum of records 0..n over all processes into rank
  // 0, and effectiveWeight too when sumEffectiveWeight is set.
  void MPIReduceZoneRecords(ZoneRecord* records, long n, bool sumEffectiveWeight);
  // Copies weightSum, valueSum and effectiveWeight of records 0..n from rank 0.
  void MPIBroadcastZoneRecords(ZoneRecord* records, long n);
  // Moves the values of grid valueIndex at the cells where grid maskIndex
  // holds data, one message per process; counts[rank] is the number of such
  // cells each process owns. Rank 0 walks `cells`, every such cell of the
  // model grid in row-major order with its owner, and keeps one value per
  // cell in `values`; of the grids it needs only its own strip, like the
  // others. With one process the values move between the grid and `values`.
  // With stackLevel 0 or above they move that level of the entry's stack.
  void MPIGatherPackedGrid(int valueIndex, int maskIndex, const std::vector<long>& counts,
                           const std::vector<PackedCell>& cells, std::vector<double>& values,
                           int stackLevel = -1);
  void MPIScatterPackedGrid(int valueIndex, int maskIndex, const std::vector<long>& counts,
                            const std::vector<PackedCell>& cells, const std::vector<double>& values,
                            int stackLevel = -1);

  // --- stack files (core/stack_file_writer.cpp, core/stack_file_reader.cpp) --
  // Writes levels 0..lastLevel of a stack. netCDF (one record per level) wins
  // over ASCII, ASCII over binary. Binary output is collective: each process
  // writes the cells it owns at their place in the file. ASCII and netCDF are
  // written by rank 0 alone from the rows it holds; the others return. A
  // relative path gets the output directory in front.
  virtual void writeStack(const std::string& path, Stack stack, int lastLevel, bool ascii,
                          bool doubleGrid, bool netcdf);
  // Allocates a stack over this process's strip (rank 0: every row when the
  // file is ASCII or keepWholeOnRoot is set), reads it and returns its last
  // level index. Collective. A relative path gets the input directory in
  // front. The caller frees the stack with free_three_d_matrix.
  virtual int readStack(const std::string& path, Stack& stack, bool keepWholeOnRoot);

protected:
  // The own rows and a halo row on each side, on every process: for grids
  // that no computation on rank 0 needs whole.
  long stripFirstRow() const { return std::max(1L, header.firstRow - 1); }
  long stripLastRow() const { return std::min(header.nrows, header.lastRow + 1); }
  // Runs the module's own part of a construction: 0 when it succeeds, the
  // int it throws, or 103 for any other exception, so that a constructor
  // reports through its error code and never throws.
  template <typename Body> static int catchModuleFailure(Body&& body) {
    try {
      body();
    } catch (int code) {
      return code;
    } catch (...) {
      return 103;
    }
    return 0;
  }

  // --- MPI row strips: the row walk and the split exchange's state ------------
  // Position of a walk along the strip list of one "MPIHelper" row.
  struct StripCursor {
    long pair = 0;   // pairs read so far
    long column = 0; // rank 0: first column of the next run
  };
  // Reads the next strip of the row that this process exchanges (row, start
  // column, count, peer) into strip; false at the end of the list. Fails with
  // 120 when the list runs past the end of the row.
  bool nextStrip(long row, Grid helper, bool stackMessage, StripCursor& cursor, HaloStrip& strip);
  // Moves every strip of the walk between rank 0 and the others: the values
  // of a grid, or valuesPerCell values per cell of a stack, of the cells of
  // the strip's owner ("MPIRegions"), one message per run of them.
  void moveStrips(Grid helper, Grid grid, Stack stack, long valuesPerCell, bool toWorkers,
                  bool stackMessage, const char* operation);
  // Doubles expected by each receive of a split halo exchange, in the order
  // of the first pending requests.
  std::vector<int> pendingReceiveCounts;

  // --- grid files: the steps of one read and one write ------------------------
  struct GridFileRead; // core/grid_file_reader.cpp
  void inspectGridFile(GridFileRead& read, bool verbose);
  void noteReading(GridFileRead& read);
  void shareGridFileInfo(GridFileRead& read);
  void settleGridRead(GridFileRead& read);
  void readWholeGridFile(GridFileRead& read, Grid whole);
  // A resampled raster (source, its true lower left corner) that leaves a
  // cell of the zone grid's catchment beyond its edge fails with code 22
  // (core/grid_coverage.cpp).
  void refuseUncoveredCatchment(const std::string& name, const GridHeader& source);
  // A bilinear resampling (into whole) that leaves a cell of the catchment
  // nodata where the file's cell under its centre holds a value fails with
  // code 22 as well.
  void refuseGapsOfResampling(const std::string& name, Grid source, const GridHeader& sourceHeader,
                              Grid whole);
  void readNetCDFGridFile(GridFileRead& read, Grid whole);
  bool netcdfOnModelGrid() const;
  void checkNetCDFGridSize(const std::string& name, long rows, long cols);
  // Fails with code 22 when the coordinates of the file (read once while it
  // stays open) do not lie on the model grid (core/netcdf_grid_placement.cpp).
  void checkNetCDFPlacement(const std::string& name, const std::string& fileName, int rows,
                            int cols);
  [[noreturn]] void failUnusableNetCDFGeoreference(const std::string& name);
  void readOwnNetCDFRows(GridFileRead& read, Grid grid, long firstRow, long lastRow);
  void readOwnGridRows(GridFileRead& read, Grid grid, long firstRow, long lastRow);
  // ASCII grids read in parallel (core/ascii_grid_rows.cpp): rank 0 finds
  // where every row begins (false, with the file rewound, when values are
  // missing) and shares it; every process parses its rows lo..hi. With
  // wholeOnRoot rank 0's grid holds every row, which the others hand over.
  bool findAsciiRowStarts(GridFileRead& read);
  bool shareAsciiRowStarts(GridFileRead& read, bool found);
  void readOwnAsciiRows(GridFileRead& read, Grid grid, long lo, long hi, bool wholeOnRoot);
  // The runs of rows, in file order, that this process parses and, with
  // wholeOnRoot, the process that hands each row to rank 0.
  void planAsciiRows(long lo, long hi, bool wholeOnRoot, std::vector<std::pair<long, long>>& runs,
                     std::vector<int>& rootRowSenders);
  // Rank 0 takes the rows that rootRowSenders names of each grid, which the
  // others packed in grid order into values.
  void handRowsToRoot(const std::vector<int>& rootRowSenders, std::vector<double>& values,
                      const std::vector<Grid>& grids);
  // The batch of readGrids: reads the ASCII grids from the first on that
  // every process parses and returns how many it has handed over.
  size_t readAsciiGridBatch(const std::vector<GridReadRequest>& requests,
                            const std::vector<char>& wholeOnRoot, const GridTaker& take);
  // Finds the rows of the first count files of a batch on all processes
  // together; returns how many files from the first on it found them in.
  size_t findRowStartsTogether(std::vector<GridFileRead>& reads, const std::vector<long>& sameFile,
                               size_t count);
  void parseAsciiRows(GridFileRead& read, Grid grid, long first, long last, long lo, long hi,
                      long& failedRow);
  void settleAsciiRows(GridFileRead& read, long failedRow);
  void repairGridHoles(Grid grid, const std::string& name, int fillCode, bool useNeighbourValues,
                       double fillValue, bool verbose);
  void writeGridFile(const std::string& path, Grid grid, bool ascii, bool doubleGrid, bool netcdf,
                     bool masked);
  void writeNetCDFGridFile(const std::string& name, Grid grid, bool doubleGrid);
  void writeAsciiGridFile(const std::string& name, Grid grid, bool masked);
  void writeBinaryGridFile(const std::string& name, Grid grid, bool doubleGrid, bool masked);
  // Ends the run with nonFiniteOutputCode at the first of rows firstRow ..
  // firstRow + count - 1 whose nonFinite entry names a column (not 0): the
  // value there, as stored in the file (a float with asFloat), is not a
  // finite number.
  void refuseNonFiniteRow(const std::string& file, Grid grid, long firstRow, const long* nonFinite,
                          long count, bool asFloat) const;

  // The refusal of refuseControlValueAt, with reads (" reads \"word\"") after
  // the line.
  [[noreturn]] void refuseValueAt(FILE* file, long position, const std::string& label, double value,
                                  const std::string& rule, int code, const std::string& reads);
  // Runs the scan of one value (a number when `number`) and reads the rest
  // of its line; a missing value ends the run with code 17.
  int scanControlValue(FILE* file, const std::function<int()>& scan, bool number,
                       const std::string& description, std::string& rest);
  // The same for a scan of two numbers.
  int scanControlNumberPair(FILE* file, const std::function<int()>& scan,
                            const std::string& description, std::string& rest);
  // A number must fill its word: "%d" scans 20 of "20x1" and leaves "x1".
  // Fails with code 17, naming section, line and word, when letters follow
  // the number read from position start on.
  void requireWholeNumber(FILE* file, long start, const std::string& description);
  // The scan formats take "nan", "inf" and numbers beyond the range of a
  // double ("1e999"), which would carry through every sum of the run.
  void requireFinite(FILE* file, long start, std::initializer_list<double> values,
                     const std::string& description);

  // --- output of registered grids: the steps of one call ----------------------
  struct OwnedCells; // the cells whose statistics this process keeps
  OwnedCells ownedCells(const GridRegistryEntry& entry);
  void findOutputRegions();
  void findOwnedRows();
  // The first owned cell of the entry whose count and sum read back no run
  // can have left, as the key and FATAL entry of refuseFirstCellFault.
  long firstStatisticsStateFault(const GridRegistryEntry& entry,
                                 const std::vector<StatisticsStateGrid>& grids, double stepMinutes,
                                 std::string& entryText);
  void findVegetationGrids(GridRegistryEntry& entry);
  void updateOutputStatistics(GridRegistryEntry& entry, const OwnedCells& cells);
  void openVegetationPeriod(GridRegistryEntry& e, const OwnedCells& cells);
  void closeVegetationPeriod(int index, GridRegistryEntry& entry, const OwnedCells& cells);
  void writeSumGrid(int index, GridRegistryEntry& entry, const OwnedCells& cells);
  // Gathers into rank 0's whole grid (the others pass null); false, with
  // nothing moved, without a decomposition.
  bool gatherWholeGrid(int index, Grid grid, Grid whole);
  // The same for a stack, into rank 0's stack of every row and level.
  bool gatherWholeStack(int index, Stack stack, Stack whole);
  // "MPIRegions" when there are strips to gather, null otherwise.
  Grid gatherRegions();
  // Gathers the grid onto rank 0, which writes it under each name (masked
  // with the valid columns for statistics grids).
  void writeOutputFile(int index, Grid grid, bool masked, const std::string& name,
                       const std::string& again = "");
  // The same in the given format, always gathered onto rank 0.
  void writeGatheredFile(int index, Grid grid, bool masked, const std::string& name,
                         const std::string& again, bool ascii, bool doubleGrid, bool netcdf);
  // Written at the end of the run: the sums and counts of the entry's
  // statistics over a period still open.
  void writeStatisticsState(int index, const GridRegistryEntry& entry);
  struct OutputRowRun {
    long first;
    long last;
    int rank; // the process that formats rows first..last
  };
  // What an ASCII output writes: the cells of a grid, tab-separated (masked
  // with the valid columns for statistics grids), or levels 0..levels-1 of
  // every cell of a stack, one value a line.
  struct AsciiOutputValues {
    Grid grid = nullptr;
    Stack stack = nullptr;
    long levels = 1;
    bool masked = false;
    bool holds(long r) const { return stack ? stack[r] != nullptr : grid[r] != nullptr; }
    const double* at(long r, long c) const { return stack ? stack[r][c] : grid[r] + c; }
  };
  // ASCII output: every process formats the rows it owns cells in and
  // writes their text at its place in the file (core/ascii_grid_output.cpp).
  void writeOutputAscii(const AsciiOutputValues& values, const std::string& path,
                        const std::string& again);
  // A null regions grid means rank 0 owns every cell.
  void exchangeSharedRowCells(const AsciiOutputValues& values, Grid regions,
                              const std::string& name);
  // Formats the rows of one run block by block and hands over their text;
  // firstNonFinite takes the first cell whose value is not a finite number,
  // unless it holds one already.
  void formatOutputRun(const OutputRowRun& run, const AsciiOutputValues& values, Grid regions,
                       const std::function<void(const char*, size_t)>& take,
                       NonFiniteCell& firstNonFinite);
  // Rank 0 writes the file `from` again under the output name path.
  void copyOutputFile(const std::string& from, const std::string& path);
  // Collective, at the first ASCII output and whenever the decomposition
  // came or went: the rows of every process and who formats which rows.
  void findOutputRowRuns(bool decomposed);
  std::vector<OutputRowRun> outputRowRuns;
  // First and last row of the strip of every process, in pairs.
  std::vector<long> outputRowBounds;
  bool outputRowsDecomposed = false;
  // "MPIRegions", found at the first output.
  Grid outputRegions = nullptr;
  // Rank 0: the rows in which it owns cells. It holds every row, but the
  // gather replaces what it holds of the others' cells.
  long ownedFirstRow = 1;
  long ownedLastRow = 0;

  unsigned writeStorage = 0;
  // Shift between the hour of the meteorological data and the end of the
  // time step, in hours.
  double minToIntEndHours = 0.0;
  int monthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  std::string lineBuffer;    // rest of the last control-file line read
  FILE* lastValueFile = nullptr; // where readControlValue read its last value
  long lastValueStart = -1;
  // Where readControlValue read the value of each description from the
  // control file, so that a refusal of it names its line.
  std::map<std::string, long> valueStarts;
  std::string sectionHeader; // "[" + module name + "]" of a sub-model
  std::string controlFileName;
  FILE* controlFile = nullptr;

  std::vector<MPI_Request> requests;
  unsigned requestCount = 0;

  struct GridStatistics {
    double count = 0.0;
    double minimum = 0.0;
    double maximum = 0.0;
    double sum = 0.0;
    double sumOfSquares = 0.0;
    double nodata = 0.0;
  } gridStatistics;

  GridHeader header;
  Grid cellWeights = nullptr;

  // Georeference of GIF input images and the reference grid of resampling.
  double gifX0 = 0.0;
  double gifY0 = 0.0;
  double gifCellSize = 0.0;
  Grid gifReferenceGrid = nullptr;
  // "GIF-Mapping" of colour index to value.
  double gifX1 = 0.0767528404;
  double gifF1 = 8.916787e-05;
  double gifX2 = 0.0767528404;
  double gifF2 = 8.916787e-05;
  int gifThreshold = 127;

  double binaryHeader[12] = {};
  RowColumnRange* rowColumnRange = nullptr;

  ModelDate currentDate;
  ModelDate startDate;
  ModelDate endDate;
  long endMinuteIndex = 0;

  bool writeAsciiGrids = false;
  bool writeDoubleGrids = false;
  bool writeNetCDFGrids = false;
  std::string outputDirectory;
  std::string inputDirectory;

  GridRegistryEntry* registry = nullptr;
  int mpiRank = 0;
  int mpiSize = 1;
  const std::vector<long>* cellsPerProcess = nullptr;
  const std::vector<HaloStrip>* haloSendList = nullptr;
  const std::vector<HaloStrip>* haloReceiveList = nullptr;
  int driverFlag = 0;
  long driverValue = 0;
  unsigned outputInterval = 0;

  // Created by the full constructor, released by releaseModule.
  std::unique_ptr<NetCDFGridWriter> netcdfWriter;
  std::unique_ptr<NetCDFGridReader> netcdfReader;
};
