#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/grid_registry.h"

// Runs a call that fails by throwing an exit code; returns the code, or -1
// when the call returned normally.
int exitCodeOf(const std::function<void()>& call);

// A fresh empty directory under the test's working directory, unique per
// test, number of processes and MPI rank unless shared is set (then every
// rank of the run gets the same).
std::string makeTestDirectory(const std::string& name, bool shared = false);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
bool fileExists(const std::string& path);
// True when xmllint reads the file as well-formed XML.
bool wellFormedXml(const std::string& path);

// Leaves "<path>.partial" behind as a killed run may, here as a link to
// another file, which it returns.
std::string leaveStalePartialLink(const std::string& path);
// The file of the path is a file of its own, no "<path>.partial" is left,
// and the other file stayed as it was.
void expectNoStalePartialLink(const std::string& path, const std::string& other);

// Registers the grid of rows firstRow .. lastRow in the first free entry of
// a registry the test holds, under name, with fileName as its file; returns
// the entry for more of a stack's fields.
GridRegistryEntry& registerTestGrid(std::vector<GridRegistryEntry>& registry,
                                    const std::string& name, const std::string& fileName, Grid grid,
                                    long firstRow, long lastRow);

// Every process's values one after the other in rank order on rank 0,
// nothing on the others. Collective.
std::vector<double> gatherOnRankZero(const std::vector<double>& mine);

// MPI rank and size of the world communicator.
int worldRank();
int worldSize();

// Works in another directory for its lifetime: the speed file
// "MpiSpeedFactor.dat" and relative grid names are found in the working
// directory.
class WorkingDirectory {
public:
  explicit WorkingDirectory(const std::string& directory)
      : former(std::filesystem::current_path()) {
    std::filesystem::current_path(directory);
  }
  ~WorkingDirectory() { std::filesystem::current_path(former); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
  std::filesystem::path former;
};
