// Thin helpers over POSIX calls that several units share: the C library's text for an error
// number, the write of a whole buffer, temporary file names, and directory creation with the
// missing ancestors.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace tessarin {

// An owned file descriptor, closed when it goes (a negative value owns nothing).
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
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

  private:
    int m_fd;
};

// The C library's text for an errno value ("No such file or directory").
std::string error_text(int code);

// What write_all reports when the system accepted nothing without saying why.
inline constexpr int k_wrote_zero = -1;

// Writes all of bytes to fd, retrying after EINTR. 0 when everything was written; else the
// errno of the failed write, or k_wrote_zero when a write returned 0.
int write_all(int fd, std::string_view bytes);

// The text of a write_all failure: error_text, or "failed to write whole buffer" for
// k_wrote_zero.
std::string write_error_text(int code);

// The part of a temporary file name that no other run shares: the process id and random
// digits (the process id and the attempt alone when the random source fails).
std::string unique_temp_part(int attempt);

// Creates dir and every missing ancestor (mode 0777 less the umask), the way `mkdir -p` does.
// Returns 0 when dir is a directory afterwards: made here, already there (also through a
// symbolic link), or made by another process meanwhile. Otherwise the errno of the mkdir that
// failed; a dir that exists as something other than a directory gives EEXIST.
int create_directories(const std::string& dir);

}  // namespace tessarin
