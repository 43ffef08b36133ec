// snt-sim used as a careless or hostile user would: values that must be
// refused, files that must not be clobbered or waited on, outputs that
// fail, endless input, and stop signals at any moment.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include "board/bench/analog.h"
#include "board/bench/dut_text.h"
#include "board_fixture.h"
#include "child_processes.h"
#include "files.h"
#include "protocol.h"
#include "pseudo_terminal.h"
#include "shells/sim/serial_host.h"
#include "shells/sim/stop_signals.h"
#include "temp_dir.h"

namespace snt_test {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

const std::string kBanner = "25000000\r" ID_TEXT "\r";
const std::string kEndlessSweep = "r 1 2147483647\r";

std::string link_target(const std::string &path)
{
    std::error_code ec;
    return fs::read_symlink(path, ec).string();
}

unsigned mode_of(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A refusal at start: status 2, one line on standard error that starts
// with the program's name and says `says`, and nothing on the serial port.
void expect_refused(const ProcessResult &r, const std::string &says, const std::string &context)
{
    EXPECT_EQ(r.exit_code, 2) << context << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << context << ": " << r.err;
    EXPECT_EQ(r.err.rfind("snt-sim: ", 0), 0u) << context << ": " << r.err;
    EXPECT_NE(r.err.find(says), std::string::npos) << context << ": " << r.err;
    EXPECT_EQ(r.out, "") << context;
}

// A folder of its own for each test.
class Scratch : public ::testing::Test {
protected:
    TempDir folder{"snt_sim_hostile"};
    std::string dir = folder.path();

    std::string at(const std::string &name) const { return folder / name; }
    std::vector<std::string> names() const { return folder.entries(); }
};

// snt-sim as a child process the test talks to and signals. Standard input
// is a pipe the test holds open; standard output is a pipe the test reads
// (or `out_fd`); standard error is collected.
class Child {
public:
    explicit Child(const std::vector<std::string> &args, int out_fd = -1)
    {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
            throw std::runtime_error("pipe");
        std::vector<std::string> argv{built_program("snt-sim")};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out_fd >= 0 ? out_fd : out[1], 1);
            ::dup2(err[1], 2);
            std::vector<char *> a;
            a.reserve(argv.size() + 1);
            for (auto &s : argv) a.push_back(s.data());
            a.push_back(nullptr);
            ::execv(a[0], a.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
        ::fcntl(out_, F_SETFL, O_NONBLOCK);
        ::fcntl(err_, F_SETFL, O_NONBLOCK);
    }
    ~Child()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {in_, out_, err_}) {
            if (fd >= 0) ::close(fd);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }
    int output_fd() const { return out_; }
    const std::string &out() const { return out_text_; }
    const std::string &err() const { return err_text_; }

    void send(const std::string &bytes) const
    {
        ASSERT_EQ(::write(in_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void close_input()
    {
        ::close(in_);
        in_ = -1;
    }

    // Reads standard output until it holds more than `bytes` bytes; false
    // when that takes longer than `limit`.
    bool read_beyond(std::size_t bytes, seconds limit)
    {
        const auto deadline = Clock::now() + limit;
        while (out_text_.size() <= bytes && Clock::now() < deadline) {
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) drain(out_, out_text_);
        }
        return out_text_.size() > bytes;
    }

    // Waits for the child to end; its wait status, or -1 (and the child is
    // killed) when it is still running after `limit`. Standard output is
    // read meanwhile unless `read_output` is false.
    int wait(seconds limit, bool read_output = true)
    {
        const auto deadline = Clock::now() + limit;
        int status = 0;
        for (;;) {
            drain(err_, err_text_);
            if (read_output) drain(out_, out_text_);
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) break;
            if (Clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                pid_ = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
        drain(err_, err_text_);
        drain(out_, out_text_);
        return status;
    }

private:
    static void drain(int fd, std::string &text)
    {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return;
            text.append(buf, static_cast<std::size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string out_text_, err_text_;
};

// The status a program has when it exits with `code` by itself.
::testing::AssertionResult exited_with(int status, int code)
{
    if (status == -1) return ::testing::AssertionFailure() << "still running: killed";
    if (WIFSIGNALED(status)) return ::testing::AssertionFailure() << "killed by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) != code) return ::testing::AssertionFailure() << "exit status " << WEXITSTATUS(status);
    return ::testing::AssertionSuccess();
}

// Generous: only proves that the program does not hang.
constexpr seconds kPrompt{20};

// ======================================== gains that are no usable number

class FixedGain final : public sim::Dut {
public:
    explicit FixedGain(double g) : g_(g) {}
    double gain(double) const override { return g_; }

private:
    double g_;
};

TEST(HostileDevices, GainsThatAreNoFiniteNumberAreRefusedAtStart)
{
    const TempDir dir("snt_sim_hostile");
    const auto s2p = [&](const std::string &name, const std::string &text) {
        write_file(dir / name, text);
        return "touchstone:" + (dir / name);
    };
    struct Case {
        std::string device, says;
    };
    const std::vector<Case> cases = {
        {s2p("ma.s2p", "# MHz S MA R 50\n1 0 0 1e308 0 0 0 0 0\n"), "line 2: |S21| 1e+308 is above the +100 dB"},
        {s2p("db.s2p", "# MHz S DB R 50\n1 0 0 1e308 0 0 0 0 0\n2 0 0 -1e308 0 0 0 0 0\n"), "is above the +100 dB"},
        {s2p("ri.s2p", "# MHz S RI R 50\n1 0 0 1e308 1e308 0 0 0 0\n"), "is above the +100 dB"},
        {s2p("hz.s2p", "# GHz S MA R 50\n1 0 0 1 0 0 0 0 0\n1e300 0 0 1 0 0 0 0 0\n"), "line 3: frequency 1e+300"},
        {"crystal:1e300:1e300", "crystal: \"crystal:1e300:1e300\" gives |S21| = nan"},
        {"crystal:1:1e300", "gives |S21| ="},
    };
    for (const Case &c : cases) {
        try {
            sim::parse_dut(c.device);
            ADD_FAILURE() << "accepted " << c.device;
        } catch (const sim::DutError &e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << c.device << ": " << e.what();
        }
        expect_refused(snt_sim({"--dut", c.device}), "snt-sim: --dut: ", c.device);
    }
    // What is allowed stays allowed: a gain of 0 and an amplifier.
    EXPECT_DOUBLE_EQ(sim::parse_dut(s2p("zero.s2p", "# MHz S MA R 50\n1 0 0 0 0 0 0 0 0\n"))->gain(1e6), 1e-15);
    EXPECT_NEAR(sim::parse_dut(s2p("amp.s2p", "# MHz S DB R 50\n1 0 0 100 0 0 0 0 0\n"))->gain(1e6), 1e5, 1e-6);
}

TEST(HostileDevices, TheFrontEndNeverMakesASampleOfANonFiniteLevel)
{
    const auto outputs = [](int clk) { return clk == 0 ? 10'001'000.0 : 10'000'000.0; };
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    for (double g : {nan, inf, -inf, -1.0, 1e308}) {
        sim::AnalogFrontEnd fe(outputs, std::make_unique<FixedGain>(g), 0.0);
        try {
            fe.sample(1000);
            ADD_FAILURE() << "a sample for a gain of " << g;
        } catch (const sim::DutError &e) {
            EXPECT_NE(std::string(e.what()).find("at 10000000 Hz"), std::string::npos) << e.what();
        }
        EXPECT_THROW(fe.amplitude(), sim::DutError) << g;
    }
    // Finite but enormous gains and noise clip to the ADC's range.
    sim::AnalogFrontEnd loud(outputs, std::make_unique<FixedGain>(1e300), 1e307);
    for (sim::Cycles t = 0; t < 64'000; t += 500) {
        const std::uint16_t v = loud.sample(t);
        EXPECT_TRUE(v == 0 || v == 4095) << v;
    }
}

// ============================================ input files: bounded, regular

class HostileInputFiles : public Scratch {};

TEST_F(HostileInputFiles, DevicesFifosAndHugeFilesAreRefusedWithoutWaitingOrGrowing)
{
    const std::string fifo = at("fifo.s2p");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string sparse = at("sparse.s2p");
    {
        std::ofstream(sparse) << "# MHz S MA R 50\n";
    }
    fs::resize_file(sparse, 200u << 20); // 200 MB that take no room
    std::string line(5000, ' ');
    write_file(at("long.s2p"), "# MHz S MA R 50\n1 0 0 1 0 0 0 0 0\n!" + line + "\n");
    std::string many = "# Hz S MA R 50\n";
    for (int i = 1; i <= 100'001; ++i) many += std::to_string(i) + " 0 0 1 0 0 0 0 0\n";
    write_file(at("many.s2p"), many);

    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--dut", "touchstone:/dev/zero"}, "--dut: touchstone: /dev/zero: not a regular file"},
        {{"--dut", "touchstone:" + fifo}, "fifo.s2p: not a regular file"},
        {{"--dut", "touchstone:" + sparse}, "209715200 bytes; a Touchstone file may have at most 16777216"},
        {{"--dut", "touchstone:" + at("long.s2p")}, "long.s2p line 3: longer than 4096 characters"},
        {{"--dut", "touchstone:" + at("many.s2p")}, "line 100002: more than the 100000 points"},
        {{"--flash", fifo}, "--flash: settings page file " + fifo + " is not a regular file"},
        {{"--flash", "/dev/zero"}, "is not a regular file"},
        {{"--image", fifo}, "--image: " + fifo + ": not a regular file"},
        {{"--image", "/dev/zero"}, "not a regular file"},
    };
    for (const Case &c : cases) {
        const ProcessResult r = snt_sim(c.args, "", 20);
        expect_refused(r, c.says, c.args[0] + " " + c.args[1]);
    }
}

// ======================================== outputs: nothing changes on refusal

class HostileOutputs : public Scratch {};

TEST_F(HostileOutputs, ARefusedRunCreatesAndEmptiesNothing)
{
    const std::string keep = "keep me\n";
    for (const char *name : {"a.log", "b.vcd", "page.bin"}) write_file(at(name), keep);
    write_file(at("page.bin"), std::string(1024, '\xFF'));
    write_file(at("thru.s2p"), "# MHz S MA R 50\n1 0 0 1 0 0 0 0 0\n");
    ASSERT_EQ(::symlink("/dev/null", at("taken").c_str()), 0);
    const std::string missing_dir = at("no/such/dir");

    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--bus-log", at("a.log"), "--vcd", missing_dir + "/x.vcd"}, "--vcd " + missing_dir + "/x.vcd: No such file"},
        {{"--vcd", at("new.vcd"), "--bus-log", missing_dir + "/b.log"}, "--bus-log " + missing_dir},
        {{"--vcd", at("b.vcd"), "--bus-log", at("new.log"), "--pty", at("taken")}, "--pty " + at("taken")},
        {{"--vcd", at("b.vcd"), "--bus-log", at("new.log"), "--dut", "cable"}, "--dut: unknown device"},
        {{"--vcd", at("b.vcd"), "--xtal", "nan"}, "--xtal"},
        {{"--vcd", at("new.vcd"), "--bus-log", at("new.vcd")}, "the same file as --vcd"},
        {{"--vcd", at("page.bin"), "--flash", at("page.bin")},
         "--vcd " + at("page.bin") + ": the same file as --flash"},
        {{"--bus-log", at("thru.s2p"), "--dut", "touchstone:" + at("thru.s2p")}, "the same file as --dut"},
    };
    for (const Case &c : cases) {
        std::string context;
        for (const auto &a : c.args) context += a + " ";
        expect_refused(snt_sim(c.args, "w\r"), c.says, context);
        EXPECT_EQ(read_file(at("a.log")), keep) << context;
        EXPECT_EQ(read_file(at("b.vcd")), keep) << context;
        EXPECT_EQ(read_file(at("page.bin")), std::string(1024, '\xFF')) << context;
        EXPECT_EQ(names(), (std::vector<std::string>{"a.log", "b.vcd", "page.bin", "taken", "thru.s2p"})) << context;
    }

    // Accepted, the same options take the files over.
    const ProcessResult r = snt_sim({"--vcd", at("b.vcd"), "--bus-log", at("a.log")}, "w\r");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(at("b.vcd")).rfind("$date", 0), 0u);
    EXPECT_NE(read_file(at("a.log")).find(" C0 10 80\n"), std::string::npos);
}

TEST_F(HostileOutputs, AFailedWriteExitsNonZeroWithTheReason)
{
    for (const char *option : {"--vcd", "--bus-log"}) {
        const ProcessResult r = snt_sim({option, "/dev/full"}, "w\r");
        EXPECT_EQ(r.exit_code, 1) << option << ": " << r.err;
        EXPECT_NE(r.err.find(std::string("snt-sim: ") + option + " /dev/full: cannot write: No space left on device"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }

    // The serial port's own output, standard output, too.
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    Child child({}, full);
    ::close(full);
    child.send("w\r");
    const int status = child.wait(kPrompt);
    EXPECT_TRUE(exited_with(status, 1)) << child.err();
    EXPECT_NE(child.err().find("snt-sim: standard output: cannot write: No space left on device"), std::string::npos)
        << child.err();
}

// =================================================== the settings page file

class HostilePageFile : public Scratch {};

TEST_F(HostilePageFile, WrittenWhereItsLinkLeadsWithItsModeAndNeverThroughAPlantedLink)
{
    const std::string erased(1024, '\xFF');
    write_file(at("real.bin"), erased);
    ASSERT_EQ(::chmod(at("real.bin").c_str(), 0640), 0);
    ASSERT_EQ(::symlink("real.bin", at("page.bin").c_str()), 0);
    // Temporary names an older version used: links planted there lead nowhere useful.
    ASSERT_EQ(::symlink(at("victim").c_str(), at("page.bin.tmp").c_str()), 0);
    ASSERT_EQ(::symlink(at("victim").c_str(), at("real.bin.tmp").c_str()), 0);

    const ProcessResult r = snt_sim({"--flash", at("page.bin")}, "x 26000000\r");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string stored = erased;
    stored.replace(0, 4, std::string("\x80\xBA\x8C\x01", 4)); // 26,000,000 little-endian
    EXPECT_EQ(link_target(at("page.bin")), "real.bin") << "the link stays a link";
    EXPECT_EQ(read_file(at("real.bin")), stored) << "and the page it leads to holds the new value";
    EXPECT_EQ(mode_of(at("real.bin")), 0640u);
    EXPECT_FALSE(fs::exists(at("victim")));
    EXPECT_EQ(names(), (std::vector<std::string>{"page.bin", "page.bin.tmp", "real.bin", "real.bin.tmp"}))
        << "no temporary file is left";
    EXPECT_EQ(snt_sim({"--flash", at("page.bin")}).out, "26000000\r" ID_TEXT "\r");

    // A link that leads to no file yet: the page appears where it leads.
    ASSERT_EQ(::symlink("later.bin", at("dangling.bin").c_str()), 0);
    ASSERT_EQ(snt_sim({"--flash", at("dangling.bin")}, "x 27000000\r").exit_code, 0);
    EXPECT_EQ(link_target(at("dangling.bin")), "later.bin");
    EXPECT_EQ(read_file(at("later.bin")).substr(0, 4), std::string("\xC0\xFC\x9B\x01", 4));
}

TEST_F(HostilePageFile, AReadOnlyPageIsRefusedAndLeftAsItIs)
{
    const std::string erased(1024, '\xFF');
    write_file(at("ro.bin"), erased);
    ASSERT_EQ(::chmod(at("ro.bin").c_str(), 0444), 0);
    const auto before = fs::last_write_time(at("ro.bin"));
    expect_refused(snt_sim({"--flash", at("ro.bin")}, "x 26000000\r"),
                   "--flash: settings page file " + at("ro.bin") + " is read-only", "0444");
    EXPECT_EQ(read_file(at("ro.bin")), erased);
    EXPECT_EQ(mode_of(at("ro.bin")), 0444u);
    EXPECT_EQ(fs::last_write_time(at("ro.bin")), before);

    // A page that cannot be made: its folder is missing.
    expect_refused(snt_sim({"--flash", at("no/dir/p.bin")}, "x 26000000\r"),
                   "cannot be made in " + at("no/dir") + ": No such file or directory", "missing folder");
}

// ======================================================== the pseudo-terminal

class HostilePty : public Scratch {};

TEST_F(HostilePty, AnExistingPathIsNeverReplaced)
{
    write_file(at("file"), "mine");
    ASSERT_EQ(::symlink("file", at("link").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", at("dangling").c_str()), 0);
    ASSERT_EQ(::mkdir(at("folder").c_str(), 0700), 0);
    for (const char *name : {"file", "link", "dangling", "folder"}) {
        expect_refused(snt_sim({"--pty", at(name)}), "--pty " + at(name) + ": File exists", name);
    }
    EXPECT_EQ(read_file(at("file")), "mine");
    EXPECT_EQ(link_target(at("link")), "file");
    EXPECT_EQ(link_target(at("dangling")), "nowhere");
    EXPECT_TRUE(fs::is_directory(at("folder")));
    expect_refused(snt_sim({"--pty", at("no/dir/port")}), "--pty " + at("no/dir/port") + ": No such file or directory",
                   "missing folder");
}

// ============================================================== bad values

TEST(HostileValues, EveryBadValueExitsTwoNamingTheOption)
{
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--xtal", "nan"}, "--xtal: must be a frequency from 1000000 to 50000000 Hz, not \"nan\""},
        {{"--xtal", "inf"}, "--xtal: must be a frequency"},
        {{"--xtal", "-inf"}, "--xtal: must be a frequency"},
        {{"--xtal", "1e300"}, "--xtal: must be a frequency"},
        {{"--xtal", "25000000x"}, "--xtal: must be a frequency"},
        {{"--xtal", ""}, "--xtal"},
        {{"--pty", ""}, "--pty: an empty path"},
        {{"--flash", ""}, "--flash: an empty path"},
        {{"--vcd", ""}, "--vcd: an empty path"},
        {{"--bus-log", ""}, "--bus-log: an empty path"},
        {{"--image", ""}, "--image: an empty path"},
        {{"--vcd", "/nonexistent/dir/x.vcd"}, "--vcd /nonexistent/dir/x.vcd: No such file or directory"},
        {{"--bus-log", "/nonexistent/dir/b.log"}, "--bus-log /nonexistent/dir/b.log: No such file or directory"},
        {{"--vcd", "/"}, "--vcd /: Is a directory"},
        {{"--image", "/nonexistent/x.elf"}, "--image: /nonexistent/x.elf: No such file or directory"},
    };
    for (const Case &c : cases) expect_refused(snt_sim(c.args), c.says, c.args[0] + " '" + c.args[1] + "'");

    // The edges of the range are values like any other.
    EXPECT_EQ(snt_sim({"--xtal", "1e6"}, "w\r").exit_code, 0);
    EXPECT_EQ(snt_sim({"--xtal", "50000000"}, "w\r").exit_code, 0);
}

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
    for (const int signal : {SIGTERM, SIGINT}) {
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
