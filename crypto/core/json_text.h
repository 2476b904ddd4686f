// JSON text written into buffers that wipe themselves, byte for byte as nlohmann::json's
// compact dump writes it (no white space, UTF-8 kept as it is, strict about invalid UTF-8).
// For texts that hold secrets: the configuration record, the request envelope.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <utility>

#include "crypto/core/result.h"
#include "crypto/core/secret.h"

namespace tessarin {

// Appends text as a JSON string literal: quote, backslash and the controls below U+0020
// escaped (\b \t \n \f \r, the rest as \u00xx), everything else as it is. False, with nothing
// appended, when text is not UTF-8.
bool append_json_string(SecretBytes& out, std::string_view text);

// The compact form of a JSON value, as value.dump() gives it, written straight into a wiping
// buffer (no copy of a string passes through any other). Fails when a string or key is not
// UTF-8 (the message names the kind, never the text).
BasicResult<SecretBytes, std::string> dump_json_secret(const nlohmann::json& value);

// A JSON value that holds secrets where they must travel as nlohmann::json (a request body whose
// title is a plaintext summary): the library keeps its strings in std::string, so every string
// value in it is wiped (OPENSSL_cleanse) when it goes, as SecretBytes wipes itself. Move-only;
// the value is reached through expose_json.
class SecretJson {
  public:
    explicit SecretJson(nlohmann::json value) : m_value(std::move(value)) {}
    SecretJson(SecretJson&&) = default;  // leaves null behind: nothing to wipe there
    SecretJson& operator=(SecretJson&&) = delete;
    SecretJson(const SecretJson&) = delete;
    SecretJson& operator=(const SecretJson&) = delete;
    ~SecretJson();

    const nlohmann::json& expose_json() const { return m_value; }

  private:
    nlohmann::json m_value;
};

}  // namespace tessarin
