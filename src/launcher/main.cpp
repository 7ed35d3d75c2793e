// The launcher's entry point: start-up, the frame loop and shutdown, in a fixed order.
#include <SDL.h>
#include <SDL_image.h>
#include <SDL_ttf.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "launcher/launcher.h"
#include "launcher/progress_window.h"
#include "launcher/self_update.h"
#include "platform/platform.h"
#include "support/fileops.h"
#include "support/utils.h"

namespace {

// Each executable's own (CMake's velm_launcher_keys): one lock per product, so that the
// launchers of two games, or of a live and a beta build, run side by side.
constexpr const char* instance_name = VELM_INSTANCE_NAME;
constexpr const char* product_name = VELM_LAUNCHER_PRODUCT;
constexpr const char* window_title = "VELM Launcher";
constexpr const char* font_file = font_name;
constexpr int font_points = 14;
constexpr uint32_t frame_delay_ms = 33;
constexpr size_t reason_size = 4096;
constexpr const char* log_name = "launcher.log"; // beside the executable

// With the system's display scaling (Windows), the window's size is in points and the renderer
// draws in the monitor's pixels: scale the drawing so that the layout's coordinates (points)
// fill the window at any scale and on any monitor. Elsewhere both sizes agree: scale 1.
void match_render_scale(SDL_Window* window, SDL_Renderer* renderer) {
    int window_w = 0;
    int window_h = 0;
    int output_w = 0;
    int output_h = 0;
    SDL_GetWindowSize(window, &window_w, &window_h);
    if (SDL_GetRendererOutputSize(renderer, &output_w, &output_h) != 0 || window_w <= 0 ||
        window_h <= 0)
        return;
    SDL_RenderSetScale(renderer, static_cast<float>(output_w) / static_cast<float>(window_w),
                       static_cast<float>(output_h) / static_cast<float>(window_h));
}

// The status line says which file a change waits for (fileops_waiting_for).
void show_waiting(const char* path) {
    if (path != nullptr)
        show_notice(0, "Waiting for %s, which another program holds open", path);
    else
        show_notice(0, "%s", "");
}

} // namespace

int main(int argc, char** argv) {
    // A self-update starts the new launcher with the arguments and directory this one had.
    platform_remember_start(argc, argv);
    // Before any file is touched: the font, curl-ca-bundle.crt and game/ are beside the
    // executable, whatever directory the launcher was started from.
    char reason[reason_size];
    if (!platform_enter_executable_directory(reason, sizeof reason))
        PANIC("%s", reason);
    platform_unbuffer_stdout();

    bool successor = false;
    if (!platform_acquire_single_instance(instance_name, &successor)) {
        char text[reason_size];
        snprintf(text, sizeof text, "%s is already running.", product_name);
        fprintf(stderr, "%s\n", text);
        platform_message_box(platform_box_information, "Information", text);
        exit(0);
    }
    // Only the instance that works writes the log: a second one would cut into its lines.
    if (!log_open(log_name))
        log_printf("cannot write %s: %s\n", log_name, strerror(errno));
    log_printf("launcher %s\n", launcher_user_agent);
    // Before the font is opened: the new files of a self-update take their place.
    self_update_settle(instance_name, successor);

    // Windows: the process is aware of each monitor's scaling (the manifest says so too) and
    // SDL sizes the window in points, so that at 125-200 % it keeps its usual size and is drawn
    // in the screen's own pixels rather than stretched by the system. Other systems ignore both
    // hints.
    SDL_SetHint(SDL_HINT_WINDOWS_DPI_AWARENESS, "permonitorv2");
    SDL_SetHint(SDL_HINT_WINDOWS_DPI_SCALING, "1");
    SDL_Window* window = nullptr;
    if (SDL_Init(SDL_INIT_VIDEO) < 0) {
        log_printf("SDL could not initialize! SDL_Error: %s\n", SDL_GetError());
    } else {
        window = SDL_CreateWindow(
            window_title, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, window_width,
            window_height, SDL_WINDOW_SHOWN | SDL_WINDOW_BORDERLESS | SDL_WINDOW_ALLOW_HIGHDPI);
        if (window == nullptr)
            log_printf("Window could not be created! SDL_Error: %s\n", SDL_GetError());
    }
    SDL_Renderer* renderer = window != nullptr ? SDL_CreateRenderer(window, -1, 0) : nullptr;
    if (IMG_Init(IMG_INIT_PNG) != IMG_INIT_PNG)
        log_printf("IMG_Init error: %s\n", SDL_GetError());
    TTF_Init();
    TTF_Font* font = TTF_OpenFont(font_file, font_points);
    mut = SDL_CreateMutex();
    jobs_changed = SDL_CreateCond();
    CHECK(mut != nullptr && jobs_changed != nullptr);
    before_fatal_report = [] { print_summary("failed"); };
    fileops_waiting_for = show_waiting;
    download_init();

    workers_count = worker_count_for(SDL_GetCPUCount());
    app_start_tick = SDL_GetTicks();
    for (int i = 0; i < workers_count; ++i) {
        workers[i].id = i;
        workers[i].thread = SDL_CreateThread(worker_fn, "worker", &workers[i]);
    }
    transfer_thr = SDL_CreateThread(transfer_thread_fn, "transfers", nullptr);
    main_worker_thr = SDL_CreateThread(main_worker_fn, "main_worker", nullptr);

    progress_window window_state{window, renderer, font};
    progress_window_start(&window_state, SDL_GetTicks());
    while (running.load()) {
        if (renderer != nullptr)
            match_render_scale(window, renderer);
        SDL_LockMutex(mut);
        progress_window_frame(&window_state);
        SDL_UnlockMutex(mut);
        if (renderer != nullptr)
            SDL_RenderPresent(renderer);
        // Drain the whole queue, even after a quit event.
        SDL_Event event;
        while (SDL_PollEvent(&event))
            if (event.type == SDL_QUIT)
                running.store(false);
        SDL_Delay(frame_delay_ms);
    }

    for (int i = 0; i < workers_count; ++i)
        SDL_WaitThread(workers[i].thread, nullptr);
    SDL_WaitThread(main_worker_thr, nullptr);
    SDL_WaitThread(transfer_thr, nullptr);
    download_cleanup();
    SDL_DestroyCond(jobs_changed);
    SDL_DestroyMutex(mut);
    progress_window_release(&window_state);
    if (font != nullptr)
        TTF_CloseFont(font);
    TTF_Quit();
    IMG_Quit();
    if (renderer != nullptr)
        SDL_DestroyRenderer(renderer);
    if (window != nullptr)
        SDL_DestroyWindow(window);
    SDL_Quit();
    return 0;
}
