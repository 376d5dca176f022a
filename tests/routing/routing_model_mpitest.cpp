#include <gtest/gtest.h>
#include <mpi.h>

#include "tests/routing/routing_model_fixture.h"

// Only rank 0 builds the network; every process takes the dates and the end
// of a routing-only run from it.
TEST(RoutingModelMpi, RankZeroRoutesAndEveryProcessFollowsItsDates) {
  RoutingModelSetup s("routing_mpi");
  s.context.routingOnly = true;
  s.context.endDate = s.hourOf(6);
  writeFile(s.path("qg.stat"), runoffTable(std::vector<std::vector<double>>(9, {1, 2, 3, 4})));
  s.writeControlFile("TG 2 (AREA = 0.06, F = 1)" + channelText("OL 1", 2) + "\n");
  ASSERT_EQ(s.build(), 0) << s.log.console.str();
  const int rank = worldRank();
  EXPECT_EQ(s.model->getConfiguredFlowControl(), 1);
  EXPECT_EQ(s.model->getFlowControl(), rank == 0 ? 1 : 0);
  EXPECT_EQ(s.model->getElementCount(), rank == 0 ? 1 : 0);
  EXPECT_EQ(s.model->getPrecOnLakesIndex() > 0, rank == 0);
  s.wire();
  std::vector<long> hours;
  for (;;) {
    ModelDate d;
    s.model->getRoutingModeDate(d.minute, d.hour, d.day, d.month, d.year);
    EXPECT_EQ(d.year, 2001);
    hours.push_back(d.hour);
    s.model->RouteTimeStep(d.minute, d.hour, d.day, d.month, d.year);
    if (s.model->isRoutingModeEnd()) break;
    s.model->nextRoutingRecord();
  }
  EXPECT_EQ(hours, (std::vector<long>{0, 1, 2, 3, 4, 5, 6}));
  s.model->releaseModule();
}
