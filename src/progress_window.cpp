#include "progress_window.h"

#include "launcher.h"

void progress_window_start(progress_window* pw) {
    if (pw->renderer != nullptr)
        SDL_SetRenderDrawBlendMode(pw->renderer, SDL_BLENDMODE_BLEND);
}

void progress_window_frame(progress_window* pw) {
    if (pw->renderer == nullptr)
        return;
    SDL_SetRenderDrawColor(pw->renderer, 40, 40, 40, 255);
    SDL_RenderClear(pw->renderer);
}

void progress_window_release(progress_window*) {}
