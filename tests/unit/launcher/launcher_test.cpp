#include "launcher/launcher.h"

#include "test_util.h"

// One worker per CPU, at least 2 and at most 16.
TEST(Launcher, WorkerCountFollowsTheCpuCountWithin2To16) {
    const int rows[][2] = {{0, 2}, {1, 2}, {2, 2}, {3, 3}, {8, 8}, {16, 16}, {17, 16}, {32, 16}};
    for (const auto& [cpus, workers] : rows)
        EXPECT_EQ(worker_count_for(cpus), workers) << cpus << " CPUs";
}

// The background (launcher.dat at the top, by that exact name) first, then the largest files;
// equal sizes keep the list's order.
TEST(Launcher, JobsGoBackgroundFirstThenLargestFirst) {
    const struct {
        std::vector<std::pair<const char*, uint64_t>> files; // in the list's order
        std::vector<size_t> order;
    } rows[] = {
        {{{"a.bin", 10}, {"data/b.pak", 5000}, {"launcher.dat", 3}}, {2, 1, 0}},
        {{{"x", 7}, {"y", 9}, {"z", 7}}, {1, 0, 2}},
        {{{"sub/launcher.dat", 1}, {"launcher.dat.bak", 2}}, {1, 0}},
        {{}, {}},
    };
    for (const auto& r : rows) {
        std::vector<game_file_t> files;
        for (const auto& [name, size] : r.files)
            files.push_back({const_cast<char*>(name), size, nullptr, 0, false});
        EXPECT_EQ(job_order(files), r.order) << r.files.size() << " files";
    }
}
