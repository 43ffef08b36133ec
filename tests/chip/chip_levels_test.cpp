// What the chip image measures, held against the host build: the same
// samples give the same bits, real sweeps give the same response, and the
// detector keeps up with every sample while the serial line is busy.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "board/cpu/chip_cpu.h"
#include "board_fixture.h"
#include "protocol.h"

namespace {

using sim::Cycles;
using snt_test::ms;

const std::string kImage = SNT_CHIP_IMAGE;
constexpr std::uint32_t kStageDone = 3;

// Reads a 32-bit firmware global of either CPU: its bits, as declared.
class Globals {
public:
    explicit Globals(sim::SimBoard &board) : board_(board) {}
    template <typename T>
    std::uint32_t word(sim::FirmwareSymbol<T> global) const
    {
        static_assert(sim::FirmwareSymbol<T>::chip_size() == sizeof(std::uint32_t), "a word");
        std::uint32_t v = 0;
        if (sim::ChipCpu *chip = board_.chip()) {
            chip->core().peek(chip->image().require(global.name), global.chip_size(), v);
            return v;
        }
        const std::remove_cv_t<T> value = sim::in_module(global, board_.firmware());
        std::memcpy(&v, &value, sizeof v);
        return v;
    }

private:
    sim::SimBoard &board_;
};

// Samples tied to the detector's restarts rather than to time: while the
// detector is idle the input is mid-scale; from each restart on it is a
// falling edge, a crest, and then the signal of that measurement. A
// conversion taken just before the restart may or may not reach the
// detector, depending on the CPU's timing; the leading mid-scale sample
// makes the crest search land on the same sample either way.
class RestartSynchronisedSource final : public sim::AnalogSource {
public:
    using Signal = std::function<std::uint16_t(int measurement, int index)>;
    RestartSynchronisedSource(const Globals &globals, Signal signal) : globals_(globals), signal_(std::move(signal)) {}

    std::uint16_t sample(Cycles) override
    {
        const std::uint32_t stage = globals_.word(SNT_FW_SYMBOL(measure_stage));
        if (stage == kStageDone) {
            idle_ = true;
            return kMid;
        }
        if (idle_ && stage == 0) {
            idle_ = false;
            index_ = 0;
            ++measurement_;
        }
        static constexpr std::uint16_t kPrefix[] = {kMid, 1500, 1000, 2000, 3000};
        const int i = index_++;
        if (i < 5) return kPrefix[i];
        return signal_(measurement_, i - 5);
    }

private:
    static constexpr std::uint16_t kMid = 2048;
    const Globals &globals_;
    Signal signal_;
    bool idle_ = true;
    int index_ = 0;
    int measurement_ = -1;
};

struct Measured {
    std::string text;             // the reply lines
    std::vector<std::uint32_t> q; // Q1 and Q2 bits after each measurement
};

// Boots a board, lets the start-up measurement pass, then measures `points`
// points through `r 0 points`, each with its own signal.
Measured measure(bool chip, const RestartSynchronisedSource::Signal &signal, int points)
{
    sim::BoardOptions options;
    if (chip) options.image = kImage;
    sim::SimBoard board(options);
    snt_test::SerialCapture serial(board);
    Globals globals(board);
    EXPECT_TRUE(board.run_until_idle(ms(500)));
    board.run_for(ms(40));
    EXPECT_TRUE(board.run_until_idle(ms(10)));
    RestartSynchronisedSource source(globals, signal);
    board.adc().set_source(&source);
    Measured m;
    const std::size_t before = serial.text().size();
    const std::string line = "r 0 " + std::to_string(points) + "\r";
    board.usart().host_send(reinterpret_cast<const std::uint8_t *>(line.data()), line.size());
    std::uint32_t last_stage = kStageDone;
    int done = 0;
    board.run_until(
        [&] {
            // Q1 and Q2 once each measurement is complete.
            const std::uint32_t stage = globals.word(SNT_FW_SYMBOL(measure_stage));
            if (stage == kStageDone && last_stage != kStageDone) {
                m.q.push_back(globals.word(SNT_FW_SYMBOL(Q1)));
                m.q.push_back(globals.word(SNT_FW_SYMBOL(Q2)));
                ++done;
            }
            last_stage = stage;
            return done == points && board.firmware_idle();
        },
        ms(100) * static_cast<Cycles>(points + 2));
    EXPECT_EQ(board.adc().overruns(), 0u) << (chip ? "chip image" : "host build");
    m.text = serial.text().substr(before);
    return m;
}

TEST(ChipLevels, TheSameSamplesGiveTheSameBitsOnBothCpus)
{
    const auto tone = [](double amplitude, double phase, double noise, std::uint32_t seed) {
        return [=](int measurement, int index) {
            std::mt19937 rng(seed + 977u * static_cast<std::uint32_t>(measurement) + static_cast<std::uint32_t>(index));
            std::normal_distribution<double> n(0.0, 1.0);
            const double v =
                2048 + amplitude * std::cos(2 * M_PI * index / 16.0 + phase + 0.3 * measurement) + noise * n(rng);
            return static_cast<std::uint16_t>(std::lround(std::fmin(4095, std::fmax(0, v))));
        };
    };
    const RestartSynchronisedSource::Signal signals[] = {
        tone(1500, 0.0, 0.0, 1), // a through connection
        tone(1500, 1.1, 2.0, 2), // with the board's noise
        tone(3000, 0.4, 0.0, 3), // clipped at both ends
        tone(3.0, 0.0, 2.0, 4),  // near the noise floor
        [](int, int index) { return static_cast<std::uint16_t>((index * 2654435761u >> 7) & 0xFFF); }, // anything
        [](int, int) { return std::uint16_t(0); },                                                     // nothing
    };
    for (std::size_t i = 0; i < std::size(signals); ++i) {
        const Measured host = measure(false, signals[i], 3);
        const Measured chip = measure(true, signals[i], 3);
        ASSERT_EQ(host.q.size(), 6u) << "signal " << i;
        EXPECT_EQ(chip.q, host.q) << "signal " << i << ": Q1/Q2 differ";
        EXPECT_EQ(chip.text, host.text) << "signal " << i;
    }
}

// Sweeps of real devices under test, noise included, measure the same
// response on the image as on the host build. The two CPUs take different
// times for the same commands, so noise and tone phase differ from point
// to point; the points compared stay well above the noise floor.
TEST(ChipLevels, SweepsOfRealDevicesAgreeWithTheHostBuild)
{
    struct Case {
        const char *dut;
        std::uint32_t start, step;
        int points;
    };
    const Case cases[] = {
        {"thru", 1000000, 2000000, 20},
        {"bandpass:10.7M:1M", 9700000, 100000, 21},
        {"crystal:10M:20000", 9999000, 100, 21},
        {"lowpass:10M:4", 2000000, 1000000, 14},
    };
    const auto sweep = [](bool chip, const Case &c) {
        sim::BoardOptions options;
        options.dut = c.dut;
        if (chip) options.image = kImage;
        sim::SimBoard board(options);
        snt_test::SerialCapture serial(board);
        EXPECT_TRUE(board.run_until_idle(ms(500)));
        board.run_for(ms(40));
        EXPECT_TRUE(board.run_until_idle(ms(10)));
        const std::size_t before = serial.text().size();
        for (const std::string &line : {"f " + std::to_string(c.start) + "\r",
                                        "r " + std::to_string(c.step) + " " + std::to_string(c.points) + "\r"}) {
            board.usart().host_send(reinterpret_cast<const std::uint8_t *>(line.data()), line.size());
            const Cycles arrival = board.usart().host_send_done_at();
            board.run_until([&] { return board.now() >= arrival; }, ms(100));
            EXPECT_TRUE(board.run_until_idle(ms(100) * static_cast<Cycles>(c.points + 2)));
        }
        EXPECT_EQ(board.adc().overruns(), 0u) << c.dut << (chip ? " on the chip image" : " on the host build");
        EXPECT_EQ(board.usart().overruns(), 0u);
        std::vector<double> levels;
        const std::string text = serial.text().substr(before);
        for (std::size_t at = 0, cr; (cr = text.find('\r', at)) != std::string::npos; at = cr + 1) {
            levels.push_back(std::stod(text.substr(at, cr - at)));
        }
        return levels;
    };
    for (const Case &c : cases) {
        const std::vector<double> host = sweep(false, c), chip = sweep(true, c);
        ASSERT_EQ(host.size(), static_cast<std::size_t>(c.points)) << c.dut;
        ASSERT_EQ(chip.size(), host.size()) << c.dut;
        double worst = 0;
        for (std::size_t i = 0; i < host.size(); ++i) {
            const double db = 10 * std::log10(chip[i] / host[i]);
            worst = std::fmax(worst, std::fabs(db));
            EXPECT_LT(std::fabs(db), 0.05) << c.dut << " point " << i << ": " << chip[i] << " against " << host[i];
        }
        std::printf("%s: %d points, largest difference %.4f dB\n", c.dut, c.points, worst);
    }
}

// A 200-point sweep with command lines streamed at the serial port all the
// while: the detector keeps up with every sample and the receiver with
// every byte.
TEST(ChipLevels, NoSampleAndNoByteIsLostDuringALongSweep)
{
    std::string input = "f 5000000\rr 10000 200\r";
    for (int i = 0; i < 40; ++i) input += "w\r";
    const auto run = snt_test::run_process(
        {snt_test::built_program("snt-sim"), "--image", kImage, "--stream", "--stats"}, input, 300);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("adc.overruns 0\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("usart.overruns 0\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("irq.USART1.count"), std::string::npos) << run.err;
    // The lines sent during the sweep replace each other; the last one runs.
    EXPECT_EQ(run.out.substr(run.out.size() - 9), ID_TEXT "\r");
}

} // namespace
