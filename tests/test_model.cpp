#include "tests/test_model.h"

TestModule::TestModule(const std::string& directory, const std::string& controlFileArg,
                       int maxLevel)
    : modelobject(nullptr, controlFileArg, 0, true, false, false, "", "", nullptr, nullptr, nullptr,
                  0, 0),
      ownRegistry(gridRegistrySize) {
  ownDiag =
      std::make_unique<DiagStream>(directory + "/diag.xml", maxLevel, &consoleText, &errorText);
  diag = ownDiag.get();
  // The netCDF objects log through the stream that exists only now.
  netcdfWriter = std::make_unique<NetCDFGridWriter>(diag);
  netcdfReader = std::make_unique<NetCDFGridReader>(diag);
  moduleName = "testmodule";
  registry = ownRegistry.data();
}

TestModule::~TestModule() {
  if (controlFile) {
    std::fclose(controlFile);
    controlFile = nullptr;
  }
}

void TestModule::openControlFile() {
  if (controlFile) std::fclose(controlFile);
  controlFile = std::fopen(controlFileName.c_str(), "r");
}

void TestModule::setGrid(long ncols, long nrows, double xll, double yll, double cellsize,
                         double nodata, long firstRow, long lastRow) {
  header.ncols = ncols;
  header.nrows = nrows;
  header.xllcorner = xll;
  header.yllcorner = yll;
  header.cellsize = cellsize;
  header.nodata = nodata;
  header.firstRow = firstRow;
  header.lastRow = lastRow < 0 ? nrows : lastRow;
}
