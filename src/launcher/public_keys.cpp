// The vendor's public keys and the keys it revoked, compiled into each launcher executable on
// its own (CMake's VELM_PUBLIC_KEYS and VELM_REVOKED_KEYS), so that launchers with other keys
// share the rest of the build.
#include "launcher/signed_list.h"

const char launcher_public_keys[] = VELM_PUBLIC_KEYS;
const char launcher_revoked_keys[] = VELM_REVOKED_KEYS;
