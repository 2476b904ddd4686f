#include "crypto/core/base64.h"

namespace tessarin {

namespace {

// Symbol mapping runs without table look-ups or branches on the byte value, so decoding an
// enrolment key or encoding a secret does not leak it through cache timing.
// Each mask helper yields 0xFFFFFFFF when the condition holds and 0 otherwise.
inline uint32_t mask_lt(uint32_t a, uint32_t b) {
    return 0u - ((a - b) >> 31);
}
inline uint32_t mask_ge(uint32_t a, uint32_t b) {
    return ~mask_lt(a, b);
}
inline uint32_t mask_eq(uint32_t a, uint32_t b) {
    uint32_t x = a ^ b;
    return 0u - ((x - 1u) >> 31 & ~x >> 31);
}
inline uint32_t mask_in(uint32_t c, uint32_t lo, uint32_t hi) {
    return mask_ge(c, lo) & mask_lt(c, hi + 1);
}

// The 6-bit value of a symbol, or 0xFF when the byte is not in the alphabet.
uint8_t symbol_value(uint8_t byte, bool url) {
    const uint32_t c = byte;
    const uint32_t c62 = url ? '-' : '+';
    const uint32_t c63 = url ? '_' : '/';
    uint32_t upper = mask_in(c, 'A', 'Z');
    uint32_t lower = mask_in(c, 'a', 'z');
    uint32_t digit = mask_in(c, '0', '9');
    uint32_t is62 = mask_eq(c, c62);
    uint32_t is63 = mask_eq(c, c63);
    uint32_t value = (upper & (c - 'A')) | (lower & (c - 'a' + 26)) | (digit & (c - '0' + 52)) |
                     (is62 & 62u) | (is63 & 63u);
    uint32_t valid = upper | lower | digit | is62 | is63;
    return static_cast<uint8_t>((value & valid) | (0xFFu & ~valid));
}

// The symbol for a 6-bit value.
char value_symbol(uint32_t v, bool url) {
    const uint32_t c62 = url ? '-' : '+';
    const uint32_t c63 = url ? '_' : '/';
    uint32_t c = (mask_lt(v, 26) & (v + 'A')) | (mask_in(v, 26, 51) & (v - 26 + 'a')) |
                 (mask_in(v, 52, 61) & (v - 52 + '0')) | (mask_eq(v, 62) & c62) |
                 (mask_eq(v, 63) & c63);
    return static_cast<char>(c);
}

size_t encoded_size(size_t n, bool url) {
    const size_t full = n / 3, rest = n % 3;
    return url ? full * 4 + (rest ? rest + 1 : 0) : (full + (rest ? 1 : 0)) * 4;
}

// Calls put with each symbol of the encoding in turn.
template <typename Put>
void encode_each(std::span<const uint8_t> data, bool url, Put put) {
    const size_t full = data.size() / 3;
    const size_t rest = data.size() % 3;
    const uint8_t* p = data.data();
    for (size_t i = 0; i < full; ++i, p += 3) {
        uint32_t v = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
        put(value_symbol(v >> 18, url));
        put(value_symbol(v >> 12 & 63, url));
        put(value_symbol(v >> 6 & 63, url));
        put(value_symbol(v & 63, url));
    }
    if (rest == 1) {
        uint32_t v = uint32_t(p[0]) << 16;
        put(value_symbol(v >> 18, url));
        put(value_symbol(v >> 12 & 63, url));
        if (!url) {
            put('=');
            put('=');
        }
    } else if (rest == 2) {
        uint32_t v = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8;
        put(value_symbol(v >> 18, url));
        put(value_symbol(v >> 12 & 63, url));
        put(value_symbol(v >> 6 & 63, url));
        if (!url)
            put('=');
    }
}

std::string encode(std::span<const uint8_t> data, bool url) {
    std::string out;
    out.reserve(encoded_size(data.size(), url));
    encode_each(data, url, [&](char c) { out.push_back(c); });
    return out;
}

struct Checked {
    size_t symbols = 0;       // symbols before any padding
    size_t decoded_size = 0;  // bytes the text decodes to
    bool ok = false;
    Base64Fault fault;
};

// Validates the whole text before anything is decoded: alphabet, length, padding (exactly as
// an encoder writes it, and only with `padded`), and zero bits in the last symbol.
Checked check(std::string_view text, bool url, bool padded) {
    Checked r;
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    size_t symbols = n;
    for (size_t i = 0; i < n; ++i) {
        if (s[i] == '=' && padded) {
            symbols = i;
            break;
        }
        if (symbol_value(s[i], url) == 0xFF) {
            r.fault = {Base64Fault::Kind::InvalidByte, i, s[i]};
            return r;
        }
    }
    // Only padding may follow the first "=".
    for (size_t i = symbols; i < n; ++i) {
        if (s[i] != '=') {
            r.fault = {Base64Fault::Kind::InvalidByte, symbols, '='};
            return r;
        }
    }
    const size_t pad = n - symbols;
    const size_t tail = symbols % 4;
    if (tail == 1) {
        r.fault = {Base64Fault::Kind::InvalidLength};
        return r;
    }
    if (padded && pad != (4 - tail) % 4) {
        r.fault = {Base64Fault::Kind::InvalidPadding};
        return r;
    }
    if (tail) {
        // The final symbol carries 4 (two symbols) or 2 (three symbols) unused bits.
        const uint8_t last = s[symbols - 1];
        const uint8_t unused = tail == 2 ? 0x0F : 0x03;
        if (symbol_value(last, url) & unused) {
            r.fault = {Base64Fault::Kind::InvalidLastSymbol, symbols - 1, last};
            return r;
        }
    }
    r.symbols = symbols;
    r.decoded_size = symbols / 4 * 3 + (tail ? tail - 1 : 0);
    r.ok = true;
    return r;
}

// Decodes a text that check() accepted into exactly decoded_size bytes at out.
void decode_into(std::string_view text, size_t symbols, bool url, uint8_t* out) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    size_t i = 0;
    for (; i + 4 <= symbols; i += 4) {
        uint32_t v = uint32_t(symbol_value(s[i], url)) << 18 |
                     uint32_t(symbol_value(s[i + 1], url)) << 12 |
                     uint32_t(symbol_value(s[i + 2], url)) << 6 | symbol_value(s[i + 3], url);
        *out++ = static_cast<uint8_t>(v >> 16);
        *out++ = static_cast<uint8_t>(v >> 8);
        *out++ = static_cast<uint8_t>(v);
    }
    const size_t tail = symbols - i;
    if (tail >= 2) {
        uint32_t v = uint32_t(symbol_value(s[i], url)) << 18 | uint32_t(symbol_value(s[i + 1], url))
                                                                   << 12;
        if (tail == 3)
            v |= uint32_t(symbol_value(s[i + 2], url)) << 6;
        *out++ = static_cast<uint8_t>(v >> 16);
        if (tail == 3)
            *out++ = static_cast<uint8_t>(v >> 8);
    }
}

std::optional<std::vector<uint8_t>> decode(std::string_view text, bool url) {
    Checked c = check(text, url, !url);
    if (!c.ok)
        return std::nullopt;
    std::vector<uint8_t> out(c.decoded_size);
    decode_into(text, c.symbols, url, out.data());
    return out;
}

std::optional<SecretBytes> decode_secret(std::string_view text, bool url) {
    Checked c = check(text, url, !url);
    if (!c.ok)
        return std::nullopt;
    SecretBytes out(c.decoded_size);
    decode_into(text, c.symbols, url, out.expose_secret_mut().data());
    return out;
}

}  // namespace

std::string base64_encode(std::span<const uint8_t> data) {
    return encode(data, false);
}
std::string base64url_encode(std::span<const uint8_t> data) {
    return encode(data, true);
}
void base64url_encode_append(std::span<const uint8_t> data, SecretBytes& out) {
    out.reserve(out.size() + encoded_size(data.size(), true));
    encode_each(data, true, [&](char c) { out.push_back(static_cast<uint8_t>(c)); });
}

std::optional<std::vector<uint8_t>> base64_decode(std::string_view text) {
    return decode(text, false);
}
std::optional<std::vector<uint8_t>> base64url_decode(std::string_view text) {
    return decode(text, true);
}
std::optional<SecretBytes> base64_decode_secret(std::string_view text) {
    return decode_secret(text, false);
}
std::optional<SecretBytes> base64url_decode_secret(std::string_view text) {
    return decode_secret(text, true);
}

BasicResult<std::vector<uint8_t>, Base64Fault> base64_decode_checked(std::string_view text) {
    Checked c = check(text, false, true);
    if (!c.ok)
        return c.fault;
    std::vector<uint8_t> out(c.decoded_size);
    decode_into(text, c.symbols, false, out.data());
    return out;
}

std::string Base64Fault::message() const {
    switch (kind) {
        case Kind::InvalidByte:
            return "Invalid symbol " + std::to_string(byte) + ", offset " + std::to_string(offset) +
                   ".";
        case Kind::InvalidLastSymbol:
            return "Invalid last symbol " + std::to_string(byte) + ", offset " +
                   std::to_string(offset) + ".";
        case Kind::InvalidPadding:
            return "Invalid padding";
        case Kind::InvalidLength:
            break;
    }
    return "Invalid input length.";
}

std::string hex_encode(std::span<const uint8_t> data) {
    std::string out;
    out.reserve(data.size() * 2);
    for (uint8_t b : data) {
        // 0-9 then a-f without a branch on the nibble: 'a' - '0' - 10 = 39.
        for (uint32_t nibble : {uint32_t(b >> 4), uint32_t(b & 15)})
            out.push_back(static_cast<char>('0' + nibble + (mask_ge(nibble, 10) & 39u)));
    }
    return out;
}

namespace {

// Either case into out (text.size() / 2 bytes), in constant time; false for a character that
// is not a hex digit (the caller has checked the length is even).
bool hex_decode_into(std::string_view text, uint8_t* out) {
    uint32_t bad = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const uint32_t c = static_cast<uint8_t>(text[i]);
        const uint32_t lc = c | 0x20;  // folds A-F onto a-f (and leaves digits alone)
        uint32_t digit = mask_in(c, '0', '9');
        uint32_t letter = mask_in(lc, 'a', 'f');
        uint32_t v = (digit & (c - '0')) | (letter & (lc - 'a' + 10));
        bad |= ~(digit | letter);
        out[i / 2] = static_cast<uint8_t>(out[i / 2] << 4 | (v & 15));
    }
    return !bad;
}

}  // namespace

std::optional<std::vector<uint8_t>> hex_decode(std::string_view text) {
    if (text.size() % 2)
        return std::nullopt;
    std::vector<uint8_t> out(text.size() / 2);
    if (!hex_decode_into(text, out.data()))
        return std::nullopt;
    return out;
}

std::optional<SecretBytes> hex_decode_secret(std::string_view text) {
    if (text.size() % 2)
        return std::nullopt;
    SecretBytes out(text.size() / 2);
    if (!hex_decode_into(text, out.expose_secret_mut().data()))
        return std::nullopt;
    return out;
}

}  // namespace tessarin
