// The vendor's public keys, compiled into each launcher executable on its own (CMake's
// VELM_PUBLIC_KEYS), so that launchers with other keys share the rest of the build.
#include "launcher/signed_list.h"

const char launcher_public_keys[] = VELM_PUBLIC_KEYS;
