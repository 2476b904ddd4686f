#include "src/term/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tessarin {

bool hold_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is this one: the lower ones are open by now.
        int held = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (held != fd) {
            if (held >= 0)
                ::close(held);
            return false;
        }
    }
    return true;
}

bool stdin_readable() {
    int flags = ::fcntl(STDIN_FILENO, F_GETFL);
    return flags != -1 && (flags & O_ACCMODE) != O_WRONLY;
}

}  // namespace tessarin
