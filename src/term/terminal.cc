#include "src/term/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <vector>

#include "crypto/core/utf8.h"
#include "src/base/posix.h"
#include "src/term/input.h"
#include "src/term/output.h"

extern char** environ;

namespace tessarin {

namespace {

// The process-wide note of a termination signal that arrived while a secret was being typed
// with echo off. A signal handler can reach nothing else; it is zero outside that window.
volatile std::sig_atomic_t g_caught_signal = 0;
// A pipe the handler also writes a byte to, so that a wait for input that began just after
// the flag was checked still ends; both ends are -1 outside that window.
volatile std::sig_atomic_t g_wake_write = -1;
int g_wake_read = -1;

extern "C" void note_signal(int signal) {
    g_caught_signal = signal;
    if (g_wake_write >= 0) {
        const char byte = 0;
        ssize_t ignored = ::write(g_wake_write, &byte, 1);
        (void)ignored;
    }
}

// While alive, SIGINT, SIGTERM, SIGHUP and SIGQUIT interrupt the read of a secret instead of
// ending the process, so that echo is switched back on first; the signal is then delivered
// again with the previous disposition by redeliver().
class EchoSignalGuard {
  public:
    EchoSignalGuard() {
        g_caught_signal = 0;
        int wake[2];
        if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) == 0) {
            m_wake_read.reset(wake[0]);
            m_wake_write.reset(wake[1]);
            g_wake_read = wake[0];
            g_wake_write = wake[1];
        }
        for (size_t i = 0; i < k_count; ++i) {
            struct sigaction action {};
            action.sa_handler = note_signal;
            sigemptyset(&action.sa_mask);
            action.sa_flags = 0;  // no SA_RESTART: the blocked read returns EINTR
            m_installed[i] = false;
            if (sigaction(k_signals[i], nullptr, &m_previous[i]) != 0)
                continue;
            if (m_previous[i].sa_handler == SIG_IGN)
                continue;  // an ignored signal stays ignored
            m_installed[i] = sigaction(k_signals[i], &action, nullptr) == 0;
        }
    }
    // The pipe closes after the handler can no longer reach it.
    ~EchoSignalGuard() { restore(); }
    EchoSignalGuard(const EchoSignalGuard&) = delete;
    EchoSignalGuard& operator=(const EchoSignalGuard&) = delete;

    // Puts the previous dispositions back and raises a signal that arrived meanwhile.
    void redeliver() {
        restore();
        int signal = g_caught_signal;
        g_caught_signal = 0;
        if (signal)
            std::raise(signal);
    }

  private:
    void restore() {
        for (size_t i = 0; i < k_count; ++i) {
            if (m_installed[i])
                sigaction(k_signals[i], &m_previous[i], nullptr);
            m_installed[i] = false;
        }
        g_wake_write = -1;
        g_wake_read = -1;
    }
    static constexpr size_t k_count = 4;
    static constexpr int k_signals[k_count] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    struct sigaction m_previous[k_count] {};
    bool m_installed[k_count] = {};
    UniqueFd m_wake_read, m_wake_write;
};

// Waits until standard input has something to read, or a noted signal woke the wait. False
// when the wait ended without input (the caller checks the signal flag again).
bool wait_for_input() {
    if (g_wake_read < 0)
        return true;  // no signal window open: the read itself waits
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_wake_read, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0)
        return errno != EINTR;  // another failure: the read reports it
    return !(fds[1].revents & POLLIN);
}

// The environment of stty: ours without the variables through which the dynamic linker would
// load or audit foreign code (LD_PRELOAD, LD_LIBRARY_PATH, LD_AUDIT, … and the DYLD_ forms).
std::vector<char*> stty_environment() {
    std::vector<char*> env;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        if (entry.substr(0, 3) == "LD_" || entry.substr(0, 5) == "DYLD_")
            continue;
        env.push_back(*e);
    }
    env.push_back(nullptr);
    return env;
}

bool run_stty(const char* program, const char* argument, char* const* env) {
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return false;
    // Standard input is inherited: it is the terminal whose echo changes.
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program, &actions, nullptr, argv, env);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

BasicResult<SecretBytes, LineFault> read_stdin_line(size_t limit) {
    // Room for one byte past the limit, allocated once: the line never moves in memory.
    SecretBytes line(limit + 1);
    size_t length = 0;
    for (;;) {
        if (g_caught_signal)
            return LineFault{LineFault::Kind::Read, EINTR, {}};
        if (!wait_for_input())
            continue;
        uint8_t byte = 0;
        ssize_t n = ::read(STDIN_FILENO, &byte, 1);
        if (n < 0) {
            if (errno == EINTR && !g_caught_signal)
                continue;
            return LineFault{LineFault::Kind::Read, errno, {}};
        }
        if (n == 0 || byte == '\n')
            break;
        if (length == limit)
            return LineFault{LineFault::Kind::TooLong, 0, {}};
        line.expose_secret_mut()[length++] = byte;
    }
    line.truncate(length);
    if (auto fault = utf8_check(line.expose_text()))
        return LineFault{LineFault::Kind::NotUtf8, 0, fault->message()};
    return line;
}

bool set_terminal_echo(bool on) {
    std::vector<char*> env = stty_environment();
    const char* argument = on ? "echo" : "-echo";
    for (const char* program : {"/bin/stty", "/usr/bin/stty"}) {
        if (run_stty(program, argument, env.data()))
            return true;
    }
    return false;
}

Result<SecretBytes> read_hidden(std::string_view prompt, std::string_view warning,
                                const std::function<Result<SecretBytes>()>& read) {
    EchoSignalGuard guard;
    // Echo goes off before the prompt appears, so nothing typed after the prompt is shown.
    const bool echo_off = set_terminal_echo(false);
    write_stderr(prompt);
    if (!echo_off) {
        write_stderr(warning);
        auto line = read();
        guard.redeliver();
        return line;
    }
    auto line = read();
    set_terminal_echo(true);
    write_stderr("\n");  // the typed Enter was not echoed
    guard.redeliver();
    return line;
}

Result<SecretBytes> read_terminal_value(std::string_view option, size_t limit) {
    auto read = [limit]() -> Result<SecretBytes> {
        auto line = read_stdin_line(limit);
        if (line.is_error()) {
            const LineFault fault = line.release_error();
            switch (fault.kind) {
                case LineFault::Kind::TooLong:
                    return input_too_large("stdin", limit);
                case LineFault::Kind::NotUtf8:
                    return input_not_utf8("stdin", fault.decoder_message);
                case LineFault::Kind::Read:
                    break;
            }
            return input_unreadable("stdin", fault.error);
        }
        SecretBytes value = line.release_value();
        // The line feed is gone; a carriage return before it is part of the line end too.
        const std::string_view text = value.expose_text();
        if (!text.empty() && text.back() == '\r')
            value.truncate(text.size() - 1);
        return value;
    };
    return read_hidden("--" + std::string(option) + ": ",
                       "(warning: could not disable terminal echo \u2014 your input will be "
                       "visible)\n",
                       read);
}

}  // namespace tessarin
