#include "src/net/http_response.h"

#include <gtest/gtest.h>

#include <string>

namespace tessarin {
namespace {

using State = HttpResponseReader::State;

struct Seen {
    State state;
    long status;
    std::string body;
    size_t body_length;
    std::string error;
};

// Feeds input in pieces of `step` bytes (0: all at once), then, when `close`, ends the stream.
Seen read(const std::string& input, size_t cap, bool close, size_t step) {
    HttpResponseReader reader(cap);
    if (step == 0) {
        reader.feed(input);
    } else {
        for (size_t i = 0; i < input.size(); i += step)
            reader.feed(std::string_view(input).substr(i, step));
    }
    if (close)
        reader.finish();
    return Seen{reader.state(), reader.status(), reader.body(), reader.body_length(),
                reader.error()};
}

struct Case {
    const char* name;
    std::string input;
    size_t cap;
    bool close;  // the connection ends after the input
    State state;
    long status;
    std::string body;
    size_t body_length;
    std::string error;  // a part of the message, for failures
};

const std::string ok = "HTTP/1.1 200 OK\r\n";
const std::string chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";

std::vector<Case> cases() {
    return {
        // Content-Length framing.
        {"length", ok + "Content-Length: 5\r\n\r\nhello", 100, false, State::complete, 200, "hello",
         5, ""},
        {"length, bytes after the body ignored", ok + "Content-Length: 2\r\n\r\nhello", 100, false,
         State::complete, 200, "he", 2, ""},
        {"length zero", ok + "Content-Length: 0\r\n\r\n", 100, false, State::complete, 200, "", 0,
         ""},
        {"length, bare line feeds", "HTTP/1.1 200 OK\nContent-Length: 3\n\nabc", 100, false,
         State::complete, 200, "abc", 3, ""},
        {"length repeated with the same value",
         ok + "Content-Length: 3\r\nContent-Length: 3, 3\r\n\r\nabc", 100, false, State::complete,
         200, "abc", 3, ""},
        {"length still arriving", ok + "Content-Length: 5\r\n\r\nhel", 100, false, State::reading,
         200, "hel", 3, ""},
        {"length cut short", ok + "Content-Length: 5\r\n\r\nhel", 100, true, State::failed, 200,
         "hel", 3, "transfer closed with 2 bytes remaining to read"},
        {"length negative", ok + "Content-Length: -1\r\n\r\n", 100, false, State::failed, 200, "",
         0, "Invalid Content-Length"},
        {"length not a number", ok + "Content-Length: 12a\r\n\r\n", 100, false, State::failed, 200,
         "", 0, "Invalid Content-Length"},
        {"length empty", ok + "Content-Length:\r\n\r\n", 100, false, State::failed, 200, "", 0,
         "Invalid Content-Length"},
        {"length overflowing 64 bits", ok + "Content-Length: 18446744073709551616\r\n\r\n", 100,
         false, State::failed, 200, "", 0, "Invalid Content-Length"},
        {"length conflicting", ok + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 100,
         false, State::failed, 200, "", 0, "Conflicting Content-Length"},
        {"length conflicting in one field", ok + "Content-Length: 3, 4\r\n\r\nabcd", 100, false,
         State::failed, 200, "", 0, "Conflicting Content-Length"},

        // Chunked framing.
        {"chunked with extensions and trailers",
         chunked + "5;name=value\r\nhello\r\n6 ; ext=\"q\"\r\n world\r\n0\r\nX-Trailer: 1\r\n\r\n",
         100, false, State::complete, 200, "hello world", 11, ""},
        {"chunked, coding name in capitals",
         ok + "Transfer-Encoding: Chunked\r\n\r\nA\r\n0123456789\r\n0\r\n\r\n", 100, false,
         State::complete, 200, "0123456789", 10, ""},
        {"chunked wins over a length",
         ok + "Content-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n"
              "3\r\nabc\r\n0\r\n\r\n",
         100, false, State::complete, 200, "abc", 3, ""},
        {"chunked, leading zeros", chunked + "0003\r\nabc\r\n0\r\n\r\n", 100, false,
         State::complete, 200, "abc", 3, ""},
        {"chunked without its last line", chunked + "3\r\nabc\r\n0\r\n", 100, true, State::failed,
         200, "abc", 3, "outstanding read data"},
        {"chunked cut inside a chunk", chunked + "5\r\nab", 100, true, State::failed, 200, "ab", 2,
         "outstanding read data"},
        {"chunk size not hex", chunked + "zz\r\n", 100, false, State::failed, 200, "", 0,
         "hexadecimal"},
        {"chunk size missing", chunked + "\r\n", 100, false, State::failed, 200, "", 0,
         "hexadecimal"},
        {"chunk size negative", chunked + "-5\r\nhello\r\n", 100, false, State::failed, 200, "", 0,
         "hexadecimal"},
        {"chunk size with junk", chunked + "5x\r\nhello\r\n", 100, false, State::failed, 200, "", 0,
         "Malformed encoding"},
        {"chunk size overflowing", chunked + "10000000000000000\r\n", 100, false, State::failed,
         200, "", 0, "out of range"},
        {"chunk data longer than announced", chunked + "3\r\nabcd\r\n0\r\n\r\n", 100, false,
         State::failed, 200, "abc", 3, "Malformed encoding"},
        {"chunk extension too long", chunked + "1;" + std::string(70000, 'x') + "\r\n", 100, false,
         State::failed, 200, "", 0, "chunk extensions or trailers"},
        {"trailers too long", chunked + "0\r\nX: " + std::string(70000, 'x') + "\r\n\r\n", 100,
         false, State::failed, 200, "", 0, "chunk extensions or trailers"},
        {"other transfer coding", ok + "Transfer-Encoding: gzip\r\n\r\nxx", 100, false,
         State::failed, 200, "", 0, "Unsupported transfer encoding"},
        {"chunked applied twice", ok + "Transfer-Encoding: chunked, chunked\r\n\r\n", 100, false,
         State::failed, 200, "", 0, "Unsupported transfer encoding"},

        // Until the connection closes.
        {"close-delimited", "HTTP/1.0 200 OK\r\n\r\nabc", 100, true, State::complete, 200, "abc", 3,
         ""},
        {"close-delimited, open", "HTTP/1.0 200 OK\r\n\r\nabc", 100, false, State::reading, 200,
         "abc", 3, ""},

        // The body cap: exactly at it is kept, one byte more stops reading.
        {"length at the cap", ok + "Content-Length: 10\r\n\r\n0123456789", 10, false,
         State::complete, 200, "0123456789", 10, ""},
        {"length over the cap, stopped before the body", ok + "Content-Length: 11\r\n\r\n", 10,
         false, State::oversize, 200, "", 11, ""},
        {"length far over the cap", ok + "Content-Length: 99999999999\r\n\r\n", 10, false,
         State::oversize, 200, "", 99999999999, ""},
        {"chunked at the cap", chunked + "4\r\n0123\r\n6\r\n456789\r\n0\r\n\r\n", 10, false,
         State::complete, 200, "0123456789", 10, ""},
        {"chunked over the cap", chunked + "4\r\n0123\r\n7\r\n", 10, false, State::oversize, 200,
         "", 11, ""},
        {"close-delimited at the cap", ok + "\r\n0123456789", 10, true, State::complete, 200,
         "0123456789", 10, ""},
        {"close-delimited over the cap", ok + "\r\n0123456789A", 10, false, State::oversize, 200,
         "", 11, ""},

        // Status lines.
        {"no body for 204", "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\nhello", 100, false,
         State::complete, 204, "", 0, ""},
        {"interim response skipped",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 1\r\n\r\nx", 100,
         false, State::complete, 201, "x", 1, ""},
        {"status without a reason", "HTTP/1.1 503\r\nContent-Length: 0\r\n\r\n", 100, false,
         State::complete, 503, "", 0, ""},
        {"protocol switch", "HTTP/1.1 101 Switching Protocols\r\n\r\n", 100, false, State::failed,
         101, "", 0, "protocol switch"},
        {"two-digit status", "HTTP/1.1 20 OK\r\n\r\n", 100, false, State::failed, 0, "", 0,
         "Invalid status line"},
        {"status not a number", "HTTP/1.1 abc OK\r\n\r\n", 100, false, State::failed, 0, "", 0,
         "Invalid status line"},
        {"status below 100", "HTTP/1.1 099 Odd\r\n\r\n", 100, false, State::failed, 0, "", 0,
         "Invalid status line"},
        {"status glued to the reason", "HTTP/1.1 200OK\r\n\r\n", 100, false, State::failed, 0, "",
         0, "Invalid status line"},
        {"HTTP/2 status line", "HTTP/2 200\r\n\r\n", 100, false, State::failed, 0, "", 0,
         "Unsupported HTTP version"},
        {"not HTTP, refused at once", "ICY 200", 100, false, State::failed, 0, "", 0,
         "Invalid status line"},
        {"nothing at all", "", 100, true, State::failed, 0, "", 0, "Empty reply from server"},
        {"cut inside the head", ok + "Content-Le", 100, true, State::failed, 200, "", 0,
         "response headers were complete"},

        // Header fields.
        {"space before the colon", ok + "Content-Length : 1\r\n\r\nx", 100, false, State::failed,
         200, "", 0, "Invalid response header"},
        {"line without a colon", ok + "garbage\r\n\r\n", 100, false, State::failed, 200, "", 0,
         "Invalid response header"},
        {"NUL in a value", ok + std::string("X-A: a\0b\r\n\r\n", 12), 100, false, State::failed,
         200, "", 0, "Invalid response header"},
        {"continuation line first", ok + " folded\r\n\r\n", 100, false, State::failed, 200, "", 0,
         "Invalid response header"},
    };
}

TEST(HttpResponseReader, TableOfResponses) {
    for (const Case& c : cases()) {
        for (size_t step : {0, 1, 7}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(step));
            Seen seen = read(c.input, c.cap, c.close, step);
            EXPECT_EQ(seen.state, c.state);
            EXPECT_EQ(seen.status, c.status);
            EXPECT_EQ(seen.body, c.body);
            EXPECT_EQ(seen.body_length, c.body_length);
            if (c.error.empty())
                EXPECT_EQ(seen.error, "");
            else
                EXPECT_NE(seen.error.find(c.error), std::string::npos) << seen.error;
        }
    }
}

TEST(HttpResponseReader, HeadBoundedAt64KiB) {
    // Status line, one field padded to make the head exactly the limit, and the empty line.
    const std::string start = ok + "X-Pad: ";
    const size_t fill = k_max_response_head - start.size() - 2 - 19 - 2;
    const std::string head = start + std::string(fill, 'a') + "\r\nContent-Length: 0\r\n\r\n";
    ASSERT_EQ(head.size(), k_max_response_head);
    EXPECT_EQ(read(head, 10, false, 0).state, State::complete);
    EXPECT_EQ(read(head, 10, false, 4096).state, State::complete);

    const std::string over = start + std::string(fill + 1, 'a') + "\r\nContent-Length: 0\r\n\r\n";
    Seen seen = read(over, 10, false, 0);
    EXPECT_EQ(seen.state, State::failed);
    EXPECT_NE(seen.error.find("Too large response headers"), std::string::npos);

    // A line that never ends is refused at the limit, not buffered.
    HttpResponseReader endless(10);
    endless.feed(ok + "X: ");
    const std::string block(4096, 'b');
    size_t fed = 0;
    while (endless.state() == State::reading && fed < 10 * k_max_response_head) {
        endless.feed(block);
        fed += block.size();
    }
    EXPECT_EQ(endless.state(), State::failed);
    EXPECT_LE(fed, k_max_response_head);
}

TEST(HttpResponseReader, HeadersByNameIgnoringCase) {
    HttpResponseReader reader(100);
    reader.feed(
        "HTTP/1.1 307 Temporary Redirect\r\nLOCATION:   /gate  \r\nX-Long: one\r\n\ttwo\r\n"
        "content-length: 0\r\n\r\n");
    ASSERT_EQ(reader.state(), State::complete);
    EXPECT_TRUE(reader.head_complete());
    EXPECT_EQ(reader.status(), 307);
    EXPECT_EQ(reader.header("Location").value_or("-"), "/gate");
    EXPECT_EQ(reader.header("x-long").value_or("-"), "one two");
    EXPECT_FALSE(reader.header("Content-Type").has_value());
}

TEST(HttpResponseReader, HeadCompleteBeforeTheBody) {
    // A redirect's head is enough to act on; its body need not be read.
    HttpResponseReader reader(100);
    reader.feed("HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 50\r\n\r\nab");
    EXPECT_EQ(reader.state(), State::reading);
    EXPECT_TRUE(reader.head_complete());
    EXPECT_EQ(reader.status(), 302);

    // Neither an interim head nor a refused status line counts.
    HttpResponseReader interim(100);
    interim.feed("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n");
    EXPECT_FALSE(interim.head_complete());
    HttpResponseReader refused(100);
    refused.feed("HTTP/1.1 2OO OK\r\n\r\n");
    EXPECT_FALSE(refused.head_complete());
}

TEST(HttpResponseReader, NothingAcceptedAfterTheEnd) {
    HttpResponseReader reader(100);
    reader.feed(ok + "Content-Length: 1\r\n\r\nx");
    ASSERT_EQ(reader.state(), State::complete);
    EXPECT_EQ(reader.feed("more"), State::complete);
    EXPECT_EQ(reader.finish(), State::complete);
    EXPECT_EQ(reader.body(), "x");
}

}  // namespace
}  // namespace tessarin
