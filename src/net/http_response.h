// An incremental reader of one HTTP/1.1 response: the status line, the header fields and the
// body by its framing (Content-Length, chunked transfer coding, or until the connection
// closes). Bytes go in as they arrive from the connection; everything the reader keeps is
// bounded: the head by k_max_response_head, the body by the caller's cap, chunk extensions
// and trailers by k_max_chunk_metadata.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessarin {

// Status lines and header fields together, interim (1xx) responses included.
inline constexpr size_t k_max_response_head = 65536;
// Chunk extensions and trailer fields together.
inline constexpr size_t k_max_chunk_metadata = 65536;

class HttpResponseReader {
  public:
    enum class State {
        reading,   // more bytes are needed
        complete,  // the whole response is here; later bytes are ignored
        oversize,  // the body passed the cap; reading stopped there
        failed,    // malformed or truncated; error() says why
    };

    explicit HttpResponseReader(size_t max_body) : m_max_body(max_body) {}

    // Takes the next bytes from the connection.
    State feed(std::string_view data);
    // The connection ended (no more bytes): completes a body that runs until the close, or
    // fails a response cut short.
    State finish();

    State state() const { return m_state; }
    // Whether the final status line and its header fields have been read.
    bool head_complete() const { return m_head_complete; }
    long status() const { return m_status; }
    // The first value of a header field (names compared ignoring ASCII case), trimmed.
    std::optional<std::string_view> header(std::string_view name) const;
    const std::vector<std::pair<std::string, std::string>>& headers() const { return m_headers; }

    const std::string& body() const { return m_body; }
    std::string take_body() { return std::move(m_body); }
    // The body's length: what has arrived, or for an oversize body the larger of what had
    // arrived and what was announced (Content-Length or the size of the chunk that passed
    // the cap).
    size_t body_length() const { return m_body_length; }
    // Why the response was refused (never quotes the body).
    const std::string& error() const { return m_error; }

  private:
    enum class Phase {
        status_line,
        headers,
        body_length,
        body_chunk_size,
        body_chunk_data,
        body_chunk_end,
        body_trailers,
        body_until_close,
        done,
    };

    State fail(std::string message);
    State oversize(size_t announced);
    // One complete line of the head or of the chunk framing (line feed and carriage return
    // removed).
    State on_line(std::string_view line);
    State on_status_line(std::string_view line);
    State on_header_line(std::string_view line);
    State on_head_end();
    bool has_header(std::string_view lowercase_name) const;
    State start_chunked_body();
    State start_counted_body();
    State on_chunk_size_line(std::string_view line);
    State on_trailer_line(std::string_view line);
    size_t take_body_bytes(std::string_view data);
    // The steps of feed: a body of known length (or a chunk's data), a line of the head or
    // of the chunk framing with its bounds and early checks. Each returns the bytes taken.
    size_t feed_counted_body(std::string_view data);
    size_t feed_line(std::string_view data);
    State count_line_bytes(std::string_view piece);
    State check_partial_line();

    size_t m_max_body;
    State m_state = State::reading;
    Phase m_phase = Phase::status_line;
    std::string m_line;
    size_t m_head_bytes = 0;
    size_t m_metadata_bytes = 0;
    size_t m_received = 0;
    long m_status = 0;
    bool m_head_complete = false;
    std::vector<std::pair<std::string, std::string>> m_headers;
    size_t m_remaining = 0;  // of the Content-Length body or of the current chunk
    std::string m_body;
    size_t m_body_length = 0;
    std::string m_error;
};

}  // namespace tessarin
