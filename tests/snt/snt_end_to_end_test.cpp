// snt as a user runs it: against the virtual device it starts itself,
// against an snt-sim on a pseudo-terminal given with --port (as a real
// tester would be), and against ports that misbehave.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <thread>

#include "board_fixture.h"
#include "child_processes.h"
#include "files.h"
#include "protocol.h"
#include "pseudo_terminal.h"

namespace snt_test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> split(const std::string &text, char sep)
{
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == sep) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

struct Row {
    std::string frequency, level, db;
};

std::vector<Row> csv_rows(const std::string &text)
{
    std::vector<Row> rows;
    const auto lines = split(text, '\n');
    EXPECT_FALSE(lines.empty());
    if (lines.empty()) return rows;
    EXPECT_EQ(lines[0], "frequency_hz,level,db");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto c1 = lines[i].find(','), c2 = lines[i].rfind(',');
        rows.push_back({lines[i].substr(0, c1), lines[i].substr(c1 + 1, c2 - c1 - 1), lines[i].substr(c2 + 1)});
    }
    return rows;
}

int one_line(const std::string &err) { return static_cast<int>(std::count(err.begin(), err.end(), '\n')); }

using SntEndToEnd = ReapsOrphans;

// A pseudo-terminal pair: snt gets the slave's name as its port, the test
// plays the device on the master.
class FakePort {
public:
    FakePort() { name_ = open_raw_pty(master_, slave_); }
    ~FakePort()
    {
        stop_ = true;
        if (answerer_.joinable()) answerer_.join();
        close(slave_);
        close(master_);
    }
    const std::string &name() const { return name_; }

    // Answers every "w" line with `reply`; ignores all other lines.
    void answer_with(const std::string &reply)
    {
        answerer_ = std::thread([this, reply] {
            std::string line;
            while (!stop_) {
                pollfd p{master_, POLLIN, 0};
                if (poll(&p, 1, 20) <= 0) continue;
                char buf[256];
                const ssize_t n = read(master_, buf, sizeof buf);
                if (n <= 0) continue;
                for (ssize_t i = 0; i < n; ++i) {
                    if (buf[i] != '\r') {
                        line += buf[i];
                        continue;
                    }
                    if (line == "w") {
                        [[maybe_unused]] auto w = write(master_, reply.data(), reply.size());
                    }
                    line.clear();
                }
            }
        });
    }

private:
    int master_ = -1, slave_ = -1;
    std::string name_;
    std::thread answerer_;
    std::atomic<bool> stop_{false};
};

TEST_F(SntEndToEnd, IdShowsTheIdentificationAndTheBannerCrystal)
{
    const ProcessResult r = snt({"id"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, ID_TEXT "\ncrystal frequency 25000000 Hz (announced at start-up)\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(no_children_left());
}

TEST_F(SntEndToEnd, SilentCommandsAreConfirmed)
{
    for (const auto &args : std::vector<std::vector<std::string>>{{"set", "10.7M"}, {"off"}, {"cal"}}) {
        const ProcessResult r = snt(args);
        EXPECT_EQ(r.exit_code, 0) << args[0] << ": " << r.err;
        EXPECT_FALSE(r.out.empty());
    }
    const ProcessResult cal = snt({"cal"});
    EXPECT_NE(cal.out.find("snt xtal HZ"), std::string::npos) << cal.out;

    const TempDir dir("snt_e2e");
    const std::string flash = dir / "flash.bin";
    const ProcessResult x = snt({"--flash", flash, "xtal", "25000123"});
    EXPECT_EQ(x.exit_code, 0) << x.err;
    const ProcessResult id = snt({"--flash", flash, "id"});
    EXPECT_NE(id.out.find("crystal frequency 25000123 Hz"), std::string::npos) << id.out << id.err;
    EXPECT_TRUE(no_children_left());
}

TEST_F(SntEndToEnd, RawShowsTheReplies)
{
    const ProcessResult r = snt({"raw", "w"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, ID_TEXT "\n");
    const ProcessResult silent = snt({"raw", "o"});
    EXPECT_EQ(silent.exit_code, 0) << silent.err;
    EXPECT_EQ(silent.out, "");
}

TEST_F(SntEndToEnd, WorksOnAPortLikeARealDevice)
{
    PtySim sim;
    // The banner was sent before anyone opened the port.
    const ProcessResult first = snt({"--port", sim.port(), "id"});
    EXPECT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(first.out.rfind(ID_TEXT "\n", 0), 0u) << first.out;
    // The second time the device is already running: no banner, and the
    // port is free again.
    const ProcessResult second = snt({"--port", sim.port(), "id"});
    EXPECT_EQ(second.exit_code, 0) << second.err;
    EXPECT_EQ(second.out, ID_TEXT "\n");
    const ProcessResult set = snt({"--port", sim.port(), "set", "455k"});
    EXPECT_EQ(set.exit_code, 0) << set.err;
}

TEST_F(SntEndToEnd, ABusyPortIsRefused)
{
    PtySim sim;
    const int fd = open(sim.port().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    const auto t0 = Clock::now();
    const ProcessResult r = snt({"--port", sim.port(), "id"}, 10);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(8)); // no hang, with room for a loaded machine
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("in use"), std::string::npos) << r.err;
    EXPECT_EQ(one_line(r.err), 1) << r.err;
    close(fd);
}

TEST_F(SntEndToEnd, AMissingPortIsRefused)
{
    const ProcessResult r = snt({"--port", "/dev/snt-no-such-port", "id"}, 10);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "snt: serial port /dev/snt-no-such-port does not exist\n");
}

TEST_F(SntEndToEnd, ASilentBoardTimesOut)
{
    FakePort port; // nobody answers
    const auto t0 = Clock::now();
    const ProcessResult r = snt({"--port", port.name(), "id"}, 10);
    const auto took = Clock::now() - t0;
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("no answer"), std::string::npos) << r.err;
    EXPECT_EQ(one_line(r.err), 1) << r.err;
    EXPECT_GE(took, std::chrono::milliseconds(400));
    EXPECT_LT(took, std::chrono::seconds(8)); // no hang, with room for a loaded machine
}

TEST_F(SntEndToEnd, AWrongIdentificationIsRefused)
{
    FakePort port;
    port.answer_with("1.2;XYZ\r");
    const ProcessResult r = snt({"--port", port.name(), "id"}, 10);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "snt: unexpected identification: \"1.2;XYZ\" (expected \"" ID_TEXT "\")\n");
}

TEST_F(SntEndToEnd, ASweepThatNeverComesTimesOut)
{
    FakePort port;
    port.answer_with(ID_TEXT "\r"); // a board that knows `w` but not `r`
    const auto t0 = Clock::now();
    const ProcessResult r = snt({"--port", port.name(), "sweep", "--start", "1M", "--stop", "2M", "--points", "5"}, 10);
    const auto took = Clock::now() - t0;
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err,
              "snt: 5 points, 250 kHz apart: about 0.4 s on a real tester (4 PLL resets)\n"
              "snt: no answer from the device within 0.5 s at sweep point 1 of 5\n");
    EXPECT_EQ(r.out, "");
    EXPECT_LT(took, std::chrono::seconds(8)); // no hang, with room for a loaded machine
}

TEST_F(SntEndToEnd, SweepCsvHoldsThePointsTheFirmwareSent)
{
    const std::vector<std::string> board{"--dut", "lowpass:1.5M", "--noise", "0", "--seed", "7"};
    std::vector<std::string> args = board;
    for (const char *a : {"sweep", "--start", "1M", "--stop", "2M", "--step", "100k"}) args.push_back(a);
    const ProcessResult r = snt(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto rows = csv_rows(r.out);
    ASSERT_EQ(rows.size(), 11u) << r.out;

    // The same commands straight to the virtual board.
    std::vector<std::string> sim_argv{built_program("snt-sim")};
    sim_argv.insert(sim_argv.end(), board.begin(), board.end());
    const ProcessResult direct = run_process(sim_argv, "f 1000000\rw\rr 100000 11\r");
    ASSERT_EQ(direct.exit_code, 0) << direct.err;
    const auto lines = split(direct.out, '\r');
    ASSERT_EQ(lines.size(), 3u + 11u) << direct.out; // banner (2 lines), w, then the points
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].frequency, std::to_string(1000000 + 100000 * i));
        // Over a pseudo-terminal the commands reach the virtual board at
        // slightly different moments than from standard input, and the
        // beat's phase at the first sample moves the level by a few parts
        // in 1e5.
        EXPECT_NEAR(std::stod(rows[i].level) / std::stod(lines[3 + i]), 1.0, 1e-4) << "point " << i;
        const double db = 10 * std::log10(std::stod(lines[3 + i]) / 3.6864e10);
        EXPECT_NEAR(std::stod(rows[i].db), db, 0.001);
    }
    // A lowpass at 1.5 MHz: its upper -3 dB point is in the sweep; the
    // summary goes to stderr as the CSV is on stdout.
    EXPECT_NE(r.err.find("-3 dB points: below the start of the sweep, 1."), std::string::npos) << r.err;
    EXPECT_TRUE(no_children_left());
}

TEST_F(SntEndToEnd, ThruAgainstAThruReferenceIsZeroDecibels)
{
    const TempDir dir("snt_e2e");
    const std::string ref = dir / "ref.csv";
    const std::string csv = dir / "thru.csv";
    const std::vector<std::string> range{"sweep", "--start", "100k", "--stop", "150M", "--points", "30"};
    std::vector<std::string> save = range, use = range;
    save.insert(save.end(), {"--save-ref", ref, "--csv", csv});
    use.insert(use.end(), {"--ref", ref, "--seed", "99"});
    const ProcessResult a = snt(save);
    ASSERT_EQ(a.exit_code, 0) << a.err;
    EXPECT_EQ(read_file(ref), read_file(csv)) << "without --ref, the CSV and the reference are the same sweep";
    EXPECT_NE(a.out.find("maximum"), std::string::npos) << "summary on stdout when the CSV goes to a file";
    const ProcessResult b = snt(use);
    ASSERT_EQ(b.exit_code, 0) << b.err;
    const auto rows = csv_rows(b.out);
    ASSERT_EQ(rows.size(), 30u);
    for (const auto &row : rows) EXPECT_NEAR(std::stod(row.db), 0.0, 0.05) << row.frequency;

    // A reference of other frequencies is refused before anything runs.
    const ProcessResult c = snt({"sweep", "--start", "100k", "--stop", "150M", "--points", "31", "--ref", ref});
    EXPECT_EQ(c.exit_code, 2);
    EXPECT_NE(c.err.find("the reference does not fit"), std::string::npos) << c.err;
    EXPECT_EQ(one_line(c.err), 1);
}

TEST_F(SntEndToEnd, FrequenciesTheSynthesizerCannotMakeAreGaps)
{
    const TempDir dir("snt_e2e");
    const std::string csv = dir / "gaps.csv";
    const std::string png = dir / "gaps.png";
    // A start above what a fresh plan reaches (175 MHz) is refused up front,
    // with the reason; nothing is written.
    const ProcessResult r =
        snt({"sweep", "--start", "190M", "--stop", "200M", "--step", "1M", "--csv", csv, "--plot", png});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("above 175 MHz, the highest the synthesizer reaches on a fresh plan"), std::string::npos)
        << r.err;
    EXPECT_EQ(one_line(r.err), 1) << r.err;
    struct stat st {};
    EXPECT_NE(stat(csv.c_str(), &st), 0);

    // Stepping up from below 175 MHz it reaches 200 MHz.
    const ProcessResult up = snt({"sweep", "--start", "170M", "--stop", "200M", "--step", "2M"});
    ASSERT_EQ(up.exit_code, 0) << up.err;
    for (const auto &row : csv_rows(up.out)) EXPECT_NE(row.level, "") << row.frequency;

    // Beyond 200 MHz is refused up front.
    const ProcessResult beyond = snt({"sweep", "--start", "190M", "--stop", "230M", "--step", "1M"});
    EXPECT_EQ(beyond.exit_code, 2);
    EXPECT_NE(beyond.err.find("18.2 kHz to 200 MHz"), std::string::npos) << beyond.err;
}

TEST_F(SntEndToEnd, PlotsPngAndSvg)
{
    for (const char *ext : {"png", "svg"}) {
        const TempDir dir("snt_e2e");
        const std::string path = dir / ("plot." + std::string(ext));
        const ProcessResult r = snt({"--dut", "bandpass:10.7M:1M", "sweep", "--start", "5M", "--stop", "15M",
                                     "--points", "41", "--plot", path});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const std::string data = read_file(path);
        if (std::string(ext) == "png") {
            EXPECT_EQ(data.substr(1, 3), "PNG");
        } else {
            EXPECT_NE(data.find("<svg"), std::string::npos);
        }
        EXPECT_NE(r.out.find("-3 dB bandwidth"), std::string::npos) << r.out;
    }
}

TEST_F(SntEndToEnd, BadInputExits2AndStartsNothing)
{
    const std::vector<std::vector<std::string>> bad = {
        {"sweep", "--start", "20M", "--stop", "1M", "--points", "10"},
        {"sweep", "--start", "1M", "--stop", "20M", "--points", "0"},
        {"sweep", "--start", "1M", "--stop", "20M"},
        {"sweep", "--start", "1M", "--stop", "20M", "--points", "5", "--step", "1M"},
        {"sweep", "--start", "1M", "--stop", "20M", "--points", "5", "--plot", "x.jpg"},
        {"sweep", "--start", "1X", "--stop", "20M", "--points", "5"},
        {"set", "5k"},
        {"xtal", "20M"},
        {"frobnicate"},
        {},
    };
    for (const auto &args : bad) {
        const ProcessResult r = snt(args, 10);
        EXPECT_EQ(r.exit_code, 2) << (args.empty() ? "(none)" : args[0]) << ": " << r.err;
        EXPECT_EQ(one_line(r.err), 1) << r.err;
        EXPECT_EQ(r.err.rfind("snt: ", 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
    }
    // Options the virtual device itself refuses: its message, status 2.
    const ProcessResult dut = snt({"--dut", "wobbly", "id"}, 10);
    EXPECT_EQ(dut.exit_code, 2);
    EXPECT_NE(dut.err.find("wobbly"), std::string::npos) << dut.err;
    EXPECT_EQ(one_line(dut.err), 1) << dut.err;
    EXPECT_TRUE(no_children_left());
}

TEST_F(SntEndToEnd, HelpOnEveryCommand)
{
    for (const char *cmd : {"id", "sweep", "set", "off", "cal", "xtal", "raw"}) {
        const ProcessResult r = snt({cmd, "--help"}, 10);
        EXPECT_EQ(r.exit_code, 0) << cmd;
        EXPECT_NE(r.out.find("Usage"), std::string::npos) << cmd;
    }
    const ProcessResult top = snt({"--help"}, 10);
    EXPECT_EQ(top.exit_code, 0);
    EXPECT_NE(top.out.find("--port"), std::string::npos);
}

// Ctrl-C, SIGTERM and a hang-up (the terminal or the ssh connection gone)
// all stop the virtual device with snt, whatever snt is waiting for.
TEST_F(SntEndToEnd, AStopSignalStopsTheVirtualDeviceToo)
{
    const std::string exe = built_program("snt");
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(null, 2);
            // Long enough on the board's clock to be under way at the signal however fast the virtual board runs.
            execl(exe.c_str(), exe.c_str(), "sweep", "--start", "1M", "--stop", "100M", "--points", "200000",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        kill(pid, sig);
        const auto t0 = Clock::now();
        int status = 0;
        pid_t got = 0;
        while ((got = waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() - t0 < std::chrono::seconds(10))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (got == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "snt did not stop";
            continue;
        }
        EXPECT_LT(Clock::now() - t0, std::chrono::seconds(8));
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 128 + sig);
        EXPECT_TRUE(no_children_left());
    }
}

// `snt sweep | head -1`: standard output closed under it is a failed
// write, said as such, and the virtual device goes with snt.
TEST_F(SntEndToEnd, AClosedPipeOnStandardOutputStopsTheVirtualDeviceToo)
{
    const TempDir dir("snt_end_to_end");
    const std::string err_path = dir / "err";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const std::string exe = built_program("snt");
    const pid_t pid = fork();
    if (pid == 0) {
        close(out[0]); // nobody will ever read
        dup2(out[1], 1);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        execl(exe.c_str(), exe.c_str(), "sweep", "--start", "1M", "--stop", "2M", "--points", "5",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[0]);
    close(out[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    const std::string err = read_file(err_path);
    ASSERT_TRUE(WIFEXITED(status)) << err;
    EXPECT_EQ(WEXITSTATUS(status), 1) << err;
    EXPECT_NE(err.find("snt: cannot write to standard output: Broken pipe\n"), std::string::npos) << err;
    EXPECT_TRUE(no_children_left());
}

} // namespace
} // namespace snt_test
