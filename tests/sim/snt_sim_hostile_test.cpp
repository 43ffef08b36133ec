// snt-sim used as a careless or hostile user would: values that must be
// refused, files that must not be clobbered or waited on, and outputs that
// fail. (Endless input and stop signals: snt_sim_signals_test.)
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "board/bench/analog.h"
#include "board/bench/dut_text.h"
#include "shells/sim/input_files.h"
#include "sim_child.h"

namespace snt_test {
namespace {

using namespace hostile;
namespace fs = std::filesystem;

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
            sim::parse_dut(c.device, sim::read_touchstone_file);
            ADD_FAILURE() << "accepted " << c.device;
        } catch (const sim::DutError &e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << c.device << ": " << e.what();
        }
        expect_refused(snt_sim({"--dut", c.device}), "snt-sim: --dut: ", c.device);
    }
    // What is allowed stays allowed: a gain of 0 and an amplifier.
    const auto file = [&](const std::string &name, const std::string &text) {
        return sim::parse_dut(s2p(name, text), sim::read_touchstone_file);
    };
    EXPECT_DOUBLE_EQ(file("zero.s2p", "# MHz S MA R 50\n1 0 0 0 0 0 0 0 0\n")->gain(1e6), 1e-15);
    EXPECT_NEAR(file("amp.s2p", "# MHz S DB R 50\n1 0 0 100 0 0 0 0 0\n")->gain(1e6), 1e5, 1e-6);
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

} // namespace
} // namespace snt_test
