// velm-publish: turns a game directory into the update server's tree, and inspects file lists
// and files.
//
//   velm-publish list FILE        one line per entry of a decompressed file list
//   velm-publish hash FILE...     SHA-1 of each file, as sha1sum prints it
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "manifest.h"
#include "utils.h"

namespace {

int usage() {
    fprintf(stderr, "usage: velm-publish list FILE\n"
                    "       velm-publish hash FILE...\n");
    return 2;
}

// Reads the list as the launcher would: a malformed list is refused with the same report.
int list_command(const char* path) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr) {
        perror(path);
        return 1;
    }
    game_file_table table;
    parse_manifest(f, &table);
    fclose(f);
    for (const game_file_t& file : table.files)
        printf("%" PRIu64 " %s %s\n", file.size, file.hash, file.name);
    return 0;
}

int hash_command(int count, char** paths) {
    for (int i = 0; i < count; ++i) {
        char* digest = compute_file_hash(paths[i]);
        printf("%s  %s\n", digest, paths[i]);
        free(digest);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "list") == 0 && argc == 3)
        return list_command(argv[2]);
    if (argc >= 3 && strcmp(argv[1], "hash") == 0)
        return hash_command(argc - 2, argv + 2);
    return usage();
}
