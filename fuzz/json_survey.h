// What the harnesses of the JSON reader's users compare it with: nlohmann's full parser on the
// same text, and the reader's refusal messages.
#pragma once

#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin::fuzz {

inline bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// What nlohmann's parser sees of the text: whether it accepts it, whether some object names a
// key twice, and the deepest nesting (containers open at once, whether or not it accepts);
// and the two things it passes over that the reader refuses: a NUL byte (nlohmann's lexer
// takes one for the end of its input) and a leading byte order mark (nlohmann skips one).
class Survey : public nlohmann::json_sax<nlohmann::json> {
  public:
    explicit Survey(std::string_view text)
        : has_nul(text.find('\0') != std::string_view::npos),
          has_bom(starts_with(text, "\xEF\xBB\xBF")) {
        accepted = nlohmann::json::sax_parse(text.begin(), text.end(), this);
    }

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return open(); }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(); }
    bool end_array() override { return close(); }
    bool key(string_t& name) override {
        if (!m_keys.back().insert(name).second)
            duplicate = true;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

    bool accepted = false;
    bool duplicate = false;
    size_t deepest = 0;
    bool has_nul;
    bool has_bom;

    // Whether the reader may refuse what nlohmann accepts: only for its own rules.
    bool reader_may_refuse(size_t max_depth) const {
        return !accepted || duplicate || deepest > max_depth || has_nul || has_bom;
    }

  private:
    bool open() {
        m_keys.emplace_back();  // an array's frame never holds a key
        deepest = std::max(deepest, m_keys.size());
        return true;
    }
    bool close() {
        m_keys.pop_back();
        return true;
    }
    std::vector<std::set<std::string>> m_keys;
};

// "line L, column C", both positive decimal numbers, and nothing after.
inline bool is_position(std::string_view text) {
    auto number = [&text](std::string_view word) {
        if (!starts_with(text, word))
            return false;
        text.remove_prefix(word.size());
        size_t digits = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
        const bool ok = digits > 0 && text[0] != '0';
        text.remove_prefix(digits);
        return ok;
    };
    return number("line ") && number(", column ") && text.empty();
}

// One of the reader's own refusals: a kind at a position.
inline bool is_reader_refusal(std::string_view message, size_t max_depth) {
    const std::string deeper = "nesting deeper than " + std::to_string(max_depth) + " levels at ";
    for (std::string_view kind :
         {std::string_view("syntax error at "), std::string_view("EOF while parsing a value at "),
          std::string_view("trailing characters at "), std::string_view("duplicate key at "),
          std::string_view("number out of range at "), std::string_view(deeper)})
        if (starts_with(message, kind))
            return is_position(message.substr(kind.size()));
    return false;
}

}  // namespace tessarin::fuzz
