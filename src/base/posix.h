// Thin helpers over POSIX calls that several units share: the owner of a file descriptor, the
// C library's text for an error number, the bounded read and the whole write of a buffer, a
// temporary file of this run's own, and directory creation with the missing ancestors.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <utility>

#include "crypto/core/result.h"
#include "crypto/core/secret.h"

namespace tessarin {

// An owned file descriptor, closed when it goes (a negative value owns nothing).
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Closes what is held and holds fd instead.
    void reset(int fd = -1);
    // Closes what is held now and reports how that went: 0, or the errno of a failed close,
    // which can be the first report of a failed write (network file systems). Holds nothing
    // afterwards.
    int close();

  private:
    int m_fd = -1;
};

// The C library's text for an errno value ("No such file or directory").
std::string error_text(int code);

// Reads fd to its end, retrying after EINTR, into room for limit + 1 bytes taken at once (the
// buffer never moves, so no copy of a secret is left behind): a result longer than limit shows
// input past the limit without reading the rest of it. The errno of a failed read otherwise.
BasicResult<SecretBytes, int> read_up_to(int fd, size_t limit);

// What write_all reports when the system accepted nothing without saying why.
inline constexpr int k_wrote_zero = -1;

// Writes all of bytes to fd, retrying after EINTR. 0 when everything was written; else the
// errno of the failed write, or k_wrote_zero when a write returned 0.
int write_all(int fd, std::string_view bytes);

// The text of a write_all failure: error_text, or "failed to write whole buffer" for
// k_wrote_zero.
std::string write_error_text(int code);

// A file of this run's own, open for writing, made to be given its final name later.
struct TempFile {
    UniqueFd fd;
    std::string name;  // prefix + the process id and random digits + ".tmp"
};

// Creates a new temporary file named prefix + a part no other run shares + ".tmp", relative to
// the directory dir_fd (AT_FDCWD: prefix is a path): write-only, O_EXCL, never through a
// symbolic link, with mode less the umask. Another run creating one beside it at the same time
// never gets the same name. The errno of the failed open otherwise.
BasicResult<TempFile, int> create_temp_file(int dir_fd, const std::string& prefix, mode_t mode);

// Creates dir and every missing ancestor (mode 0777 less the umask), the way `mkdir -p` does.
// Returns 0 when dir is a directory afterwards: made here, already there (also through a
// symbolic link), or made by another process meanwhile. Otherwise the errno of the mkdir that
// failed; a dir that exists as something other than a directory gives EEXIST.
int create_directories(const std::string& dir);

}  // namespace tessarin
