// Writes and reads a 2000 x 2000 grid through the netCDF grid writer and
// reader: one record per write appended to a growing file, one record per
// read from a file that stays open.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/diag_stream.h"
#include "core/netcdf_grid_reader.h"
#include "core/netcdf_grid_writer.h"

namespace {

constexpr int gridSize = 2000;
constexpr int storedRecords = 4;
constexpr double nodata = -9999.0;

// A smooth field with noise in the low digits and a third of the cells
// outside the catchment, like model output; column-major, north first.
template <typename T> std::vector<T> sampleGrid() {
  std::vector<T> values(static_cast<size_t>(gridSize) * gridSize);
  unsigned state = 12345;
  for (int j = 0; j < gridSize; j++)
    for (int k = 0; k < gridSize; k++) {
      state = state * 1103515245u + 12345u;
      const double noise = static_cast<double>(state >> 16) / 65536.0 * 1e-3;
      const bool inside = j + k > gridSize / 2 && j - k < gridSize;
      values[static_cast<size_t>(j) * gridSize + k] = static_cast<T>(
          inside ? 500.0 + 300.0 * std::sin(j / 200.0) * std::cos(k / 300.0) + noise : nodata);
    }
  return values;
}

struct BenchFiles {
  BenchFiles() {
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    diag = std::make_unique<DiagStream>(directory + "/diag.xml", 0, &console, &console);
  }
  std::string directory = "netcdf_bench_files";
  std::ostringstream console;
  std::unique_ptr<DiagStream> diag;
};

BenchFiles& benchFiles() {
  static BenchFiles files;
  return files;
}

template <typename T> void writeGrid(benchmark::State& state) {
  BenchFiles& files = benchFiles();
  NetCDFGridWriter::resetWrittenFiles();
  NetCDFGridWriter writer(files.diag.get());
  writer.setGeoreference(4000000.0, 5000000.0, 100.0);
  const std::vector<T> grid = sampleGrid<T>();
  const std::string file = files.directory + "/write_" + std::to_string(sizeof(T)) + ".nc";
  for (auto _ : state)
    writer.writeNetCDFGrid(file, "grid", grid.data(), gridSize, gridSize, nodata);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(grid.size() * sizeof(T)));
  state.counters["file_MB"] = static_cast<double>(std::filesystem::file_size(file)) / 1e6;
}

template <typename T> void readGrid(benchmark::State& state) {
  BenchFiles& files = benchFiles();
  NetCDFGridWriter::resetWrittenFiles();
  NetCDFGridWriter writer(files.diag.get());
  const std::vector<T> grid = sampleGrid<T>();
  const std::string file = files.directory + "/read_" + std::to_string(sizeof(T)) + ".nc";
  for (int i = 0; i < storedRecords; i++)
    writer.writeNetCDFGrid(file, "grid", grid.data(), gridSize, gridSize, nodata);
  NetCDFGridReader reader(files.diag.get());
  std::vector<double> values;
  int nrows = 0;
  int ncols = 0;
  long record = 0;
  for (auto _ : state) {
    std::string name = file + "<grid>" + std::to_string(record++ % storedRecords);
    reader.readNetCDFGrid(name, values, nrows, ncols, nodata);
    benchmark::DoNotOptimize(values.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(grid.size() * sizeof(T)));
}

void BM_WriteNetCDFGridDouble(benchmark::State& state) { writeGrid<double>(state); }
void BM_WriteNetCDFGridFloat(benchmark::State& state) { writeGrid<float>(state); }
void BM_ReadNetCDFGridDouble(benchmark::State& state) { readGrid<double>(state); }
void BM_ReadNetCDFGridFloat(benchmark::State& state) { readGrid<float>(state); }

} // namespace

BENCHMARK(BM_WriteNetCDFGridDouble)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteNetCDFGridFloat)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadNetCDFGridDouble)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadNetCDFGridFloat)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
