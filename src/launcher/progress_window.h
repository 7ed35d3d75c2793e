// progress_window: the launcher's window. Once a frame, with `mut` held, the frame loop updates
// the download statistics (once a second) and draws the frame: the clear colour, the background
// "game/launcher.dat", the status line, one bar per transfer in flight (the 16 most advanced),
// the overall bar.
//
// Everything here runs on the main thread. The shared state it reads (launcher.h) is guarded by
// `mut`, which the caller holds for the whole frame; the byte counters and each transfer's
// progress are atomics written without it.
#pragma once
#include <SDL.h>
#include <SDL_ttf.h>

#include <cstddef>
#include <cstdint>

constexpr int window_width = 600;
constexpr int window_height = 300;
constexpr size_t text_capacity = 1024; // the status line's buffers, with the NUL

// A text rendered once and drawn from its cache until it changes. White `surface`/`texture`,
// black half-transparent `shadow_surface`/`shadow_texture`; all four null for an empty text or
// before the first rendering.
struct text_t {
    char text[text_capacity];
    SDL_Surface* surface;
    SDL_Texture* texture;
    SDL_Surface* shadow_surface;
    SDL_Texture* shadow_texture;
};

// What the main thread owns for drawing. Any of window, renderer and font may be null (start-up
// failed to make it): the frame then goes on without it. The rest starts zeroed.
struct progress_window {
    SDL_Window* window;
    SDL_Renderer* renderer;
    TTF_Font* font;
    SDL_Surface* background_image = nullptr; // null until "game/launcher.dat" loads
    SDL_Texture* background_texture = nullptr;
    bool background_failed = false; // the last load failed; reported once until one succeeds
    text_t txt_download_status = {};
    float smooth_progress = 0.0f; // the overall bar's displayed fraction, 0..1
    float bar_target = 0.0f;      // what it moves towards: the most of the update done so far, 0..1
    uint32_t last_frame_time = 0; // tick of the previous frame, ms
    bool eta_known = false;       // stats.eta_* hold an estimate made after a job had finished
};

// Just before the first frame, `now` being SDL_GetTicks(): the first frame in which a
// millisecond has passed already updates the statistics.
void progress_window_start(progress_window* pw, uint32_t now);
// One frame's work, with `mut` held: the statistics update, then the drawing.
void progress_window_frame(progress_window* pw);
// Releases the background and the cached text; at shutdown, before the renderer goes.
void progress_window_release(progress_window* pw);

// --- The parts of a frame, with the tick passed in ---------------------------------------------
// Adds the time since the last frame; once a second recomputes the smoothed speed and the time
// left, and resets the per-second byte counter.
void progress_window_update_stats(progress_window* pw, uint32_t now);
// Draws the whole frame into pw->renderer from the shared state; nothing without a renderer.
void progress_window_draw(progress_window* pw, uint32_t now);
// The status line: the notice when there is one (status_notice), else megabytes received, the
// smoothed speed, and the time left once it is known.
void progress_window_status_line(const progress_window* pw, uint32_t now, char line[text_capacity]);

// Renders `text` (UTF-8) into `t` with pw's font unless it equals the cached text. A text of 1024
// bytes or more with its NUL is a fatal check.
void render_text(progress_window* pw, text_t* t, const char* text);
