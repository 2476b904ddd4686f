// JSON documents from standard input (put --json, memory create --json): parsed with a nesting
// limit, with failures that name positions and kinds, never the text (it may hold secrets).
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

#include "crypto/core/result.h"

namespace tessarin {

// Deeper documents are refused: copying and writing JSON recurse once per level.
inline constexpr size_t k_max_input_depth = 64;

// One JSON document (white space around it only). Messages: "syntax error at line 1, column 7",
// "EOF while parsing a value at line 2, column 1", "trailing characters at line 1, column 3",
// "nesting deeper than 64 levels at line 1, column 65".
BasicResult<nlohmann::json, std::string> parse_json_input(std::string_view text);

// Wipes the string values of a parsed document when it goes out of scope.
class JsonWipeGuard {
  public:
    explicit JsonWipeGuard(nlohmann::json& value) : m_value(value) {}
    ~JsonWipeGuard();
    JsonWipeGuard(const JsonWipeGuard&) = delete;
    JsonWipeGuard& operator=(const JsonWipeGuard&) = delete;

  private:
    nlohmann::json& m_value;
};

// Overwrites every string value inside value (not the keys: names, not secrets).
void wipe_json_strings(nlohmann::json& value);

}  // namespace tessarin
