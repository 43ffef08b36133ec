#include "shells/serve/serve_framing.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

namespace snt {

namespace {

bool same_name(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool blank(char c) { return c == ' ' || c == '\t'; }

// A header line (without its CR LF) as the parser splits it: trailing
// blanks dropped, the name up to the first colon, the value after the
// blanks that follow it. A line without a colon, or with nothing after it,
// is no header at all.
bool split_header(std::string_view line, std::string_view &name, std::string_view &value)
{
    while (!line.empty() && blank(line.back())) line.remove_suffix(1);
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    name = line.substr(0, colon);
    value = line.substr(colon + 1);
    while (!value.empty() && blank(value.front())) value.remove_prefix(1);
    return !value.empty();
}

// Headers we do not honour, taken out before the parser sees them: ranges
// of a JSON answer, compressed answers, and the wait for "100 Continue"
// (answered, if at all, before the body comes).
bool dropped(std::string_view name)
{
    static constexpr std::string_view kDropped[] = {"Range", "If-Range", "Accept-Encoding", "Expect"};
    return std::any_of(std::begin(kDropped), std::end(kDropped),
                       [&](std::string_view n) { return same_name(name, n); });
}

Framing refused(int status, std::string message)
{
    Framing f;
    f.verdict = Framing::Verdict::Refused;
    f.status = status;
    f.message = std::move(message);
    return f;
}

std::string mib(std::size_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// What the header says about the body, line by line.
struct HeaderFacts {
    std::optional<std::string_view> length;
    bool chunked = false, compressed = false, continue_expected = false, conflicting = false;

    void take(std::string_view name, std::string_view value)
    {
        if (same_name(name, "Content-Length")) {
            if (length && *length != value) conflicting = true;
            length = value;
        } else if (same_name(name, "Transfer-Encoding")) {
            chunked = true;
        } else if (same_name(name, "Content-Encoding")) {
            compressed = true;
        } else if (same_name(name, "Expect")) {
            continue_expected = same_name(value, "100-continue");
        }
    }
};

} // namespace

const char *status_text(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 202:
        return "Accepted";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 414:
        return "URI Too Long";
    case 415:
        return "Unsupported Media Type";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    default:
        return "Internal Server Error";
    }
}

std::string refusal_response(int status, const std::string &message)
{
    const std::string body =
        nlohmann::json{{"error", message}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return "HTTP/1.1 " + std::to_string(status) + " " + status_text(status) +
        "\r\nContent-Type: application/json\r\nCache-Control: no-store\r\nConnection: close\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
}

Framing frame_request(std::string_view bytes, const RequestLimits &limits)
{
    const auto too_large = [&] {
        return refused(431, "the request's header is larger than " + std::to_string(limits.header >> 10) + " KiB");
    };
    // The request line, then header lines up to the empty one.
    std::size_t end = 0;
    std::size_t pos = bytes.find('\n');
    HeaderFacts facts;
    std::vector<std::pair<std::size_t, std::size_t>> cut; // lines taken out: [from, to)
    while (pos != std::string_view::npos) {
        const std::size_t from = pos + 1;
        const std::size_t nl = bytes.find('\n', from);
        if (nl == std::string_view::npos) break;
        const std::string_view line = bytes.substr(from, nl + 1 - from);
        if (line == "\r\n") {
            end = nl + 1;
            break;
        }
        std::string_view name, value;
        if (line.size() >= 2 && line[line.size() - 2] == '\r' &&
            split_header(line.substr(0, line.size() - 2), name, value)) {
            facts.take(name, value);
            if (dropped(name)) cut.emplace_back(from, nl + 1);
        }
        pos = nl;
    }
    if (end == 0) return bytes.size() > limits.header ? too_large() : Framing{};
    if (end > limits.header) return too_large();

    if (facts.chunked) return refused(411, "send the body with a Content-Length, not in chunks");
    if (facts.compressed) return refused(415, "send the body uncompressed (no Content-Encoding)");
    if (facts.conflicting) return refused(400, "two different Content-Length headers");
    std::size_t body = 0;
    if (facts.length) {
        const std::string_view v = *facts.length;
        if (v.size() > 18 || v.find_first_not_of("0123456789") != std::string_view::npos)
            return refused(400, "the Content-Length is not a number of bytes");
        body = std::stoull(std::string(v));
        if (body > limits.body) return refused(413, "the request's body is larger than " + mib(limits.body));
    }
    Framing f;
    f.header_done = true;
    f.body_length = body;
    if (bytes.size() - end < body) {
        f.expects_continue = facts.continue_expected;
        return f;
    }
    f.verdict = Framing::Verdict::Whole;
    f.length = end + body;
    std::size_t at = 0;
    for (const auto &[from, to] : cut) {
        f.request.append(bytes.substr(at, from - at));
        at = to;
    }
    f.request.append(bytes.substr(at, f.length - at));
    return f;
}

} // namespace snt
