// The message box of a program without a window (velm-publish): none. Every caller has already
// written the text to standard error, which is all such a program shows.
#include "platform/platform.h"

void platform_message_box(platform_box_kind, const char*, const char*) {}
