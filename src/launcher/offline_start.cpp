// Constants compiled into each launcher executable on its own, so that launchers built both ways
// share the rest of the build: whether the installed game starts when the update server cannot
// be reached or its list is refused (CMake's VELM_OFFLINE_START), whether every start reads every
// file as the launcher once did (VELM_VERIFY_EVERY_START); and, which only a test launcher sets,
// shorter: the window over which a transfer's rate is judged (VELM_RATE_WINDOW_MS), how long an
// attempt may receive nothing (VELM_STALL_SECONDS), and a divisor of every pause
// (VELM_PAUSE_DIVISOR: the pauses before another attempt, before the game starts, before the end).
#include "launcher/launcher.h"

#ifdef VELM_OFFLINE_START
const bool launcher_offline_start = true;
#else
const bool launcher_offline_start = false;
#endif

#ifdef VELM_VERIFY_EVERY_START
const bool launcher_verify_every_start = true;
#else
const bool launcher_verify_every_start = false;
#endif

#ifdef VELM_RATE_WINDOW_MS
const uint32_t launcher_rate_window_ms = VELM_RATE_WINDOW_MS;
#else
const uint32_t launcher_rate_window_ms = rate_window_ms;
#endif

#ifdef VELM_STALL_SECONDS
const long launcher_stall_seconds = VELM_STALL_SECONDS;
#else
const long launcher_stall_seconds = stall_seconds;
#endif

#ifdef VELM_PAUSE_DIVISOR
const uint32_t launcher_pause_divisor = VELM_PAUSE_DIVISOR;
#else
const uint32_t launcher_pause_divisor = 1;
#endif
