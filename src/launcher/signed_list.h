// signed_list: the launcher's fetch of a signed file list (coordinator thread): the statement,
// then the list, each checked (format/signature.h) before anything of the list is read.
#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "format/signature.h"

#include "launcher/launcher.h"

// The public keys the launcher was built with, comma-separated (empty: no signature is asked
// for), and the keys it never trusts. Defined in src/launcher/public_keys.cpp, which each
// launcher executable compiles with its own.
extern const char launcher_public_keys[];
extern const char launcher_revoked_keys[];

// Fetches the statement and then the file list into `list_job`'s body, and checks them with
// `keys` and `revoked` for `channel` against the highest sequences accepted before, `*accepted`;
// a statement and list that do not match are fetched again once. The list's answer is cut at
// its statement's list-length, and never passes `list_job`'s `max_body` (0: list_answer_limit). On
// acceptance the signer's highest in `*accepted` is the list's sequence. A list that is refused, or
// a server that fails, gives `failed` with update_failure saying why in the player's words; nothing
// in game/ was changed.
fetch_result fetch_signed_list(job_t* list_job, std::string_view keys, std::string_view revoked,
                               std::string_view channel, std::vector<key_sequence>* accepted);
