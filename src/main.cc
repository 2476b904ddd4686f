// tessarin-cli: the command-line client of a Tessarin vault.
#include <malloc.h>
#include <openssl/crypto.h>

#include <csignal>

#include "src/dispatch.h"
#include "src/process_guard.h"

int main(int argc, char** argv) {
    // Before anything secret is in memory: no core file, no same-user tracing.
    tessarin::guard_process();
    // A write to a closed pipe must fail with EPIPE (and end the process quietly with
    // status 0, see write_stdout) instead of killing it by signal.
    std::signal(SIGPIPE, SIG_IGN);
#ifdef M_ARENA_MAX
    // One malloc arena: the thread that resolves a gate's host name makes a few small
    // allocations, which would otherwise open an arena of its own (64 MB of address space
    // and pages of its own, half used, for a few kilobytes).
    mallopt(M_ARENA_MAX, 1);
#endif
    // The process ends right after its one command: freeing OpenSSL's tables one by one at
    // exit (a twentieth of a lookup's instructions) only to hand the memory back to the
    // system is work for nothing. Keys are wiped when the program drops them, not at exit.
    // This must be the library's first initialisation to take effect.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    return tessarin::run_program(argc, argv);
}
