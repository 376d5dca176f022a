#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/diag_stream.h"
#include "core/memory_handling.h"
#include "routing/abflussmodellklasse.h"

// A routing module on a zone grid of rows x columns cells of 1 km^2, zone i
// the i-th cell in row order, built from a control text in a temporary
// directory of its own and wired to a runoff of 0.5 mm per step in every
// zone (tracers included), hourly from 2001-01-01.
struct RoutingBenchModel {
  // controlText receives the directory (with its "/").
  template <typename Text>
  RoutingBenchModel(const std::string& name, int rowsArg, int columnsArg, int tracers,
                    Text controlText)
      : rows(rowsArg), columns(columnsArg),
        directory(std::filesystem::temp_directory_path().string() + "/" + name + "/"),
        registry(gridRegistrySize), statistics(statisticTableEntries), tracerTable(tracers + 1) {
    std::filesystem::create_directories(directory);
    std::ofstream(directory + "model.ctl") << controlText(directory);
    context.diag = &diag;
    context.controlFileName = directory + "model.ctl";
    context.outputDirectory = directory;
    context.registry = registry.data();
    context.header.ncols = columns;
    context.header.nrows = rows;
    context.header.cellsize = 1000.0;
    context.header.firstRow = 1;
    context.header.lastRow = rows;
    context.startDate = ModelDate{0, 0, 1, 1, 2001};
    context.endDate = ModelDate{0, 23, 31, 12, 2001};
    context.statisticTable = statistics.data();
    context.statisticTableSize = static_cast<long>(statistics.size());
    context.tracerCount = tracers;
    context.tracerTable = &tracerTable;
    for (int k = 1; k <= tracers; ++k) tracerTable[k].name = "bench tracer";
    zone = memory.matrix(1, rows, 1, columns, columns);
    for (int r = 1; r <= rows; ++r)
      for (int c = 1; c <= columns; ++c) zone[r][c] = (r - 1) * columns + c;
    GridRegistryEntry& e = registry[1];
    e.hasFileName = e.hasName = true;
    e.fileName = e.name = "zones";
    e.grid = zone;
    e.firstRow = 1;
    e.lastRow = rows;
    runoff.assign(tracers + 1,
                  std::vector<double>(static_cast<std::size_t>(rows * columns) + 1, 0.5));
    for (auto& row : runoff) runoffRows.push_back(row.data());
    int code = 0;
    model = constructSubmodel<abflussmodellklasse>(code, context);
    if (code != 0) throw code;
    model->SetRunoffSource(runoffRows.data());
    model->CheckInflowAbstractionLinks();
  }
  ~RoutingBenchModel() {
    model->releaseModule();
    model.reset();
    memory.free_matrix(zone, 1, rows, 1, columns);
    std::filesystem::remove_all(directory);
  }
  RoutingBenchModel(const RoutingBenchModel&) = delete;
  RoutingBenchModel& operator=(const RoutingBenchModel&) = delete;

  int rows;
  int columns;
  std::string directory;
  std::ostringstream console;
  DiagStream diag{"routing_bench.xml", 0, &console, &console};
  memory_handling memory;
  std::vector<GridRegistryEntry> registry;
  std::vector<StatisticTableEntry> statistics;
  std::vector<TracerRecord> tracerTable;
  ModelContext context;
  Grid zone = nullptr;
  std::vector<std::vector<double>> runoff;
  std::vector<double*> runoffRows;
  std::unique_ptr<abflussmodellklasse> model;
};
