// snt at the bench, as a user runs it: the crystal stored on a board whose
// flash stalls the chip, the records beside each CSV, sweeps that end
// early, sweeps of nothing but gaps, logarithmic sweeps, saved sweeps
// drawn again, and the estimate given before anything is sent.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "board_fixture.h"
#include "child_processes.h"
#include "fake_tester.h"
#include "files.h"
#include "protocol.h"
#include "pseudo_terminal.h"
#include "shells/snt/device.h"
#include "shells/snt/serial_port.h"

namespace snt_test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// A serial link between the host and a board on a pseudo-terminal. With
// `hold_after_x`, the bytes that follow an `x` line wait until the next line
// is complete and then reach the board in one piece, as when a host sends
// `w` at once behind `x`: the board gets them while the chip writes its
// flash. Records every line the host sent.
class Link {
public:
    Link(const std::string &board_port, bool hold_after_x) : hold_after_x_(hold_after_x)
    {
        host_port_ = open_raw_pty(master_, slave_);
        board_ = open(board_port.c_str(), O_RDWR | O_NOCTTY);
        if (board_ < 0) throw std::runtime_error("cannot open the board's port");
        make_raw(board_);
        thread_ = std::thread([this] { run(); });
    }
    ~Link()
    {
        stop_ = true;
        thread_.join();
        close(board_);
        close(slave_);
        close(master_);
    }
    const std::string &host_port() const { return host_port_; }
    std::vector<std::string> host_lines() const
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    void run()
    {
        std::string line, held;
        bool holding = false;
        while (!stop_) {
            pollfd p[2] = {{master_, POLLIN, 0}, {board_, POLLIN, 0}};
            if (poll(p, 2, 10) <= 0) continue;
            char buf[512];
            if (p[1].revents & POLLIN) {
                const ssize_t n = read(board_, buf, sizeof buf);
                if (n > 0) [[maybe_unused]]
                    auto w = write(master_, buf, static_cast<std::size_t>(n));
            }
            if (!(p[0].revents & POLLIN)) continue;
            const ssize_t n = read(master_, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i) {
                held += buf[i];
                if (buf[i] != '\r') {
                    line += buf[i];
                    continue;
                }
                {
                    const std::lock_guard<std::mutex> lock(mutex_);
                    lines_.push_back(line);
                }
                const bool is_x = line.rfind("x ", 0) == 0;
                line.clear();
                if (is_x && hold_after_x_ && !holding) {
                    holding = true; // this line and the next go together
                    continue;
                }
                holding = false;
                [[maybe_unused]] auto w = write(board_, held.data(), held.size());
                held.clear();
            }
        }
    }

    bool hold_after_x_;
    int master_ = -1, slave_ = -1, board_ = -1;
    std::string host_port_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The crystal frequency a settings page holds, as the board announces it.
std::string announced_crystal(const std::string &page)
{
    const ProcessResult r = run_process({built_program("snt-sim"), "--flash", page}, "w\r");
    return r.out.substr(0, r.out.find('\r'));
}

std::vector<std::string> after_x(const std::vector<std::string> &lines)
{
    std::vector<std::string> out;
    bool seen = false;
    for (const auto &l : lines) {
        if (seen) out.push_back(l);
        seen = seen || l.rfind("x ", 0) == 0;
    }
    return out;
}

using SntBench = ReapsOrphans;

TEST_F(SntBench, AConfirmationLostInTheFlashStallIsAskedForAgain)
{
    const TempDir dir("snt_bench");
    const std::string page = dir / "page.bin";
    PtySim board({"--flash", page});
    // No wait after `x`: the `w` reaches the board while the chip erases its
    // page, and the receiver, holding one byte, loses it.
    Link link(board.port(), true);
    snt::SerialPort port(link.host_port());
    snt::Timing timing;
    timing.flash_write = std::chrono::milliseconds(0);
    snt::Device device(port, timing);
    EXPECT_NO_THROW(device.set_crystal(26000000));
    EXPECT_EQ(after_x(link.host_lines()), (std::vector<std::string>{"w", "w"})) << "asked once more";
    EXPECT_EQ(device.identify(), ID_TEXT) << "nothing left over on the line";
    EXPECT_EQ(announced_crystal(page), "26000000");
}

TEST_F(SntBench, TheWaitAfterXLetsTheFirstConfirmationThrough)
{
    const TempDir dir("snt_bench");
    const std::string page = dir / "page.bin";
    PtySim board({"--flash", page});
    Link link(board.port(), false);
    snt::SerialPort port(link.host_port());
    snt::Device device(port); // waits Timing::flash_write before its `w`
    EXPECT_NO_THROW(device.set_crystal(24500000));
    EXPECT_EQ(after_x(link.host_lines()), (std::vector<std::string>{"w"}));
    EXPECT_EQ(announced_crystal(page), "24500000");
}

TEST_F(SntBench, XtalStoresAndWarnsWhenFarFromTheAnnouncedValue)
{
    const TempDir dir("snt_bench");
    const std::string page = dir / "page.bin";
    const ProcessResult near = snt({"--flash", page, "xtal", "25000123"});
    ASSERT_EQ(near.exit_code, 0) << near.err;
    EXPECT_EQ(near.err, "");
    EXPECT_EQ(announced_crystal(page), "25000123");
    const ProcessResult far = snt({"--flash", page, "xtal", "26000000"});
    ASSERT_EQ(far.exit_code, 0) << far.err;
    EXPECT_NE(far.err.find("warning: 26000000 Hz is 4.00 % away from the 25000123 Hz the tester announced"),
              std::string::npos)
        << far.err;
    EXPECT_EQ(announced_crystal(page), "26000000") << "a warning, not a refusal";
}

TEST_F(SntBench, EachCsvGetsItsRecordAndEveryFileWrittenIsNamed)
{
    const TempDir dir("snt_bench");
    const std::string ref = dir / "thru.csv", csv = dir / "bp.csv", png = dir / "bp.png";
    const ProcessResult a = snt(
        {"sweep", "--start", "5M", "--stop", "16M", "--points", "23", "--save-ref", ref, "--plot", dir / "thru.png"});
    ASSERT_EQ(a.exit_code, 0) << a.err;
    const ProcessResult r = snt({"--dut", "bandpass:10.7M:1M", "sweep", "--start", "5M", "--stop", "16M", "--points",
                                 "23", "--ref", ref, "--csv", csv, "--plot", png});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("wrote " + csv + "\nwrote " + csv + ".json\nwrote " + png + "\n"), std::string::npos) << r.out;
    EXPECT_NE(a.out.find("wrote " + ref + "\nwrote " + ref + ".json\n"), std::string::npos) << a.out;

    // The CSV stays plain: the header first, then one point a line.
    const auto rows = lines_of(read_file(csv));
    ASSERT_EQ(rows.size(), 24u);
    EXPECT_EQ(rows[0], "frequency_hz,level,db");
    const std::string record = read_file(csv + ".json");
    EXPECT_NE(record.find("\"command\": [\"snt\", \"--dut\", \"bandpass:10.7M:1M\", \"sweep\", \"--start\", \"5M\""),
              std::string::npos)
        << record;
    EXPECT_NE(record.find("\"identification\": \"" ID_TEXT "\""), std::string::npos) << record;
    EXPECT_NE(record.find("\"crystal_hz\": 25000000"), std::string::npos) << record;
    EXPECT_NE(record.find("\"reference\": \"" + ref + "\""), std::string::npos) << record;
    EXPECT_NE(record.find("\"measured\": 23"), std::string::npos) << record;
    EXPECT_NE(read_file(ref + ".json").find("\"reference\": null"), std::string::npos);

    // The reference, read back as --ref, is untouched by its record.
    const ProcessResult again = snt({"sweep", "--start", "5M", "--stop", "16M", "--points", "23", "--ref", ref});
    EXPECT_EQ(again.exit_code, 0) << again.err;

    // A record that would overwrite another output is refused up front.
    const ProcessResult clash =
        snt({"sweep", "--start", "5M", "--stop", "16M", "--points", "23", "--csv", csv, "--plot", csv + ".json"});
    EXPECT_EQ(clash.exit_code, 2);
    EXPECT_NE(clash.err.find("same file"), std::string::npos) << clash.err;
}

TEST_F(SntBench, ALostDeviceLeavesThePointsSoFarInAPartialFile)
{
    const TempDir dir("snt_bench");
    const std::string csv = dir / "cut.csv";
    FakeTester tester;
    tester.start([](const std::string &line) {
        if (line.rfind("r ", 0) == 0) return std::string("36864000000.00\r3686400000.00\r*\r"); // 3 of 5, then silence
        return FakeTester::firmware(line);
    });
    const ProcessResult r =
        snt({"--port", tester.port(), "sweep", "--start", "1M", "--stop", "2M", "--points", "5", "--csv", csv}, 20);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_FALSE(exists(csv)) << "never the file asked for";
    EXPECT_NE(r.err.find("kept the 3 of 5 points measured in " + csv + ".partial"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(csv + ".partial"),
              "frequency_hz,level,db\n"
              "1000000,36864000000.00,0.000\n"
              "1250000,3686400000.00,-10.000\n"
              "1500000,,\n");
    EXPECT_NE(read_file(csv + ".partial.json").find("\"partial\": true"), std::string::npos);
}

// Ctrl-C, and a hang-up: the terminal or the ssh connection went away in
// the middle of a long sweep.
TEST_F(SntBench, AStopSignalKeepsThePointsSoFarInAPartialFile)
{
    for (const int sig : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        const TempDir dir("snt_bench");
        const std::string csv = dir / "long.csv";
        int err_pipe[2];
        ASSERT_EQ(pipe(err_pipe), 0);
        const std::string exe = built_program("snt");
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(err_pipe[1], 2);
            execl(exe.c_str(), exe.c_str(), "sweep", "--start", "1M", "--stop", "100M", "--points", "2000", "--csv",
                  csv.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(err_pipe[1]);
        // Once the progress says a tenth is done, there are points to keep.
        std::string err;
        char buf[256];
        ssize_t n = 0;
        while (err.find("sweep: 10%") == std::string::npos && (n = read(err_pipe[0], buf, sizeof buf)) > 0)
            err.append(buf, static_cast<std::size_t>(n));
        kill(pid, sig);
        while ((n = read(err_pipe[0], buf, sizeof buf)) > 0) err.append(buf, static_cast<std::size_t>(n));
        close(err_pipe[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << err;
        EXPECT_EQ(WEXITSTATUS(status), 128 + sig) << err;
        EXPECT_FALSE(exists(csv));
        const auto rows = lines_of(read_file(csv + ".partial"));
        ASSERT_GE(rows.size(), 201u) << err;
        EXPECT_LT(rows.size(), 2001u);
        EXPECT_EQ(rows[0], "frequency_hz,level,db");
        EXPECT_EQ(rows[1].rfind("1000000,", 0), 0u) << rows[1];
        EXPECT_NE(
            err.find("kept the " + std::to_string(rows.size() - 1) + " of 2000 points measured in " + csv + ".partial"),
            std::string::npos)
            << err;
        EXPECT_NE(err.find(sig == SIGHUP ? "snt: hung up\n" : "snt: interrupted\n"), std::string::npos) << err;
    }
}

TEST_F(SntBench, ASweepOfNothingButGapsFailsButKeepsItsFiles)
{
    const TempDir dir("snt_bench");
    const std::string csv = dir / "gaps.csv";
    FakeTester tester;
    tester.start([](const std::string &line) {
        unsigned long step = 0, count = 0;
        if (std::sscanf(line.c_str(), "r %lu %lu", &step, &count) == 2) {
            std::string out;
            for (unsigned long i = 0; i < count; ++i) out += "*\r";
            return out;
        }
        return FakeTester::firmware(line);
    });
    const ProcessResult r = snt({"--port", tester.port(), "sweep", "--start", "1M", "--stop", "2M", "--points", "5",
                                 "--csv", csv, "--plot", dir / "gaps.png"},
                                20);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("every point is a gap"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("wrote " + csv), std::string::npos) << r.out;
    EXPECT_EQ(count(read_file(csv), ",,\n"), 5);
}

TEST_F(SntBench, ALogSweepStepsUpFromOnePointToTheNext)
{
    FakeTester tester;
    tester.start(FakeTester::firmware);
    const ProcessResult r =
        snt({"--port", tester.port(), "sweep", "--log", "--start", "20k", "--stop", "200M", "--points", "5"}, 20);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // One `f`, then each point's `r` steps on to the next point; the last
    // point goes with the one before it, at the same step.
    EXPECT_EQ(tester.received(), "w\rf 20000\rw\rr 180000 1\rr 1800000 1\rr 18000000 1\rr 180000000 2\r");
    const auto rows = lines_of(r.out);
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[1].substr(0, 6), "20000,");
    EXPECT_EQ(rows[5].substr(0, 10), "200000000,");

    // On the virtual board a log sweep reaches 200 MHz without a gap.
    const ProcessResult v =
        snt({"--dut", "highpass:1M:4", "sweep", "--log", "--start", "20k", "--stop", "200M", "--points", "40"});
    ASSERT_EQ(v.exit_code, 0) << v.err;
    EXPECT_EQ(count(v.out, ",,"), 0) << v.out;
    EXPECT_NE(v.err.find("40 points, each 26.64% above the one before"), std::string::npos) << v.err;
}

TEST_F(SntBench, TheEstimateComesBeforeAnythingIsSent)
{
    const TempDir dir("snt_bench");
    const ProcessResult r =
        snt({"--port", dir / "no-such-port", "sweep", "--start", "1M", "--stop", "1.1M", "--points", "101"});
    EXPECT_EQ(r.exit_code, 1);
    const auto lines = lines_of(r.err);
    ASSERT_EQ(lines.size(), 2u) << r.err;
    EXPECT_EQ(lines[0], "snt: 101 points, 1 kHz apart: about 2.0 s on a real tester (1 PLL reset)");
}

TEST_F(SntBench, SavedSweepsAreDrawnAgainOverlaid)
{
    const TempDir dir("snt_bench");
    const std::string a = dir / "a.csv", b = dir / "b.csv", svg = dir / "both.svg";
    ASSERT_EQ(snt({"sweep", "--start", "5M", "--stop", "16M", "--points", "12", "--csv", a}).exit_code, 0);
    ASSERT_EQ(snt({"--dut", "lowpass:10M:4", "sweep", "--start", "5M", "--stop", "16M", "--points", "12", "--csv", b})
                  .exit_code,
              0);
    const ProcessResult r = snt({"plot", a, b, "--plot", svg, "--ylim=-60:10"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "wrote " + svg + "\n");
    const std::string image = read_file(svg);
    EXPECT_NE(image.find("<svg"), std::string::npos);
    // An output that is one of the inputs, a missing input, a bad range: refused.
    EXPECT_EQ(snt({"plot", a, "--plot", a}).exit_code, 2);
    EXPECT_EQ(snt({"plot", dir / "missing.csv", "--plot", svg}).exit_code, 2);
    EXPECT_EQ(snt({"plot", a, "--plot", svg, "--ylim=10:-60"}).exit_code, 2);
}

TEST_F(SntBench, VersionIsAnswered)
{
    const ProcessResult r = snt({"--version"}, 10);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "snt 1.3.0 (for the tester firmware " ID_TEXT ")\n");
}

} // namespace
} // namespace snt_test
