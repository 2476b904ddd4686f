// What the libFuzzer harnesses share: an invariant check that names itself when it fails, a
// reader that splits the input into a few selector bytes and the rest, and the canary that
// stands in for secret text so a harness can tell whether an error detail quotes its input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace tessarin::fuzz {

[[noreturn]] inline void invariant_failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant failed: %s\n", file, line, condition);
    std::abort();
}

// Aborts (a finding for libFuzzer, which keeps the input) with the condition's text.
#define FUZZ_CHECK(condition)           \
    ((condition) ? static_cast<void>(0) \
                 : ::tessarin::fuzz::invariant_failed(#condition, __FILE__, __LINE__))

// The input as a sequence: selector bytes taken from the front, then the rest as text.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : m_rest(reinterpret_cast<const char*>(data), size) {}

    // The next byte, or 0 once the input is used up.
    uint8_t byte() {
        if (m_rest.empty())
            return 0;
        const auto b = static_cast<uint8_t>(m_rest.front());
        m_rest.remove_prefix(1);
        return b;
    }
    std::string_view rest() const { return m_rest; }

  private:
    std::string_view m_rest;
};

// Whether JSON text a parser accepted is one object or array and nothing after it but white
// space: its last other byte closes the container, and it holds no NUL byte anywhere (JSON
// text never does, and a lexer that stops at one would skip what follows unread).
inline bool is_one_container(std::string_view text) {
    if (text.find('\0') != std::string_view::npos)
        return false;
    const size_t last = text.find_last_not_of(" \t\n\r");
    return last != std::string_view::npos && (text[last] == '}' || text[last] == ']');
}

// Secret text as a harness plants it: every '$' of the input becomes this key-like hex text,
// wherever the fuzzer put it (inside a string, a number, a key or between tokens). Letters
// only, so that no window of it turns up in a message's numbers.
inline constexpr std::string_view k_canary = "feedfacedeadbeefcafebabedecafbad";
// The shortest piece of the canary that counts as a leak.
inline constexpr size_t k_canary_window = 6;

inline std::string plant_canary(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '$')
            out.append(k_canary);
        else
            out.push_back(c);
    }
    return out;
}

// Whether text holds any k_canary_window bytes of the canary in a row.
inline bool quotes_canary(std::string_view text) {
    for (size_t i = 0; i + k_canary_window <= k_canary.size(); ++i)
        if (text.find(k_canary.substr(i, k_canary_window)) != std::string_view::npos)
            return true;
    return false;
}

}  // namespace tessarin::fuzz
