// snt-sim given endless input, or stopped by a signal at any moment: it
// reads only what the line takes, and SIGINT and SIGTERM end it promptly in
// every mode, even in the middle of a sweep.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "board/board.h"
#include "shells/sim/sim_board.h"
#include "sim_child.h"

namespace snt_test {
namespace {

using namespace hostile;
namespace fs = std::filesystem;

// ============================================================ endless input

// Writes `a` bytes (never a carriage return) into a pipe as fast as the
// pipe takes them, up to a limit, then closes it.
class EndlessWriter {
public:
    EndlessWriter(int fd, std::size_t limit) : fd_(fd), limit_(limit)
    {
        ::fcntl(fd_, F_SETFL, O_NONBLOCK);
        thread_ = std::thread([this] { run(); });
    }
    ~EndlessWriter() { stop(); }
    // Stops writing; what was written up to now stays written.
    std::size_t stop()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return written_;
    }

private:
    void run()
    {
        const std::string block(4096, 'a');
        while (!stop_ && written_ < limit_) {
            const ssize_t n = ::write(fd_, block.data(), std::min(block.size(), limit_ - written_));
            if (n > 0) {
                written_ += static_cast<std::size_t>(n);
            } else {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 10);
            }
        }
        ::close(fd_);
    }

    int fd_;
    std::size_t limit_;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> written_{0};
    std::thread thread_;
};

TEST(HostileInput, EachModeReadsOnlyWhatTheLineTakes)
{
    // Two seconds of the line carry 23 kB. A host that read its input ahead
    // of the line would take all 8 MB the writer offers.
    constexpr std::size_t kOffered = 8u << 20;
    for (const auto mode : {sim::StdioHost::Mode::Careful, sim::StdioHost::Mode::Stream}) {
        SCOPED_TRACE(mode == sim::StdioHost::Mode::Careful ? "careful" : "stream");
        int in[2];
        ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
        const int out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        EndlessWriter writer(in[1], kOffered);
        std::string serial;
        {
            sim::StopSignals stop;
            sim::SimBoard board;
            sim::StdioHost host(mode, in[0], out, stop);
            host.attach(board);
            board.run_for(ms(2000));
        }
        const std::size_t written = writer.stop();
        ::close(in[0]);
        ::close(out);
        // What the host read, the pipe's own 64 kB, and a block or two.
        EXPECT_LT(written, 200'000u);
        EXPECT_GT(written, 20'000u) << "the line kept taking bytes";
    }
}

TEST(HostileInput, AnOverlongLineReachesTheFirmwareInPiecesAndTheNextLineStillRuns)
{
    const std::size_t long_line = 5 * sim::StdioHost::kMaxLine + 17;
    const ProcessResult r = snt_sim({}, std::string(long_line, 'x') + "\rw\r");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, kBanner + ID_TEXT "\r");
}

// ==================================================== stop signals, any time

TEST(HostileSignals, EndASweepOfTwoToTheThirtyOnePointsInEveryMode)
{
    // A streaming host sends what it has read as if all of it had been there
    // at once, so it waits for the end of its input before the sweep can run.
    struct Case {
        std::vector<std::string> args;
        int signal, status;
        bool end_input;
    };
    std::vector<Case> cases = {
        {{"--stats"}, SIGINT, 130, false},
        {{"--stats"}, SIGTERM, 143, false},
        {{"--stream", "--stats"}, SIGTERM, 143, true},
        {{"--stream"}, SIGINT, 130, true},
        {{"--stats"}, SIGHUP, 129, false},
        {{"--stream"}, SIGHUP, 129, true},
    };
#ifdef SNT_CHIP_IMAGE
    if (fs::exists(SNT_CHIP_IMAGE)) cases.push_back({{"--image", SNT_CHIP_IMAGE, "--stats"}, SIGINT, 130, false});
#endif
    for (const Case &c : cases) {
        std::string context;
        for (const auto &a : c.args) context += a + " ";
        SCOPED_TRACE(context + strsignal(c.signal));
        Child child(c.args);
        child.send(kEndlessSweep);
        if (c.end_input) child.close_input();
        ASSERT_TRUE(child.read_beyond(kBanner.size() + 50, seconds(60))) << "no sweep: " << child.out();
        const auto sent = Clock::now();
        ::kill(child.pid(), c.signal);
        const int status = child.wait(kPrompt);
        EXPECT_TRUE(exited_with(status, c.status)) << child.err();
        EXPECT_LT(Clock::now() - sent, kPrompt);
        if (std::find(c.args.begin(), c.args.end(), "--stats") != c.args.end()) {
            EXPECT_EQ(child.err().rfind("cycles ", 0), 0u) << "statistics at exit: " << child.err();
        } else {
            EXPECT_EQ(child.err(), "");
        }
    }
}

TEST(HostileSignals, EndAWaitForInputOrForRoomToWrite)
{
    {
        SCOPED_TRACE("careful: waiting for the next line");
        Child child({});
        ASSERT_TRUE(child.read_beyond(kBanner.size() - 1, seconds(60)));
        ::kill(child.pid(), SIGTERM);
        EXPECT_TRUE(exited_with(child.wait(kPrompt), 143)) << child.err();
    }
    {
        SCOPED_TRACE("stream: waiting for the first input");
        Child child({"--stream"});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::kill(child.pid(), SIGINT);
        EXPECT_TRUE(exited_with(child.wait(kPrompt), 130)) << child.err();
    }
    {
        // A pipe of one page that nobody reads: the sweep's output fills it
        // within 4096 bytes (about 450 points), and the board then waits for
        // room to write.
        SCOPED_TRACE("careful: standard output full");
        Child child({});
        ASSERT_EQ(::fcntl(child.output_fd(), F_SETPIPE_SZ, 4096), 4096);
        child.send(kEndlessSweep);
        std::this_thread::sleep_for(seconds(5));
        int queued = 0;
        ASSERT_EQ(::ioctl(child.output_fd(), FIONREAD, &queued), 0);
        EXPECT_LE(queued, 4096);
        ::kill(child.pid(), SIGINT);
        EXPECT_TRUE(exited_with(child.wait(kPrompt, false), 130)) << child.err();
    }
}

class HostilePtySignals : public Scratch {};

TEST_F(HostilePtySignals, APseudoTerminalSessionEndsCleanlyDuringASweep)
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        const std::string link = at("port");
        Child child({"--pty", link, "--stats"});
        int fd = -1;
        for (int i = 0; i < 500 && fd < 0; ++i) {
            fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_GE(fd, 0) << "the link never appeared";
        make_raw(fd);
        ASSERT_EQ(::write(fd, kEndlessSweep.data(), kEndlessSweep.size()), static_cast<ssize_t>(kEndlessSweep.size()));
        std::string got;
        const auto deadline = Clock::now() + seconds(60);
        while (std::count(got.begin(), got.end(), '\r') < 10 && Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                char buf[256];
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n > 0) got.append(buf, static_cast<std::size_t>(n));
            }
        }
        ASSERT_GE(std::count(got.begin(), got.end(), '\r'), 10) << "no sweep: " << got;
        ::kill(child.pid(), signal);
        EXPECT_TRUE(exited_with(child.wait(kPrompt), 0)) << child.err();
        ::close(fd);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "the link is removed";
        EXPECT_EQ(child.err().rfind("cycles ", 0), 0u) << child.err();
    }
}

} // namespace
} // namespace snt_test
