#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

int exitCodeOf(const std::function<void()>& call) {
  try {
    call();
  } catch (int code) {
    return code;
  }
  return -1;
}

int worldRank() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

int worldSize() {
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  return size;
}

std::string makeTestDirectory(const std::string& name, bool shared) {
  namespace fs = std::filesystem;
  // The runs with 1, 2 and 3 processes share a working directory and may run
  // at the same time.
  std::string path = "testdata_" + name + "_np" + std::to_string(worldSize());
  if (!shared) path += "_rank" + std::to_string(worldRank());
  if (!shared || worldRank() == 0) {
    fs::remove_all(path);
    fs::create_directories(path);
  }
  if (shared) MPI_Barrier(MPI_COMM_WORLD);
  return path;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

bool wellFormedXml(const std::string& path) {
  return std::system(("xmllint --noout " + path).c_str()) == 0;
}

std::string leaveStalePartialLink(const std::string& path) {
  const std::string other = path + ".other";
  writeFile(other, "someone else's file");
  std::filesystem::create_symlink(other, path + ".partial");
  return other;
}

void expectNoStalePartialLink(const std::string& path, const std::string& other) {
  EXPECT_FALSE(std::filesystem::is_symlink(path));
  EXPECT_FALSE(fileExists(path + ".partial"));
  EXPECT_EQ(readFile(other), "someone else's file");
}

GridRegistryEntry& registerTestGrid(std::vector<GridRegistryEntry>& registry,
                                    const std::string& name, const std::string& fileName, Grid grid,
                                    long firstRow, long lastRow) {
  size_t index = 1;
  while (registry[index].hasFileName) ++index;
  GridRegistryEntry& e = registry[index];
  e.hasFileName = e.hasName = true;
  e.fileName = fileName;
  e.name = name;
  e.grid = grid;
  e.firstRow = firstRow;
  e.lastRow = lastRow;
  return e;
}

std::vector<double> gatherOnRankZero(const std::vector<double>& mine) {
  const int count = static_cast<int>(mine.size());
  std::vector<int> counts(static_cast<size_t>(worldSize()), 0);
  MPI_Gather(&count, 1, MPI_INT, counts.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
  std::vector<int> offsets(counts.size(), 0);
  for (size_t p = 1; p < counts.size(); ++p) offsets[p] = offsets[p - 1] + counts[p - 1];
  std::vector<double> all(static_cast<size_t>(offsets.back() + counts.back()));
  MPI_Gatherv(mine.data(), count, MPI_DOUBLE, all.data(), counts.data(), offsets.data(), MPI_DOUBLE,
              0, MPI_COMM_WORLD);
  return all;
}
