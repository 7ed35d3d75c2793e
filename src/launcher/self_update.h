// self_update: the launcher keeps its own files current (its executable, curl-ca-bundle.crt and
// the font), from a tree of their own that the vendor publishes beside the game's
// (`velm-publish build --link launcher-windows`), with its own list, its own statement for its
// own channel and its own sequence. The design is at the top of self_update.cpp.
#pragma once
#include <vector>

#include "format/signature.h"

// At start, once the single-instance lock is held and before the font is opened: the successor
// of a self-update (`successor`) puts the new files in place, its own executable last; any other
// run removes what an interrupted self-update left. `instance_name` is the lock's, which a
// handover passes on. Main thread.
void self_update_settle(const char* instance_name, bool successor);

// Starts the check of the launcher's own files on a thread of its own, so that its requests go
// out with the game's list's; `recorded` are the highest sequences of the launcher's own lists
// installed before, per key. Does nothing in a run that must not check (no tree for the
// launcher's files was built in, or this run is the successor of a self-update). Coordinator.
void self_update_start(const std::vector<key_sequence>& recorded);

// Waits for the check. When a file of the launcher's own differs, fetches it, checks it and
// writes it beside the old one, then hands over to the new launcher: this one does not return.
// Returns when this launcher goes on: its files are current, or the self-update failed (logged).
// Coordinator, before anything of the game's list is used.
void self_update_finish();

// The highest sequences of the launcher's own lists, per key, for the record. Coordinator.
const std::vector<key_sequence>& self_update_sequences();

// What became of the launcher's own files in this run, for the summary line: "off" (no tree for
// them built in), "current", "new" (this run is the new version), "unchecked" (the check failed,
// logged) or "failed" (the new version could not be written or started). Any thread.
const char* self_update_outcome();
