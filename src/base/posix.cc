#include "src/base/posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "crypto/core/base64.h"
#include "crypto/core/random.h"

namespace tessarin {

namespace {

// The part of a temporary file name that no other run shares: the process id and random
// digits (the process id and the attempt alone when the random source fails).
std::string unique_temp_part(int attempt) {
    std::array<uint8_t, 8> random{};
    std::string out = std::to_string(::getpid()) + ".";
    if (random_fill_os(random).is_error())
        return out + std::to_string(attempt);
    return out + hex_encode(random);
}

}  // namespace

void UniqueFd::reset(int fd) {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

int UniqueFd::close() {
    if (m_fd < 0)
        return 0;
    const int rc = ::close(std::exchange(m_fd, -1));
    return rc == 0 ? 0 : errno;
}

std::string error_text(int code) {
    return OsError{code}.text();
}

BasicResult<SecretBytes, int> read_up_to(int fd, size_t limit) {
    SecretBytes data(limit + 1);
    uint8_t* const room = data.expose_secret_mut().data();
    size_t length = 0;
    while (length <= limit) {
        ssize_t n = ::read(fd, room + length, limit + 1 - length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            break;
        length += static_cast<size_t>(n);
    }
    data.truncate(length);
    return data;
}

int write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return k_wrote_zero;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

std::string write_error_text(int code) {
    return code == k_wrote_zero ? std::string("failed to write whole buffer") : error_text(code);
}

BasicResult<TempFile, int> create_temp_file(int dir_fd, const std::string& prefix, mode_t mode) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    // A name already taken (by a run with the same process id, or when the random source
    // failed) is tried again under another; any other failure ends the attempts.
    int error = EEXIST;
    for (int attempt = 0; attempt < 8 && error == EEXIST; ++attempt) {
        std::string name = prefix + unique_temp_part(attempt) + ".tmp";
        UniqueFd fd(::openat(dir_fd, name.c_str(), flags, mode));
        if (fd.valid())
            return TempFile{std::move(fd), std::move(name)};
        error = errno;
    }
    return error;
}

int create_directories(const std::string& dir) {
    if (dir.empty())
        return 0;
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (!error)
        return 0;
    // The library calls something other than a directory at dir itself "not a directory", as
    // it does an ancestor that is no directory; mkdir calls the first EEXIST.
    struct stat st {};
    if (error == std::errc::not_a_directory && ::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : EEXIST;
    return error.value();
}

}  // namespace tessarin
