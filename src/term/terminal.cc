#include "src/term/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "crypto/core/utf8.h"
#include "src/base/posix.h"
#include "src/term/input.h"
#include "src/term/output.h"

namespace tessarin {

namespace {

// The process-wide notes of signals that arrived while a secret was being typed with echo off.
// A signal handler can reach nothing else; they are zero outside that window.
volatile std::sig_atomic_t g_caught_signal = 0;  // a termination signal
volatile std::sig_atomic_t g_stop_asked = 0;     // SIGTSTP: the user suspends the job
volatile std::sig_atomic_t g_continued = 0;      // SIGCONT: the job runs again
// A pipe the handlers also write a byte to, so that a wait for input that began just after
// the flags were checked still ends; both ends are -1 outside that window.
volatile std::sig_atomic_t g_wake_write = -1;
int g_wake_read = -1;

void wake() {
    if (g_wake_write >= 0) {
        const char byte = 0;
        ssize_t ignored = ::write(g_wake_write, &byte, 1);
        (void)ignored;
    }
}

extern "C" void note_signal(int signal) {
    g_caught_signal = signal;
    wake();
}

extern "C" void note_stop(int) {
    g_stop_asked = 1;
    wake();
}

extern "C" void note_continue(int) {
    g_continued = 1;
    wake();
}

// Installs handler for signal unless the signal is ignored (an ignored signal stays ignored);
// true when it was installed, with the previous disposition in previous.
bool install(int signal, void (*handler)(int), struct sigaction& previous) {
    if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
        return false;
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the blocked wait returns EINTR
    return sigaction(signal, &action, nullptr) == 0;
}

// While alive, SIGINT, SIGTERM, SIGHUP and SIGQUIT interrupt the read of a secret instead of
// ending the process, so that the terminal is put back first; the signal is then delivered
// again with the previous disposition by redeliver(). SIGTSTP and SIGCONT are noted for the
// read's loop, which suspends and resumes the prompt (HiddenPrompt).
class EchoSignalGuard {
  public:
    EchoSignalGuard() {
        g_caught_signal = 0;
        g_stop_asked = 0;
        g_continued = 0;
        int wake[2];
        if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) == 0) {
            m_wake_read.reset(wake[0]);
            m_wake_write.reset(wake[1]);
            g_wake_read = wake[0];
            g_wake_write = wake[1];
        }
        for (size_t i = 0; i < k_count; ++i)
            m_installed[i] = install(k_signals[i], handler(k_signals[i]), m_previous[i]);
    }
    // The pipe closes after the handlers can no longer reach it.
    ~EchoSignalGuard() { restore(); }
    EchoSignalGuard(const EchoSignalGuard&) = delete;
    EchoSignalGuard& operator=(const EchoSignalGuard&) = delete;

    // Puts the previous dispositions back and raises a termination signal that arrived
    // meanwhile.
    void redeliver() {
        restore();
        int signal = g_caught_signal;
        g_caught_signal = 0;
        if (signal)
            std::raise(signal);
    }

  private:
    static void (*handler(int signal))(int) {
        switch (signal) {
            case SIGTSTP:
                return note_stop;
            case SIGCONT:
                return note_continue;
            default:
                return note_signal;
        }
    }
    void restore() {
        for (size_t i = 0; i < k_count; ++i) {
            if (m_installed[i])
                sigaction(k_signals[i], &m_previous[i], nullptr);
            m_installed[i] = false;
        }
        g_wake_write = -1;
        g_wake_read = -1;
        g_stop_asked = 0;
        g_continued = 0;
    }
    static constexpr size_t k_count = 6;
    static constexpr int k_signals[k_count] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT};
    struct sigaction m_previous[k_count] {};
    bool m_installed[k_count] = {};
    UniqueFd m_wake_read, m_wake_write;
};

// Stops the process as SIGTSTP's default action would, and returns when it is continued. Our
// handler is put back afterwards.
void stop_job() {
    struct sigaction ours {
    }, stop{};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTSTP, &stop, &ours);
    std::raise(SIGTSTP);
    sigaction(SIGTSTP, &ours, nullptr);
}

bool in_foreground() {
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground >= 0 && foreground == getpgrp();
}

// A prompt for a secret on the terminal of standard input: the terminal's settings as they
// were before it, and echo off while it is up. Every way out (a line read, a failure, a
// termination signal, a suspension of the job) puts back exactly the settings it found.
class HiddenPrompt {
  public:
    explicit HiddenPrompt(std::string_view prompt) : m_prompt(prompt) {
        m_saved_valid = tcgetattr(STDIN_FILENO, &m_saved) == 0;
    }
    ~HiddenPrompt() { restore(); }
    HiddenPrompt(const HiddenPrompt&) = delete;
    HiddenPrompt& operator=(const HiddenPrompt&) = delete;

    // Switches echo off, before the prompt appears, so nothing typed after it is shown. False
    // when the terminal's settings cannot be read or changed.
    bool hide() {
        if (!m_saved_valid)
            return false;
        termios hidden = m_saved;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
        m_hidden = tcsetattr(STDIN_FILENO, TCSADRAIN, &hidden) == 0;
        return m_hidden;
    }
    void show_prompt() const { write_stderr(m_prompt); }

    // The settings found before the prompt, back in place.
    void restore() {
        if (!m_hidden)
            return;
        // Put back even from the background: SIGTTOU would stop us with echo still off.
        sigset_t ttou, previous;
        sigemptyset(&ttou);
        sigaddset(&ttou, SIGTTOU);
        pthread_sigmask(SIG_BLOCK, &ttou, &previous);
        tcsetattr(STDIN_FILENO, TCSADRAIN, &m_saved);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        m_hidden = false;
    }

    // Ctrl-Z: the terminal goes back to how it was, and the job stops as it would have without
    // us. When it runs again in the foreground, echo goes off and the prompt is shown again
    // (the line typed so far went with the suspension).
    void suspend() {
        restore();
        write_stderr("\n");
        stop_job();
        resume();
    }

    // The job runs again: hidden again if it is in the foreground; in the background a read
    // stops it (SIGTTIN) until it is brought back, and SIGCONT brings us here again.
    void resume() {
        g_continued = 0;
        if (!in_foreground() || m_hidden)
            return;
        if (hide())
            show_prompt();
    }

  private:
    std::string_view m_prompt;
    termios m_saved{};
    bool m_saved_valid = false;
    bool m_hidden = false;
};

// The prompt the read in progress belongs to, for the read's loop to suspend and resume; null
// when no secret is being typed. Set and read outside signal handlers only.
HiddenPrompt* g_prompt = nullptr;

// Suspends or resumes the prompt of the read in progress when job control asked for it.
void follow_job_control() {
    if (g_stop_asked) {
        g_stop_asked = 0;
        if (g_prompt)
            g_prompt->suspend();
        else
            stop_job();  // echo was never switched off: nothing to put back
    }
    if (g_continued) {
        g_continued = 0;
        if (g_prompt)
            g_prompt->resume();
    }
}

// Waits until standard input has something to read, or a noted signal woke the wait. False
// when the wait ended without input (the caller checks the signal flags again).
bool wait_for_input() {
    if (g_wake_read < 0)
        return true;  // no signal window open: the read itself waits
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_wake_read, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0)
        return errno != EINTR;  // another failure: the read reports it
    if (fds[1].revents & POLLIN) {
        char drained[16];
        while (::read(g_wake_read, drained, sizeof drained) > 0) {
        }
        return false;
    }
    return true;
}

}  // namespace

BasicResult<SecretBytes, LineFault> read_stdin_line(size_t limit) {
    // Room for one byte past the limit, allocated once: the line never moves in memory.
    SecretBytes line(limit + 1);
    size_t length = 0;
    for (;;) {
        if (g_caught_signal)
            return LineFault{LineFault::Kind::Read, EINTR, {}};
        follow_job_control();
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

Result<SecretBytes> read_hidden(std::string_view prompt, std::string_view warning,
                                const std::function<Result<SecretBytes>()>& read) {
    EchoSignalGuard guard;
    HiddenPrompt hidden(prompt);
    if (!hidden.hide()) {
        hidden.show_prompt();
        write_stderr(warning);
        auto line = read();
        guard.redeliver();
        return line;
    }
    hidden.show_prompt();
    g_prompt = &hidden;
    auto line = read();
    g_prompt = nullptr;
    hidden.restore();
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
