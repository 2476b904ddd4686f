"""The binary on a pseudo-terminal, for the tests of what it reads from a person typing."""
import os
import pty
import select
import termios

from conftest import BIN


class Terminal:
    """The binary on a pseudo-terminal (its controlling terminal), driven like a person would."""

    def __init__(self, args, env):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                os.execve(BIN, [BIN, *args], env)
            finally:
                os._exit(127)
        self.output = b""

    def read_until(self, text: bytes, timeout=30):
        while text not in self.output:
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
