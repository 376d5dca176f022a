#include <gtest/gtest.h>

#include "vertical/grid_stack.h"

// Pushes 1 .. n hold the value k in cell (2, 3): the mean of the last
// `capacity` of them.
TEST(GridStack, AveragesTheLastGridsPushed) {
  struct Case {
    int capacity, pushes, held;
    double mean;
  };
  const Case cases[] = {{24, 25, 24, (2.0 + 25.0) / 2.0},
                        {24, 10, 10, 5.5},
                        {0, 3, 1, 3.0}, // a step longer than a day keeps one grid
                        {96, 200, 96, (105.0 + 200.0) / 2.0}};
  for (const Case& c : cases) {
    GridStack stack(2, 3, 4, 5, c.capacity);
    EXPECT_EQ(stack.mean(2, 3), 0.0);
    for (int k = 1; k <= c.pushes; ++k) {
      stack.next()[2][3] = k;
      stack.push();
    }
    EXPECT_EQ(stack.count(), c.held) << c.capacity << " " << c.pushes;
    EXPECT_DOUBLE_EQ(stack.mean(2, 3), c.mean) << c.capacity << " " << c.pushes;
  }
}
