// names: the file list's names and the temporary names beside every listed file, on the server
// and in game/. The launcher and velm-publish both take them from here.
#pragma once

#include <cstdint>

constexpr const char* list_name = "manifest.dat"; // the file list (decompressed)
constexpr const char* compressed_suffix = ".zs";  // a file as served, one zstd frame
// An install's new content, until it replaces the file.
constexpr const char* set_aside_suffix = ".upd_old";
constexpr const char* statement_suffix = ".sig"; // the signed statement beside what it signs
constexpr const char* list_compressed_name = "manifest.dat.zs";
constexpr const char* list_set_aside_name = "manifest.dat.upd_old";
constexpr const char* statement_name = "manifest.dat.zs.sig";
// Patches: ".patches/<old sha1>-<new sha1>.zst" in a release tree (format/patch.h).
constexpr const char* patch_directory = ".patches";
constexpr const char* patch_suffix = ".zst";
// Chunks of large files: ".chunks/<chunk sha1>.zst" and ".chunks/<file sha1>.index" in a release
// tree (format/chunks.h).
constexpr const char* chunk_directory = ".chunks";
constexpr const char* chunk_suffix = ".zst";
constexpr const char* chunk_index_suffix = ".index";

// The code point that stands for `code` when names are compared as Windows compares them (it
// upper-cases each UTF-16 unit with its simple one-to-one mappings): the smallest of the code
// points that upper-case alike, never longer in UTF-8 than `code`. Past U+FFFF, `code` itself.
int32_t name_fold_code_point(int32_t code);
