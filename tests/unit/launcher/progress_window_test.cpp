// The progress window: frames drawn by a software renderer from a set shared state, read back pixel by pixel.
#include <SDL.h>
#include <SDL_image.h>
#include <SDL_ttf.h>

#include "launcher/launcher.h"
#include "launcher/progress_window.h"
#include "test_util.h"

constexpr int W = window_width;
constexpr int H = window_height;
constexpr uint32_t start_tick = 100000; // app_start_tick of every test, ms
// Red levels: the clear colour 40; white bars blend to about 180 over it; black shadows and the track darken it.
constexpr int clear_level = 40;
constexpr int bright_level = 150;
constexpr int dark_level = 38;

class ProgressWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        SDL_SetHint(SDL_HINT_VIDEODRIVER, "dummy");
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO) + TTF_Init(), 0) << SDL_GetError();
        IMG_Init(IMG_INIT_PNG);
    }

    void SetUp() override {
        jobs_size = jobs_done = active_transfer_count = 0;
        bytes_wanted = bytes_installed = bytes_listed = bytes_finished = 0;
        stats.bytes_this_second.store(0);
        stats.speed = 0.0;
        status_notice[0] = '\0';
        app_start_tick = transfers_started_tick = start_tick;
        std::filesystem::current_path(dir_.path); // "game/launcher.dat" is relative
        pw_.renderer = SDL_CreateSoftwareRenderer(target_);
        progress_window_start(&pw_, start_tick);
    }

    void TearDown() override {
        progress_window_release(&pw_);
        TTF_CloseFont(pw_.font);
        SDL_DestroyWindow(pw_.window);
        SDL_DestroyRenderer(pw_.renderer);
        SDL_FreeSurface(target_);
        std::filesystem::current_path(old_cwd_);
    }

    // Draws one frame and reads it back.
    void frame() {
        progress_window_draw(&pw_, start_tick);
        ASSERT_EQ(SDL_RenderReadPixels(pw_.renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, pixels_.data(), W * 4), 0);
    }

    int red(int x, int y) const { return (pixels_[static_cast<size_t>(y) * W + x] >> 16) & 0xff; }

    // Bright pixels in the rectangle; on one row of a bar, its width.
    int bright(int x0, int y0, int x1, int y1) const {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                n += red(x, y) > bright_level;
        return n;
    }

    // Transfer `i` in flight (the first `i` are too), of a file of `size` bytes.
    void set_transfer(int i, float progress, uint64_t size = 1000) {
        entries_[i].size = size;
        transfers_[i].entry = &entries_[i];
        transfers_[i].progress.store(progress);
        active_transfers[i] = &transfers_[i];
        active_transfer_count = std::max(active_transfer_count, i + 1);
    }

    // The status line `now` ms after start-up, after a once-a-second update at `update_at` (0: none).
    std::string status_line(uint32_t now, uint32_t update_at = 0) {
        if (update_at != 0) {
            stats.tick_accumulator = 1000;
            pw_.last_frame_time = start_tick + update_at - 1;
            progress_window_update_stats(&pw_, start_tick + update_at);
        }
        char line[text_capacity];
        progress_window_status_line(&pw_, start_tick + now, line);
        return line;
    }

    scratch_dir dir_;
    std::filesystem::path old_cwd_ = std::filesystem::current_path();
    SDL_Surface* target_ = SDL_CreateRGBSurfaceWithFormat(0, W, H, 32, SDL_PIXELFORMAT_ARGB8888);
    progress_window pw_{nullptr, nullptr, nullptr};
    std::vector<uint32_t> pixels_ = std::vector<uint32_t>(static_cast<size_t>(W) * H);
    game_file_t entries_[max_transfers]{};
    job_t transfers_[max_transfers]{};
};

// The overall bar moves a fifth of the way to its target each frame: none, all, the share of files while the listed files
// are empty, else the share of all the listed bytes (finished, and each transfer's part); never back, also when the
// tenth of ten files turns out to need a large transfer. Its track spans 20..579 x 270..279.
TEST_F(ProgressWindowTest, OverallBar) {
    const std::tuple<int32_t, int32_t, uint64_t, uint64_t, uint64_t, float, bool, std::vector<int>> rows[] = {
        // jobs, done, MiB listed, finished, of the transfer, its progress, the bar as it was; the fill after each frame
        {0, 0, 0, 0, 0, 0.0f, false, {0, 0}}, {3, 3, 5, 5, 0, 0.0f, false, {112, 201}}, {10, 6, 0, 0, 0, 0.0f, false, {67, 120, 163}},
        {100, 90, 500, 99, 400, 0.5f, false, {66}}, {100, 90, 500, 0, 400, 0.0f, true, {120}}, {10, 9, 109, 9, 100, 0.0f, false, {9, 16}}};
    for (const auto& [jobs, done, listed, finished, active, progress, kept, fills] : rows) {
        if (!kept)
            pw_.smooth_progress = pw_.bar_target = 0.0f;
        jobs_size = jobs;
        jobs_done = done;
        bytes_listed = listed << 20;
        bytes_finished = finished << 20;
        set_transfer(0, progress, active << 20);
        for (int fill : fills) {
            frame();
            EXPECT_EQ(bright(0, 275, W, 276), fill) << jobs << " jobs, " << done << " done";
        }
    }
    EXPECT_LT(std::max(red(300, 270), red(579, 279)), dark_level);
    EXPECT_EQ(red(19, 275) + red(580, 275) + red(300, 269) + red(300, 280), 4 * clear_level);
}

// A transfer's bar: 2 px high at (20, 20), 560 px for a whole file, none up to 1 %; its shadow 1 px right and down.
TEST_F(ProgressWindowTest, TransferBars) {
    jobs_size = 1;
    for (auto [progress, width] : {std::pair{0.0f, 0}, {0.002f, 0}, {0.01f, 0}, {0.0101f, 5}, {0.5f, 280}, {1.0f, 560}}) {
        set_transfer(0, progress);
        frame();
        EXPECT_EQ(bright(20, 20, W, 22), 2 * width) << progress;
        EXPECT_EQ(bright(0, 0, W, H), 2 * width) << progress; // one transfer, one bar, no text
        EXPECT_EQ(red(20, 22), clear_level);
        bool shadow = std::max(red(21, 22), red(20 + width, 22)) < dark_level && red(21 + width, 22) == clear_level;
        EXPECT_TRUE(width == 0 || shadow) << progress;
    }
    // 20 transfers at k/20 scrambled, and the file list's own (no bar): the 16 most advanced, sorted, 6 px apart.
    const int order[20] = {3, 15, 0, 8, 12, 1, 6, 10, 14, 2, 5, 9, 11, 4, 13, 7, 19, 16, 18, 17};
    for (int i = 0; i < 20; ++i)
        set_transfer(i, static_cast<float>(order[i] + 1) / 20.0f);
    set_transfer(20, 0.99f);
    transfers_[20].for_coordinator = true;
    frame();
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(bright(0, 20 + 6 * i, W, 21 + 6 * i), 28 * (20 - i)) << i;
    EXPECT_EQ(bright(0, 0, W, H), 2 * 28 * (20 + 5) * 16 / 2); // nothing but the 16 bars
}

// The status line at (20, 250) shows while jobs are left, its shadow exactly under each glyph moved 2 px right and down.
TEST_F(ProgressWindowTest, StatusLineAndItsShadow) {
    pw_.font = TTF_OpenFont("/usr/share/fonts/truetype/roboto/unhinted/RobotoCondensed-BoldItalic.ttf", 14);
    ASSERT_NE(pw_.font, nullptr) << "fonts-roboto-unhinted: " << TTF_GetError();
    jobs_size = 3;
    frame();
    EXPECT_STREQ(pw_.txt_download_status.text, "Downloaded: 0 MB - Download speed:  0.0 MB/s ");
    const SDL_Surface* glyphs = pw_.txt_download_status.surface;
    ASSERT_TRUE(glyphs != nullptr && 250 + glyphs->h < 270);
    auto coverage = [&](int x, int y) -> int { // of the white text, from its own surface
        uint8_t r, g, b, a = 0;
        if (x >= 0 && y >= 0 && x < glyphs->w && y < glyphs->h)
            SDL_GetRGBA(static_cast<const uint32_t*>(glyphs->pixels)[y * glyphs->pitch / 4 + x], glyphs->format, &r, &g, &b, &a);
        return a;
    };
    int counts[2] = {}; // pixels where no glyph lies: under one moved 2 px, which are dark; under none, which are clear
    for (int y = 0; y < glyphs->h + 2; ++y)
        for (int x = 0; x < glyphs->w + 2; ++x)
            if (int moved = coverage(x - 2, y - 2); coverage(x, y) == 0 && moved % 255 == 0) {
                EXPECT_TRUE(moved ? red(20 + x, 250 + y) < 30 : red(20 + x, 250 + y) == clear_level) << x << "," << y;
                ++counts[moved / 255];
            }
    EXPECT_TRUE(bright(20, 250, 300, 270) > 50 && counts[1] > 50 && counts[0] > 500) << counts[1] << " " << counts[0];
    jobs_done = 3;
    frame();
    EXPECT_EQ(bright(0, 240, W, 270), 0);
    snprintf(status_notice, sizeof status_notice, "Waiting for game/caf\u00e9.bin, which another program holds open"); // a notice shows alone
    frame();
    EXPECT_STREQ(pw_.txt_download_status.text, status_notice);
    EXPECT_GT(bright(20, 250, 300, 270), 50);
}

// A notice stands for the figures, a retry's with the seconds left; the megabytes count past 4 GiB.
TEST_F(ProgressWindowTest, NoticesAndLargeDownloads) {
    const std::tuple<const char*, uint32_t, uint32_t, std::string> rows[] = {
        {"Connecting to localhost:4443\u2026", 0, 10, "Connecting to localhost:4443\u2026"},
        {"Cannot reach localhost: Couldn't connect to server; trying again in", 8000, 500,
         "Cannot reach localhost: Couldn't connect to server; trying again in 8 s"},
        {"Cannot reach x: y; trying again in", 8000, 9000, "Cannot reach x: y; trying again in 0 s"},
        {"", 0, 10, "Downloaded: 5120 MB - Download speed:  0.0 MB/s "}};
    stats.bytes_total.store(5ULL << 30);
    for (const auto& [notice, retry_in, now, line] : rows) {
        snprintf(status_notice, sizeof status_notice, "%s", notice);
        notice_retry_at = retry_in == 0 ? 0 : start_tick + retry_in;
        EXPECT_EQ(status_line(now), line);
    }
    notice_retry_at = 0;
}

// The background: tried each frame until it loads; then stretched, the window taking its size; replaced when stale.
TEST_F(ProgressWindowTest, Background) {
    pw_.window = SDL_CreateWindow("t", 0, 0, W, H, SDL_WINDOW_BORDERLESS);
    SDL_Surface* bmp = SDL_CreateRGBSurfaceWithFormat(0, 8, 8, 32, SDL_PIXELFORMAT_ARGB8888);
    SDL_FillRect(bmp, nullptr, SDL_MapRGB(bmp->format, 200, 0, 0));
    for (const char* content : {"", "not an image", "\x89PNG\r\n\x1a\ncut", "a BMP, which only the PNG decoder sees"}) {
        write_file("game/launcher.dat", content);
        ASSERT_TRUE(content[0] != 'a' || SDL_SaveBMP(bmp, "game/launcher.dat") == 0) << SDL_GetError();
        frame();
        frame();
        EXPECT_EQ(red(300, 150), clear_level) << content;
    }
    SDL_FreeSurface(bmp);
    const std::tuple<int, int, int, bool, std::string> rows[] = {
        {320, 200, 200, false, "320x200 200"}, {400, 250, 100, false, "320x200 200"}, {400, 250, 100, true, "400x250 100"}};
    for (const auto& [w, h, level, stale, shown] : rows) {
        SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888);
        SDL_FillRect(s, nullptr, SDL_MapRGB(s->format, static_cast<uint8_t>(level), 0, 0));
        ASSERT_EQ(IMG_SavePNG(s, "game/launcher.dat"), 0) << IMG_GetError();
        SDL_FreeSurface(s);
        background_stale = stale;
        frame();
        int window_w = 0, window_h = 0;
        SDL_GetWindowSize(pw_.window, &window_w, &window_h);
        EXPECT_EQ(std::to_string(window_w) + "x" + std::to_string(window_h) + " " + std::to_string(red(0, 0)), shown);
        EXPECT_TRUE(red(599, 299) == red(0, 0) && !background_stale);
    }
}

// Whole megabytes; the speed (the first second's, then a fifth of the way each second); the time left from the
// bytes' rate since start-up, after 5 s, from an update made once a byte arrived.
TEST_F(ProgressWindowTest, TimeLeftFromTheBytes) {
    const std::tuple<uint64_t, uint64_t, uint32_t, uint32_t, const char*> rows[] = {
        // MiB wanted and installed; ms of the update, of the line; the line's end
        {18, 1, 11000, 11000, "MB/s - 00:03:07 left"}, {2, 1, 5000, 5000, "MB/s "}, {2, 1, 5000, 5001, "MB/s - 00:00:05 left"},
        {5, 0, 20000, 20000, "MB/s "}, {5, 1, 0, 20000, "MB/s "}, {10001, 1, 40000, 40000, "MB/s - 111:06:50 left"},
        {65535, 1, 4000000000u, 4000000000u, "MB/s - 596523:14:07 left"}, {3, 3, 9000, 9000, "MB/s - 00:00:00 left"}};
    jobs_size = 1;
    stats.bytes_total.store(3670016); // whole megabytes shown
    for (auto [wanted, installed, update_at, shown_at, tail] : rows) {
        pw_.eta_known = false;
        bytes_wanted = wanted << 20;
        bytes_installed = installed << 20;
        EXPECT_TRUE(status_line(shown_at, update_at).ends_with(tail)) << status_line(shown_at);
    }
    transfers_started_tick = 0; // no estimate before anything was wanted
    EXPECT_TRUE(status_line(9000, 9000).ends_with("MB/s "));
    transfers_started_tick = start_tick;
    bytes_installed = 0; // an estimate made before any byte arrived is not shown, even once one has
    bytes_wanted = 4 << 20;
    status_line(0, 8000);
    set_transfer(0, 0.5f, 2 << 20); // a megabyte in flight
    EXPECT_TRUE(status_line(8500).ends_with("MB/s "));
    SDL_Renderer* renderer = std::exchange(pw_.renderer, nullptr); // the statistics run without a renderer
    stats.bytes_this_second.store(1048576);
    EXPECT_EQ(status_line(9000, 9000), "Downloaded: 3 MB - Download speed:  1.0 MB/s - 00:00:27 left");
    EXPECT_TRUE(status_line(10000, 10000).starts_with("Downloaded: 3 MB - Download speed:  0.8 MB/s")); // a fifth of the way
    progress_window_draw(&pw_, start_tick + 9000);
    pw_.renderer = renderer;
}
