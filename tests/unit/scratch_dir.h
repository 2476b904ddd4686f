// A directory of one test's own under /tmp, removed with everything in it when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tessarin::testing_support {

class ScratchDir {
  public:
    // /tmp/tessarin-<name>-XXXXXX, made new.
    explicit ScratchDir(const std::string& name) {
        std::string pattern = "/tmp/tessarin-" + name + "-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("cannot make a scratch directory from " + pattern);
        m_path = pattern;
    }
    ~ScratchDir() {
        std::error_code error;
        std::filesystem::remove_all(m_path, error);
        if (error)
            ADD_FAILURE() << "removing " << m_path << ": " << error.message();
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return m_path; }

  private:
    std::string m_path;
};

}  // namespace tessarin::testing_support
