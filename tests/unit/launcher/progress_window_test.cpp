// The progress window: frames rendered into a software renderer from a controlled shared state
// and read back pixel by pixel, and the once-a-second statistics with the status line they make.
#include <SDL.h>
#include <SDL_image.h>
#include <SDL_ttf.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/launcher.h"
#include "launcher/progress_window.h"
#include "test_util.h"

namespace {

constexpr const char* font_path =
    "/usr/share/fonts/truetype/roboto/unhinted/RobotoCondensed-BoldItalic.ttf";
constexpr int W = window_width;
constexpr int H = window_height;
constexpr uint32_t start_tick = 100000; // app_start_tick of every test, ms

// Red channel levels: the clear colour is 40; the white bars blend to about 180 over it; the
// black shadows and the track darken it.
constexpr int clear_level = 40;
constexpr int bright_level = 150;
constexpr int dark_level = 38;

void reset_shared_state() {
    jobs_size = 0;
    jobs_next = 0;
    jobs_done = 0;
    jobs_in_queue = 0;
    bytes_wanted = 0;
    bytes_installed = 0;
    active_transfer_count = 0;
    stats.bytes_this_second.store(0);
    stats.bytes_total.store(0);
    stats.speed = 0.0;
    stats.tick_accumulator = 0;
    stats.eta_hours = 0;
    stats.eta_minutes = 0;
    stats.eta_seconds = 0;
    app_start_tick = start_tick;
    background_stale = false;
}

// Runs the once-a-second update at `now` (ms after start-up) whatever the accumulator holds.
void force_stats_update(progress_window* pw, uint32_t now) {
    stats.tick_accumulator = 1000;
    pw->last_frame_time = start_tick + now - 1;
    progress_window_update_stats(pw, start_tick + now);
}

std::string status_line(const progress_window* pw, uint32_t now) {
    char line[text_capacity];
    progress_window_status_line(pw, start_tick + now, line);
    return line;
}

// Writes a PNG of one colour to `path`.
void write_png(const std::string& path, int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888);
    ASSERT_NE(s, nullptr);
    SDL_FillRect(s, nullptr, SDL_MapRGB(s->format, r, g, b));
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_EQ(IMG_SavePNG(s, path.c_str()), 0) << IMG_GetError();
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
        old_cwd_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path()); // "game/launcher.dat" is relative
        target_ = SDL_CreateRGBSurfaceWithFormat(0, W, H, 32, SDL_PIXELFORMAT_ARGB8888);
        ASSERT_NE(target_, nullptr);
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
        reset_shared_state();
    }

    void open_font() {
        pw_.font = TTF_OpenFont(font_path, 14);
        ASSERT_NE(pw_.font, nullptr) << font_path << " (fonts-roboto-unhinted): " << TTF_GetError();
    }

    // Draws one frame at `now` ms after start-up and reads it back.
    void frame(uint32_t now = 0) {
        progress_window_draw(&pw_, start_tick + now);
        pixels_.assign(static_cast<size_t>(W) * H, 0);
        ASSERT_EQ(SDL_RenderReadPixels(pw_.renderer, nullptr, SDL_PIXELFORMAT_ARGB8888,
                                       pixels_.data(), W * 4),
                  0);
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

    test_util::scratch_dir dir_;
    std::filesystem::path old_cwd_;
    SDL_Surface* target_ = nullptr;
    progress_window pw_{nullptr, nullptr, nullptr};
    std::vector<uint32_t> pixels_;
    game_file_t entries_[max_transfers]{};
    job_t transfers_[max_transfers]{};
};

// --- Overall bar ---------------------------------------------------------------------------

TEST_F(ProgressWindowTest, OverallBarMovesAFifthPerFrameTowardsItsTarget) {
    jobs_size = 10;
    jobs_in_queue = 4;                          // nothing fetched yet: by files, target 0.6
    const int expected_fill[] = {67, 120, 163}; // 560 x 0.12, 0.216, 0.2928
    for (int fill : expected_fill) {
        frame();
        EXPECT_EQ(bright_run(20, 275), fill);
    }
    // The track spans 20..579 and is darker than the clear colour; nothing lies outside it.
    EXPECT_LT(red(579, 275), dark_level);
    EXPECT_EQ(red(19, 275), clear_level);
    EXPECT_EQ(red(580, 275), clear_level);
    EXPECT_EQ(red(300, 269), clear_level);
    EXPECT_LT(red(300, 279), dark_level);
    EXPECT_EQ(red(300, 280), clear_level);
}

TEST_F(ProgressWindowTest, OverallBarWeighsTheFetchedFilesByBytes) {
    struct row {
        const char* what;
        uint64_t wanted, installed, active_size;
        float active_progress;
        int fill; // after one frame: 560 x 0.2 x target
    };
    const row rows[] = {
        // 99 small files of 1 MB installed, one of 400 MB half there: 299 of 499 MB.
        {"one large file left", 499, 99, 400, 0.5f, 67},
        {"nothing arrived", 100, 0, 100, 0.0f, 0},
        {"all but the last bytes", 100, 50, 50, 0.99f, 111},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        reset_shared_state();
        pw_.smooth_progress = 0.0f;
        jobs_size = 100;
        jobs_in_queue = 1; // by file count the bar would stand at 0.99
        bytes_wanted = r.wanted << 20;
        bytes_installed = r.installed << 20;
        set_transfer(0, r.active_progress, r.active_size << 20);
        frame();
        EXPECT_EQ(bright_run(20, 275), r.fill);
    }
}

TEST_F(ProgressWindowTest, EmptyJobTableLeavesAnEmptyTrack) {
    frame();
    EXPECT_EQ(bright_run(20, 275), 0);
    EXPECT_LT(red(20, 275), dark_level);
}

// --- Transfer bars -------------------------------------------------------------------------

TEST_F(ProgressWindowTest, TransferBarWidthAndThreshold) {
    struct row {
        float progress;
        int width; // 0: no bar
    };
    const row rows[] = {{0.0f, 0}, {0.002f, 0}, {0.01f, 0}, {0.0101f, 5}, {0.5f, 280}, {1.0f, 560}};
    jobs_size = 1;
    jobs_in_queue = 1; // the status block is drawn whether or not a bar is chosen
    for (const row& r : rows) {
        SCOPED_TRACE(r.progress);
        set_transfer(0, r.progress);
        frame();
        EXPECT_EQ(bright_run(20, 20), r.width);
        EXPECT_EQ(bright_run(20, 21), r.width);
        EXPECT_EQ(red(19, 20), clear_level);
        EXPECT_EQ(red(20, 23), clear_level);
        EXPECT_EQ(bright_run(20, 26), 0); // one transfer, one bar
        if (r.width > 0) {
            // The shadow: one pixel right of and below the bar, where the bar does not cover it.
            EXPECT_EQ(red(20, 22), clear_level);
            EXPECT_LT(red(21, 22), dark_level);
            EXPECT_LT(red(20 + r.width, 22), dark_level);
            if (20 + r.width + 1 < W) {
                EXPECT_EQ(red(20 + r.width + 1, 22), clear_level);
            }
        }
    }
}

TEST_F(ProgressWindowTest, TheFileListsTransferHasNoBar) {
    set_transfer(0, 0.5f);
    transfers_[0].for_coordinator = true;
    jobs_in_queue = 1;
    frame();
    EXPECT_EQ(bright_run(20, 20), 0);
}

TEST_F(ProgressWindowTest, SixteenMostAdvancedTransfersSortedByProgress) {
    // 20 transfers at progress k/20 in a scrambled order: the bars show 20/20 down to 5/20,
    // widths exact multiples of 28.
    const int order[20] = {3, 15, 0, 8, 12, 1, 6, 10, 14, 2, 5, 9, 11, 4, 13, 7, 19, 16, 18, 17};
    for (int i = 0; i < 20; ++i)
        set_transfer(i, static_cast<float>(order[i] + 1) / 20.0f);
    frame();
    for (int i = 0; i < 16; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(bright_run(20, 20 + 6 * i), 28 * (20 - i));
    }
    EXPECT_EQ(bright_pixels_in(0, 112, W, 250), 0); // nothing below the last bar at y = 110
    EXPECT_EQ(bright_pixels_in(0, 0, W, 20), 0);
}

// --- Status line ---------------------------------------------------------------------------

TEST_F(ProgressWindowTest, NoStatusLineBeforeAnyJobExists) {
    open_font();
    frame();
    EXPECT_EQ(bright_pixels_in(0, 240, W, 270), 0);
    EXPECT_STREQ(pw_.txt_download_status.text, "");

    jobs_size = 3;
    jobs_in_queue = 3;
    frame();
    EXPECT_GT(bright_pixels_in(20, 250, 300, 270), 50);
    EXPECT_STREQ(pw_.txt_download_status.text, "Downloaded: 0 MB - Download speed:  0.0 MB/s ");

    // Everything done and no bar: the block goes, its cached text stays.
    jobs_in_queue = 0;
    frame();
    EXPECT_EQ(bright_pixels_in(0, 240, W, 270), 0);
    EXPECT_STREQ(pw_.txt_download_status.text, "Downloaded: 0 MB - Download speed:  0.0 MB/s ");
}

TEST_F(ProgressWindowTest, TextShadowLiesTwoPixelsRightAndBelow) {
    open_font();
    jobs_size = 1;
    jobs_in_queue = 1;
    frame();
    const SDL_Surface* glyphs = pw_.txt_download_status.surface;
    ASSERT_NE(glyphs, nullptr);
    ASSERT_LT(250 + glyphs->h, 270); // the text stays clear of the overall bar

    // The glyph coverage of the white text, from its own surface.
    auto coverage = [&](int x, int y) -> int {
        if (x < 0 || y < 0 || x >= glyphs->w || y >= glyphs->h)
            return 0;
        const auto* row = static_cast<const uint8_t*>(glyphs->pixels) + y * glyphs->pitch;
        uint32_t p = reinterpret_cast<const uint32_t*>(row)[x];
        uint8_t r, g, b, a;
        SDL_GetRGBA(p, glyphs->format, &r, &g, &b, &a);
        return a;
    };
    // Where the text is transparent, the frame is dark exactly where a glyph lies 2 px up-left.
    int shadowed = 0;
    int bare = 0;
    for (int y = 0; y < glyphs->h + 2; ++y) {
        for (int x = 0; x < glyphs->w + 2; ++x) {
            if (coverage(x, y) != 0)
                continue;
            int level = red(20 + x, 250 + y);
            if (coverage(x - 2, y - 2) == 255) {
                EXPECT_LT(level, 30) << x << "," << y;
                ++shadowed;
            } else if (coverage(x - 2, y - 2) == 0) {
                EXPECT_EQ(level, clear_level) << x << "," << y;
                ++bare;
            }
        }
    }
    EXPECT_GT(shadowed, 50);
    EXPECT_GT(bare, 500);
}

TEST_F(ProgressWindowTest, MissingFontDrawsBarsWithoutText) {
    set_transfer(0, 0.5f);
    jobs_size = 1;
    jobs_in_queue = 1;
    frame();
    EXPECT_EQ(bright_run(20, 20), 280);
    EXPECT_EQ(pw_.txt_download_status.surface, nullptr);
    EXPECT_EQ(bright_pixels_in(0, 240, W, 270), 0);
}

TEST_F(ProgressWindowTest, TextOfTheBufferSizeIsAFatalCheck) {
    open_font();
    std::string longest(text_capacity - 2, 'x'); // 1022 characters and the NUL
    render_text(&pw_, &pw_.txt_download_status, longest.c_str());
    EXPECT_EQ(pw_.txt_download_status.text, longest);
    std::string too_long(text_capacity - 1, 'x');
    EXPECT_EXIT(render_text(&pw_, &pw_.txt_download_status, too_long.c_str()),
                ::testing::ExitedWithCode(1), "Runtime check failed in src/launcher/progress_window.cpp");
}

TEST_F(ProgressWindowTest, UnchangedTextIsNotRenderedAgain) {
    open_font();
    render_text(&pw_, &pw_.txt_download_status, "one");
    SDL_Texture* texture = pw_.txt_download_status.texture;
    SDL_Surface* shadow = pw_.txt_download_status.shadow_surface;
    ASSERT_NE(texture, nullptr);
    ASSERT_NE(shadow, nullptr);
    render_text(&pw_, &pw_.txt_download_status, "one");
    EXPECT_EQ(pw_.txt_download_status.texture, texture);
    EXPECT_EQ(pw_.txt_download_status.shadow_surface, shadow);

    render_text(&pw_, &pw_.txt_download_status, "");
    EXPECT_EQ(pw_.txt_download_status.surface, nullptr);
    EXPECT_EQ(pw_.txt_download_status.texture, nullptr);
    EXPECT_EQ(pw_.txt_download_status.shadow_surface, nullptr);
    EXPECT_EQ(pw_.txt_download_status.shadow_texture, nullptr);
}

// --- Background ----------------------------------------------------------------------------

TEST_F(ProgressWindowTest, BackgroundLoadsStretchesAndSizesTheWindow) {
    pw_.window = SDL_CreateWindow("t", 0, 0, W, H, SDL_WINDOW_BORDERLESS);
    ASSERT_NE(pw_.window, nullptr) << SDL_GetError();
    frame();
    EXPECT_EQ(red(300, 150), clear_level); // no file yet: the next frame looks again

    write_png("game/launcher.dat", 320, 200, 200, 0, 0);
    frame();
    EXPECT_EQ(red(0, 0), 200);
    EXPECT_EQ(red(599, 299), 200);
    int w = 0;
    int h = 0;
    SDL_GetWindowSize(pw_.window, &w, &h);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 200);

    // Replaced by a worker: the next frame drops the old image, loads the new one, resizes.
    write_png("game/launcher.dat", 400, 250, 100, 0, 0);
    frame();
    EXPECT_EQ(red(300, 150), 200); // not reloaded until a worker says so
    background_stale = true;
    frame();
    EXPECT_FALSE(background_stale);
    EXPECT_EQ(red(300, 150), 100);
    SDL_GetWindowSize(pw_.window, &w, &h);
    EXPECT_EQ(w, 400);
    EXPECT_EQ(h, 250);
}

TEST_F(ProgressWindowTest, BackgroundThatDoesNotLoadIsRetried) {
    const std::string broken_files[] = {"", "not an image",
                                        std::string("\x89PNG\r\n\x1a\n", 8) + "cut"};
    for (const std::string& content : broken_files) {
        test_util::write_file("game/launcher.dat", content);
        frame();
        frame();
        EXPECT_EQ(pw_.background_image, nullptr);
        EXPECT_EQ(pw_.background_texture, nullptr);
        EXPECT_EQ(red(300, 150), clear_level);
    }
    write_png("game/launcher.dat", 600, 300, 90, 0, 0);
    frame();
    EXPECT_EQ(red(300, 150), 90);
}

// --- Statistics ----------------------------------------------------------------------------

TEST_F(ProgressWindowTest, SpeedTakesTheFirstSecondThenSmooths) {
    stats.bytes_this_second.store(1048576);
    progress_window_update_stats(&pw_, start_tick + 1); // 1000 + 1 ms: the first update
    EXPECT_EQ(stats.bytes_this_second.load(), 0u);
    EXPECT_EQ(status_line(&pw_, 1), "Downloaded: 0 MB - Download speed:  1.0 MB/s ");

    stats.bytes_this_second.store(5000);
    progress_window_update_stats(&pw_, start_tick + 1000); // accumulator 1 + 999: not yet
    EXPECT_EQ(stats.bytes_this_second.load(), 5000u);
    stats.bytes_this_second.store(0);
    progress_window_update_stats(&pw_, start_tick + 1001); // an idle second
    EXPECT_EQ(status_line(&pw_, 1001), "Downloaded: 0 MB - Download speed:  0.8 MB/s ");
    EXPECT_EQ(stats.tick_accumulator, 1u);

    // A stall of 3.5 s: one update per frame until the accumulator is back under a second.
    progress_window_update_stats(&pw_, start_tick + 4501);
    EXPECT_EQ(stats.tick_accumulator, 2501u);
    progress_window_update_stats(&pw_, start_tick + 4501);
    progress_window_update_stats(&pw_, start_tick + 4501);
    EXPECT_EQ(stats.tick_accumulator, 501u);
    progress_window_update_stats(&pw_, start_tick + 4501);
    EXPECT_EQ(stats.tick_accumulator, 501u);
    EXPECT_NEAR(stats.speed, 1048576 * 0.8 * 0.8 * 0.8 * 0.8, 1.0);
}

TEST_F(ProgressWindowTest, StatisticsRunWithoutARenderer) {
    SDL_DestroyRenderer(pw_.renderer);
    pw_.renderer = nullptr;
    stats.bytes_this_second.store(2 * 1048576);
    progress_window_update_stats(&pw_, start_tick + 5);
    progress_window_draw(&pw_, start_tick + 5);
    EXPECT_EQ(stats.speed, 2.0 * 1048576);
    pw_.renderer = SDL_CreateSoftwareRenderer(target_); // for TearDown
}

TEST_F(ProgressWindowTest, MegabytesShownAreWholeAndWrapWithTheCounter) {
    struct row {
        uint32_t bytes;
        const char* shown;
    };
    const row rows[] = {{3670016, "Downloaded: 3 MB "},
                        {1048575, "Downloaded: 0 MB "},
                        {4294967295u, "Downloaded: 4095 MB "}};
    for (const row& r : rows) {
        stats.bytes_total.store(r.bytes);
        EXPECT_EQ(status_line(&pw_, 0).substr(0, strlen(r.shown)), r.shown);
    }
    stats.bytes_total.store(4294967295u);
    stats.bytes_total.fetch_add(1048577u);
    EXPECT_EQ(status_line(&pw_, 0).substr(0, 17), "Downloaded: 1 MB ");
}

TEST_F(ProgressWindowTest, TimeLeftComesFromTheBytesAndNeedsMoreThanFiveSeconds) {
    struct row {
        uint64_t wanted, installed; // MiB
        uint32_t update_at, shown_at; // ms after start-up; update_at 0: no update made
        const char* tail; // the end of the status line
    };
    const row rows[] = {
        {18, 1, 11000, 11000, "MB/s - 00:03:07 left"}, // 17 MiB at 1 MiB per 11.001 s
        {2, 1, 5000, 5000, "MB/s "},                   // exactly 5.0 s is not enough
        {2, 1, 5000, 5001, "MB/s - 00:00:05 left"},
        {5, 0, 20000, 20000, "MB/s "}, // nothing arrived: no rate to estimate from
        {5, 1, 0, 20000, "MB/s "},     // arrived, but no estimate made since
        {10001, 1, 40000, 40000, "MB/s - 111:06:50 left"},                // hours above 99
        {65535, 1, 4000000000u, 4000000000u, "MB/s - 596523:14:07 left"}, // clamped
        {3, 3, 9000, 9000, "MB/s - 00:00:00 left"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.tail);
        pw_.eta_known = false;
        jobs_size = jobs_in_queue = 1;
        bytes_wanted = r.wanted << 20;
        bytes_installed = r.installed << 20;
        if (r.update_at != 0)
            force_stats_update(&pw_, r.update_at);
        std::string line = status_line(&pw_, r.shown_at);
        ASSERT_GE(line.size(), strlen(r.tail));
        EXPECT_EQ(line.substr(line.size() - strlen(r.tail)), r.tail) << line;
    }
}

TEST_F(ProgressWindowTest, EstimateMadeBeforeAnyByteArrivedIsNotShown) {
    jobs_size = jobs_in_queue = 4;
    bytes_wanted = 4 << 20;
    force_stats_update(&pw_, 8000);
    // A file arrives between two updates: nothing is shown until the next update.
    bytes_installed = 1 << 20;
    EXPECT_EQ(status_line(&pw_, 8500), "Downloaded: 0 MB - Download speed:  0.0 MB/s ");
    force_stats_update(&pw_, 9000);
    EXPECT_EQ(status_line(&pw_, 9000),
              "Downloaded: 0 MB - Download speed:  0.0 MB/s - 00:00:27 left");
}

} // namespace
