// progress_window: the launcher's window. Once a frame, with `mut` held, the frame loop updates
// the download statistics and draws the frame.
#pragma once
#include <SDL.h>
#include <SDL_ttf.h>

constexpr int window_width = 600;
constexpr int window_height = 300;

// What the main thread owns for drawing. Any of window, renderer and font may be null (start-up
// failed to make it): the frame then goes on without it.
struct progress_window {
    SDL_Window* window;
    SDL_Renderer* renderer;
    TTF_Font* font;
};

void progress_window_start(progress_window* pw); // just before the first frame
void progress_window_frame(progress_window* pw); // with `mut` held
void progress_window_release(progress_window* pw); // at shutdown
