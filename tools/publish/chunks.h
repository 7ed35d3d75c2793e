// chunks: a file larger than a patch may be (--patch-max-size) is cut into content-defined chunks
// (format/chunks.h), so that a launcher holding any older version of it fetches only the chunks
// it lacks.
//
// Each distinct chunk is stored once in the release's .chunks/, hard-linked from a kept tree that
// holds it already (so a chunk is compressed once, when its bytes first appear, and goes with
// the last tree that links it), and each version of the file gets its index there. The file's
// .zs is then its chunks' frames one after another, which decompress as one stream: the whole
// file costs no second compression.
#pragma once
#include <string>

#include "publish/patches.h"

// Whether `file` is cut into chunks in the release the plan builds.
bool is_chunked(const patch_plan& plan, const published_file& file);
// Cuts `file` into chunks, stores those the release lacks and writes its index; with `zs`, also
// the file's .zs made of them. *note is for its progress line. False, with the reason in
// *error, when the file cannot be read or changed while it was read, or a chunk cannot be written.
bool publish_chunks(patch_plan* plan, const published_file& file, const fs::path* zs,
                    std::string* note, std::string* error);
// For a chunked file whose .zs came from the live tree: the live tree's index and chunks of it,
// hard-linked; made anew when the live tree lacks them.
bool carry_chunks(patch_plan* plan, const published_file& file, std::string* note,
                  std::string* error);
// Checks the index of every chunked file of `list` in the tree `dir` and each chunk it names
// (each decompresses to its name's SHA-1, and in the index's order to the listed file); prints
// one line per index and returns the number of bad ones.
size_t verify_chunks(const fs::path& dir, const game_file_table& list);
