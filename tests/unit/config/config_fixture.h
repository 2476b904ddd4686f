// What the configuration's unit tests share: an environment guard, a valid record and its
// variants, and a temporary XDG_CONFIG_HOME holding the configuration file.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "crypto/core/container.h"
#include "src/config/config.h"
#include "tests/unit/scratch_dir.h"

namespace tessarin::config_test {

// Sets or unsets environment variables for one test and puts the old values back.
class EnvGuard {
  public:
    ~EnvGuard() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }
    void set(const std::string& name, const char* value) {
        const char* old = std::getenv(name.c_str());
        m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            ::setenv(name.c_str(), value, 1);
        else
            ::unsetenv(name.c_str());
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

inline std::string outcome(const Result<std::string>& r) {
    return r.is_error() ? r.error().display() : r.value();
}

template <typename T>
std::string error_of(const Result<T>& r) {
    return r.is_error() ? r.error().display() : std::string("ok");
}

// The fields of a record in writing order, to build variants of a valid record.
using Fields = std::vector<std::pair<std::string, std::string>>;

inline const Fields kValid = {
    {"vault_url", "\"https://vault.example/\""},
    {"vault_gate_pub", "\"" + std::string(64, 'a') + "\""},
    {"vault_id", "\"2a1b2c3d4e5f6071\""},
    {"agent_id", "\"00112233445566778899aabbccddeeff\""},
    {"l2", "\"0f0e0d0c0b0a09080706050403020100\""},
    {"device_id", "\"ffeeddccbbaa99887766554433221100\""},
};

inline std::string object_of(const Fields& fields) {
    std::string out = "{";
    for (const auto& [key, value] : fields) {
        if (out.size() > 1)
            out += ",";
        out += "\"" + key + "\":" + value;
    }
    return out + "}";
}

inline Fields with(Fields fields, const std::string& key, const std::string& value) {
    for (auto& f : fields)
        if (f.first == key) {
            f.second = value;
            return fields;
        }
    fields.emplace_back(key, value);
    return fields;
}

inline Fields without(Fields fields, const std::string& key) {
    std::erase_if(fields, [&](const auto& f) { return f.first == key; });
    return fields;
}

// The names in a directory, "." and ".." left out.
inline std::set<std::string> names_in(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.insert(name);
        }
        ::closedir(d);
    }
    return names;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The record as save_config writes it.
inline std::string json_of(const Config& c) {
    auto json = config_to_json(c);
    return json.is_error() ? "error: " + json.error() : std::string(json.value().expose_text());
}

inline std::string quoted(const std::string& s) {
    return "\"" + s + "\"";
}

// A temporary XDG_CONFIG_HOME for tests that read or write the configuration file.
class ConfigFile : public ::testing::Test {
  protected:
    void SetUp() override { env.set("XDG_CONFIG_HOME", xdg.c_str()); }

    void write_raw(const std::string& bytes, mode_t mode = 0600) {
        ::mkdir(xdg.c_str(), 0700);
        ::mkdir(dir.c_str(), 0700);
        ::unlink(path.c_str());
        std::ofstream(path, std::ios::binary) << bytes;
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    }
    void write_json(const std::string& json, mode_t mode = 0600) {
        auto sealed = seal_container(as_bytes(json));
        ASSERT_FALSE(sealed.is_error());
        write_raw(std::string(sealed.value().begin(), sealed.value().end()), mode);
    }
    std::string read_raw() const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    testing_support::ScratchDir scratch{"config"};
    EnvGuard env;
    const std::string root = scratch.path();
    const std::string xdg = root + "/xdg";
    const std::string dir = xdg + "/tessarin";
    const std::string path = dir + "/config";
};

}  // namespace tessarin::config_test
