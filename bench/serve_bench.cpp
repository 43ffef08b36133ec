// snt serve under a careless or hostile neighbour's load: how long
// GET /api/state takes with the token, alone and while a hundred event
// streams are held open without being read and fifty clients have sent a
// request line and nothing more; and how long a sweep takes meanwhile.
//
//   serve_bench [SNT]      (default: the snt next to this program)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// snt serve on the virtual board, its port and token read from what it prints.
class Server {
public:
    explicit Server(const std::string &snt)
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(out[1], 1);
            execl(snt.c_str(), snt.c_str(), "--dut", "bandpass:10.7M:1M", "serve", "--listen", "127.0.0.1:0",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string printed;
        char buf[512];
        ssize_t n;
        while (printed.find("token=") == std::string::npos ||
               printed.find('\n', printed.find("token=")) == std::string::npos) {
            if ((n = read(out[0], buf, sizeof buf)) <= 0) throw std::runtime_error("snt serve printed no address");
            printed.append(buf, static_cast<std::size_t>(n));
        }
        close(out[0]);
        const auto at = printed.find("http://127.0.0.1:") + 17;
        port = std::stoi(printed.substr(at));
        const auto t = printed.find("token=") + 6;
        token = printed.substr(t, printed.find('\n', t) - t);
    }
    ~Server()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    int port = 0;
    std::string token;

private:
    pid_t pid_ = -1;
};

// A connection that sends `bytes` and then holds on without reading.
class Holder {
public:
    Holder(int port, const std::string &bytes) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) throw std::runtime_error("connect");
        if (send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("send");
    }
    ~Holder() { close(fd_); }
    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;

private:
    int fd_;
};

struct Figures {
    double min, median, p99, max; // ms
};

// `n` requests for the state, each on a connection of its own (as a page
// that has just been opened) or all on one kept alive.
Figures state_latency(const Server &s, int n, bool fresh)
{
    std::vector<double> ms;
    auto client = std::make_unique<httplib::Client>("127.0.0.1", s.port);
    for (int i = 0; i < n; ++i) {
        if (fresh) client = std::make_unique<httplib::Client>("127.0.0.1", s.port);
        client->set_keep_alive(!fresh);
        const auto t0 = Clock::now();
        auto r = client->Get("/api/state", {{"X-SNT-Token", s.token}});
        if (!r || r->status != 200) throw std::runtime_error("no state");
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms.front(), ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back()};
}

// Seconds for a sweep of `points`, from the request to its end.
double sweep_seconds(const Server &s, int points)
{
    httplib::Client c("127.0.0.1", s.port);
    const httplib::Headers token{{"X-SNT-Token", s.token}};
    const auto t0 = Clock::now();
    auto r = c.Post("/api/sweep", token,
                    "{\"start\": \"5M\", \"stop\": \"16M\", \"points\": " + std::to_string(points) + "}",
                    "application/json");
    if (!r || r->status != 202) throw std::runtime_error("sweep refused");
    for (;;) {
        auto st = c.Get("/api/state", token);
        if (st && st->body.find("\"status\":\"running\"") == std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void print(const char *what, const Figures &f)
{
    std::printf("%-58s min %6.2f  median %6.2f  99%% %6.2f  max %6.2f ms\n", what, f.min, f.median, f.p99, f.max);
}

} // namespace

int main(int argc, char **argv)
{
    const std::string snt =
        argc > 1 ? argv[1] : (std::filesystem::canonical("/proc/self/exe").parent_path() / "snt").string();
    try {
        const Server s(snt);
        print("GET /api/state, idle server, one connection kept alive", state_latency(s, 500, false));
        print("GET /api/state, idle server, a new connection each", state_latency(s, 500, true));
        std::printf("sweep of 221 points, idle server: %.2f s\n", sweep_seconds(s, 221));

        const auto t0 = Clock::now();
        std::vector<std::unique_ptr<Holder>> held;
        held.reserve(150);
        const std::string host = "Host: 127.0.0.1:" + std::to_string(s.port) + "\r\n";
        for (int i = 0; i < 100; ++i)
            held.push_back(std::make_unique<Holder>(
                s.port, "GET /api/events HTTP/1.1\r\n" + host + "X-SNT-Token: " + s.token + "\r\n\r\n"));
        for (int i = 0; i < 50; ++i) held.push_back(std::make_unique<Holder>(s.port, "GET /api/state HTTP/1.1\r\n"));
        std::printf("100 idle event streams and 50 slow headers connected in %.1f ms\n",
                    std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        print("GET /api/state, under that load, one connection kept alive", state_latency(s, 500, false));
        print("GET /api/state, under that load, a new connection each", state_latency(s, 500, true));
        std::printf("sweep of 221 points, under that load: %.2f s\n", sweep_seconds(s, 221));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "serve_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
