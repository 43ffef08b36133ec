#include "shells/sim/gdb_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "shells/sim/stop_signals.h"

namespace sim {

namespace {

// How long a reply may wait for room in the socket before GDB counts as
// gone.
constexpr int kSendTimeoutMs = 5000;

bool is_ipv4(const std::string &text)
{
    in_addr a{};
    return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

std::string system_error(const std::string &what) { return what + ": " + std::strerror(errno); }

} // namespace

GdbAddress GdbAddress::parse(const std::string &text)
{
    GdbAddress a;
    const auto colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
    const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535) {
        throw GdbAddressError(text + ": give [HOST:]PORT with PORT a number from 0 to 65535");
    }
    a.port = std::stoi(port);
    if (host == "localhost") host = "127.0.0.1";
    if (colon != std::string::npos) {
        if (!is_ipv4(host)) throw GdbAddressError(text + ": HOST must be an IPv4 address or localhost");
        a.host = host;
    }
    return a;
}

GdbServer::GdbServer(const GdbAddress &address, Board &board, ChipCpu &cpu, StopSignals &stop)
    : cpu_(cpu), stop_(stop), target_(board, cpu)
{
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd_ < 0) throw GdbAddressError(system_error("socket"));
    const int on = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(address.port));
    ::inet_pton(AF_INET, address.host.c_str(), &sa.sin_addr);
    socklen_t len = sizeof sa;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(listen_fd_, 1) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        const std::string why = system_error(address.host + ":" + std::to_string(address.port));
        ::close(listen_fd_);
        throw GdbAddressError(why);
    }
    port_ = ntohs(sa.sin_port);
}

GdbServer::~GdbServer()
{
    if (conn_fd_ >= 0) ::close(conn_fd_);
    ::close(listen_fd_);
}

void GdbServer::hold_until_attached()
{
    waiting_for_debugger_ = true;
    cpu_.request_halt();
    cpu_.take_halt();
}

bool GdbServer::holding() const
{
    if (stub_) return !stub_->running();
    return waiting_for_debugger_;
}

void GdbServer::service(int wait_ms)
{
    const int timeout = holding() ? wait_ms : 0;
    if (conn_fd_ < 0) {
        if (stop_.wait(listen_fd_, POLLIN, timeout) == StopSignals::Wait::Ready) accept_debugger();
        return;
    }
    if (stub_->running()) {
        if (const std::optional<StopEvent> s = target_.take_stop()) stub_->report_stop(*s);
    }
    // A stop just reported may have left the core held: wait then.
    if (stop_.wait(conn_fd_, POLLIN, holding() ? timeout : 0) == StopSignals::Wait::Ready) read_debugger();
    if (conn_fd_ >= 0) write_debugger();
    if (conn_fd_ >= 0 && stub_->finished()) close_debugger();
}

void GdbServer::accept_debugger()
{
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return; // gone before we took it: wait for the next
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    conn_fd_ = fd;
    waiting_for_debugger_ = false;
    target_.attach();
    stub_ = std::make_unique<GdbStub>(target_);
}

void GdbServer::read_debugger()
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(conn_fd_, buf, sizeof buf, 0);
        if (n > 0) {
            stub_->receive(std::string_view(buf, static_cast<std::size_t>(n)));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // GDB went away without detaching: the target runs on without it.
        if (!stub_->finished()) target_.detach();
        close_debugger();
        return;
    }
}

void GdbServer::write_debugger()
{
    const std::string out = stub_->take_output();
    std::size_t sent = 0;
    while (sent < out.size()) {
        const ssize_t n = ::send(conn_fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{conn_fd_, POLLOUT, 0};
            if (::poll(&p, 1, kSendTimeoutMs) > 0) continue;
        }
        if (!stub_->finished()) target_.detach();
        close_debugger();
        return;
    }
}

void GdbServer::close_debugger()
{
    ::close(conn_fd_);
    conn_fd_ = -1;
    stub_.reset();
}

void GdbServer::finish(int exit_code)
{
    if (conn_fd_ < 0) return;
    if (stub_->running()) {
        StopEvent e;
        e.kind = StopEvent::Kind::Exited;
        e.exit_code = exit_code;
        stub_->report_stop(e);
        write_debugger();
    }
    if (conn_fd_ >= 0) close_debugger();
}

} // namespace sim
