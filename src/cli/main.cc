// tessarin-cli: the command-line client of a Tessarin vault.
#include <malloc.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <csignal>
#include <new>

#include "src/cli/dispatch.h"
#include "src/term/output.h"
#include "src/term/process_guard.h"
#include "src/term/standard_descriptors.h"

namespace {

// An allocation that fails anywhere ends the command with a coded error, never an abort. The
// process stops right here rather than unwinding: freeing a large JSON document allocates
// (its destructor walks the tree with a stack of its own), so unwinding from a failed
// allocation can fail again inside a destructor, which aborts.
[[noreturn]] void out_of_memory() {
    tessarin::print_out_of_memory();
    _exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    std::set_new_handler(out_of_memory);
    // Before any file is opened: a closed standard descriptor must not be taken by the first
    // file the program opens (a secret file read as standard input, a result written into a
    // file).
    if (!tessarin::hold_standard_descriptors()) {
        static constexpr char k_message[] =
            "tessarin-cli: a standard descriptor is closed and /dev/null cannot hold it\n";
        ssize_t ignored = ::write(STDERR_FILENO, k_message, sizeof k_message - 1);
        (void)ignored;
        return 1;
    }
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
