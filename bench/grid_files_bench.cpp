// Reads and writes a 4000 x 4000 grid (HORVA_BENCH_GRID_SIZE cells a side
// if set) as ASCII, binary (double and float) and netCDF files, and times
// gdal_translate -of AAIGrid on the same ASCII file. Run it under mpirun
// with 1 and with 4 processes; each figure is the time of the slowest
// process, and rank 0 prints them. A read ends with every process holding
// its rows (every process parses its rows of the text, reads its rows of a
// binary file at its offsets and its rows of a netCDF record); a write
// gathers the grid on rank 0, which writes it. "memory_x_grid" is rank 0's
// peak memory during the operation in grid sizes (the grid it reads or
// writes included).
#include <benchmark/benchmark.h>
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <sstream>
#include <string>

#include "bench/mpi_bench_main.h"
#include "core/diag_stream.h"
#include "core/modelobject.h"

namespace {

// 4000 x 4000 cells unless HORVA_BENCH_GRID_SIZE names another side length.
long sideLength() {
  const char* text = std::getenv("HORVA_BENCH_GRID_SIZE");
  const long side = text ? std::atol(text) : 0;
  return side > 0 ? side : 4000;
}
const long gridSize = sideLength();
constexpr int iterations = 3;
constexpr double nodata = -9999.0;
const std::string directory = "grid_files_bench_files";

// A model on a 4000 x 4000 grid cut into blocks of whole rows, the highest
// rank taking the first rows, with the decomposition grids the strip
// transfers need.
class BenchModule : public modelobject {
public:
  BenchModule(DiagStream* diag, int rank, int size)
      : modelobject(diag, "", 0, false, false, false, "", "", nullptr, nullptr, nullptr, 0, 0),
        table(gridRegistrySize), ranges(gridSize + 1) {
    registry = table.data();
    header.ncols = header.nrows = gridSize;
    header.xllcorner = 3500000.0;
    header.yllcorner = 5200000.0;
    header.cellsize = 100.0;
    header.nodata = nodata;
    const long rows = gridSize / size;
    auto firstRowOf = [&](int p) { return (size - 1 - p) * rows + 1; };
    auto lastRowOf = [&](int p) { return p == 0 ? gridSize : firstRowOf(p) + rows - 1; };
    header.firstRow = firstRowOf(rank);
    header.lastRow = lastRowOf(rank);
    lo = rank == 0 ? 1 : header.firstRow;
    regions = matrix(lo, header.lastRow, 1, gridSize, gridSize);
    helper = matrix(lo, header.lastRow, 1, gridSize, gridSize);
    for (long r = lo; r <= header.lastRow; ++r) {
      int owner = 0;
      while (owner < size - 1 && r < firstRowOf(owner)) ++owner;
      std::fill(regions[r] + 1, regions[r] + gridSize + 1, static_cast<double>(owner));
      helper[r][1] = rank == 0 ? owner : 1;
      helper[r][2] = gridSize;
      ranges[r] = RowColumnRange{1, gridSize};
    }
    rowColumnRange = ranges.data();
    registerGrid(1, "", regions, nullptr, 0, "MPIRegions", 0, lo, header.lastRow);
    registerGrid(2, "", helper, nullptr, 0, "MPIHelper", 0, lo, header.lastRow);
  }
  ~BenchModule() override {
    free_matrix(regions, lo, header.lastRow, 1, gridSize);
    free_matrix(helper, lo, header.lastRow, 1, gridSize);
  }
  long firstRow() const { return header.firstRow; }
  long lastRow() const { return header.lastRow; }

private:
  std::vector<GridRegistryEntry> table;
  std::vector<RowColumnRange> ranges;
  Grid regions = nullptr;
  Grid helper = nullptr;
  long lo = 1;
};

struct Bench {
  Bench() {
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    module = std::make_unique<BenchModule>(&diag, rank, size);
    if (rank == 0) {
      std::filesystem::remove_all(directory);
      std::filesystem::create_directories(directory);
      whole = module->matrix(1, gridSize, 1, gridSize, gridSize);
      // An input grid with three decimals and a third outside the catchment.
      unsigned state = 12345;
      for (long r = 1; r <= gridSize; ++r)
        for (long c = 1; c <= gridSize; ++c) {
          state = state * 1103515245u + 12345u;
          const double noise = static_cast<double>(state >> 16) / 65536.0;
          const double v = 500.0 + 300.0 * std::sin(c / 200.0) * std::cos(r / 300.0) + noise;
          whole[r][c] = r + c > gridSize * 2 / 3 ? std::round(v * 1000.0) / 1000.0 : nodata;
        }
      module->writeGrid(input("ascii"), whole, true, false, false);
      module->writeGrid(input("double"), whole, false, true, false);
      module->writeGrid(input("float"), whole, false, false, false);
      module->writeGrid(input("netcdf"), whole, false, true, true);
    }
    MPI_Barrier(MPI_COMM_WORLD);
  }
  ~Bench() {
    if (whole) module->free_matrix(whole, 1, gridSize, 1, gridSize);
  }
  static std::string input(const std::string& format) { return directory + "/in_" + format; }

  std::ostringstream console;
  DiagStream diag{directory + "_diag.xml", 0, &console, &console};
  int rank = 0;
  int size = 1;
  std::unique_ptr<BenchModule> module;
  Grid whole = nullptr;
};

Bench& bench() {
  static Bench b;
  return b;
}

// Peak resident memory is reset before each operation and read after it.
long statusKilobytes(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return 0;
}
void resetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

template <typename Operation>
void timeOperation(benchmark::State& state, bool gridResident, Operation operation) {
  Bench& b = bench();
  const double gridKilobytes = gridSize * (gridSize + 1) * 8.0 / 1024.0;
  double memory = 0.0;
  for (auto _ : state) {
    MPI_Barrier(MPI_COMM_WORLD);
    resetPeakMemory();
    const long before = statusKilobytes("VmRSS:");
    const double start = MPI_Wtime();
    operation(b);
    double elapsed = MPI_Wtime() - start;
    const long peak = statusKilobytes("VmHWM:");
    memory = std::max(memory, (peak - before) / gridKilobytes + (gridResident ? 1.0 : 0.0));
    MPI_Allreduce(MPI_IN_PLACE, &elapsed, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    state.SetIterationTime(elapsed);
  }
  state.counters["processes"] = b.size;
  state.counters["memory_x_grid"] = memory;
}

void readGrid(benchmark::State& state, const std::string& format, const std::string& suffix) {
  timeOperation(state, false, [&](Bench& b) {
    Grid g = nullptr;
    b.module->readGrid(Bench::input(format) + suffix, g, 0, true, false, false, 0, false, false,
                       0.0);
    b.module->free_matrix(g, b.module->firstRow(), b.module->lastRow(), 1, gridSize);
  });
}

void writeGrid(benchmark::State& state, bool ascii, bool doubles, bool netcdf) {
  // Each process holds its rows of the grid, as after a read.
  Bench& b = bench();
  Grid rows = nullptr;
  b.module->readGrid(Bench::input("double"), rows, 0, true, false, false, 0, false, false, 0.0);
  timeOperation(state, true, [&](Bench& bench) {
    NetCDFGridWriter::resetWrittenFiles();
    Grid gathered = bench.module->MPIGatherGridCopy(0, rows);
    if (bench.rank == 0)
      bench.module->writeGrid(directory + "/out", gathered ? gathered : rows, ascii, doubles,
                              netcdf);
    if (gathered) bench.module->free_matrix(gathered, 1, gridSize, 1, gridSize);
  });
  b.module->free_matrix(rows, b.module->firstRow(), b.module->lastRow(), 1, gridSize);
}

void BM_ReadAscii(benchmark::State& state) { readGrid(state, "ascii", ""); }
void BM_WriteAscii(benchmark::State& state) { writeGrid(state, true, false, false); }
void BM_ReadDouble(benchmark::State& state) { readGrid(state, "double", ""); }
void BM_WriteDouble(benchmark::State& state) { writeGrid(state, false, true, false); }
void BM_ReadFloat(benchmark::State& state) { readGrid(state, "float", ""); }
void BM_WriteFloat(benchmark::State& state) { writeGrid(state, false, false, false); }
void BM_ReadNetCDF(benchmark::State& state) { readGrid(state, "netcdf", ".nc<innetcdf>0"); }
void BM_WriteNetCDF(benchmark::State& state) { writeGrid(state, false, true, true); }

// GDAL reading the same ASCII file and writing it again as an ASCII grid,
// on rank 0 alone.
void BM_GdalTranslateAscii(benchmark::State& state) {
  timeOperation(state, false, [](Bench& b) {
    if (b.rank != 0) return;
    const std::string command =
        "gdal_translate -q -of AAIGrid " + Bench::input("ascii") + " " + directory + "/gdal.asc";
    if (std::system(command.c_str()) != 0) std::abort();
  });
}

#define GRID_BENCHMARK(name)                                                                       \
  BENCHMARK(name)->Iterations(iterations)->UseManualTime()->Unit(benchmark::kMillisecond)
GRID_BENCHMARK(BM_ReadAscii);
GRID_BENCHMARK(BM_WriteAscii);
GRID_BENCHMARK(BM_ReadDouble);
GRID_BENCHMARK(BM_WriteDouble);
GRID_BENCHMARK(BM_ReadFloat);
GRID_BENCHMARK(BM_WriteFloat);
GRID_BENCHMARK(BM_ReadNetCDF);
GRID_BENCHMARK(BM_WriteNetCDF);
GRID_BENCHMARK(BM_GdalTranslateAscii);

} // namespace

int main(int argc, char** argv) {
  // Large blocks go back to the system when freed, so that the resident
  // memory before an operation holds no freed grid it could reuse.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  return runBenchmarksUnderMPI(argc, argv);
}
