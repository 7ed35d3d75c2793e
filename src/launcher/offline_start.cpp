// Whether the installed game starts when the update server cannot be reached or its list is
// refused, compiled into each launcher executable on its own (CMake's VELM_OFFLINE_START), so
// that launchers built both ways share the rest of the build.
#include "launcher/launcher.h"

#ifdef VELM_OFFLINE_START
const bool launcher_offline_start = true;
#else
const bool launcher_offline_start = false;
#endif
