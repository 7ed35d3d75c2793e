// The progress window's frame: the statistics update, then the drawing, back to front.
#include "launcher/progress_window.h"

#include <SDL_image.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "launcher/launcher.h"
#include "platform/platform.h"
#include "support/utils.h"

namespace {

constexpr const char* background_path = "game/launcher.dat";

constexpr uint32_t stats_interval_ms = 1000;
// Each second the speed moves this far towards the second's byte count; each frame the overall
// bar moves this far towards its target.
constexpr float speed_smoothing = 0.2f;
constexpr float progress_smoothing = 0.2f;
constexpr double eta_min_elapsed_s = 5.0; // no time left is shown before this much has passed
constexpr double bytes_per_mb = 1048576.0;
constexpr uint64_t bytes_per_mb_whole = 1048576;

// Colours packed as SDL_Color bytes: red in the lowest byte, alpha in the highest.
constexpr uint32_t bar_color = 0xaaffffff;
constexpr uint32_t worker_shadow_color = 0x40000000;
constexpr uint32_t track_color = 0x30000000;
constexpr SDL_Color clear_color = {40, 40, 40, 255};
constexpr SDL_Color text_color = {255, 255, 255, 255};
constexpr SDL_Color text_shadow_color = {0, 0, 0, 128};

// Layout, in the 600 x 300 window's pixels; it stays when the window takes the background's size.
constexpr int text_x = 20;
constexpr int text_y = 250;
constexpr int text_shadow_offset = 2;
constexpr int bar_x = 20;
constexpr int bars_y = 20;
constexpr int bar_pitch = 6;
constexpr int bar_height = 2;
constexpr int bar_shadow_offset = 1;
constexpr int bar_min_width = 2;
constexpr float bar_full_width = 560.0f;
constexpr double bar_min_progress = 0.01; // a transfer's bar shows only above this fraction
constexpr int max_bars = 16;
constexpr int overall_y = 270;
constexpr int overall_height = 10;

// An empty rectangle draws nothing (some renderers widen it to one pixel).
void draw_quad(SDL_Renderer* renderer, SDL_Rect rect, uint32_t color) {
    if (rect.w <= 0 || rect.h <= 0)
        return;
    SDL_SetRenderDrawColor(renderer, color & 0xff, (color >> 8) & 0xff, (color >> 16) & 0xff,
                           (color >> 24) & 0xff);
    SDL_RenderFillRect(renderer, &rect);
}

// Frees a surface and the texture made from it, each only if present, and forgets both.
void release_image(SDL_Surface** surface, SDL_Texture** texture) {
    if (*texture != nullptr)
        SDL_DestroyTexture(*texture);
    if (*surface != nullptr)
        SDL_FreeSurface(*surface);
    *texture = nullptr;
    *surface = nullptr;
}

void release_background(progress_window* pw) {
    release_image(&pw->background_image, &pw->background_texture);
}

void release_text(text_t* t) {
    release_image(&t->surface, &t->texture);
    release_image(&t->shadow_surface, &t->shadow_texture);
}

// Loads "game/launcher.dat" when it exists and no texture is held. A file that does not load
// (a worker may still be writing it) leaves no background, and the next frame tries again.
void load_background(progress_window* pw) {
    if (!platform_entry_exists(background_path))
        return;
    release_background(pw); // a surface whose texture could not be made
    // The server's bytes reach the PNG decoder alone, whatever they claim to be.
    SDL_RWops* file = SDL_RWFromFile(background_path, "rb");
    bool png = file != nullptr && IMG_isPNG(file) != 0;
    pw->background_image = png ? IMG_LoadPNG_RW(file) : nullptr;
    if (file != nullptr)
        SDL_RWclose(file);
    if (pw->background_image == nullptr) {
        if (!pw->background_failed)
            log_printf("cannot load background %s: %s\n", background_path,
                       file == nullptr || png ? IMG_GetError() : "not a PNG image");
        pw->background_failed = true;
        return;
    }
    pw->background_failed = false;
    pw->background_texture = SDL_CreateTextureFromSurface(pw->renderer, pw->background_image);
    log_printf("loaded bg texture %p %p\n", static_cast<void*>(pw->background_image),
               static_cast<void*>(pw->background_texture));
    if (pw->window != nullptr)
        SDL_SetWindowSize(pw->window, pw->background_image->w, pw->background_image->h);
}

void draw_background(progress_window* pw) {
    // A worker replaced the file: drop the old image so that this frame loads the new one.
    if (background_stale) {
        release_background(pw);
        background_stale = false;
    }
    if (pw->background_texture == nullptr)
        load_background(pw);
    if (pw->background_texture != nullptr)
        SDL_RenderCopy(pw->renderer, pw->background_texture, nullptr, nullptr);
}

// The transfers' progress, most advanced first, at most `max_bars` of them. The transfer thread
// changes the values while the frame is drawn: the sort orders a copy taken once.
int choose_bars(float bars[max_transfers]) {
    int count = 0;
    for (int i = 0; i < active_transfer_count; ++i) {
        const job_t* job = active_transfers[i];
        float progress = job->progress.load(std::memory_order_relaxed);
        if (!job->for_coordinator && progress > bar_min_progress)
            bars[count++] = progress;
    }
    std::sort(bars, bars + count, std::greater<float>());
    return std::min(count, max_bars);
}

// Bytes of the wanted files that have arrived: those installed, and each transfer's share.
double bytes_done() {
    double done = static_cast<double>(bytes_installed);
    for (int i = 0; i < active_transfer_count; ++i)
        done += active_transfers[i]->progress.load(std::memory_order_relaxed) *
                static_cast<double>(active_transfers[i]->entry->size);
    return done;
}

void draw_status_block(progress_window* pw, uint32_t now, const float* bars, int bar_count) {
    char line[text_capacity];
    progress_window_status_line(pw, now, line);
    render_text(pw, &pw->txt_download_status, line);

    const text_t& t = pw->txt_download_status;
    if (t.surface != nullptr) {
        SDL_Rect shadow = {text_x + text_shadow_offset, text_y + text_shadow_offset, t.surface->w,
                           t.surface->h};
        SDL_Rect text = {text_x, text_y, t.surface->w, t.surface->h};
        SDL_RenderCopy(pw->renderer, t.shadow_texture, nullptr, &shadow);
        SDL_RenderCopy(pw->renderer, t.texture, nullptr, &text);
    }

    for (int i = 0; i < bar_count; ++i) {
        int width = std::max(bar_min_width, static_cast<int>(bars[i] * bar_full_width));
        int y = bars_y + bar_pitch * i;
        draw_quad(pw->renderer,
                  {bar_x + bar_shadow_offset, y + bar_shadow_offset, width, bar_height},
                  worker_shadow_color);
        draw_quad(pw->renderer, {bar_x, y, width, bar_height}, bar_color);
    }
}

// The part of the round done, by the listed bytes of all its files (those found current, those
// installed, each transfer's part), so that one large file left weighs what it weighs; by files
// when the list's files are all empty.
float overall_fraction() {
    if (jobs_size == 0)
        return 0.0f;
    if (jobs_done == jobs_size)
        return 1.0f;
    if (bytes_listed == 0)
        return 1.0f - static_cast<float>(jobs_size - jobs_done) / static_cast<float>(jobs_size);
    double done =
        static_cast<double>(bytes_finished) + bytes_done() - static_cast<double>(bytes_installed);
    return static_cast<float>(std::clamp(done / static_cast<double>(bytes_listed), 0.0, 1.0));
}

void draw_overall_bar(progress_window* pw) {
    // The bar never goes back: a transfer that starts over, a file fetched but not yet
    // installed, a new round after the list changed keep what it showed.
    pw->bar_target = std::max(pw->bar_target, overall_fraction());
    pw->smooth_progress = lerp_f32(pw->smooth_progress, pw->bar_target, progress_smoothing);
    int fill = static_cast<int>(bar_full_width * pw->smooth_progress);
    draw_quad(pw->renderer, {bar_x, overall_y, static_cast<int>(bar_full_width), overall_height},
              track_color);
    draw_quad(pw->renderer, {bar_x, overall_y, fill, overall_height}, bar_color);
}

// Recomputes stats.eta_* from the listed bytes of the wanted files that have arrived since the
// first of them was wanted (what is left and what arrived, in the same unit). Before any has,
// there is no rate to divide by: the estimate is marked unknown and never shown.
void update_time_left(progress_window* pw, uint32_t now) {
    uint32_t elapsed_ms = now - transfers_started_tick;
    double done = bytes_done();
    if (done <= 0.0 || bytes_wanted == 0 || transfers_started_tick == 0) {
        pw->eta_known = false;
        return;
    }
    double rate = done / (elapsed_ms / 1000.0 + 0.001);
    // Clamped before the conversion: a huge update on a slow start would not fit 32 bits.
    double seconds = std::clamp((static_cast<double>(bytes_wanted) - done) / rate, 0.0,
                                static_cast<double>(INT32_MAX));
    auto s = static_cast<int32_t>(seconds);
    stats.eta_hours = s / 3600;
    stats.eta_minutes = (s / 60) % 60;
    stats.eta_seconds = s % 60;
    pw->eta_known = true;
}

} // namespace

void progress_window_start(progress_window* pw, uint32_t now) {
    pw->last_frame_time = now;
    stats.tick_accumulator = stats_interval_ms;
    if (pw->renderer != nullptr)
        SDL_SetRenderDrawBlendMode(pw->renderer, SDL_BLENDMODE_BLEND);
}

void progress_window_frame(progress_window* pw) {
    uint32_t now = SDL_GetTicks();
    progress_window_update_stats(pw, now);
    progress_window_draw(pw, now);
}

void progress_window_release(progress_window* pw) {
    release_background(pw);
    release_text(&pw->txt_download_status);
    pw->txt_download_status.text[0] = '\0';
}

void progress_window_update_stats(progress_window* pw, uint32_t now) {
    uint32_t acc = stats.tick_accumulator + (now - pw->last_frame_time);
    pw->last_frame_time = now;
    if (acc <= stats_interval_ms) {
        stats.tick_accumulator = acc;
        return;
    }
    // The remainder carries over; after a stall one update follows on each frame.
    stats.tick_accumulator = acc - stats_interval_ms;

    // One exchange, so that no byte arriving between a read and a reset is lost.
    uint64_t bytes = stats.bytes_this_second.exchange(0);
    if (stats.speed == 0.0)
        stats.speed = static_cast<double>(bytes);
    else
        stats.speed =
            lerp_f32(static_cast<float>(stats.speed), static_cast<float>(bytes), speed_smoothing);

    update_time_left(pw, now);
}

void progress_window_draw(progress_window* pw, uint32_t now) {
    if (pw->renderer == nullptr)
        return;
    SDL_SetRenderDrawColor(pw->renderer, clear_color.r, clear_color.g, clear_color.b,
                           clear_color.a);
    SDL_RenderClear(pw->renderer);
    draw_background(pw);

    float bars[max_transfers];
    int bar_count = choose_bars(bars);
    // Before the file list is read, and once everything is done, only the overall bar shows,
    // and a notice where there is one.
    if (bar_count > 0 || jobs_done != jobs_size || status_notice[0] != '\0')
        draw_status_block(pw, now, bars, bar_count);

    draw_overall_bar(pw);
}

void progress_window_status_line(const progress_window* pw, uint32_t now,
                                 char line[text_capacity]) {
    if (status_notice[0] != '\0' && notice_retry_at != 0) {
        int32_t left_ms = std::max(static_cast<int32_t>(notice_retry_at - now), 0);
        snprintf(line, text_capacity, "%s %d s", status_notice, (left_ms + 999) / 1000);
        return;
    }
    if (status_notice[0] != '\0') {
        snprintf(line, text_capacity, "%s", status_notice);
        return;
    }
    char suffix[text_capacity] = "";
    double elapsed_s = (now - app_start_tick) / 1000.0;
    if (elapsed_s > eta_min_elapsed_s && pw->eta_known)
        snprintf(suffix, sizeof suffix, "- %02d:%02d:%02d left", stats.eta_hours, stats.eta_minutes,
                 stats.eta_seconds);
    auto megabytes = static_cast<unsigned long long>(stats.bytes_total.load() / bytes_per_mb_whole);
    // A line that fills the buffer is cut here and refused by render_text.
    int length =
        snprintf(line, text_capacity, "Downloaded: %llu MB - Download speed: %4.1f MB/s %s",
                 megabytes, stats.speed / bytes_per_mb, suffix);
    if (length < 0)
        line[0] = '\0';
}

void render_text(progress_window* pw, text_t* t, const char* text) {
    if (str_eq(text, t->text))
        return;
    CHECK(strlen(text) + 1 < text_capacity);
    release_text(t);
    if (text[0] != '\0' && pw->font != nullptr && pw->renderer != nullptr) {
        t->surface = TTF_RenderUTF8_Blended(pw->font, text, text_color);
        if (t->surface != nullptr)
            t->texture = SDL_CreateTextureFromSurface(pw->renderer, t->surface);
        t->shadow_surface = TTF_RenderUTF8_Blended(pw->font, text, text_shadow_color);
        if (t->shadow_surface != nullptr)
            t->shadow_texture = SDL_CreateTextureFromSurface(pw->renderer, t->shadow_surface);
    }
    memcpy(t->text, text, strlen(text) + 1);
}
