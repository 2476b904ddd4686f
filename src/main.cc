// tessarin-cli: the command-line client of a Tessarin vault.
#include <csignal>

#include "src/dispatch.h"

int main(int argc, char** argv) {
    // A write to a closed pipe must fail with EPIPE (and end the process quietly with
    // status 0, see write_stdout) instead of killing it by signal.
    std::signal(SIGPIPE, SIG_IGN);
    return tessarin::run_program(argc, argv);
}
