// The connections of `snt serve`: one thread reads what every connection
// sends (poll) until frame_request finds a whole request, and only then
// does a worker answer it through the Router; the connection then comes
// back for its next request. A client that sends nothing, or slowly,
// holds no worker, so the workers are only ever busy answering; event
// streams, each of which holds a worker while it is open, are fewer than
// the workers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace snt {

class Router;

struct ConnectionLimits {
    // Open at once. One more takes the place of the connection that has
    // waited longest for its next request (or, when every one is being
    // answered, is refused with 503).
    std::size_t connections = 256;
    // Answering: event streams (at most the router's limit) and the rest.
    std::size_t workers = 12;
    // Between two requests of a connection, and before its first.
    std::chrono::milliseconds idle{5000};
    // From the first byte of a request to the end of its header (408).
    std::chrono::milliseconds header{10000};
    // From the first byte of a request to the end of its body (408).
    std::chrono::milliseconds request{60000};
    // One write of an answer may wait this long for the client to take it;
    // then the connection is dropped.
    std::chrono::milliseconds write{5000};
    // Requests on one connection; the last answer says Connection: close.
    std::size_t requests_per_connection = 100;
    // Bytes of requests held at once, bodies included: a request whose body
    // would take more is refused with 503.
    std::size_t buffered = std::size_t{192} << 20;
};

class Connections {
public:
    // Starts the reading thread and the workers.
    Connections(Router &router, ConnectionLimits limits);
    // stop(), then waits for every thread.
    ~Connections();
    Connections(const Connections &) = delete;
    Connections &operator=(const Connections &) = delete;

    // A connection just accepted; closed at once after stop().
    void take(int fd);
    // Closes every connection; answers being written end at their next
    // write. Call Router::stop() first, so event streams end too.
    void stop();

    // Connections open now, and of them those being answered.
    std::size_t open() const;
    std::size_t answering() const;

    struct Connection;

private:
    using Clock = std::chrono::steady_clock;
    struct Job {
        std::unique_ptr<Connection> connection;
        std::string request; // whole, as the parser gets it
    };
    using Reading = std::list<std::unique_ptr<Connection>>;
    enum class Next { Wait, Answer, Close };
    struct Step {
        Next next = Next::Wait;
        std::string request; // Answer: as the parser gets it
    };

    void read_loop();
    void work_loop();
    void wake() const;
    void admit(std::unique_ptr<Connection> c);
    bool receive(Connection &c);
    Step serve(Connection &c);
    void step(Reading::iterator it);
    Clock::time_point deadline(const Connection &c) const;
    void expire(Clock::time_point now);
    int poll_timeout(Clock::time_point now) const;
    void answer(Job job);

    Router &router_;
    ConnectionLimits limits_;
    int wake_fd_ = -1; // eventfd: something for the reading thread
    int stop_fd_ = -1; // eventfd, readable once stop() has been called

    mutable std::mutex mutex_;
    std::condition_variable work_cv_;
    bool stopping_ = false;
    std::vector<int> taken_;                            // accepted, not yet read
    std::vector<std::unique_ptr<Connection>> returned_; // answered, ready for more
    std::deque<Job> jobs_;
    std::size_t open_ = 0, answering_ = 0;
    std::size_t buffered_ = 0; // bytes of requests held, for limits_.buffered

    Reading reading_; // the reading thread's own
    std::thread reader_;
    std::vector<std::thread> workers_;
};

} // namespace snt
