// The POSIX message box, through SDL: linked into the launcher alone. A program without a
// window (velm-publish) defines platform_message_box itself, so that it links no SDL.
#include "platform/platform.h"

#include <SDL.h>

void platform_message_box(platform_box_kind kind, const char* caption, const char* text) {
    Uint32 flags = kind == platform_box_error ? SDL_MESSAGEBOX_ERROR : SDL_MESSAGEBOX_INFORMATION;
    // Fails at once without a display; the caller has already written the text elsewhere.
    SDL_ShowSimpleMessageBox(flags, caption, text, nullptr);
}
