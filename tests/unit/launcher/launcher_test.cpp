#include "launcher/launcher.h"

#include "test_util.h"

// One worker per CPU, at least 2 and at most 16.
TEST(Launcher, WorkerCountAndJobOrder) {
    for (auto [cpus, workers] : {std::pair{0, 2}, {1, 2}, {2, 2}, {3, 3}, {8, 8}, {16, 16}, {17, 16}, {32, 16}})
        EXPECT_EQ(worker_count_for(cpus), workers) << cpus << " CPUs";
    // The background (launcher.dat at the top, exactly) first, then the largest; equal sizes in the list's order.
    const std::pair<std::vector<std::pair<const char*, uint64_t>>, std::vector<size_t>> rows[] = {
        {{{"a.bin", 10}, {"data/b.pak", 5000}, {"launcher.dat", 3}}, {2, 1, 0}}, {{{"x", 7}, {"y", 9}, {"z", 7}}, {1, 0, 2}},
        {{{"sub/launcher.dat", 1}, {"launcher.dat.bak", 2}}, {1, 0}}, {{}, {}}};
    for (const auto& [list, order] : rows) {
        std::vector<game_file_t> files;
        for (const auto& [name, size] : list)
            files.push_back({const_cast<char*>(name), size, nullptr, 0, false});
        EXPECT_EQ(job_order(files), order) << list.size() << " files";
    }
}
