#include "shells/serve/serve_connections.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "shells/serve/serve_framing.h"
#include "shells/serve/serve_router.h"
#include "shells/snt/interrupt.h"

namespace snt {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = std::size_t{64} << 10;
// The reading thread looks at its deadlines at least this often.
constexpr std::chrono::milliseconds kLongestPoll{1000};

int make_eventfd()
{
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) throw std::runtime_error(std::string("cannot make an event descriptor: ") + std::strerror(errno));
    return fd;
}

void signal_eventfd(int fd)
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
}

void drain_eventfd(int fd)
{
    std::uint64_t count;
    [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
}

// A few bytes of our own to a client, without waiting: a refusal, or
// "100 Continue". What does not fit at once is dropped.
void send_now(int fd, const std::string &bytes)
{
    [[maybe_unused]] const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

void address_of(const sockaddr_storage &a, std::string &ip, int &port)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(a);
        ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(a);
        ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    }
    ip = text;
}

// One request, already received whole, for the parser to read; the answer
// goes straight to the socket, each write waiting at most `write_limit`
// for the client to make room, and none once the server stops.
class RequestStream : public httplib::Stream {
public:
    RequestStream(int fd, std::string request, std::chrono::milliseconds write_limit, int stop_fd)
        : fd_(fd), request_(std::move(request)), write_limit_(write_limit), stop_fd_(stop_fd)
    {}

    bool is_readable() const override { return pos_ < request_.size(); }
    bool is_writable() const override { return wait_for_room(); }

    ssize_t read(char *ptr, size_t size) override
    {
        const std::size_t n = std::min(size, request_.size() - pos_);
        std::memcpy(ptr, request_.data() + pos_, n);
        pos_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char *ptr, size_t size) override
    {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::send(fd_, ptr + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!wait_for_room()) return -1;
            } else {
                return -1;
            }
        }
        return static_cast<ssize_t>(size);
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        port = 0;
        if (::getpeername(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0) address_of(a, ip, port);
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        port = 0;
        if (::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0) address_of(a, ip, port);
    }
    socket_t socket() const override { return fd_; }

private:
    bool wait_for_room() const
    {
        pollfd p[2] = {{fd_, POLLOUT, 0}, {stop_fd_, POLLIN, 0}};
        int n;
        while ((n = ::poll(p, 2, static_cast<int>(write_limit_.count()))) < 0 && errno == EINTR) {}
        return n > 0 && (p[1].revents & POLLIN) == 0 && (p[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
    }

    int fd_;
    std::string request_;
    std::size_t pos_ = 0;
    std::chrono::milliseconds write_limit_;
    int stop_fd_;
};

} // namespace

// A connection, owned by the reading thread while it waits for a request
// and by a worker while one is answered.
struct Connections::Connection {
    Connection(Connections &owner, int fd) : owner(owner), fd(fd), waiting_since(Clock::now()) {}
    ~Connection()
    {
        ::close(fd);
        const std::lock_guard<std::mutex> lock(owner.mutex_);
        --owner.open_;
        owner.buffered_ -= reserved;
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Ready for the next request.
    void next()
    {
        ++served;
        waiting_since = Clock::now();
        first_byte.reset();
        header_done = continue_sent = false;
    }

    Connections &owner;
    int fd;
    std::string in; // received, not yet handed on
    Clock::time_point waiting_since;
    std::optional<Clock::time_point> first_byte; // of the request being received
    bool header_done = false, continue_sent = false;
    std::size_t served = 0;
    std::size_t reserved = 0; // of owner.buffered_, for the request being received or answered
};

Connections::Connections(Router &router, ConnectionLimits limits)
    : router_(router), limits_(limits), wake_fd_(make_eventfd()), stop_fd_(make_eventfd())
{
    // Signals are the main thread's.
    const StopSignalsBlocked blocked;
    reader_ = std::thread([this] { read_loop(); });
    for (std::size_t i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { work_loop(); });
}

Connections::~Connections()
{
    stop();
    ::close(wake_fd_);
    ::close(stop_fd_);
}

void Connections::take(int fd)
{
    // Answers go out as they are written: small writes are not held back.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            taken_.push_back(fd);
            ++open_;
            fd = -1;
        }
    }
    if (fd >= 0) {
        ::close(fd);
        return;
    }
    wake();
}

void Connections::wake() const { signal_eventfd(wake_fd_); }

std::size_t Connections::open() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

std::size_t Connections::answering() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return answering_;
}

void Connections::stop()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    signal_eventfd(stop_fd_);
    wake();
    work_cv_.notify_all();
    if (reader_.joinable()) reader_.join();
    for (auto &w : workers_) {
        if (w.joinable()) w.join();
    }
    // What nobody got to: closed here, outside the lock their ends take.
    std::vector<int> taken;
    std::vector<std::unique_ptr<Connection>> returned;
    std::deque<Job> jobs;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        taken.swap(taken_);
        returned.swap(returned_);
        jobs.swap(jobs_);
        open_ -= taken.size();
    }
    for (const int fd : taken) ::close(fd);
}

// A connection has come: when all are open, it takes the place of the one
// that has waited longest for its next request.
void Connections::admit(std::unique_ptr<Connection> c)
{
    bool full;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        full = open_ > limits_.connections;
    }
    if (full) {
        const auto oldest = std::min_element(reading_.begin(), reading_.end(), [](const auto &a, const auto &b) {
            return a->waiting_since < b->waiting_since;
        });
        if (oldest == reading_.end()) {
            send_now(c->fd, refusal_response(503, "too many connections to snt serve; try again"));
            return; // closed with c
        }
        reading_.erase(oldest);
    }
    reading_.push_back(std::move(c));
}

// Reads what has come. False when the client has closed its end.
bool Connections::receive(Connection &c)
{
    char buf[kReadChunk];
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
        if (!c.first_byte) c.first_byte = Clock::now();
        c.in.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

// What to do with the bytes a connection has sent so far.
Connections::Step Connections::serve(Connection &c)
{
    if (c.in.empty()) return {};
    if (!c.first_byte) c.first_byte = Clock::now(); // sent before its turn came
    Framing f = frame_request(c.in, router_.limits().request);
    if (f.verdict == Framing::Verdict::Refused) {
        send_now(c.fd, refusal_response(f.status, f.message));
        return {Next::Close, ""};
    }
    c.header_done = f.header_done;
    if (f.header_done && c.reserved == 0) {
        const std::size_t need = router_.limits().request.header + f.body_length;
        const std::lock_guard<std::mutex> lock(mutex_);
        if (buffered_ + need > limits_.buffered) {
            send_now(c.fd, refusal_response(503, "snt serve holds too much of other requests now; try again"));
            return {Next::Close, ""};
        }
        buffered_ += need;
        c.reserved = need;
    }
    if (f.verdict == Framing::Verdict::Incomplete) {
        if (f.expects_continue && !c.continue_sent) {
            send_now(c.fd, "HTTP/1.1 100 Continue\r\n\r\n");
            c.continue_sent = true;
        }
        return {};
    }
    c.in.erase(0, f.length);
    return {Next::Answer, std::move(f.request)};
}

// Hands the connection at `it` on to a worker, or closes it, as its bytes say.
void Connections::step(Reading::iterator it)
{
    Step s = serve(**it);
    if (s.next == Next::Wait) return;
    std::unique_ptr<Connection> c = std::move(*it);
    reading_.erase(it);
    if (s.next == Next::Close) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(Job{std::move(c), std::move(s.request)});
    }
    work_cv_.notify_one();
}

// When the connection must be done waiting.
Clock::time_point Connections::deadline(const Connection &c) const
{
    if (!c.first_byte) return c.waiting_since + limits_.idle;
    const auto whole = *c.first_byte + limits_.request;
    return c.header_done ? whole : std::min(whole, *c.first_byte + limits_.header);
}

// Closes the connections that have waited too long: quietly between
// requests, with 408 in the middle of one.
void Connections::expire(Clock::time_point now)
{
    for (auto it = reading_.begin(); it != reading_.end();) {
        const Connection &c = **it;
        if (now < deadline(c)) {
            ++it;
            continue;
        }
        if (c.first_byte)
            send_now(c.fd,
                     refusal_response(408,
                                      c.header_done ? "the request's body took too long to come"
                                                    : "the request's header took too long to come"));
        it = reading_.erase(it);
    }
}

int Connections::poll_timeout(Clock::time_point now) const
{
    auto next = now + kLongestPoll;
    for (const auto &c : reading_) next = std::min(next, deadline(*c));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::max<std::int64_t>(ms, 0)) + 1;
}

void Connections::read_loop()
{
    std::vector<pollfd> fds;
    std::vector<Reading::iterator> at;
    for (;;) {
        std::vector<int> taken;
        std::vector<std::unique_ptr<Connection>> returned;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            taken.swap(taken_);
            returned.swap(returned_);
        }
        for (const int fd : taken) admit(std::make_unique<Connection>(*this, fd));
        for (auto &c : returned) {
            reading_.push_back(std::move(c));
            step(std::prev(reading_.end())); // a request may be here already
        }
        fds.assign(1, pollfd{wake_fd_, POLLIN, 0});
        at.clear();
        for (auto it = reading_.begin(); it != reading_.end(); ++it) {
            fds.push_back(pollfd{(*it)->fd, POLLIN, 0});
            at.push_back(it);
        }
        if (::poll(fds.data(), fds.size(), poll_timeout(Clock::now())) < 0) {
            // Interrupted, or short of memory for a moment: look again.
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (fds[0].revents & POLLIN) drain_eventfd(wake_fd_);
        for (std::size_t i = 0; i < at.size(); ++i) {
            if (fds[i + 1].revents == 0) continue;
            if (receive(**at[i])) {
                step(at[i]);
            } else {
                reading_.erase(at[i]);
            }
        }
        expire(Clock::now());
    }
    reading_.clear();
}

void Connections::work_loop()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_cv_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            ++answering_;
        }
        answer(std::move(job));
        const std::lock_guard<std::mutex> lock(mutex_);
        --answering_;
    }
}

// Answers one request; the connection goes back to the reading thread for
// the next one, or is closed.
void Connections::answer(Job job)
{
    Connection &c = *job.connection;
    const bool last = c.served + 1 >= limits_.requests_per_connection;
    RequestStream stream(c.fd, std::move(job.request), limits_.write, stop_fd_);
    bool again = false;
    try {
        again = router_.answer(stream, last);
    } catch (const std::exception &) {
        again = false; // the answer could not be written
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        buffered_ -= c.reserved;
        c.reserved = 0;
        if (again && !stopping_) {
            c.next();
            returned_.push_back(std::move(job.connection));
        }
    }
    if (!job.connection) {
        wake();
        return;
    }
    job.connection.reset(); // closed
}

} // namespace snt
