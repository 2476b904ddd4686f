// JSON values read from outside the program (gate replies, the lists inside put --json) as
// nlohmann values, built by the one JSON reader in a single pass.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

#include "crypto/core/result.h"
#include "src/json/reader.h"

namespace tessarin {

// Builds the value of the document (or of one value inside it) the reader hands over. Every
// value is put in its place once, so building takes time linear in the text.
class JsonValueBuilder : public JsonHandler {
  public:
    bool begin_object() override { return open(nlohmann::json::object()); }
    bool key(std::string_view name) override;
    bool end_object() override { return close(); }
    bool begin_array() override { return open(nlohmann::json::array()); }
    bool end_array() override { return close(); }
    bool string(SecretBytes& value) override;
    bool number(const JsonNumber& value) override;
    bool boolean(bool value) override { return add(value); }
    bool null() override { return add(nullptr); }

    // Whether the value is whole: its last container has closed (or it was a scalar).
    bool done() const { return m_started && m_open.empty(); }
    nlohmann::json take() { return std::move(m_root); }

  private:
    // Puts value where the document has it: the root, the end of the open array, or the open
    // object under the last key named. Returns where it now lives.
    nlohmann::json* place(nlohmann::json value);
    bool add(nlohmann::json value) {
        place(std::move(value));
        return true;
    }
    bool open(nlohmann::json container) {
        m_open.push_back(place(std::move(container)));
        return true;
    }
    bool close() {
        m_open.pop_back();
        return true;
    }

    nlohmann::json m_root;
    bool m_started = false;
    // The open containers, innermost last. An element's address stays put while it is open:
    // its parent grows only after it closes.
    std::vector<nlohmann::json*> m_open;
    std::string m_key;
};

// The value of one document, containers nested at most max_depth deep; the reader's message
// when it is refused.
BasicResult<nlohmann::json, std::string> parse_json_value(std::string_view text, size_t max_depth);

}  // namespace tessarin
