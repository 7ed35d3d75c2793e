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

// The limit doubles while it holds the link back, settles at twice the files a round trip carries, never falls,
// never passes the bound, and stays for large files.
TEST(Launcher, TransferLimit) {
    constexpr uint64_t kb = 1000;
    const std::tuple<size_t, transfer_round, uint64_t, size_t> rows[] = {
        // limit; bytes, ms, ended, their bytes; round trip in us; the limit after
        {64, {1792 * kb, 200, 128, 1792 * kb}, 100000, 128}, // 64 files of 14 KB a 100 ms round trip
        {64, {1400 * kb, 200, 100, 1400 * kb}, 100000, 100},
        {128, {5000 * kb, 200, 357, 5000 * kb}, 100000, 256}, // 25 MB/s: 179 files a round trip
        {200, {2000 * kb, 200, 143, 2000 * kb}, 100000, 200}, // 10 MB/s: would be 143
        {64, {40000 * kb, 200, 2857, 40000 * kb}, 300, 64}, // a local server
        {64, {5000 * kb, 200, 1, 30000 * kb}, 100000, 64}, // large files
        {64, {5000 * kb, 200, 0, 0}, 100000, 64}, {64, {0, 200, 10, 0}, 100000, 64}};
    for (const auto& [limit, round, rtt_us, after] : rows)
        EXPECT_EQ(next_transfer_limit(limit, round, rtt_us), after) << limit << " " << round.bytes << " " << rtt_us;
}
