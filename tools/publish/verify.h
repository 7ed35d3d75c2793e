// verify: checks of what a tree serves and of single files, as a launcher would see them.
#pragma once
#include "publish/io.h"

// Checks the served tree under ROOT as a launcher would, and more: the statement (signed by one
// of `keys_text`, comma-separated, for `channel`), the list it names, every listed .zs (size and
// SHA-1), and every patch (it applies to the content it names as its base, held by a kept tree, and
// makes a listed content). Exit status 0 when all is as signed.
int verify_command(const fs::path& root, const char* keys_text, const std::string& channel,
                   const std::string& link);
// One line per entry of a file list, plain or compressed: "<size> <hash> <name>". A list the
// launcher would refuse is refused with the same report.
int list_command(const char* path);
int hash_command(int count, char** paths); // "<40 hex digits>  <path>", like sha1sum
