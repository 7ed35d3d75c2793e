// report: what a vendor reads about the releases under ROOT; writes nothing.
#pragma once
#include <string>

#include "publish/io.h"

// The live release: id, label, sequence and expiry, files and bytes, patches.
int status_command(const fs::path& root);
// Every kept release, newest first: id, live or not, sequence, signed or not, files, label.
int releases_command(const fs::path& root);
// What changes from release `a` to release `b` (ids, numbers or "live"): the files added,
// removed and changed, with their sizes.
int diff_command(const fs::path& root, const std::string& a, const std::string& b);
