#include <gtest/gtest.h>

#include "tests/driver/model_run.h"

TEST(ModellApplication, Smoke) {
  const std::string dir = std::filesystem::absolute(makeTestDirectory("app_smoke")).string();
  TinyCatchment catchment;
  catchment.write(dir);
  RunLog log(dir);
  CommandLine options;
  ModellApplication model(log.diag.get(), "run.ctl", options);
  EXPECT_EQ(runModel(model, dir), -1) << log.text();
  std::cout << log.text();
}
