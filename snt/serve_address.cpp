// Where `snt serve` listens (--listen) and what an IPv4 address is: what
// the server and its Host check share.
#include <string>

#include "frequency.h"
#include "serve.h"

namespace snt {

namespace {

int port_number(const std::string &text, const std::string &whole)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(text) > 65535)
        throw InputError("--listen " + whole + ": the port must be a number from 0 to 65535");
    return std::stoi(text);
}

} // namespace

ListenAddress ListenAddress::parse(const std::string &text)
{
    ListenAddress a;
    const auto colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
    const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    if (colon == std::string::npos && port.find_first_not_of("0123456789") != std::string::npos) {
        host = text; // a host alone
        a.port_given = false;
    } else {
        a.port = port_number(port, text);
        a.port_given = true;
    }
    if (host == "localhost") host = "127.0.0.1";
    if (!host.empty()) {
        if (!is_ipv4_address(host))
            throw InputError("--listen " + text + ": give HOST:PORT with HOST an IPv4 address or localhost");
        a.host = host;
    }
    return a;
}

bool is_ipv4_address(const std::string &text)
{
    int parts = 0;
    std::size_t i = 0;
    for (;;) {
        std::size_t j = i;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
        if (j == i || j - i > 3 || std::stoi(text.substr(i, j - i)) > 255) return false;
        ++parts;
        if (j == text.size()) return parts == 4;
        if (text[j] != '.' || parts == 4) return false;
        i = j + 1;
    }
}

bool ListenAddress::loopback() const { return host.compare(0, 4, "127.") == 0; }

} // namespace snt
