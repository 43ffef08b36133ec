// snt-sim as a user runs it: a program with a serial port on its standard
// input and output, or on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
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
#include "temp_dir.h"

namespace snt_test {
namespace {

const std::string kBanner = "25000000\r" ID_TEXT "\r";

TEST(SntSim, CarefulHostRunsEveryLineInOrder)
{
    const ProcessResult r = snt_sim({}, "w\r\r W\rw123\r");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, kBanner + ID_TEXT "\r" ID_TEXT "\r");
    EXPECT_EQ(r.err, "");

    const ProcessResult none = snt_sim({}, "");
    EXPECT_EQ(none.exit_code, 0);
    EXPECT_EQ(none.out, kBanner) << "with no input the board stops once the banner is out";

    const ProcessResult tail = snt_sim({}, "w\rw");
    EXPECT_EQ(tail.out, kBanner + ID_TEXT "\r") << "a last line without its carriage return is never run";
}

TEST(SntSim, StreamingHostLetsLinesReplaceEachOther)
{
    const ProcessResult r = snt_sim({"--stream"}, "w\rw\rw123\r");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, kBanner + ID_TEXT "\r") << "all three lines arrive during start-up; only the newest runs";
}

TEST(SntSim, BadOptionsExitWithStatus2AndOneLine)
{
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"--frobnicate"}, {"--pty"}, {"--vcd"}, {"--stream", "--pty", "/tmp/x"}, {"extra"}}) {
        const ProcessResult r = snt_sim(args, "");
        EXPECT_EQ(r.exit_code, 2) << args[0];
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("snt-sim: ", 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_NE(snt_sim({"--frobnicate"}, "").err.find("--frobnicate"), std::string::npos);

    const ProcessResult help = snt_sim({"--help"}, "");
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("--pty"), std::string::npos);
}

TEST(SntSim, WritesAValueChangeDumpOfPA2)
{
    const TempDir folder("snt_sim_test");
    const std::string path = folder / "pa2.vcd";
    const ProcessResult r = snt_sim({"--vcd", path}, "w\r");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string vcd = text.str();
    EXPECT_NE(vcd.find("$timescale 1ns $end"), std::string::npos);
    EXPECT_NE(vcd.find("$var wire 1 ! pa2 $end"), std::string::npos);
    EXPECT_NE(vcd.find("$var wire 1 \" scl $end"), std::string::npos);
    // PA2 is set high at pin set-up, pulsed by every bus wait and by the command.
    auto count = [&](const std::string &change) {
        int n = 0;
        for (auto at = vcd.find(change); at != std::string::npos; at = vcd.find(change, at + 1)) ++n;
        return n;
    };
    EXPECT_GT(count("\n1!\n"), 100);
    EXPECT_EQ(count("\n1!\n"), count("\n0!\n"));
    EXPECT_GT(count("\n0\"\n"), 27) << "the clock line carries the start-up transactions";
    EXPECT_GT(count("\n0#\n"), 6) << "and so does the data line";

    const ProcessResult bad = snt_sim({"--vcd", "/nonexistent/dir/x.vcd"}, "");
    EXPECT_NE(bad.exit_code, 0);
    EXPECT_NE(bad.err.find("/nonexistent/dir/x.vcd"), std::string::npos);
}

TEST(SntSim, SettingsPageFileKeepsTheCrystalAcrossRuns)
{
    const TempDir folder("snt_sim_test");
    const std::string page = folder / "page.bin";
    ProcessResult r = snt_sim({"--flash", page}, "w\r");
    EXPECT_EQ(r.out, kBanner + ID_TEXT "\r");
    EXPECT_NE(::access(page.c_str(), F_OK), 0) << "no write, no file";

    r = snt_sim({"--flash", page}, "x 26000000\r");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string expected(1024, '\xFF');
    expected.replace(0, 4, std::string("\x80\xBA\x8C\x01", 4)); // 26,000,000 little-endian
    EXPECT_EQ(read_file(page), expected);
    r = snt_sim({"--flash", page}, "");
    EXPECT_EQ(r.out, "26000000\r" ID_TEXT "\r");

    // Any pattern starts; values outside the window give the default crystal.
    std::string noise(1024, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919) >> 3);
    write_file(page, noise);
    r = snt_sim({"--flash", page}, "w\r");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, kBanner + ID_TEXT "\r");
    EXPECT_EQ(read_file(page), noise) << "reading the page never writes it";

    for (std::size_t size : {0u, 1023u, 1025u}) {
        const std::string bytes(size, 'A');
        write_file(page, bytes);
        r = snt_sim({"--flash", page}, "x 26000000\r");
        EXPECT_EQ(r.exit_code, 2) << size;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(page), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(read_file(page), bytes) << "a wrong-sized file is left untouched";
    }
}

// An independent reading of the bus waveform in a VCD file: every
// transaction from a start to a stop, bytes of nine clocks each.
std::vector<std::string> decode_vcd_bus(const std::string &vcd)
{
    std::vector<std::string> out;
    bool scl = true, sda = true, in_frame = false;
    int bits = 0, byte = 0;
    std::string line_bytes;
    unsigned long long t_ns = 0;
    std::istringstream in(vcd.substr(vcd.find("$enddefinitions")));
    std::string tok;
    while (in >> tok) {
        if (tok[0] == '#') {
            t_ns = std::stoull(tok.substr(1));
            continue;
        }
        if (tok.size() != 2 || (tok[1] != '"' && tok[1] != '#')) continue;
        const bool level = tok[0] != '0'; // released lines ('z') are high
        if (tok[1] == '"') {
            if (level && !scl && in_frame) {
                if (bits < 8) byte = (byte << 1) | (sda ? 1 : 0);
                if (++bits == 9) {
                    char hex[4];
                    std::snprintf(hex, sizeof hex, " %02X", byte);
                    line_bytes += hex;
                    bits = byte = 0;
                }
            }
            scl = level;
        } else {
            if (scl && sda && !level) { // start
                in_frame = true;
                bits = byte = 0;
                line_bytes.clear();
            } else if (scl && !sda && level && in_frame) { // stop
                out.push_back(std::to_string(t_ns / 1000) + line_bytes);
                in_frame = false;
            }
            sda = level;
        }
    }
    return out;
}

TEST(SntSim, BusLogMatchesTheWaveform)
{
    const TempDir folder("snt_sim_test");
    const std::string log = folder / "bus.log";
    const std::string vcd = folder / "bus.vcd";
    const ProcessResult r = snt_sim({"--bus-log", log, "--vcd", vcd, "--xtal", "25000123"}, "f 7000000\rx 24000000\r");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> logged;
    std::istringstream lines(read_file(log));
    for (std::string line; std::getline(lines, line);) logged.push_back(line);
    ASSERT_GE(logged.size(), 20u);
    EXPECT_NE(logged[0].find(" C0 10 80"), std::string::npos) << logged[0];
    EXPECT_EQ(logged[0].substr(logged[0].find(' ')), " C0 10 80") << "start-up powers output 0 down first";
    EXPECT_EQ(logged.back().substr(logged.back().find(' ')), " C0 B1 A0") << "x ends with a reset of both PLLs";
    EXPECT_EQ(decode_vcd_bus(read_file(vcd)), logged);

    EXPECT_EQ(snt_sim({"--xtal", "abc"}, "").exit_code, 2);
    EXPECT_EQ(snt_sim({"--xtal", "0"}, "").exit_code, 2);
    EXPECT_EQ(snt_sim({"--bus-log", "/nonexistent/dir/bus.log"}, "").exit_code, 2)
        << "a path that cannot be written is a bad value";
}

std::vector<double> sweep_levels(const std::string &dut, const std::string &commands)
{
    const ProcessResult r = snt_sim({"--dut", dut}, commands);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<double> levels;
    std::istringstream lines(r.out.substr(kBanner.size()));
    for (std::string line; std::getline(lines, line, '\r');) levels.push_back(std::stod(line));
    return levels;
}

TEST(SntSim, BandpassSweepFollowsTheDeviceResponse)
{
    // 5 to 15 MHz in 100 kHz steps across a 10 MHz filter with 1 MHz bandwidth.
    const std::string commands = "f 5000000\rr 100000 101\r";
    const std::vector<double> thru = sweep_levels("thru", commands);
    const std::vector<double> filtered = sweep_levels("bandpass:10M:1M", commands);
    ASSERT_EQ(thru.size(), 101u);
    ASSERT_EQ(filtered.size(), 101u);
    const double q = 10.0, f0 = 10e6;
    int compared = 0;
    for (std::size_t i = 0; i < thru.size(); ++i) {
        const double f = 5e6 + 1e5 * static_cast<double>(i);
        const double x = q * (f / f0 - f0 / f);
        const double model_db = -10.0 * std::log10(1.0 + x * x);
        const double measured_db = 10.0 * std::log10(filtered[i] / thru[i]);
        // The noise floor lies about 75 dB below a through connection.
        if (model_db >= -75.0 + 20.0) {
            EXPECT_NEAR(measured_db, model_db, 1.0) << f << " Hz";
            ++compared;
        }
    }
    EXPECT_EQ(compared, 101) << "the whole span lies well above the noise floor";
    EXPECT_NEAR(10.0 * std::log10(thru[50] / std::pow(128.0 * 1500.0, 2)), 0.0, 0.2) << "a through reads full scale";
}

TEST(SntSim, PseudoTerminalServesAnySerialProgramUntilTerminated)
{
    const TempDir folder("snt_sim_test");
    const std::string link = folder / "pty";
    const std::string program = built_program("snt-sim");
    const pid_t pid = fork();
    if (pid == 0) {
        execl(program.c_str(), program.c_str(), "--pty", link.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int fd = -1;
    for (int i = 0; i < 200 && fd < 0; ++i) {
        fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(fd, 0) << "the link never appeared";
    make_raw(fd);

    auto read_until = [fd](const std::string &want) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.find(want) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char buf[256];
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n > 0) got.append(buf, static_cast<std::size_t>(n));
            }
        }
        return got;
    };
    EXPECT_NE(read_until(ID_TEXT "\r").find(kBanner), std::string::npos);
    ASSERT_EQ(::write(fd, "w1\rW\rw\r", 7), 7);
    const std::string reply = read_until(ID_TEXT "\r");
    EXPECT_EQ(reply.substr(0, 9), ID_TEXT "\r");
    ::close(fd);

    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(::access(link.c_str(), F_OK), 0) << "the link is removed on exit";
}

// ------------------------------------- the device under test and the noise

TEST(SntSimOptions, BadDeviceNoiseOrSeedExitWithStatus2AndOneLine)
{
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--dut", "cable"}, "snt-sim: --dut: unknown device under test \"cable\""},
        {{"--dut", "lowpass:0"}, "snt-sim: --dut: lowpass: cut-off frequency \"0\": must be above 0 Hz"},
        {{"--dut", "touchstone:/nonexistent/f.s2p"}, "snt-sim: --dut: touchstone: /nonexistent/f.s2p: cannot open"},
        {{"--dut"}, "--dut"},
        {{"--noise", "-1"}, "--noise"},
        {{"--noise", "abc"}, "--noise"},
        {{"--noise", "inf"}, "--noise"},
        {{"--seed", "x"}, "--seed"},
        {{"--seed", "-1"}, "--seed"},
        {{"--seed", "18446744073709551616"}, "--seed"},
        {{"--gdb", "1234"}, "--gdb: debugs the chip image: give --image"},
        {{"--gdb", "port"}, "--gdb"},
        {{"--gdb", "70000"}, "--gdb"},
        {{"--gdb", "example.com:1234"}, "HOST must be an IPv4 address"},
        {{"--gdb-wait"}, "--gdb"},
    };
    for (const Case &c : cases) {
        const ProcessResult r = snt_sim(c.args, "");
        EXPECT_EQ(r.exit_code, 2) << c.args[0] << " " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("snt-sim: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(SntSimOptions, GoodValuesRunAndHelpListsThem)
{
    const TempDir folder("snt_sim_test");
    const std::string file = folder / "filter.s2p";
    std::ofstream(file, std::ios::trunc) << "# MHz S DB R 50\n1 0 0 -6 0 0 0 0 0\n";
    const ProcessResult r =
        snt_sim({"--dut", "touchstone:" + file, "--noise", "0.5", "--seed", "18446744073709551615"}, "w\r");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find(ID_TEXT), std::string::npos) << r.out;

    const ProcessResult help = snt_sim({"--help"}, "");
    EXPECT_EQ(help.exit_code, 0);
    for (const char *option : {"--dut", "--noise", "--seed", "crystal:FS:Q", "touchstone:FILE"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
}

} // namespace
} // namespace snt_test
