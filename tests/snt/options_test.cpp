// The command line: what it reads, what it refuses with one line, and the
// files it will not let one output destroy.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/analysis/frequency.h"
#include "core/analysis/sweep.h"
#include "files.h"
#include "shells/snt/options.h"
#include "temp_dir.h"

namespace snt {
namespace {

using snt_test::read_file;

Invocation parse(const std::vector<std::string> &args) { return parse_arguments(args); }

std::string refusal(const std::vector<std::string> &args)
{
    try {
        parse_arguments(args);
    } catch (const InputError &e) {
        return e.what();
    }
    return "";
}

TEST(SntOptions, ReadsASweep)
{
    const Invocation inv = parse({"sweep", "--start", "1M", "--stop", "20M", "--points", "20", "--csv", "a.csv",
                                  "--plot", "a.PNG", "--dut", "lowpass:10M"});
    EXPECT_FALSE(inv.done);
    EXPECT_EQ(inv.command, Command::Sweep);
    EXPECT_EQ(inv.sweep.plan.start, 1000000u);
    EXPECT_EQ(inv.sweep.plan.step, 1000000u);
    EXPECT_EQ(inv.sweep.csv, "a.csv");
    EXPECT_EQ(inv.port, "");
    EXPECT_EQ(inv.sim_args, (std::vector<std::string>{"--dut", "lowpass:10M"}));

    const Invocation global_first = parse({"--port", "/dev/ttyUSB0", "set", "10.7M"});
    EXPECT_EQ(global_first.command, Command::Set);
    EXPECT_EQ(global_first.frequency, 10700000u);
    EXPECT_EQ(global_first.port, "/dev/ttyUSB0");
    EXPECT_TRUE(global_first.sim_args.empty());

    EXPECT_EQ(parse({"xtal", "25.000123M"}).frequency, 25000123u);
    EXPECT_EQ(parse({"raw", "w"}).raw_line, "w");
    EXPECT_EQ(parse({"off"}).command, Command::Off);
    EXPECT_EQ(parse({"cal"}).command, Command::Cal);
    EXPECT_EQ(parse({"id"}).command, Command::Id);
}

TEST(SntOptions, RefusesBadInputWithOneLine)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"sweep", "--start", "1M", "--stop", "20M"},
        {"sweep", "--start", "1M", "--stop", "20M", "--points", "10", "--step", "1M"},
        {"sweep", "--start", "20M", "--stop", "1M", "--points", "10"},
        {"sweep", "--start", "1M", "--stop", "20M", "--points", "0"},
        {"sweep", "--start", "1M", "--stop", "230M", "--points", "10"},
        {"sweep", "--start", "1Q", "--stop", "20M", "--points", "10"},
        {"sweep", "--start", "1M", "--stop", "20M", "--points", "10", "--plot", "x.pdf"},
        {"sweep", "--start", "1M", "--stop", "20M", "--points", "10", "--ref", "/nonexistent/ref.csv"},
        {"set", "10k"},
        {"set", "250M"},
        {"set"},
        {"xtal", "23999999"},
        {"xtal", "31000001"},
        {"raw", "w\rw"},
        {"--port", "/dev/ttyUSB0", "--dut", "thru", "id"},
    };
    for (const auto &args : bad) {
        const std::string why = refusal(args);
        std::string shown;
        for (const auto &a : args) shown += a + " ";
        EXPECT_FALSE(why.empty()) << shown;
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
    }
    EXPECT_NE(refusal({"set", "250M"}).find("18.2 kHz to 200 MHz"), std::string::npos);
    EXPECT_NE(refusal({"xtal", "1M"}).find("24000000 to 31000000"), std::string::npos);
    EXPECT_EQ(
        refusal({"--dut", "thru", "frobnicate"}),
        "unknown command \"frobnicate\"; commands: id, sweep, crystal, set, off, cal, xtal, raw, serve, plot, flash")
        << "an option's value is not taken for the command";
    EXPECT_NE(refusal({"--port", "/dev/ttyUSB0"}).find("no command given"), std::string::npos);
}

// --- The bench jobs' options --------------------------------------------

TEST(SntOptions, ReadsTheBenchJobs)
{
    const Invocation s = parse({"sweep", "--start", "1M", "--stop", "20M", "--points", "20", "--average", "4",
                                "--marker", "10.5M", "--marker", "1M", "--offset", "-20.5", "--off-after"});
    EXPECT_EQ(s.job.average, 4u);
    EXPECT_EQ(s.job.marks, (std::vector<std::uint32_t>{10500000, 1000000})) << "in the order given";
    EXPECT_DOUBLE_EQ(s.job.offset_db, -20.5);
    EXPECT_TRUE(s.job.off_after);
    EXPECT_FALSE(s.job.reflection);

    const Invocation c = parse({"--dut", "crystals:10M,10.0001M,10.0002M:50k", "crystal", "--nominal", "10M", "--batch",
                                "3", "--match", "5", "--fixture", "12.5", "--parallel"});
    EXPECT_EQ(c.command, Command::Crystal);
    EXPECT_DOUBLE_EQ(c.crystal.nominal_hz, 10e6);
    EXPECT_EQ(c.crystal.batch, 3u);
    EXPECT_DOUBLE_EQ(*c.crystal.match_hz, 5);
    EXPECT_DOUBLE_EQ(c.crystal.fixture_ohms, 12.5);
    EXPECT_TRUE(c.crystal.parallel);
    EXPECT_DOUBLE_EQ(parse({"crystal", "--nominal", "4M"}).crystal.fixture_ohms, 50) << "the default fixture";

    EXPECT_EQ(virtual_batch_size("crystals:10M,10.0001M:50k:2"), std::optional<std::size_t>(2));
    EXPECT_EQ(virtual_crystal("crystals:10M,10.0001M:50k:2", 0), "crystals:10M,10.0001M:50k:1");
    EXPECT_EQ(virtual_batch_size("crystal:10M:50k"), std::nullopt);
}

TEST(SntOptions, RefusesBadBenchOptionsWithOneLine)
{
    const std::vector<std::string> sweep{"sweep", "--start", "1M", "--stop", "20M", "--points", "20"};
    const auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = sweep;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const struct {
        std::vector<std::string> args;
        const char *says;
    } cases[] = {
        {with({"--average", "0"}), "--average"},
        {with({"--average", "20000"}), "at most"},
        {with({"--marker", "20.5M"}), "outside the sweep (1 MHz to 20 MHz)"},
        {with({"--marker", "999k"}), "outside the sweep"},
        {with({"--offset", "6dB"}), "--offset"},
        {with({"--offset", "inf"}), "--offset"},
        {with({"--reflection"}), "--reflection needs --ref"},
        {with({"--swr-limit", "1.5"}), "goes with --reflection"},
        {with({"--plot-swr"}), "goes with --reflection"},
        {{"crystal"}, "--nominal"},
        {{"crystal", "--nominal", "10k"}, "--nominal"},
        {{"crystal", "--nominal", "10M", "--fixture", "0"}, "--fixture"},
        {{"crystal", "--nominal", "10M", "--batch", "0"}, "--batch"},
        {{"crystal", "--nominal", "10M", "--match", "5"}, "--match groups a batch"},
        {{"crystal", "--nominal", "10M", "--batch", "3", "--match", "-1"}, "--match"},
        {{"--dut", "crystals:10M,10.0001M:50k", "crystal", "--nominal", "10M", "--batch", "3"}, "holds 2 crystals"},
    };
    for (const auto &c : cases) {
        std::string shown;
        for (const auto &a : c.args) shown += a + " ";
        const std::string why = refusal(c.args);
        EXPECT_NE(why.find(c.says), std::string::npos) << shown << "-> " << why;
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
    }
}

TEST(SntOptions, HelpIsAnswered)
{
    testing::internal::CaptureStdout();
    const Invocation inv = parse({"sweep", "--help"});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "main prints the answer, where a write can be checked";
    ASSERT_TRUE(inv.done);
    EXPECT_EQ(*inv.done, 0);
    EXPECT_NE(inv.answer.find("--points"), std::string::npos);
}

// --- The command line: empty values, one file under two names ----------

// A fresh folder of its own for each test, removed afterwards.
struct TempFolder : snt_test::TempDir {
    TempFolder() : TempDir("snt_options") {}
};

SweepPlan five_points()
{
    SweepPlan plan;
    plan.start = 1000000;
    plan.step = 250000;
    plan.points = 5;
    return plan;
}

// A reference of five_points() in `path`.
void write_reference(const std::string &path)
{
    std::ofstream(path) << SweepResult(five_points(), std::vector<std::optional<double>>(5, 3e10)).csv();
}

const std::vector<std::string> kFivePoints{"sweep", "--start", "1M", "--stop", "2M", "--points", "5"};

std::vector<std::string> sweep_with(std::vector<std::string> more)
{
    std::vector<std::string> args = kFivePoints;
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST(SntOptions, EmptyValuesAreRefusedNotTakenForTheDefault)
{
    for (const char *option : {"--port", "--dut", "--flash", "--noise", "--seed", "--xtal", "--image"}) {
        const std::string why = refusal({option, "", "id"});
        EXPECT_EQ(why, std::string(option) + " was given an empty value") << option;
    }
    for (const char *option : {"--csv", "--plot", "--ref", "--save-ref"}) {
        const std::string why = refusal(sweep_with({option, ""}));
        EXPECT_EQ(why, std::string(option) + " was given an empty value") << option;
    }
    EXPECT_NE(refusal({"raw", ""}).find("LINE is empty"), std::string::npos) << refusal({"raw", ""});
    EXPECT_FALSE(refusal({"set", ""}).empty());
}

TEST(SntOptions, AnOutputThatIsAnInputUnderAnyNameIsRefused)
{
    TempFolder dir;
    const std::string ref = dir / "thru.csv";
    write_reference(ref);
    ASSERT_EQ(symlink(ref.c_str(), (dir / "link.csv").c_str()), 0);
    ASSERT_EQ(link(ref.c_str(), (dir / "hard.csv").c_str()), 0);
    const std::string dotted = dir.path() + "/./thru.csv";
    const std::string page = dir / "page.png"; // a settings page may be called anything
    std::ofstream(page) << std::string(1024, '\xff');
    const std::string s2p = dir / "filter.s2p";
    std::ofstream(s2p) << "# Hz S RI R 50\n";

    const std::vector<std::vector<std::string>> cases = {
        {"--ref", ref, "--csv", ref},
        {"--ref", ref, "--save-ref", ref},
        {"--ref", ref, "--csv", dotted},
        {"--ref", ref, "--save-ref", dir / "link.csv"},
        {"--ref", dir / "link.csv", "--csv", ref},
        {"--ref", ref, "--csv", dir / "hard.csv"},
        {"--image", page, "--plot", page},
        {"--image", page, "--flash", page},
        {"--ref", ref, "--flash", dir / "link.csv"},
        {"--dut", "touchstone:" + s2p, "--csv", s2p},
    };
    for (const auto &c : cases) {
        const std::string why = refusal(sweep_with(c));
        EXPECT_NE(why.find("is the same file as"), std::string::npos) << c[1] << " / " << c[3] << ": " << why;
        EXPECT_NE(why.find(c[2]), std::string::npos) << why;
        EXPECT_NE(why.find(c[0]), std::string::npos) << why;
    }
    EXPECT_EQ(refusal(sweep_with({"--ref", ref, "--csv", ref})),
              "--csv " + ref + " is the same file as --ref " + ref + ": writing it would destroy it");
    EXPECT_EQ(read_file(page), std::string(1024, '\xff'));
}

TEST(SntOptions, TwoOutputsThatAreOneFileAreRefused)
{
    TempFolder dir;
    const std::string a = dir / "a.csv"; // not there yet
    EXPECT_NE(refusal(sweep_with({"--csv", a, "--save-ref", a})).find("are the same file"), std::string::npos);
    EXPECT_NE(refusal(sweep_with({"--csv", a, "--save-ref", dir.path() + "/./a.csv"})).find("are the same file"),
              std::string::npos);
    EXPECT_NE(refusal(sweep_with({"--csv", dir / "p.png", "--plot", dir / "p.png"})).find("are the same file"),
              std::string::npos);
    EXPECT_EQ(refusal(sweep_with({"--flash", dir / "p.png", "--plot", dir / "p.png"})),
              "--flash " + dir / "p.png" + " and --plot " + dir / "p.png" + " are the same file: give each its own")
        << "snt-sim writes its settings page";
    EXPECT_NE(refusal({"--flash", a, "--image", a, "id"}).find("is the same file as --image"), std::string::npos)
        << "not only for sweeps";
    EXPECT_TRUE(dir.entries().empty()) << "checking creates nothing";
}

TEST(SntOptions, DistinctFilesAndDevicesAreAccepted)
{
    TempFolder dir;
    const std::string ref = dir / "thru.csv";
    write_reference(ref);
    EXPECT_EQ(refusal(sweep_with({"--ref", ref, "--csv", dir / "a.csv", "--save-ref", dir / "b.csv", "--plot",
                                  dir / "a.png", "--flash", dir / "page.bin"})),
              "");
    EXPECT_EQ(refusal(sweep_with({"--csv", "/dev/null", "--save-ref", "/dev/null"})), "")
        << "two outputs to a device replace nothing";
}

} // namespace
} // namespace snt
