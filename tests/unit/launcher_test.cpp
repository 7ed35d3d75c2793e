#include "launcher.h"

#include <gtest/gtest.h>

TEST(Launcher, WorkerCountFollowsTheCpuCountWithin2To16) {
    struct {
        int cpus, workers;
    } cases[] = {{0, 2}, {1, 2}, {2, 2}, {3, 3}, {8, 8}, {16, 16}, {17, 16}, {32, 16}};
    for (const auto& c : cases)
        EXPECT_EQ(worker_count_for(c.cpus), c.workers) << c.cpus << " CPUs";
}
