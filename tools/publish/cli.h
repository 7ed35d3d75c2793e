// cli: velm-publish's command line. Each command takes its own options; a malformed line prints
// why and the usage, and exits with status 2.
#pragma once
#include <string>
#include <vector>

#include "publish/build.h"

struct cli_request {
    std::string command;                 // "build", "rollback", ...; empty when the line is refused
    std::vector<std::string> positional; // ROOT, GAME_DIR, ID, FILE...
    build_options options;               // the options given, over their defaults
    std::string error;                   // why the line is refused; "" when it is not
};

// Reads the command line after the program's name.
cli_request parse_command_line(int argc, char** argv);
// Runs what the command line asks; its exit status.
int run_command_line(int argc, char** argv);
