#include "src/net/http_response.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>

#include "src/base/text.h"

namespace tessarin {

namespace {

constexpr std::string_view k_bad_chunk_size =
    "Illegal or missing hexadecimal sequence in chunked-encoding";
constexpr std::string_view k_bad_chunk_framing = "Malformed encoding found in chunked-encoding";
constexpr std::string_view k_bad_header = "Invalid response header";
// A chunk-size line of up to this many bytes (sixteen hex digits and its line end) costs
// nothing; what goes beyond (extensions, padding) counts against k_max_chunk_metadata.
constexpr size_t k_free_chunk_line = 18;

bool is_space(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Control characters other than the horizontal tab never appear in a field value.
bool has_control(std::string_view s) {
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7f)
            return true;
    }
    return false;
}

bool is_token_char(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// A decimal of digits only (no sign, no white space), as a Content-Length is written.
std::optional<uint64_t> parse_decimal(std::string_view text) {
    uint64_t n = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return n;
}

size_t saturating_add(size_t a, size_t b) {
    return a > std::numeric_limits<size_t>::max() - b ? std::numeric_limits<size_t>::max() : a + b;
}

// Calls f on each element of a comma-separated field value, trimmed (empty ones included).
template <typename F>
void for_each_element(std::string_view value, F f) {
    for (;;) {
        size_t comma = value.find(',');
        f(trim(value.substr(0, comma)));
        if (comma == std::string_view::npos)
            return;
        value.remove_prefix(comma + 1);
    }
}

}  // namespace

std::optional<std::string_view> HttpResponseReader::header(std::string_view name) const {
    for (const auto& [n, v] : m_headers)
        if (equal_ignoring_ascii_case(n, name))
            return std::string_view(v);
    return std::nullopt;
}

HttpResponseReader::State HttpResponseReader::fail(std::string message) {
    m_error = std::move(message);
    m_phase = Phase::done;
    return m_state = State::failed;
}

HttpResponseReader::State HttpResponseReader::oversize(size_t announced) {
    m_body.clear();
    m_body.shrink_to_fit();
    m_body_length = announced;
    m_phase = Phase::done;
    return m_state = State::oversize;
}

size_t HttpResponseReader::take_body_bytes(std::string_view data) {
    m_body.append(data);
    m_body_length = m_body.size();
    return data.size();
}

HttpResponseReader::State HttpResponseReader::feed(std::string_view data) {
    if (m_state != State::reading)
        return m_state;
    m_received += data.size();
    while (!data.empty() && m_state == State::reading) {
        switch (m_phase) {
            case Phase::body_length:
            case Phase::body_chunk_data:
                data.remove_prefix(feed_counted_body(data));
                break;
            case Phase::body_until_close:
                // Stop at the cap instead of buffering whatever the server sends.
                if (data.size() > m_max_body - m_body.size())
                    return oversize(m_body.size() + data.size());
                take_body_bytes(data);
                data = {};
                break;
            case Phase::done:
                return m_state;
            default:
                data.remove_prefix(feed_line(data));
                break;
        }
    }
    return m_state;
}

size_t HttpResponseReader::feed_counted_body(std::string_view data) {
    size_t n = take_body_bytes(data.substr(0, std::min(m_remaining, data.size())));
    m_remaining -= n;
    if (m_remaining == 0) {
        if (m_phase == Phase::body_length) {
            m_phase = Phase::done;
            m_state = State::complete;
        } else {
            m_phase = Phase::body_chunk_end;
        }
    }
    return n;
}

size_t HttpResponseReader::feed_line(std::string_view data) {
    size_t lf = data.find('\n');
    std::string_view piece = data.substr(0, lf == std::string_view::npos ? lf : lf + 1);
    if (count_line_bytes(piece) != State::reading)
        return piece.size();
    m_line.append(data.substr(0, lf));
    if (check_partial_line() != State::reading || lf == std::string_view::npos)
        return piece.size();
    std::string line = std::move(m_line);
    m_line.clear();
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    on_line(line);
    return piece.size();
}

HttpResponseReader::State HttpResponseReader::count_line_bytes(std::string_view piece) {
    if (m_phase == Phase::status_line || m_phase == Phase::headers) {
        m_head_bytes += piece.size();
        if (m_head_bytes > k_max_response_head)
            return fail("Too large response headers (over " + std::to_string(k_max_response_head) +
                        " bytes)");
    } else if (m_phase == Phase::body_chunk_size) {
        // Only what goes beyond the free length of a chunk-size line counts.
        size_t before = m_line.size() > k_free_chunk_line ? m_line.size() - k_free_chunk_line : 0;
        size_t total = m_line.size() + piece.size();
        size_t after = total > k_free_chunk_line ? total - k_free_chunk_line : 0;
        m_metadata_bytes += after - before;
    } else if (m_phase == Phase::body_trailers) {
        m_metadata_bytes += piece.size();
    }
    if (m_metadata_bytes > k_max_chunk_metadata)
        return fail("Too large chunk extensions or trailers (over " +
                    std::to_string(k_max_chunk_metadata) + " bytes)");
    return m_state;
}

HttpResponseReader::State HttpResponseReader::check_partial_line() {
    if (m_phase == Phase::status_line) {
        // Anything but an HTTP/1 status line is refused at its first bytes.
        constexpr std::string_view prefix = "HTTP/";
        size_t n = std::min(prefix.size(), m_line.size());
        if (m_line.compare(0, n, prefix, 0, n) != 0)
            return fail("Invalid status line");
    } else if (m_phase == Phase::body_chunk_end) {
        if (!m_line.empty() && m_line != "\r")
            return fail(std::string(k_bad_chunk_framing));
    }
    return m_state;
}

HttpResponseReader::State HttpResponseReader::finish() {
    if (m_state != State::reading)
        return m_state;
    switch (m_phase) {
        case Phase::status_line:
            if (m_received == 0)
                return fail("Empty reply from server");
            [[fallthrough]];
        case Phase::headers:
            return fail("Connection closed before the response headers were complete");
        case Phase::body_length:
            return fail("transfer closed with " + std::to_string(m_remaining) +
                        " bytes remaining to read");
        case Phase::body_until_close:
            m_phase = Phase::done;
            return m_state = State::complete;
        default:
            return fail("transfer closed with outstanding read data remaining");
    }
}

HttpResponseReader::State HttpResponseReader::on_line(std::string_view line) {
    switch (m_phase) {
        case Phase::status_line:
            return on_status_line(line);
        case Phase::headers:
            return on_header_line(line);
        case Phase::body_chunk_size:
            return on_chunk_size_line(line);
        case Phase::body_chunk_end:
            // The data of a chunk ends with a line end of its own.
            m_phase = Phase::body_chunk_size;
            return m_state;
        case Phase::body_trailers:
            return on_trailer_line(line);
        default:
            return m_state;
    }
}

HttpResponseReader::State HttpResponseReader::on_status_line(std::string_view line) {
    // HTTP/1.x SP 3DIGIT [SP reason-phrase]
    constexpr std::string_view version = "HTTP/1.";
    if (line.substr(0, version.size()) != version)
        return fail("Unsupported HTTP version in response");
    if (line.size() < 12 || !is_digit(line[7]) || line[8] != ' ' || !is_digit(line[9]) ||
        !is_digit(line[10]) || !is_digit(line[11]) || line[9] == '0')
        return fail("Invalid status line");
    std::string_view rest = line.substr(12);
    if (!rest.empty() && (rest[0] != ' ' || has_control(rest)))
        return fail("Invalid status line");
    m_status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    m_headers.clear();
    m_phase = Phase::headers;
    return m_state;
}

HttpResponseReader::State HttpResponseReader::on_header_line(std::string_view line) {
    if (line.empty())
        return on_head_end();
    if (is_space(line[0])) {
        // An obsolete continuation line: joined to the previous field with one space.
        if (m_headers.empty() || has_control(line))
            return fail(std::string(k_bad_header));
        std::string& value = m_headers.back().second;
        std::string_view more = trim(line);
        if (!more.empty()) {
            if (!value.empty())
                value += ' ';
            value.append(more);
        }
        return m_state;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return fail(std::string(k_bad_header));
    std::string_view name = line.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), is_token_char))
        return fail(std::string(k_bad_header));
    std::string_view value = trim(line.substr(colon + 1));
    if (has_control(value))
        return fail(std::string(k_bad_header));
    m_headers.emplace_back(ascii_lowercase(name), std::string(value));
    return m_state;
}

HttpResponseReader::State HttpResponseReader::on_head_end() {
    if (m_status >= 100 && m_status <= 199) {
        // Interim responses (100 Continue, 103 Early Hints) precede the real one; a switch
        // of protocols was never asked for.
        if (m_status == 101)
            return fail("Unexpected protocol switch (HTTP 101)");
        m_headers.clear();
        m_phase = Phase::status_line;
        return m_state;
    }
    m_head_complete = true;
    if (m_status == 204 || m_status == 304) {
        m_phase = Phase::done;
        return m_state = State::complete;
    }
    if (has_header("transfer-encoding"))
        return start_chunked_body();
    return start_counted_body();
}

bool HttpResponseReader::has_header(std::string_view lowercase_name) const {
    return std::any_of(m_headers.begin(), m_headers.end(),
                       [&](const auto& field) { return field.first == lowercase_name; });
}

HttpResponseReader::State HttpResponseReader::start_chunked_body() {
    // Only chunked framing: the request asks for no other coding, and the body must reach
    // the caller as the server wrote it. A Content-Length beside it is ignored.
    std::vector<std::string_view> codings;
    for (const auto& [name, value] : m_headers) {
        if (name != "transfer-encoding")
            continue;
        for_each_element(value, [&](std::string_view e) {
            if (!e.empty())
                codings.push_back(e);
        });
    }
    if (codings.size() != 1 || !equal_ignoring_ascii_case(codings[0], "chunked"))
        return fail("Unsupported transfer encoding in response");
    m_phase = Phase::body_chunk_size;
    return m_state;
}

HttpResponseReader::State HttpResponseReader::start_counted_body() {
    // Every Content-Length field, and every element of each, must be the same decimal.
    std::optional<uint64_t> length;
    bool invalid = false, conflicting = false;
    for (const auto& [name, value] : m_headers) {
        if (name != "content-length")
            continue;
        for_each_element(value, [&](std::string_view e) {
            std::optional<uint64_t> n = parse_decimal(e);
            if (!n)
                invalid = true;
            else if (length && *length != *n)
                conflicting = true;
            length = n ? n : length;
        });
    }
    if (invalid)
        return fail("Invalid Content-Length in response");
    if (conflicting)
        return fail("Conflicting Content-Length values in response");
    if (!length) {
        m_phase = Phase::body_until_close;
        return m_state;
    }
    if (*length > m_max_body)
        return oversize(*length > std::numeric_limits<size_t>::max()
                            ? std::numeric_limits<size_t>::max()
                            : static_cast<size_t>(*length));
    if (*length == 0) {
        m_phase = Phase::done;
        return m_state = State::complete;
    }
    m_remaining = static_cast<size_t>(*length);
    m_phase = Phase::body_length;
    return m_state;
}

HttpResponseReader::State HttpResponseReader::on_chunk_size_line(std::string_view line) {
    // chunk-size [BWS ";" chunk-ext]
    size_t size = 0;
    auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), size, 16);
    if (error == std::errc::result_out_of_range)
        return fail("Chunk size out of range in chunked-encoding");
    if (error != std::errc())
        return fail(std::string(k_bad_chunk_size));
    const size_t i = static_cast<size_t>(end - line.data());
    std::string_view rest = line.substr(i);
    while (!rest.empty() && is_space(rest.front())) rest.remove_prefix(1);
    if (!rest.empty() && (rest.front() != ';' || has_control(rest)))
        return fail(std::string(k_bad_chunk_framing));
    if (size == 0) {
        m_phase = Phase::body_trailers;
        return m_state;
    }
    if (size > m_max_body - m_body.size())
        return oversize(saturating_add(m_body.size(), size));
    m_remaining = size;
    m_phase = Phase::body_chunk_data;
    return m_state;
}

HttpResponseReader::State HttpResponseReader::on_trailer_line(std::string_view line) {
    // Trailer fields are read past (bounded above) and not used.
    if (!line.empty())
        return m_state;
    m_phase = Phase::done;
    return m_state = State::complete;
}

}  // namespace tessarin
