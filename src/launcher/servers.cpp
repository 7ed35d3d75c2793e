// The update servers, the launcher's own tree, the channels their signed lists name and the
// product each request names, compiled into each launcher executable on its own (CMake's
// velm_launcher_servers), so that launchers with other URLs, channels or versions share the rest
// of the build.
#include "launcher/launcher.h"

const char launcher_update_urls[] = VELM_UPDATE_URL;
const char launcher_channel[] = VELM_CHANNEL;
const char launcher_own_urls[] = VELM_LAUNCHER_URL;
const char launcher_own_channel[] = VELM_LAUNCHER_CHANNEL;
const char launcher_user_agent[] = VELM_USER_AGENT;
