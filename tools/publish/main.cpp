// velm-publish: turns a game directory into the update server's tree, shows and manages the
// releases there, and inspects file lists and files. Its parts, under tools/publish/:
//   cli      the command line: commands, options, usage
//   build    a release from a game directory, or from a kept release (rollback); the switch
//   tree     ROOT's layout: releases, their records, the sequence, the live link, pruning
//   patches  patches from the versions the kept trees hold
//   chunks   large files cut into chunks shared across files and versions
//   signing  keys and the statement that signs a release's list
//   verify   checks of a served tree, a file list, files
//   report   status, releases and diff
//   io       files, hashing, zstd frames, failure reports
// Every failure prints "velm-publish: ..." and exits with status 1; a publish that fails or is
// killed leaves the live tree as it was.
#include <cstdio>

#include "publish/cli.h"

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return run_command_line(argc - 1, argv + 1);
}
