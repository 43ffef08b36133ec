// A tester played by the test: the far end of a pseudo-terminal whose
// other end snt opens as its serial port. It answers each line it receives
// as the test says, can keep sending on its own as a broken or hostile
// device would, and records every byte it was sent.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "protocol.h"
#include "pseudo_terminal.h"

namespace snt_test {

class FakeTester {
public:
    // The bytes to send back for one received line (without its carriage
    // return).
    using Answer = std::function<std::string(const std::string &line)>;

    // What the tester's firmware answers: `w` with the identification,
    // `r STEP COUNT` with COUNT levels; every other line is silent.
    static std::string firmware(const std::string &line)
    {
        if (line == "w") return ID_TEXT "\r";
        unsigned long step = 0, count = 0;
        if (std::sscanf(line.c_str(), "r %lu %lu", &step, &count) == 2) {
            std::string out;
            for (unsigned long i = 0; i < count; ++i) out += "36864000000.00\r";
            return out;
        }
        return "";
    }

    FakeTester()
    {
        name_ = open_raw_pty(master_, slave_);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~FakeTester()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        close(slave_);
        close(master_);
    }
    FakeTester(const FakeTester &) = delete;
    FakeTester &operator=(const FakeTester &) = delete;

    // The port to give snt.
    const std::string &port() const { return name_; }

    // Starts playing: answers lines with `answer`; and, when `chatter` is
    // not empty, sends it over and over (every millisecond or so) for at
    // most `chatter_for`, so that even a host that never gives up ends.
    void start(Answer answer, std::string chatter = "",
               std::chrono::milliseconds chatter_for = std::chrono::seconds(20))
    {
        thread_ = std::thread([this, answer = std::move(answer), chatter = std::move(chatter), chatter_for] {
            const auto chatter_end = std::chrono::steady_clock::now() + chatter_for;
            std::string line, out;
            while (!stop_) {
                const bool chatting = !chatter.empty() && std::chrono::steady_clock::now() < chatter_end;
                if (chatting && out.size() < 65536) out += chatter;
                pollfd p{master_, POLLIN, 0};
                poll(&p, 1, chatting || !out.empty() ? 1 : 20);
                char buf[512];
                const ssize_t n = read(master_, buf, sizeof buf);
                for (ssize_t i = 0; i < n; ++i) {
                    {
                        const std::lock_guard<std::mutex> lock(mutex_);
                        received_ += buf[i];
                    }
                    if (buf[i] != '\r') {
                        line += buf[i];
                        continue;
                    }
                    if (answer) out += answer(line);
                    line.clear();
                }
                if (!out.empty()) {
                    const ssize_t w = write(master_, out.data(), out.size());
                    if (w > 0) out.erase(0, static_cast<std::size_t>(w));
                }
            }
        });
    }

    // Every byte snt has sent so far.
    std::string received() const
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    int master_ = -1, slave_ = -1;
    std::string name_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::string received_;
};

} // namespace snt_test
