// The sweep command r: its arguments, the frequencies it visits, settling
// times, "*" points, and lines that arrive while it runs.
#include <cmath>

#include "board_fixture.h"
#include "protocol.h"

namespace snt_test {
namespace {

// A beat tone whose amplitude encodes the stimulus frequency, so each reply
// line tells which frequency it was measured at.
class FrequencyProbe : public sim::AnalogSource {
public:
    explicit FrequencyProbe(sim::Si5351Model &synth) : synth_(synth) {}
    // Amplitude in counts for a stimulus at `f1`.
    static double amplitude(double f1) { return 50.0 + std::fmod(std::round(f1 / 1000.0), 100.0) * 10.0; }
    std::uint16_t sample(Cycles when) override
    {
        const double f0 = synth_.output_hz(0), f1 = synth_.output_hz(1);
        if (f0 == 0 || f1 == 0) return 2048;
        const double t = static_cast<double>(when) / sim::kCoreHz;
        return static_cast<std::uint16_t>(std::lround(2048 + amplitude(f1) * std::cos(2 * M_PI * (f0 - f1) * t)));
    }
    static double level(double f1) { return std::pow(128.0 * amplitude(f1), 2); }

private:
    sim::Si5351Model &synth_;
};

class Sweep : public BoardTest {
protected:
    FrequencyProbe probe{board.si5351()};
    void SetUp() override
    {
        board.adc().set_source(&probe);
        boot();
        serial.clear();
    }
    // Runs lines and returns the reply lines.
    std::vector<std::string> run(const std::string &lines, Cycles limit = ms(5000))
    {
        serial.clear();
        send(lines);
        const Cycles arrival = board.usart().host_send_done_at();
        board.run_until([&] { return board.now() >= arrival; }, limit);
        EXPECT_TRUE(board.run_until_idle(limit)) << lines;
        std::vector<std::string> out;
        std::string cur;
        for (char c : serial.text()) {
            if (c == '\r') {
                out.push_back(cur);
                cur.clear();
            } else {
                cur.push_back(c);
            }
        }
        EXPECT_EQ(cur, "") << "every reply ends with a carriage return";
        return out;
    }
    // Times at which each reply line's carriage return left the line.
    std::vector<Cycles> line_ends() const
    {
        std::vector<Cycles> t;
        for (std::size_t i = 0; i < serial.text().size(); ++i) {
            if (serial.text()[i] == '\r') t.push_back(serial.times()[i]);
        }
        return t;
    }
    std::int32_t freq() { return SNT_FW(board.firmware(), freq); }
    void expect_points(const std::vector<std::string> &lines, std::vector<double> f1s)
    {
        ASSERT_EQ(lines.size(), f1s.size());
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_NEAR(std::stod(lines[i]) / FrequencyProbe::level(f1s[i]), 1.0, 0.03)
                << "point " << i << " should be at " << f1s[i] << " Hz: " << lines[i];
            EXPECT_NE(lines[i].find('.'), std::string::npos);
            EXPECT_EQ(lines[i].size() - lines[i].find('.'), 3u) << "two digits after the point";
        }
    }
};

TEST_F(Sweep, VisitsEachFrequencyAndLeavesFreqOneStepBeyond)
{
    run("f 7000000\r");
    expect_points(run("r 1000 5\r"), {7000000, 7001000, 7002000, 7003000, 7004000});
    EXPECT_EQ(freq(), 7005000);
    SCOPED_TRACE("a following r continues");
    expect_points(run("r 1000 2\r"), {7005000, 7006000});
    run("o\r");
    SCOPED_TRACE("o keeps freq; the sweep switches the outputs on");
    expect_points(run("r 2000 2\r"), {7007000, 7009000});
    run("f 7000000\r");
    SCOPED_TRACE("the step wraps to -1000");
    expect_points(run("r 4294966296 3\r"), {7000000, 6999000, 6998000});
}

TEST_F(Sweep, ArgumentSyntax)
{
    run("f 7000000\r");
    for (const char *line : {"r\r", "r 1000\r", "r 1000 0\r", "r 1000 3000000000\r", "r 1000,-5\r"}) {
        EXPECT_TRUE(run(line).empty()) << line;
        EXPECT_EQ(freq(), 7000000) << line;
    }
    for (const char *line : {"r 100,5\r", "r 100, 5\r", "r 100 ,5\r", "r100 5\r"}) {
        run("f 7000000\r");
        run(line);
        EXPECT_EQ(freq(), 7000500) << line << ": step 100, count 5";
    }
    run("f 7000000\r");
    EXPECT_EQ(run("r -100 5\r").size(), 100u) << "the sign ends the step (0) and the count reads 100";
    EXPECT_EQ(freq(), 7000000);
}

TEST_F(Sweep, SettlesFiftyMillisecondsOnlyAfterAPllReset)
{
    run("f 7000000\r");
    run("r 0 3\r");
    std::vector<Cycles> ends = line_ends();
    ASSERT_EQ(ends.size(), 3u);
    const Cycles plain = ends[2] - ends[1];
    EXPECT_GT(plain, ms(17)) << "1 ms settling, 16-17 ms of measurement";
    EXPECT_LT(plain, ms(21));
    EXPECT_LT(ends[1] - ends[0], ms(21)) << "an unchanged frequency resets no PLL";

    run("o\r");
    serial.clear();
    send("r 1000 2\r");
    const Cycles start = board.usart().host_send_done_at();
    board.run_until([&] { return board.now() >= start; }, ms(10));
    ASSERT_TRUE(board.run_until_idle(ms(500)));
    ends = line_ends();
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_GT(ends[0] - start, ms(50 + 16)) << "switching on resets the PLLs: 50 ms";
    EXPECT_LT(ends[0] - start, ms(50 + 28)) << "plus the bus writes of a full plan and the reply";
    EXPECT_LT(ends[1] - ends[0], ms(25)) << "the next step keeps the dividers: 1 ms";
}

TEST_F(Sweep, PointsTheSynthesizerCannotProduceShowAStar)
{
    run("f 170000000\r");
    const std::vector<std::string> lines = run("r 20000000 4\r");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0], "*") << "170 MHz on a fresh plan, divider 4";
    EXPECT_NE(lines[1], "*") << "190 MHz: the kept divider of 4 reaches it";
    EXPECT_EQ(lines[2], "*") << "210 MHz: beyond the window and beyond a fresh plan";
    EXPECT_EQ(lines[3], "*");
    EXPECT_EQ(freq(), 250000000);

    run("f 18000\r");
    EXPECT_EQ(run("r 100 2\r"), (std::vector<std::string>{"*", "*"})) << "below what the R divider reaches";
}

TEST_F(Sweep, CrossingOneHundredThirtyMegahertzMovesTheLocalOscillatorBelow)
{
    std::vector<double> lo_offsets;
    run("f 129998000\r");
    struct Recorder : sim::AnalogSource {
        FrequencyProbe *probe;
        sim::Si5351Model *synth;
        std::vector<double> *offsets;
        volatile std::uint32_t *stage;
        std::uint16_t sample(Cycles when) override
        {
            // What the detector hears while it accumulates, not the steps in
            // between while the synthesizer is being rewritten.
            const double d = synth->output_hz(0) - synth->output_hz(1);
            if (*stage == 2 && (offsets->empty() || std::fabs(offsets->back() - d) > 1)) offsets->push_back(d);
            return probe->sample(when);
        }
    } recorder;
    recorder.stage = &SNT_FW(board.firmware(), measure_stage);
    recorder.probe = &probe;
    recorder.synth = &board.si5351();
    recorder.offsets = &lo_offsets;
    board.adc().set_source(&recorder);
    expect_points(run("r 1000 4\r"), {129998000, 129999000, 130000000, 130001000});
    // Near 130 MHz the dividers are small, so each PLL's fraction step moves
    // an output by a few hertz: the beat is 1 kHz within that.
    ASSERT_GE(lo_offsets.size(), 2u);
    int sign_changes = 0;
    for (std::size_t i = 0; i < lo_offsets.size(); ++i) {
        EXPECT_NEAR(std::fabs(lo_offsets[i]), 1000.0, 10.0) << i;
        if (i > 0 && (lo_offsets[i] > 0) != (lo_offsets[i - 1] > 0)) ++sign_changes;
    }
    EXPECT_GT(lo_offsets.front(), 0) << "above the stimulus below 130 MHz";
    EXPECT_LT(lo_offsets.back(), 0) << "below it from 130 MHz";
    EXPECT_EQ(sign_changes, 1);
}

TEST_F(Sweep, OnlyTheNewerOfTwoLinesSentDuringASweepRunsAfterIt)
{
    run("f 7000000\r");
    serial.clear();
    send("r 1000 3\r");
    board.run_until([&] { return board.now() >= board.usart().host_send_done_at() + ms(5); }, ms(50));
    send("f 8000000\r");
    send("w\r");
    ASSERT_TRUE(board.run_until_idle(ms(500)));
    const std::string text = serial.text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 4) << "three points, then the reply to w";
    EXPECT_EQ(text.substr(text.size() - 9), ID_TEXT "\r");
    EXPECT_EQ(freq(), 7003000) << "the f line was replaced before it could run";
}

} // namespace
} // namespace snt_test
