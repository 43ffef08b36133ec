// The bench jobs as a user runs them, snt with snt-sim: the new device
// texts, averaged sweeps, markers, an offset, overload, return loss, the
// outputs off after a sweep, and crystals one at a time or in a batch.
// (The analysis itself is tested in-process: tests/core/bench_*.)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "child_processes.h"
#include "files.h"
#include "protocol.h"

namespace snt_test {
namespace {

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::vector<std::string> fields_of(const std::string &row)
{
    std::vector<std::string> out(1);
    for (const char c : row) {
        if (c == ',') {
            out.emplace_back();
        } else {
            out.back() += c;
        }
    }
    return out;
}

// The number right after `label` in `text` (NaN when there is none).
double number_after(const std::string &text, const std::string &label)
{
    const auto at = text.find(label);
    if (at == std::string::npos) return std::nan("");
    return std::strtod(text.c_str() + at + label.size(), nullptr);
}

ProcessResult snt_with_input(const std::vector<std::string> &args, const std::string &input, double timeout_s = 120)
{
    std::vector<std::string> argv{built_program("snt")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, input, timeout_s);
}

// The standard deviation of the dB column of a sweep CSV.
double spread_of_db(const std::string &csv)
{
    std::vector<double> db;
    for (const auto &row : lines_of(csv)) {
        const auto f = fields_of(row);
        if (f.size() == 3 && !f[2].empty() && row[0] != 'f') db.push_back(std::stod(f[2]));
    }
    double mean = 0, sq = 0;
    for (const double v : db) mean += v / static_cast<double>(db.size());
    for (const double v : db) sq += (v - mean) * (v - mean) / static_cast<double>(db.size() - 1);
    return db.size() < 2 ? std::nan("") : std::sqrt(sq);
}

// --- snt-sim's device texts --------------------------------------------

TEST(SntSimBenchDevices, TakesTheNewTextsAndRefusesBadOnesWithOneLine)
{
    const TempDir dir("snt_jobs");
    const std::string s2p = dir / "six.s2p", s1p = dir / "load.s1p";
    std::ofstream(s2p) << "# MHz S DB R 50\n1 0 0 -6 0 0 0 0 0\n";
    std::ofstream(s1p) << "# MHz S RI R 50\n1 0.2 0\n";
    // Each device's level at 10 MHz, in dB against a thru.
    const struct {
        std::string dut;
        double db;
    } good[] = {
        {"atten:20+amplifier:20", 0},
        {"amplifier:-6", -6},
        {"atten:6+touchstone:" + s2p, -12},
        {"bridge:open", -6.02},
        {"bridge:" + s1p, -6.02 + 20 * std::log10(0.2)},
        {"crystals:10.01M,10M:50k:2", -1.58}, // crystal 2 in the fixture, at its fs
    };
    for (const auto &c : good) {
        const ProcessResult r = snt_sim({"--dut", c.dut}, "f 10000000\rr 1 1\r");
        ASSERT_EQ(r.exit_code, 0) << c.dut << ": " << r.err;
        const std::string level = r.out.substr(r.out.find(ID_TEXT "\r") + sizeof ID_TEXT);
        EXPECT_NEAR(10 * std::log10(std::stod(level) / FULL_SCALE_LEVEL), c.db, 0.2) << c.dut;
    }
    const std::string bad[] = {"amplifier",
                               "amplifier:200",
                               "atten:20+",
                               "bridge:",
                               "bridge:dummy",
                               "crystals:10M,10.01M:50k:3",
                               "bridge:/nonexistent/a.s1p"};
    for (const auto &dut : bad) {
        const ProcessResult r = snt_sim({"--dut", dut}, "");
        EXPECT_EQ(r.exit_code, 2) << dut;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("snt-sim: --dut: ", 0), 0u) << r.err;
    }
    EXPECT_EQ(snt_sim({"--dut", "bridge:" + s1p, "--vcd", s1p}, "").exit_code, 2)
        << "an output may not overwrite the load's file";
}

// --- snt sweep ---------------------------------------------------------

TEST(SntJobs, AveragingNarrowsTheSpreadOfAWeakResponse)
{
    // 60 dB down, where the default noise makes a single sweep ragged.
    const std::vector<std::string> sweep{"--dut",  "atten:60", "sweep",    "--start", "9M",
                                         "--stop", "11M",      "--points", "101"};
    const ProcessResult one = snt(sweep);
    std::vector<std::string> avg_args = sweep;
    avg_args.insert(avg_args.end(), {"--average", "16"});
    const ProcessResult avg = snt(avg_args, 120);
    ASSERT_EQ(one.exit_code, 0) << one.err;
    ASSERT_EQ(avg.exit_code, 0) << avg.err;
    EXPECT_NE(avg.err.find("mean of 16 sweeps, in power"), std::string::npos) << avg.err;
    const double ratio = spread_of_db(avg.out) / spread_of_db(one.out);
    EXPECT_GT(ratio, 0.15) << "about 1/4 for 16 sweeps";
    EXPECT_LT(ratio, 0.4) << "about 1/4 for 16 sweeps";
}

using SntJobsSignals = ReapsOrphans;

TEST_F(SntJobsSignals, CtrlCKeepsTheMeanOfTheSweepsDone)
{
    const TempDir dir("snt_jobs");
    const std::string csv = dir / "avg.csv";
    int err_pipe[2];
    ASSERT_EQ(pipe(err_pipe), 0);
    const std::string exe = built_program("snt");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err_pipe[1], 2);
        exec_program(
            {exe, "sweep", "--start", "1M", "--stop", "10M", "--points", "400", "--average", "10", "--csv", csv});
    }
    close(err_pipe[1]);
    std::string err;
    char buf[256];
    ssize_t n = 0;
    // Past a fifth of the points in all: two sweeps done.
    while (err.find("sweep: 30%") == std::string::npos && (n = read(err_pipe[0], buf, sizeof buf)) > 0)
        err.append(buf, static_cast<std::size_t>(n));
    kill(pid, SIGINT);
    while ((n = read(err_pipe[0], buf, sizeof buf)) > 0) err.append(buf, static_cast<std::size_t>(n));
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << err;
    EXPECT_EQ(WEXITSTATUS(status), 130) << err;
    EXPECT_FALSE(exists(csv));
    EXPECT_EQ(lines_of(read_file(csv + ".partial")).size(), 401u) << "every point, the mean of the sweeps done";
    EXPECT_NE(err.find(" of 10 sweeps measured in " + csv + ".partial"), std::string::npos) << err;
    EXPECT_GE(number_after(err, "kept the mean of the "), 3) << err;
    EXPECT_TRUE(no_children_left()) << "the virtual device is stopped";
}

TEST(SntJobs, MarkersReadTheTraceAsDrawn)
{
    const ProcessResult r = snt({"--dut", "lowpass:10M:5", "--noise", "0", "sweep", "--start", "5M", "--stop", "15M",
                                 "--points", "41", "--marker", "10M", "--marker", "12.3M", "--csv", "/dev/null"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NEAR(number_after(r.out, "marker 1: "), -3.01, 0.05) << r.out;
    // Between the points at 12.25 and 12.5 MHz: 12.3 MHz is read on the line between them.
    const double at_12_3 = number_after(r.out, "marker 2: ");
    const double butterworth = -10 * std::log10(1 + std::pow(1.23, 10));
    EXPECT_NEAR(at_12_3, butterworth, 0.3) << r.out;
    EXPECT_NEAR(number_after(r.out, "(from marker 1: +2.3 MHz, "), at_12_3 + 3.01, 0.06) << r.out;
}

TEST(SntJobs, AnOffsetAddsTheLossBackAndOverloadIsNeverAGain)
{
    const TempDir dir("snt_jobs");
    // A 30 dB amplifier behind a 30 dB attenuator, the loss given back.
    const ProcessResult ok = snt({"--dut", "atten:30+amplifier:30", "sweep", "--start", "5M", "--stop", "6M",
                                  "--points", "5", "--offset", "30", "--csv", dir / "amp.csv"});
    ASSERT_EQ(ok.exit_code, 0) << ok.err;
    EXPECT_NEAR(number_after(ok.out, "maximum "), 30, 0.1) << ok.out;
    EXPECT_NE(ok.out.find("offset +30.00 dB added to every dB"), std::string::npos) << ok.out;
    EXPECT_NEAR(std::stod(fields_of(lines_of(read_file(dir / "amp.csv"))[1])[2]), 30, 0.1);

    // Straight into the tester: clipped at the ADC.
    const std::string csv = dir / "clipped.csv";
    const ProcessResult over =
        snt({"--dut", "amplifier:10", "sweep", "--start", "5M", "--stop", "6M", "--points", "5", "--csv", csv});
    ASSERT_EQ(over.exit_code, 0) << over.err;
    EXPECT_NE(over.out.find("overload: 5 points from 5 MHz to 6 MHz"), std::string::npos) << over.out;
    EXPECT_EQ(over.out.find("maximum"), std::string::npos) << "no gain summarised: " << over.out;
    const auto rows = lines_of(read_file(csv));
    ASSERT_EQ(rows.size(), 6u) << read_file(csv);
    EXPECT_EQ(rows[0], "frequency_hz,level,db,overload");
    const auto f = fields_of(rows[1]);
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[2], "") << "no dB where it clipped: " << rows[1];
    EXPECT_EQ(f[3], "1") << rows[1];
    EXPECT_GT(std::stod(f[1]), 6.8e10) << "the level as the tester read it";
    // Still a sweep our reader takes, and no reference.
    const ProcessResult plot = snt({"plot", csv, "--plot", dir / "clipped.png"});
    EXPECT_EQ(plot.exit_code, 0) << plot.err;
    const ProcessResult ref = snt({"sweep", "--start", "5M", "--stop", "6M", "--points", "5", "--ref", csv});
    EXPECT_EQ(ref.exit_code, 2);
    EXPECT_NE(ref.err.find("line 2: an overloaded point (the tone clipped at the ADC) cannot be a reference"),
              std::string::npos)
        << ref.err;
}

TEST(SntJobs, ReflectionGivesReturnLossAndSwrAgainstAnOpenBridge)
{
    const TempDir dir("snt_jobs");
    const std::string open = dir / "open.csv", csv = dir / "r75.csv";
    const std::vector<std::string> sweep{"sweep", "--start", "1M", "--stop", "30M", "--points", "30"};
    std::vector<std::string> ref{"--dut", "bridge:open"};
    ref.insert(ref.end(), sweep.begin(), sweep.end());
    ref.insert(ref.end(), {"--save-ref", open, "--csv", "/dev/null"});
    ASSERT_EQ(snt(ref).exit_code, 0);
    std::vector<std::string> load{"--dut", "bridge:75"};
    load.insert(load.end(), sweep.begin(), sweep.end());
    load.insert(load.end(), {"--reflection", "--ref", open, "--csv", csv, "--plot", dir / "swr.png", "--plot-swr"});
    const ProcessResult r = snt(load);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NEAR(number_after(r.out, "SWR "), 1.50, 0.01) << r.out;
    EXPECT_NE(r.out.find("SWR below 2"), std::string::npos) << r.out;
    const auto rows = lines_of(read_file(csv));
    ASSERT_EQ(rows.size(), 31u);
    EXPECT_EQ(rows[0], "frequency_hz,level,db,rl_db,swr");
    const auto f = fields_of(rows[15]);
    ASSERT_EQ(f.size(), 5u);
    EXPECT_NEAR(std::stod(f[3]), 13.98, 0.1) << rows[15];
    EXPECT_NEAR(std::stod(f[4]), 1.50, 0.01) << rows[15];
    EXPECT_TRUE(exists(dir / "swr.png"));
}

TEST(SntJobs, OffAfterSwitchesTheOutputsOffOnceTheSweepIsDone)
{
    const TempDir dir("snt_jobs");
    // The bus traffic (without its times) of a run on a fresh board.
    const auto traffic = [&](const std::string &name, std::vector<std::string> args) {
        const std::string log = dir / name;
        {
            PtySim board({"--bus-log", log});
            args.insert(args.begin(), {"--port", board.port()});
            const ProcessResult r = snt(args);
            EXPECT_EQ(r.exit_code, 0) << r.err;
        }
        std::vector<std::string> bytes;
        for (const auto &line : lines_of(read_file(log))) bytes.push_back(line.substr(line.find(' ')));
        return bytes;
    };
    const std::vector<std::string> sweep{"sweep",    "--start", "1M",    "--stop",   "2M",
                                         "--points", "3",       "--csv", "/dev/null"};
    std::vector<std::string> with_off = sweep;
    with_off.push_back("--off-after");
    const auto plain = traffic("plain.log", sweep);
    const auto then_off = traffic("off.log", with_off);
    const auto off_alone = traffic("alone.log", {"off"});
    ASSERT_GT(then_off.size(), plain.size());
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), then_off.begin())) << "the same sweep first";
    const std::size_t extra = then_off.size() - plain.size();
    ASSERT_LE(extra, off_alone.size());
    EXPECT_TRUE(std::equal(then_off.end() - static_cast<std::ptrdiff_t>(extra), then_off.end(),
                           off_alone.end() - static_cast<std::ptrdiff_t>(extra)))
        << "then what `snt off` sends";
}

// --- snt crystal -------------------------------------------------------

// A CSV row's fields by name.
struct CrystalRow {
    std::vector<std::string> f;
    double at(std::size_t i) const { return std::stod(f.at(i)); }
};

TEST(SntJobs, ACrystalsParametersComeOutWithinTheirTolerances)
{
    const TempDir dir("snt_jobs");
    const std::string csv = dir / "xtal.csv";
    const ProcessResult r =
        snt({"--dut", "crystal:10M:50k", "crystal", "--nominal", "10M", "--parallel", "--csv", csv});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto rows = lines_of(read_file(csv));
    ASSERT_EQ(rows.size(), 2u) << read_file(csv);
    EXPECT_EQ(rows[0], "label,fs_hz,fp_hz,rm_ohm,lm_h,cm_f,c0_f,qu,ql");
    const CrystalRow x{fields_of(rows[1])};
    ASSERT_EQ(x.f.size(), 9u) << rows[1];
    EXPECT_EQ(x.f[0], "X1");
    // The board's crystal: R1 20 ohm, C0 4 pF, Lm = Q R1 / (2 pi fs).
    const double lm = 50e3 * 20 / (2 * M_PI * 10e6), cm = 1 / (std::pow(2 * M_PI * 10e6, 2) * lm);
    EXPECT_NEAR(x.at(1), 10e6, 1);
    EXPECT_NEAR(x.at(3), 20, 0.6);
    EXPECT_NEAR(x.at(4), lm, 0.03 * lm);
    EXPECT_NEAR(x.at(5), cm, 0.03 * cm);
    EXPECT_NEAR(x.at(6), 4e-12, 0.4e-12);
    EXPECT_NEAR(x.at(2), 10e6 * std::sqrt(1 + cm / 4e-12), 200);
    EXPECT_LE(number_after(r.out, "device time "), 5) << r.out;
    // Appended, under the same header.
    ASSERT_EQ(snt({"--dut", "crystal:10M:50k", "crystal", "--nominal", "10M", "--csv", csv}).exit_code, 0);
    const auto again = lines_of(read_file(csv));
    ASSERT_EQ(again.size(), 3u);
    EXPECT_EQ(fields_of(again[2])[2], "") << "fp not asked for: " << again[2];
}

TEST(SntJobs, ABatchIsMeasuredCrystalByCrystalAndMatched)
{
    const TempDir dir("snt_jobs");
    const std::string csv = dir / "batch.csv";
    // fs 0, +20, +100 and +25 Hz from 10 MHz: X2 and X4 lie within 10 Hz.
    const ProcessResult r = snt_with_input({"--dut", "crystals:10M,10.00002M,10.0001M,10.000025M:50k", "crystal",
                                            "--nominal", "10M", "--batch", "4", "--match", "10", "--csv", csv},
                                           "\n\n\n\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("insert crystal 4 of 4 (X4) and press Enter"), std::string::npos) << r.err;
    const auto rows = lines_of(read_file(csv));
    ASSERT_EQ(rows.size(), 5u);
    const double offsets[] = {0, 20, 100, 25};
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_NEAR(std::stod(fields_of(rows[i + 1])[1]), 10e6 + offsets[i], 1) << rows[i + 1];
    EXPECT_NEAR(number_after(r.out, "group 1: 2 within "), 5, 0.1) << r.out;
    EXPECT_NE(r.out.find(" Hz: X2 10000020."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" Hz, X4 10000025."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("matched with none: X1"), std::string::npos) << r.out;

    // The input ends after the first: one crystal, and said so.
    const ProcessResult short_input =
        snt_with_input({"--dut", "crystals:10M,10.00002M:50k", "crystal", "--nominal", "10M", "--batch", "2"}, "\n");
    EXPECT_EQ(short_input.exit_code, 0) << short_input.err;
    EXPECT_NE(short_input.err.find("no more input: stopped after 1 crystal"), std::string::npos) << short_input.err;
    // No input at all: no crystal, and no CSV made for nothing.
    const std::string none = dir / "none.csv";
    const ProcessResult no_input = snt_with_input({"crystal", "--nominal", "10M", "--batch", "2", "--csv", none}, "");
    EXPECT_EQ(no_input.exit_code, 0) << no_input.err;
    EXPECT_FALSE(exists(none));
}

TEST_F(SntJobsSignals, CtrlCKeepsTheCrystalsDone)
{
    const TempDir dir("snt_jobs");
    const std::string csv = dir / "batch.csv";
    int in_pipe[2], err_pipe[2];
    ASSERT_EQ(pipe(in_pipe), 0);
    ASSERT_EQ(pipe(err_pipe), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(err_pipe[1], 2);
        close(in_pipe[1]);
        exec_program({built_program("snt"), "--dut", "crystals:10M,10.00002M:50k", "crystal", "--nominal", "10M",
                      "--batch", "2", "--csv", csv});
    }
    close(in_pipe[0]);
    close(err_pipe[1]);
    ASSERT_EQ(write(in_pipe[1], "\n", 1), 1) << "the first crystal, and then no Enter";
    std::string err;
    char buf[256];
    ssize_t n = 0;
    while (err.find("insert crystal 2 of 2") == std::string::npos && (n = read(err_pipe[0], buf, sizeof buf)) > 0)
        err.append(buf, static_cast<std::size_t>(n));
    kill(pid, SIGINT);
    while ((n = read(err_pipe[0], buf, sizeof buf)) > 0) err.append(buf, static_cast<std::size_t>(n));
    close(err_pipe[0]);
    close(in_pipe[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << err;
    EXPECT_EQ(WEXITSTATUS(status), 130) << err;
    EXPECT_NE(err.find("1 crystal measured before this, their rows are in " + csv), std::string::npos) << err;
    EXPECT_EQ(lines_of(read_file(csv)).size(), 2u) << "the header and X1";
    EXPECT_TRUE(no_children_left());
}

} // namespace
} // namespace snt_test
