// tessarin-cli: the command-line client of a Tessarin vault.
#include <csignal>

#include "src/dispatch.h"
#include "src/process_guard.h"

int main(int argc, char** argv) {
    // Before anything secret is in memory: no core file, no same-user tracing.
    tessarin::guard_process();
    // A write to a closed pipe must fail with EPIPE (and end the process quietly with
    // status 0, see write_stdout) instead of killing it by signal.
    std::signal(SIGPIPE, SIG_IGN);
    return tessarin::run_program(argc, argv);
}
