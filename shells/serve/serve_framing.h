// Where one HTTP request ends in the bytes a connection has sent, decided
// before anything parses it, so that `snt serve` hands a request to a
// thread only once all of it is here: a client that sends slowly, or
// nothing, holds no thread. The rules are those of the parser behind it
// (cpp-httplib): lines end at LF, a header line counts only when it ends
// in CR LF, the header ends at the first empty CR LF line, and the body is
// Content-Length bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace snt {

struct RequestLimits {
    std::size_t header = std::size_t{16} << 10; // request line and header lines, with the empty line
    std::size_t body = std::size_t{96} << 20;   // a trace and its reference at a million points each
};

struct Framing {
    enum class Verdict { Incomplete, Whole, Refused };
    Verdict verdict = Verdict::Incomplete;
    // Incomplete: the header is here, the body on its way; the client may
    // wait for "100 Continue" before it sends the body.
    bool header_done = false;
    bool expects_continue = false;
    std::size_t body_length = 0; // once the header is done
    // Whole: how many bytes of the connection the request takes, and the
    // request as the parser gets it, without the headers we do not honour
    // (Range, If-Range, Accept-Encoding, Expect).
    std::size_t length = 0;
    std::string request;
    // Refused: the status and why, for the client; the connection then ends.
    int status = 0;
    std::string message;
};

// Looks at the bytes received so far (from the start of a request).
Framing frame_request(std::string_view bytes, const RequestLimits &limits);

// A whole answer of our own, for refusals made before the request is
// parsed: `status` with {"error": message} as JSON, and Connection: close.
std::string refusal_response(int status, const std::string &message);

// The reason phrase of the statuses we answer with.
const char *status_text(int status);

} // namespace snt
