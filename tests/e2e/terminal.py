"""The binary on a pseudo-terminal, for the tests of what it reads from a person typing."""
import os
import pty
import select
import signal
import termios

from conftest import BIN


class Terminal:
    """The binary on a pseudo-terminal (its controlling terminal), driven like a person would."""

    def __init__(self, args, env, echo=True, job_control=False):
        """echo=False: the terminal's echo is off before the binary starts. job_control: the
        binary runs as a job of a minimal shell on the terminal, which Ctrl-Z stops (the shell
        then writes STOPPED) and a typed "fg" line continues in the foreground."""
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                if not echo:
                    attrs = termios.tcgetattr(0)
                    attrs[3] &= ~termios.ECHO
                    termios.tcsetattr(0, termios.TCSANOW, attrs)
                if job_control:
                    _shell(args, env)
                os.execve(BIN, [BIN, *args], env)
            finally:
                os._exit(127)
        self.output = b""

    def read_until(self, text: bytes, timeout=30, since=0):
        """Reads until text appears in the output after its first `since` bytes."""
        while text not in self.output[since:]:
            ready, _, _ = select.select([self.fd], [], [], timeout)
            assert ready, "no %r in %r" % (text, self.output)
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:
                chunk = b""
            assert chunk, "ended before %r: %r" % (text, self.output)
            self.output += chunk

    def echo_on(self) -> bool:
        return bool(termios.tcgetattr(self.fd)[3] & termios.ECHO)

    def type(self, text: bytes):
        os.write(self.fd, text)

    def finish(self, timeout=30):
        """Reads to the end and returns the wait status."""
        while True:
            ready, _, _ = select.select([self.fd], [], [], timeout)
            assert ready, "still running: %r" % self.output
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            self.output += chunk
        _, status = os.waitpid(self.pid, 0)
        return status


STOPPED = b"[job stopped]"


def _foreground(pgrp):
    """Gives the terminal to a process group (as a shell does, with SIGTTOU ignored)."""
    previous = signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    os.tcsetpgrp(0, pgrp)
    signal.signal(signal.SIGTTOU, previous)


def _shell(args, env):
    """Runs the binary as a foreground job, the way a job-control shell does: in a process
    group of its own that holds the terminal, so that Ctrl-Z stops it. Never returns."""
    pid = os.fork()
    if pid == 0:
        os.setpgid(0, 0)
        _foreground(os.getpgrp())
        os.execve(BIN, [BIN, *args], env)
    os.setpgid(pid, pid)
    _foreground(pid)
    while True:
        _, status = os.waitpid(pid, os.WUNTRACED)
        if not os.WIFSTOPPED(status):
            break
        _foreground(os.getpgrp())
        os.write(1, STOPPED + b"\n")
        while os.read(0, 1024).strip() != b"fg":
            pass
        _foreground(pid)
        os.kill(-pid, signal.SIGCONT)
    os._exit(os.WEXITSTATUS(status) if os.WIFEXITED(status) else 128 + os.WTERMSIG(status))
