// report: what a vendor reads about the releases under ROOT (of the link `link`); writes nothing.
#pragma once
#include <string>

#include "publish/tree.h"

// The live release: id, label, sequence and expiry, files and bytes, patches.
int status_command(const fs::path& root, const std::string& link = live_link_name);
// Every kept release, newest first: id, live or not, sequence, signed or not, files, label.
int releases_command(const fs::path& root, const std::string& link = live_link_name);
// What changes from release `a` to release `b` (ids, numbers or "live"): the files added,
// removed and changed, with their sizes.
int diff_command(const fs::path& root, const std::string& a, const std::string& b,
                 const std::string& link = live_link_name);
