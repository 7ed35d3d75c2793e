// The progress window: frames rendered into a software renderer from a controlled shared state
// and read back pixel by pixel, and the once-a-second statistics with the status line they make.
#include <SDL.h>
#include <SDL_image.h>
#include <SDL_ttf.h>

#include <algorithm>


#include "launcher/launcher.h"
#include "launcher/progress_window.h"
#include "test_util.h"

constexpr int W = window_width;
constexpr int H = window_height;
constexpr uint32_t start_tick = 100000; // app_start_tick of every test, ms
// Red channel levels: the clear colour is 40; white bars blend to about 180 over it (above
// bright); the black shadows and the track darken it (below dark).
constexpr int clear_level = 40;
constexpr int bright_level = 150;
constexpr int dark_level = 38;

void reset_shared_state() {
    jobs_size = jobs_next = jobs_done = jobs_in_queue = active_transfer_count = 0;
    bytes_wanted = bytes_installed = 0;
    stats.bytes_this_second.store(0);
    stats.bytes_total.store(0);
    stats.speed = 0.0;
    stats.tick_accumulator = 0;
    app_start_tick = start_tick;
    background_stale = false;
}

// A PNG of one colour, red at `level`.
void write_png(const char* path, int w, int h, int level) {
    SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888);
    SDL_FillRect(s, nullptr, SDL_MapRGB(s->format, static_cast<uint8_t>(level), 0, 0));
    ASSERT_EQ(IMG_SavePNG(s, path), 0) << IMG_GetError();
    SDL_FreeSurface(s);
}

class ProgressWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        SDL_SetHint(SDL_HINT_VIDEODRIVER, "dummy");
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        ASSERT_EQ(TTF_Init(), 0);
        IMG_Init(IMG_INIT_PNG);
    }

    void SetUp() override {
        reset_shared_state();
        std::filesystem::current_path(dir_.path); // "game/launcher.dat" is relative
        std::filesystem::create_directory("game");
        target_ = SDL_CreateRGBSurfaceWithFormat(0, W, H, 32, SDL_PIXELFORMAT_ARGB8888);
        pw_.renderer = SDL_CreateSoftwareRenderer(target_);
        ASSERT_NE(pw_.renderer, nullptr) << SDL_GetError();
        progress_window_start(&pw_, start_tick);
    }

    void TearDown() override {
        progress_window_release(&pw_);
        if (pw_.font != nullptr)
            TTF_CloseFont(pw_.font);
        if (pw_.window != nullptr)
            SDL_DestroyWindow(pw_.window);
        SDL_DestroyRenderer(pw_.renderer);
        SDL_FreeSurface(target_);
        std::filesystem::current_path(old_cwd_);
    }

    // Draws one frame at `now` ms after start-up and reads it back.
    void frame(uint32_t now = 0) {
        progress_window_draw(&pw_, start_tick + now);
        pixels_.assign(static_cast<size_t>(W) * H, 0);
        ASSERT_EQ(SDL_RenderReadPixels(pw_.renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, pixels_.data(), W * 4), 0);
    }

    int red(int x, int y) const { return (pixels_[static_cast<size_t>(y) * W + x] >> 16) & 0xff; }

    // Length of the run of bright pixels on row y that starts at x.
    int bright_run(int x, int y) const {
        int n = 0;
        while (x + n < W && red(x + n, y) > bright_level)
            ++n;
        return n;
    }

    int bright_pixels_in(int x0, int y0, int x1, int y1) const {
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

    // The status line at `now` ms after start-up, after a once-a-second update at `update_at`
    // (0: none), whatever the accumulator holds.
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
    SDL_Surface* target_ = nullptr;
    progress_window pw_{nullptr, nullptr, nullptr};
    std::vector<uint32_t> pixels_;
    game_file_t entries_[max_transfers]{};
    job_t transfers_[max_transfers]{};
};

// The overall bar moves a fifth of the way to its target each frame. The target: nothing for an
// empty job table, all for a finished one, the share of files while nothing is wanted in bytes,
// else the bytes that arrived (installed files and each transfer's share), so one large file
// weighs what it weighs. Its dark track spans x 20..579, y 270..279.
TEST_F(ProgressWindowTest, OverallBar) {
    const struct {
        int32_t jobs, queued;
        uint64_t wanted, installed, active; // MiB
        float progress;                     // of the active transfer
        std::vector<int> fills;             // after each frame
    } rows[] = {
        {0, 0, 0, 0, 0, 0.0f, {0, 0}},          {3, 0, 0, 0, 0, 0.0f, {112, 201}},
        {10, 4, 0, 0, 0, 0.0f, {67, 120, 163}}, {100, 1, 499, 99, 400, 0.5f, {67}}, // 299 of 499 MiB
        {100, 1, 100, 0, 100, 0.0f, {0}},       {100, 1, 100, 50, 50, 0.99f, {111}},
    };
    for (const auto& r : rows) {
        reset_shared_state();
        pw_.smooth_progress = 0.0f;
        jobs_size = r.jobs;
        jobs_in_queue = r.queued;
        bytes_wanted = r.wanted << 20;
        bytes_installed = r.installed << 20;
        if (r.active != 0)
            set_transfer(0, r.progress, r.active << 20);
        for (int fill : r.fills) {
            frame();
            EXPECT_EQ(bright_run(20, 275), fill) << r.jobs << " jobs, " << r.queued << " queued";
        }
    }
    EXPECT_LT(red(300, 270), dark_level);
    EXPECT_LT(red(579, 279), dark_level);
    for (auto [x, y] : {std::pair{19, 275}, {580, 275}, {300, 269}, {300, 280}})
        EXPECT_EQ(red(x, y), clear_level) << x << "," << y;
}

// A transfer's bar: 2 px high at y 20, 560 px for a whole file, none up to 1 %, at least 2 px
// above it; its shadow 1 px right of and below it.
TEST_F(ProgressWindowTest, TransferBarWidthAndThreshold) {
    const std::pair<float, int> rows[] = {{0.0f, 0}, {0.002f, 0}, {0.01f, 0}, {0.0101f, 5}, {0.5f, 280}, {1.0f, 560}};
    jobs_size = jobs_in_queue = 1;
    for (auto [progress, width] : rows) {
        set_transfer(0, progress);
        frame();
        EXPECT_EQ(bright_run(20, 20), width) << progress;
        EXPECT_EQ(bright_run(20, 21), width) << progress;
        EXPECT_EQ(red(19, 20), clear_level);
        EXPECT_EQ(red(20, 22), clear_level);
        EXPECT_EQ(bright_pixels_in(0, 23, W, 250), 0); // one transfer, one bar
        if (width > 0) {
            EXPECT_LT(red(21, 22), dark_level);
            EXPECT_LT(red(20 + width, 22), dark_level);
            EXPECT_TRUE(20 + width + 1 >= W || red(20 + width + 1, 22) == clear_level);
        }
    }
}

// 20 transfers at progress k/20 in a scrambled order, and the file list's own transfer (which
// never has a bar): the 16 most advanced, 20/20 down to 5/20, widths multiples of 28, 6 px apart.
TEST_F(ProgressWindowTest, SixteenMostAdvancedTransfersSortedByProgress) {
    const int order[20] = {3, 15, 0, 8, 12, 1, 6, 10, 14, 2, 5, 9, 11, 4, 13, 7, 19, 16, 18, 17};
    for (int i = 0; i < 20; ++i)
        set_transfer(i, static_cast<float>(order[i] + 1) / 20.0f);
    set_transfer(20, 0.99f);
    transfers_[20].for_coordinator = true;
    frame();
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(bright_run(20, 20 + 6 * i), 28 * (20 - i)) << i;
    EXPECT_EQ(bright_pixels_in(0, 112, W, 250) + bright_pixels_in(0, 0, W, 20), 0); // the last bar is at y 110
}

// Without a font the bars are drawn and no text. With one, the status line at (20, 250) shows
// once a job exists, clear of the overall bar, and goes when all is done; its shadow lies 2 px
// right of and below it, exactly where a glyph covers. A text that fills its buffer is fatal.
TEST_F(ProgressWindowTest, StatusLineAndItsShadow) {
    set_transfer(0, 0.5f);
    jobs_size = jobs_in_queue = 1;
    frame();
    EXPECT_EQ(bright_run(20, 20), 280);
    EXPECT_EQ(bright_pixels_in(0, 240, W, 270), 0);
    progress_window_release(&pw_); // forgets the text laid out without a font
    pw_.font = TTF_OpenFont("/usr/share/fonts/truetype/roboto/unhinted/RobotoCondensed-BoldItalic.ttf", 14);
    ASSERT_NE(pw_.font, nullptr) << "fonts-roboto-unhinted: " << TTF_GetError();
    reset_shared_state();
    frame();
    EXPECT_EQ(bright_pixels_in(0, 240, W, 270), 0);
    jobs_size = jobs_in_queue = 3;
    frame();
    EXPECT_STREQ(pw_.txt_download_status.text, "Downloaded: 0 MB - Download speed:  0.0 MB/s ");
    const SDL_Surface* glyphs = pw_.txt_download_status.surface;
    ASSERT_NE(glyphs, nullptr);
    ASSERT_LT(250 + glyphs->h, 270);
    auto coverage = [&](int x, int y) -> int { // of the white text, from its own surface
        if (x < 0 || y < 0 || x >= glyphs->w || y >= glyphs->h)
            return 0;
        uint8_t r, g, b, a;
        SDL_GetRGBA(static_cast<const uint32_t*>(glyphs->pixels)[y * glyphs->pitch / 4 + x], glyphs->format, &r, &g, &b, &a);
        return a;
    };
    int shadowed = 0;
    int bare = 0;
    for (int y = 0; y < glyphs->h + 2; ++y)
        for (int x = 0; x < glyphs->w + 2; ++x) {
            if (coverage(x, y) != 0)
                continue;
            if (coverage(x - 2, y - 2) == 255) {
                EXPECT_LT(red(20 + x, 250 + y), 30) << x << "," << y;
                ++shadowed;
            } else if (coverage(x - 2, y - 2) == 0) {
                EXPECT_EQ(red(20 + x, 250 + y), clear_level) << x << "," << y;
                ++bare;
            }
        }
    EXPECT_GT(bright_pixels_in(20, 250, 300, 270), 50);
    EXPECT_GT(shadowed, 50);
    EXPECT_GT(bare, 500);
    jobs_in_queue = 0;
    frame();
    EXPECT_EQ(bright_pixels_in(0, 240, W, 270), 0);

    std::string longest(text_capacity - 2, 'x');
    render_text(&pw_, &pw_.txt_download_status, longest.c_str());
    EXPECT_EQ(pw_.txt_download_status.text, longest);
    render_text(&pw_, &pw_.txt_download_status, "");
    EXPECT_EQ(pw_.txt_download_status.surface, nullptr);
    EXPECT_EXIT(render_text(&pw_, &pw_.txt_download_status, (longest + "x").c_str()), ::testing::ExitedWithCode(1),
                "Runtime check failed in src/launcher/progress_window.cpp");
}

// The background: none until game/launcher.dat loads (a file that does not, being empty, not
// an image or cut short, is tried again each frame); then stretched over the frame, the window
// taking its size; replaced only when a worker marks it stale.
TEST_F(ProgressWindowTest, Background) {
    pw_.window = SDL_CreateWindow("t", 0, 0, W, H, SDL_WINDOW_BORDERLESS);
    ASSERT_NE(pw_.window, nullptr) << SDL_GetError();
    for (const char* content : {"", "not an image", "\x89PNG\r\n\x1a\ncut"}) {
        write_file("game/launcher.dat", content);
        frame();
        frame();
        EXPECT_EQ(pw_.background_texture, nullptr);
        EXPECT_EQ(red(300, 150), clear_level);
    }
    const struct {
        int w, h, level;
        bool stale;
        int shown_w, shown_h, shown_level;
    } rows[] = {{320, 200, 200, false, 320, 200, 200}, {400, 250, 100, false, 320, 200, 200}, {400, 250, 100, true, 400, 250, 100}};
    for (const auto& r : rows) {
        write_png("game/launcher.dat", r.w, r.h, r.level);
        background_stale = r.stale;
        frame();
        EXPECT_FALSE(background_stale);
        EXPECT_EQ(red(0, 0), r.shown_level);
        EXPECT_EQ(red(599, 299), r.shown_level);
        int w = 0;
        int h = 0;
        SDL_GetWindowSize(pw_.window, &w, &h);
        EXPECT_EQ(w * 1000 + h, r.shown_w * 1000 + r.shown_h) << r.w << "x" << r.h;
    }
}

// The speed takes the first second's bytes, then moves a fifth of the way each second; the
// update comes once per second of frame time, after a stall once per frame until the time
// left over is under a second; it runs without a renderer too.
TEST_F(ProgressWindowTest, SpeedTakesTheFirstSecondThenSmooths) {
    stats.bytes_this_second.store(1048576);
    progress_window_update_stats(&pw_, start_tick + 1);
    EXPECT_EQ(status_line(1), "Downloaded: 0 MB - Download speed:  1.0 MB/s ");
    stats.bytes_this_second.store(5000);
    progress_window_update_stats(&pw_, start_tick + 1000); // 1 + 999 ms: not yet
    EXPECT_EQ(stats.bytes_this_second.load(), 5000u);
    stats.bytes_this_second.store(0);
    progress_window_update_stats(&pw_, start_tick + 1001);
    EXPECT_EQ(status_line(1001), "Downloaded: 0 MB - Download speed:  0.8 MB/s ");
    for (uint32_t left : {2501u, 1501u, 501u, 501u}) {
        progress_window_update_stats(&pw_, start_tick + 4501); // a stall of 3.5 s
        EXPECT_EQ(stats.tick_accumulator, left);
    }
    EXPECT_NEAR(stats.speed, 1048576 * 0.8 * 0.8 * 0.8 * 0.8, 1.0);
    SDL_DestroyRenderer(pw_.renderer);
    pw_.renderer = nullptr;
    stats.bytes_this_second.store(2 * 1048576);
    progress_window_update_stats(&pw_, start_tick + 6000);
    progress_window_draw(&pw_, start_tick + 6000);
    EXPECT_NEAR(stats.speed, 1048576 * (0.8 * 0.8 * 0.8 * 0.8 * 0.8 + 0.4), 1.0);
}

// The status line: whole megabytes received, and the time left from the bytes' rate since
// start-up, shown only after more than 5 s and only from an update made after a byte arrived;
// hours past 99, clamped when the rate is tiny.
TEST_F(ProgressWindowTest, StatusLine) {
    for (auto [bytes, shown] : {std::pair{3670016u, "Downloaded: 3 MB "}, {1048575u, "Downloaded: 0 MB "},
                                {4294967295u, "Downloaded: 4095 MB "}}) {
        stats.bytes_total.store(bytes);
        EXPECT_TRUE(status_line(0).starts_with(shown)) << status_line(0);
    }
    const struct {
        uint64_t wanted, installed;   // MiB
        uint32_t update_at, shown_at; // ms after start-up
        const char* tail;             // the end of the status line
    } rows[] = {
        {18, 1, 11000, 11000, "MB/s - 00:03:07 left"}, // 17 MiB at 1 MiB per 11.001 s
        {2, 1, 5000, 5000, "MB/s "}, {2, 1, 5000, 5001, "MB/s - 00:00:05 left"}, {5, 0, 20000, 20000, "MB/s "},
        {5, 1, 0, 20000, "MB/s "}, {10001, 1, 40000, 40000, "MB/s - 111:06:50 left"},
        {65535, 1, 4000000000u, 4000000000u, "MB/s - 596523:14:07 left"}, {3, 3, 9000, 9000, "MB/s - 00:00:00 left"},
    };
    jobs_size = jobs_in_queue = 1;
    for (const auto& r : rows) {
        pw_.eta_known = false;
        bytes_wanted = r.wanted << 20;
        bytes_installed = r.installed << 20;
        std::string line = status_line(r.shown_at, r.update_at);
        EXPECT_TRUE(line.ends_with(r.tail)) << line;
    }
    bytes_installed = 0; // an estimate made before any byte arrived is not shown, even once one has
    bytes_wanted = 4 << 20;
    status_line(0, 8000);
    bytes_installed = 1 << 20;
    EXPECT_TRUE(status_line(8500).ends_with("MB/s "));
    EXPECT_TRUE(status_line(9000, 9000).ends_with("MB/s - 00:00:27 left"));
}

