#include "launcher/launcher.h"

#include <gtest/gtest.h>

TEST(Launcher, WorkerCountFollowsTheCpuCountWithin2To16) {
    struct {
        int cpus, workers;
    } cases[] = {{0, 2}, {1, 2}, {2, 2}, {3, 3}, {8, 8}, {16, 16}, {17, 16}, {32, 16}};
    for (const auto& c : cases)
        EXPECT_EQ(worker_count_for(c.cpus), c.workers) << c.cpus << " CPUs";
}

TEST(Launcher, JobsGoBackgroundFirstThenLargestFirst) {
    struct {
        const char* what;
        std::vector<std::pair<const char*, uint64_t>> files; // in the list's order
        std::vector<size_t> order;
    } cases[] = {
        {"the background is small and listed last",
         {{"a.bin", 10}, {"data/b.pak", 5000}, {"launcher.dat", 3}}, {2, 1, 0}},
        {"equal sizes keep the list's order", {{"x", 7}, {"y", 9}, {"z", 7}}, {1, 0, 2}},
        {"only a file named so at the top is the background",
         {{"sub/launcher.dat", 1}, {"launcher.dat.bak", 2}}, {1, 0}},
        {"no files", {}, {}},
    };
    for (const auto& c : cases) {
        std::vector<game_file_t> files;
        for (const auto& [name, size] : c.files)
            files.push_back({const_cast<char*>(name), size, nullptr, 0, false});
        EXPECT_EQ(job_order(files), c.order) << c.what;
    }
}
