#include <gtest/gtest.h>
#include <mpi.h>
#include <netcdf>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/core/stack_file_bytes.h"
#include "tests/test_decomposition.h"
#include "tests/test_model.h"
#include "tests/test_support.h"

namespace {

double levelValue(long r, long c, long l) { return cellValue(r, c) + 0.25 * l; }

// Process 2's cells lie in two places with cells of 0 and 1 between them,
// and process 0 owns cells before some of process 1's: no process owns one
// run of cells in row order. With fewer processes the digits are capped.
const OwnerMap scattered = {"...222222...", "..22200011..", "222111100000",
                            ".111..0000..", "...002222...", "....0......."};

// Each process sets its own cells; every other cell holds `other`.
Stack ownValues(StripModule& s, long L, double other) {
  Stack st = s.stack(L, other);
  for (long r = s.lo; r <= s.hi; ++r)
    for (long c = 1; c <= s.ncols; ++c)
      if (s.owner[r][c] == s.rank)
        for (long l = 0; l <= L; ++l) st[r][c][l] = levelValue(r, c, l);
  return st;
}

// What a file written from the processes' own cells holds.
double fileValue(const StripModule& s, long r, long c, long l) {
  return s.owner[r][c] >= 0 ? levelValue(r, c, l) : nodata;
}

// An ASCII stack file of the processes' own cells, by "%lg" of every value.
std::string asciiStackFile(const StripModule& s, long L) {
  char value[64];
  std::snprintf(value, sizeof value, "stack_ncols\t%ld.000000\nnrows\t%ld.000000\n", s.ncols,
                s.nrows);
  std::string text = value;
  text += "xll\t0.000000\nyll\t0.000000\ncs\t1.000000\nnodata\t-9999.000000\ncnt\t0.000000\n"
          "min\t0.000000\nmax\t0.000000\nsum\t0.000000\naverage\t0.000000\nnumlevels\t" +
          std::to_string(L) + ".000000\n";
  for (long r = 1; r <= s.nrows; ++r)
    for (long c = 1; c <= s.ncols; ++c)
      for (long l = 0; l <= L; ++l) {
        std::snprintf(value, sizeof value, "%lg\n", fileValue(s, r, c, l));
        text += value;
      }
  return text;
}

std::string binaryFile(const StripModule& s, long L, bool doubles) {
  const auto value = [&s](long r, long c, long l) { return fileValue(s, r, c, l); };
  return doubles ? expectedBinaryStack<double>(s.ncols, s.nrows, 0, 0, 1, nodata, L, value)
                 : expectedBinaryStack<float>(s.ncols, s.nrows, 0, 0, 1, nodata, L, value);
}

// The log of this process: rank 0's console, the others' error stream.
std::string logOf(const StripModule& s) { return s.rank == 0 ? s.m.console() : s.m.errors(); }

bool logHas(const StripModule& s, const std::string& text) {
  return logOf(s).find(text) != std::string::npos;
}

} // namespace

// Each process writes the cells it owns at their place: the bytes do not
// depend on the number of processes or on the ownership, and whatever lies
// in a stack outside its own cells never reaches the file.
TEST(StackFiles, BinaryStacksAreTheSameFileForAnyNumberOfProcesses) {
  for (const OwnerMap& map : {ragged(worldSize()), scattered})
    for (bool doubles : {true, false})
      for (long L : {0L, 2L}) {
        SCOPED_TRACE(std::string(map == scattered ? "scattered" : "ragged") +
                     (doubles ? " doubles" : " floats") + " L=" + std::to_string(L));
        StripModule s("stack_binary", map);
        const std::string path = makeTestDirectory("stack_binary_files", true) + "/soil.stack";
        s.m.writeStack(path, ownValues(s, L, untouched), static_cast<int>(L), false, doubles,
                       false);
        if (s.rank == 0) {
          EXPECT_TRUE(readFile(path) == binaryFile(s, L, doubles));
          EXPECT_FALSE(fileExists(path + ".partial"));
        }
        EXPECT_EQ(s.m.binaryHeader[11], L);

        // Every process reads the rows of its strip itself.
        Stack read = nullptr;
        EXPECT_EQ(s.m.readStack(path, read, false), L);
        const GridHeader& h = s.m.getHeader();
        for (long r = h.firstRow; r <= h.lastRow; ++r)
          for (long c = 1; c <= s.ncols; ++c)
            for (long l = 0; l <= L; ++l)
              ASSERT_EQ(read[r][c][l], fileValue(s, r, c, l)) << r << "," << c << "," << l;
        s.m.free_three_d_matrix(read, h.firstRow, h.lastRow);

        // Rank 0 reads the whole file and keeps it; the others get their
        // own cells from it.
        read = nullptr;
        const int code = exitCodeOf([&] { s.m.readStack(path, read, true); });
        if (L == 0 && s.size > 1) {
          EXPECT_EQ(code, 1010) << "a scatter without registry index needs a level count";
          EXPECT_TRUE(logHas(s, "no level-count given as (optional) parameter to MPIScatterStack"));
          EXPECT_EQ(read, nullptr);
          continue;
        }
        ASSERT_EQ(code, -1);
        const long first = s.rank == 0 ? 1 : h.firstRow;
        const long last = s.rank == 0 ? s.nrows : h.lastRow;
        for (long r = first; r <= last; ++r)
          for (long c = 1; c <= s.ncols; ++c)
            for (long l = 0; l <= L; ++l) {
              const bool known = s.rank == 0 || s.owner[r][c] == s.rank;
              ASSERT_EQ(read[r][c][l], known ? fileValue(s, r, c, l) : nodata)
                  << r << "," << c << "," << l;
            }
        s.m.free_three_d_matrix(read, first, last);
      }
}

// Rank 0 writes the gathered stack; read back, each process holds its own
// cells, and in a row it shares the neighbour's cells are empty.
TEST(StackFiles, AsciiStacksAreWrittenByRankZeroAndReadBackIntoStrips) {
  for (long L : {2L, 0L}) {
    SCOPED_TRACE("L=" + std::to_string(L));
    StripModule s("stack_ascii", ragged(worldSize()));
    const std::string path = makeTestDirectory("stack_ascii_files", true) + "/snow.stack";
    Stack st = ownValues(s, L, nodata);
    const int index = s.add("snow", nullptr, st, static_cast<unsigned>(L));
    Stack whole = s.m.MPIGatherStackCopy(index);
    // Each process names its own file: a look at rank 0's file from another
    // process races with rank 0 writing it.
    const std::string written = s.rank == 0 ? path : path + "." + std::to_string(s.rank);
    s.m.writeStack(written, whole ? whole : st, static_cast<int>(L), true, false, false);
    if (whole) s.m.free_three_d_matrix(whole, 1, s.nrows);
    if (s.rank == 0) {
      EXPECT_EQ(readFile(path), asciiStackFile(s, L));
    } else {
      EXPECT_FALSE(fileExists(written)) << "only rank 0 writes ASCII stacks";
    }
    MPI_Barrier(MPI_COMM_WORLD);

    Stack read = nullptr;
    const int code = exitCodeOf([&] { s.m.readStack(path, read, false); });
    if (L == 0 && s.size > 1) {
      EXPECT_EQ(code, 1010);
      continue;
    }
    ASSERT_EQ(code, -1);
    const GridHeader& h = s.m.getHeader();
    bool sharedRow = false;
    for (long r = h.firstRow; r <= h.lastRow; ++r)
      for (long c = 1; c <= s.ncols; ++c) {
        const bool own = s.owner[r][c] == s.rank;
        sharedRow = sharedRow || (!own && s.owner[r][c] >= 0);
        for (long l = 0; l <= L; ++l)
          ASSERT_EQ(read[r][c][l], own || s.rank == 0 ? fileValue(s, r, c, l) : nodata)
              << r << "," << c << "," << l;
      }
    if (s.size > 1) {
      EXPECT_TRUE(sharedRow) << "the map must give every process a shared row";
    }
    if (h.firstRow > 1) {
      EXPECT_EQ(read[h.firstRow - 1], nullptr) << "every process keeps its strip only";
    }
    s.m.free_three_d_matrix(read, h.firstRow, h.lastRow);
  }
}

// Output stacks of every number of levels, one after the other, hold the
// cells of every process whatever the ownership: in ASCII, where every
// process formats its own rows and rows are shared, and in netCDF, whose
// gathers share one buffer on rank 0.
TEST(StackFiles, OutputStacksHoldTheCellsOfEveryProcess) {
  const std::pair<const char*, OwnerMap> maps[] = {{"ragged", ragged(worldSize())},
                                                   {"scattered", scattered}};
  for (const auto& [mapName, map] : maps)
    for (bool netcdf : {false, true}) {
      SCOPED_TRACE(std::string(mapName) + (netcdf ? " netCDF" : " ASCII"));
      NetCDFGridWriter::resetWrittenFiles();
      StripModule s(std::string("out_stack_") + mapName, map);
      const std::string dir = makeTestDirectory(
          std::string("out_stack_files_") + mapName + (netcdf ? "_nc" : ""), true);
      s.m.writeAsciiGrids = !netcdf;
      s.m.writeNetCDFGrids = netcdf;
      s.m.writeDoubleGrids = true;
      const long levels[] = {2, 0, 3};
      for (long L : levels) {
        const std::string path = dir + "/deep" + std::to_string(L) + ".stack";
        const int index = s.m.firstFreeRegistryIndex();
        s.m.registerGrid(index, path, nullptr, ownValues(s, L, nodata), static_cast<unsigned>(L),
                         path, 1, s.lo, s.hi);
        s.m.writeOutputStack(index);
      }
      MPI_Barrier(MPI_COMM_WORLD);
      if (s.rank != 0) continue;
      for (long L : levels) {
        const std::string path = dir + "/deep" + std::to_string(L) + ".stack";
        if (!netcdf) {
          EXPECT_EQ(readFile(path), asciiStackFile(s, L)) << L;
          continue;
        }
        for (long level = 0; level <= L; ++level) {
          std::string record = path + ".nc<deep" + std::to_string(L) + ">" + std::to_string(level);
          std::vector<double> values;
          int nrows = 0, ncols = 0;
          ASSERT_EQ(exitCodeOf([&] {
                      s.m.netcdfReader->readNetCDFGrid(record, values, nrows, ncols, nodata);
                    }),
                    -1)
              << record;
          for (long r = 1; r <= s.nrows; ++r)
            for (long c = 1; c <= s.ncols; ++c)
              ASSERT_EQ(values[(c - 1) * nrows + (r - 1)], fileValue(s, r, c, level))
                  << record << " " << r << "," << c;
        }
      }
      s.m.netcdfReader->closeAllFiles();
    }
}

// Levels become records 0..L of one variable, with the latitude grid as a
// coordinate.
TEST(StackFiles, NetCDFStacksHoldOneRecordPerLevel) {
  NetCDFGridWriter::resetWrittenFiles();
  StripModule s("stack_netcdf", ragged(worldSize()));
  const std::string dir = makeTestDirectory("stack_netcdf_files", true);
  const long L = 2;
  Stack st = ownValues(s, L, nodata);
  const int index = s.add("soil_heat", nullptr, st, L);
  s.m.getRegistry()[1].latitudeIndex = s.add("latitude", s.grid(47.25));
  Stack whole = s.m.MPIGatherStackCopy(index);
  for (bool doubles : {true, false}) {
    const std::string path = dir + (doubles ? "/soil_heat.stack" : "/soil_heat-4.stack");
    const std::string written = s.rank == 0 ? path : path + "." + std::to_string(s.rank);
    s.m.writeStack(written, whole ? whole : st, L, true, doubles, true);
    if (s.rank != 0) {
      EXPECT_FALSE(fileExists(written + ".nc"));
      continue;
    }
    EXPECT_FALSE(fileExists(path)) << "netCDF wins over ASCII";
    const std::string variable = doubles ? "soilheat" : "soilheat4";
    for (long level = 0; level <= L + 1; ++level) {
      std::string name = path + ".nc<" + variable + ">" + std::to_string(level);
      std::vector<double> values;
      int nrows = 0, ncols = 0;
      const int code =
          exitCodeOf([&] { s.m.netcdfReader->readNetCDFGrid(name, values, nrows, ncols, nodata); });
      if (level > L) {
        EXPECT_EQ(code, 21) << "no record after the last level";
        continue;
      }
      ASSERT_EQ(code, -1) << s.m.console();
      ASSERT_EQ(nrows, s.nrows);
      ASSERT_EQ(ncols, s.ncols);
      for (long r = 1; r <= s.nrows; ++r)
        for (long c = 1; c <= s.ncols; ++c)
          ASSERT_EQ(values[(c - 1) * nrows + (r - 1)], fileValue(s, r, c, level)) << r << "," << c;
    }
    s.m.netcdfReader->closeAllFiles();
    netCDF::NcFile file(path + ".nc", netCDF::NcFile::read);
    std::vector<double> latitude(static_cast<size_t>(s.nrows * s.ncols));
    file.getVar("lat").getVar(latitude.data());
    EXPECT_EQ(latitude.front(), 47.25);
    EXPECT_EQ(latitude.back(), 47.25);
  }
  if (whole) s.m.free_three_d_matrix(whole, 1, s.nrows);
}

// A failed write throws the same code on every process and leaves neither a
// new file nor a half-written one; an older file of that name stays intact.
TEST(StackFiles, FailedWritesLeaveNoFileThatLooksValid) {
  StripModule s("stack_write_fail", scattered);
  const std::string dir = makeTestDirectory("stack_write_fail_files", true);
  const std::string path = dir + "/state.stack";
  Stack st = ownValues(s, 1, nodata);
  for (bool ascii : {false, true}) {
    const int code = exitCodeOf(
        [&] { s.m.writeStack(dir + "/missing/state.stack", st, 1, ascii, true, false); });
    EXPECT_EQ(code, ascii && s.rank != 0 ? -1 : 26) << (ascii ? "ascii" : "binary");
  }
  EXPECT_FALSE(fileExists(dir + "/missing"));

  s.m.writeStack(path, st, 1, false, true, false);
  const std::string before = readFile(path);
  ASSERT_EQ(before, binaryFile(s, 1, true));

  // Each process lacks the first row it owns cells in.
  const GridHeader& h = s.m.getHeader();
  Stack partial = s.m.three_d_matrix(h.firstRow + 1, h.lastRow, 1, s.ncols, 1, s.nrows);
  EXPECT_EQ(exitCodeOf([&] { s.m.writeStack(path, partial, 1, false, true, false); }), 33);
  EXPECT_TRUE(
      logHas(s, "owns cells in row " + std::to_string(h.firstRow) + " but does not hold that row"));
  s.m.free_three_d_matrix(partial, h.firstRow + 1, h.lastRow);

  // An owner that does not run leaves cells that nobody would write.
  if (s.held(3)) s.regions[3][5] = 7;
  EXPECT_EQ(exitCodeOf([&] { s.m.writeStack(path, st, 1, false, false, false); }), 18);
  EXPECT_TRUE(logHas(s, "the processes would write"));
  MPI_Barrier(MPI_COMM_WORLD);
  EXPECT_TRUE(readFile(path) == before);
  EXPECT_FALSE(fileExists(path + ".partial"));
}

// Rank 0 finds the fault; every process ends with its code and no stack.
TEST(StackFiles, FailedReadsEndOnEveryProcess) {
  StripModule s("stack_read_fail", ragged(worldSize()));
  const std::string dir = makeTestDirectory("stack_read_fail_files", true);
  const std::string good = dir + "/good.stack";
  s.m.writeStack(good, ownValues(s, 2, nodata), 2, false, true, false);
  const std::string bytes = readFile(good);
  auto withField = [&bytes](int field, double value) {
    std::string changed = bytes;
    std::memcpy(&changed[8 * field], &value, sizeof value);
    return changed;
  };
  // Names longer than 35 characters appear with their last 35 only.
  const std::string zone = dir + "/catchment/zones_of_the_upper_valley.asc";
  s.m.getRegistry()[1].fileName = zone;
  const std::string wide = dir + "/stack_with_a_rather_long_name_and_cells_of_2.stack";
  const struct {
    std::string file;
    std::string content; // empty: no file
    int code;
    std::string message; // on rank 0
  } cases[] = {
      {dir + "/absent.stack", "", 21, "error opening " + dir + "/absent.stack"},
      {wide, withField(4, 2.0), 24,
       wide + " has not the specified grid measures (in testmodule)\n" +
           zone.substr(zone.size() - 35) + " " + wide.substr(wide.size() - 35) + "\n"},
      {dir + "/short.stack", bytes.substr(0, bytes.size() - 8), 22,
       "is too short for the 3 levels its header gives"},
      {dir + "/negative.stack", withField(11, -1.0), 22, "invalid last level index -1 in stack"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.file);
    if (s.rank == 0 && !k.content.empty()) writeFile(k.file, k.content);
    MPI_Barrier(MPI_COMM_WORLD);
    for (bool keepWholeOnRoot : {false, true}) {
      Stack read = nullptr;
      EXPECT_EQ(exitCodeOf([&] { s.m.readStack(k.file, read, keepWholeOnRoot); }), k.code);
      EXPECT_EQ(read, nullptr);
      if (s.rank == 0) {
        EXPECT_NE(s.m.console().find(k.message), std::string::npos) << s.m.console();
      } else {
        EXPECT_TRUE(logHas(s, "reading stack " + k.file + " failed on process 0"));
      }
    }
  }
  // Read-only files are read through either path.
  ASSERT_EQ(chmod(good.c_str(), 0444), 0);
  for (bool keepWholeOnRoot : {false, true}) {
    Stack read = nullptr;
    ASSERT_EQ(s.m.readStack(good, read, keepWholeOnRoot), 2);
    const GridHeader& h = s.m.getHeader();
    const long first = s.rank == 0 && keepWholeOnRoot ? 1 : h.firstRow;
    const long last = s.rank == 0 && keepWholeOnRoot ? s.nrows : h.lastRow;
    for (long r = first; r <= last; ++r)
      for (long c = 1; c <= s.ncols; ++c)
        if (s.owner[r][c] == s.rank) {
          ASSERT_EQ(read[r][c][2], levelValue(r, c, 2));
        }
    s.m.free_three_d_matrix(read, first, last);
  }
}
