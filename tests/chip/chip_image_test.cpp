// The chip image on the board's Cortex-M0 core, held against the host build
// of the same firmware: what the serial port, the bus and the settings page
// show must be the same bytes; only the time things take may differ.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "board/cpu/chip_cpu.h"
#include "board/statistics.h"
#include "board_fixture.h"
#include "protocol.h"
#include "shells/sim/bus_log.h"
#include "temp_dir.h"

namespace {

using sim::Cycles;
using snt_test::ms;

const std::string kImage = SNT_CHIP_IMAGE;

// Where the linker puts the vector table: the start of main flash.
constexpr std::uint32_t kVectorTable = sim::kFlashMemoryBase;

// One board, host build or chip image, with everything it shows recorded.
class Session {
public:
    explicit Session(bool chip, sim::BoardOptions options = {})
        : board_(with_image(std::move(options), chip)),
          serial_(board_),
          bus_(board_.scheduler(), board_.gpiof(),
               [this](Cycles, const std::vector<std::uint8_t> &bytes) { transactions_.push_back(bytes); })
    {}

    sim::SimBoard &board() { return board_; }
    const std::string &serial() const { return serial_.text(); }
    const std::vector<std::vector<std::uint8_t>> &transactions() const { return transactions_; }

    // Start-up, and the measurement it starts, which nobody reads: while the
    // detector runs, a line could lose bytes where the detector's handler is
    // slower than its sample period.
    void boot()
    {
        ASSERT_TRUE(board_.run_until_idle(ms(500))) << "start-up did not reach the main loop";
        board_.run_for(ms(40));
        ASSERT_TRUE(board_.run_until_idle(ms(10)));
    }

    // Sends a line as a careful host does and runs until the firmware is idle.
    void line(const std::string &text, Cycles limit = ms(500))
    {
        const std::string bytes = text + "\r";
        board_.usart().host_send(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
        const Cycles arrival = board_.usart().host_send_done_at();
        board_.run_until([&] { return board_.now() >= arrival; }, limit);
        ASSERT_TRUE(board_.run_until_idle(limit)) << "no return to the main loop after " << text;
    }

    std::string statistic(const std::string &name) const
    {
        for (const auto &[n, v] : sim::statistics(board_)) {
            if (n == name) return v;
        }
        return "(missing)";
    }

private:
    static sim::BoardOptions with_image(sim::BoardOptions o, bool chip)
    {
        if (chip) o.image = kImage;
        return o;
    }

    sim::SimBoard board_;
    snt_test::SerialCapture serial_;
    std::vector<std::vector<std::uint8_t>> transactions_;
    sim::BusMonitor bus_;
};

std::string hex_lines(const std::vector<std::vector<std::uint8_t>> &transactions)
{
    std::string out;
    for (const auto &t : transactions) out += sim::BusLogWriter::format(0, t).substr(2) + "\n";
    return out;
}

TEST(ChipImage, VectorTableAndResetAsLinked)
{
    Session s(true);
    const sim::ElfImage &image = s.board().chip()->image();
    const sim::CortexM0 &core = s.board().chip()->core();
    std::uint32_t word = 0;
    ASSERT_TRUE(core.peek(kVectorTable, 4, word));
    EXPECT_EQ(word, image.require("_estack"));
    ASSERT_TRUE(core.peek(0x00000004, 4, word)) << "flash is seen at address 0 after a boot from main flash";
    EXPECT_EQ(word, image.require("Reset_Handler"));
    EXPECT_EQ(word & 1u, 1u) << "vectors are Thumb addresses";
    const std::pair<int, const char *> handlers[] = {{2, SNT_FW_NAME(NMI_Handler)},
                                                     {3, SNT_FW_NAME(HardFault_Handler)},
                                                     {11, SNT_FW_NAME(SVC_Handler)},
                                                     {14, SNT_FW_NAME(PendSV_Handler)},
                                                     {15, SNT_FW_NAME(SysTick_Handler)},
                                                     {sim::kIrqBase + sim::kAdcIrq, SNT_FW_NAME(ADC1_IRQHandler)},
                                                     {sim::kIrqBase + sim::kUsart1Irq, SNT_FW_NAME(USART1_IRQHandler)}};
    for (const auto &[exception, name] : handlers) {
        ASSERT_TRUE(core.peek(kVectorTable + 4 * exception, 4, word));
        EXPECT_EQ(word, image.require(name)) << name;
    }
    // After reset the core stands at the reset handler with the stack at the top.
    EXPECT_EQ(core.pc(), image.require("Reset_Handler") & ~1u);
    EXPECT_EQ(core.reg(13), image.require("_estack"));
}

TEST(ChipImage, StartUpConfiguresTheBoardAsTheHostBuildDoes)
{
    Session host(false), chip(true);
    host.boot();
    chip.boot();
    EXPECT_EQ(chip.serial(), "25000000\r" ID_TEXT "\r");
    EXPECT_EQ(chip.serial(), host.serial());
    EXPECT_EQ(hex_lines(chip.transactions()), hex_lines(host.transactions())) << "start-up bus traffic";

    struct Reg {
        const char *name;
        std::uint32_t address;
    };
    const Reg regs[] = {
        {"RCC CR", sim::kRccBase + sim::Rcc::kCr},
        {"RCC CFGR", sim::kRccBase + sim::Rcc::kCfgr},
        {"RCC AHBENR", sim::kRccBase + sim::Rcc::kAhbenr},
        {"RCC APB2ENR", sim::kRccBase + sim::Rcc::kApb2enr},
        {"RCC APB1ENR", sim::kRccBase + sim::Rcc::kApb1enr},
        {"GPIOA MODER", sim::kGpioaBase + sim::Gpio::kModer},
        {"GPIOA OTYPER", sim::kGpioaBase + sim::Gpio::kOtyper},
        {"GPIOA PUPDR", sim::kGpioaBase + sim::Gpio::kPupdr},
        {"GPIOA AFRH", sim::kGpioaBase + sim::Gpio::kAfrh},
        {"GPIOF MODER", sim::kGpiofBase + sim::Gpio::kModer},
        {"GPIOF OTYPER", sim::kGpiofBase + sim::Gpio::kOtyper},
        {"GPIOF ODR", sim::kGpiofBase + sim::Gpio::kOdr},
        {"USART1 CR1", sim::kUsart1Base + sim::Usart::kCr1},
        {"USART1 CR3", sim::kUsart1Base + sim::Usart::kCr3},
        {"USART1 BRR", sim::kUsart1Base + sim::Usart::kBrr},
        {"ADC CFGR1", sim::kAdcBase + sim::Adc::kCfgr1},
        {"ADC CFGR2", sim::kAdcBase + sim::Adc::kCfgr2},
        {"ADC SMPR", sim::kAdcBase + sim::Adc::kSmpr},
        {"ADC CHSELR", sim::kAdcBase + sim::Adc::kChselr},
        {"ADC IER", sim::kAdcBase + sim::Adc::kIer},
        {"TIM3 CR1", sim::kTim3Base + sim::Timer::kCr1},
        {"TIM3 CR2", sim::kTim3Base + sim::Timer::kCr2},
        {"TIM3 PSC", sim::kTim3Base + sim::Timer::kPsc},
        {"TIM3 ARR", sim::kTim3Base + sim::Timer::kArr},
        {"SysTick LOAD", sim::kSysTickBase + sim::SysTick::kLoad},
        {"SysTick CTRL", sim::kSysTickBase + sim::SysTick::kCtrl},
        {"NVIC ISER", sim::kNvicBase + sim::Nvic::kIser},
        {"NVIC IPR3", sim::kNvicBase + sim::Nvic::kIpr + 12},
        {"NVIC IPR6", sim::kNvicBase + sim::Nvic::kIpr + 24},
        {"SCB SHPR3", sim::kScbBase + sim::Nvic::Scb::kShpr3},
    };
    for (const auto &r : regs) {
        EXPECT_EQ(chip.board().inspect(r.address), host.board().inspect(r.address)) << r.name;
    }
    EXPECT_EQ(chip.board().inspect(sim::kUsart1Base + sim::Usart::kBrr), 69u) << "USART1 BRR: 115200 baud from 8 MHz";
    EXPECT_EQ(chip.board().inspect(sim::kAdcBase + sim::Adc::kCfgr1), 0x4C1u) << "ADC CFGR1";
    EXPECT_EQ(chip.board().inspect(sim::kTim3Base + sim::Timer::kArr), 499u) << "TIM3 ARR: 16 kHz trigger";
    EXPECT_EQ(chip.board().inspect(sim::kSysTickBase + sim::SysTick::kLoad), 7999u) << "SysTick LOAD: 1 ms";
    EXPECT_LT(chip.board().nvic().irq_priority(sim::kAdcIrq), chip.board().nvic().irq_priority(sim::kUsart1Irq))
        << "the ADC pre-empts the serial receiver";
}

TEST(ChipImage, EveryCommandAnswersAndDrivesTheBusAsOnTheHostBuild)
{
    Session host(false), chip(true);
    host.boot();
    chip.boot();
    const char *lines[] = {"w", "f 7000000", "o", "f 3500000", "c", "f 10000000", "x 25000123", "w", "xyz", "o"};
    for (const char *l : lines) {
        host.line(l, ms(1000));
        chip.line(l, ms(1000));
        EXPECT_EQ(chip.serial(), host.serial()) << "after " << l;
        EXPECT_EQ(hex_lines(chip.transactions()), hex_lines(host.transactions())) << "bus after " << l;
    }
    EXPECT_EQ(chip.board().flash().contents(), host.board().flash().contents()) << "settings page after x";
    EXPECT_EQ(chip.board().flash().contents()[0], 0xBB) << "25000123 = 0x017D83BB, little-endian";
    // The page erase and two half-word programs stall both CPUs for the
    // same time: code and vectors live in flash.
    const std::string stall = std::to_string(sim::Flash::kEraseCycles + 2 * sim::Flash::kProgramCycles);
    EXPECT_EQ(chip.statistic("flash.stall_cycles"), stall);
    EXPECT_EQ(host.statistic("flash.stall_cycles"), stall);

    // A sweep answers one line per point on both; the levels themselves are
    // compared where the detector keeps up with its samples.
    host.line("f 7000000");
    chip.line("f 7000000");
    const std::size_t before = chip.serial().size();
    chip.line("r 1000 3", ms(1000));
    const std::string reply = chip.serial().substr(before);
    int lines_seen = 0;
    for (std::size_t at = 0; at < reply.size(); ++lines_seen) {
        const std::size_t cr = reply.find('\r', at);
        ASSERT_NE(cr, std::string::npos) << reply;
        const std::string level = reply.substr(at, cr - at);
        ASSERT_GE(level.size(), 4u) << level;
        EXPECT_EQ(level[level.size() - 3], '.') << "two decimals: " << level;
        at = cr + 1;
    }
    EXPECT_EQ(lines_seen, 3);
}

TEST(ChipImage, StatisticsCountTheCoreAndItsHandlers)
{
    Session chip(true);
    chip.boot();
    chip.line("f 7000000");
    chip.line("r 1000 2", ms(1000));
    const auto value = [&](const std::string &name) { return std::stod(chip.statistic(name)); };
    EXPECT_GT(value("instructions"), 10000);
    EXPECT_GT(value("cycles"), value("instructions")) << "no instruction takes less than a cycle";
    // A measurement: a restart, up to 16+16 samples of crest search, then 256
    // accumulated; three measurements (start-up and two points) at least.
    EXPECT_GE(value("irq.ADC1.count"), 3 * 256);
    EXPECT_GE(value("irq.ADC1.cycles_max"), value("irq.ADC1.cycles_mean"));
    EXPECT_GT(value("irq.ADC1.cycles_mean"), 32) << "entry and exit alone take 32 cycles";
    EXPECT_GE(value("irq.USART1.count"), 18) << "one entry per received byte at least";
    EXPECT_GE(value("irq.SysTick.count"), 100) << "the 100 ms settling after the first f";
    EXPECT_EQ(chip.statistic("flash.stall_cycles"), "0");
}

// The core runs the file it is given: a changed identification text in the
// image is what the board answers.
TEST(ChipImage, AChangedImageChangesWhatRuns)
{
    std::ifstream in(kImage, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t at = bytes.find(ID_TEXT);
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 8, "9.9;TEST");
    const snt_test::TempDir folder("chip_image_test");
    const std::string path = folder / "changed.elf";
    std::ofstream(path, std::ios::binary) << bytes;

    sim::BoardOptions options;
    options.image = path;
    sim::SimBoard board(options);
    snt_test::SerialCapture serial(board);
    ASSERT_TRUE(board.run_until_idle(ms(500)));
    EXPECT_EQ(serial.text(), "25000000\r9.9;TEST\r");
}

TEST(ChipImage, ImagesThatCannotRunAreRefusedWithTheReason)
{
    sim::BoardOptions options;
    options.image = "/nonexistent/snt-fw.elf";
    EXPECT_THROW(sim::SimBoard{options}, sim::ImageError);
    options.image = "/dev/zero"; // never ends: refused without reading
    EXPECT_THROW(sim::SimBoard{options}, sim::ImageError);
    options.image = "/usr/bin/true"; // an ELF, but not for the chip
    try {
        sim::SimBoard board(options);
        FAIL() << "a host executable was accepted as a chip image";
    } catch (const sim::ImageError &e) {
        EXPECT_NE(std::string(e.what()).find("ARM"), std::string::npos) << e.what();
    }
}

// snt-sim and snt as users run them, on the image and on the host build.
TEST(ChipImage, SntSimAndSntRunTheImageAndAccountForIt)
{
    const std::string input = "w\rf 7000000\ro\r";
    const snt_test::TempDir folder("chip_image_test");
    const std::string &dir = folder.path();
    const auto read_bus = [](const std::string &path) {
        std::ifstream in(path);
        std::string line, bytes;
        while (std::getline(in, line)) bytes += line.substr(line.find(' ') + 1) + "\n";
        return bytes;
    };
    const auto chip = snt_test::run_process(
        {snt_test::built_program("snt-sim"), "--image", kImage, "--bus-log", dir + "/chip.log", "--stats"}, input);
    const auto host =
        snt_test::run_process({snt_test::built_program("snt-sim"), "--bus-log", dir + "/host.log", "--stats"}, input);
    ASSERT_EQ(chip.exit_code, 0) << chip.err;
    ASSERT_EQ(host.exit_code, 0) << host.err;
    EXPECT_EQ(chip.out, host.out);
    EXPECT_EQ(chip.out, "25000000\r" ID_TEXT "\r" ID_TEXT "\r");
    const std::string bus = read_bus(dir + "/chip.log");
    EXPECT_EQ(bus, read_bus(dir + "/host.log"));
    EXPECT_NE(bus.find("C0 11 6F"), std::string::npos) << "output 1 switched on by f";
    for (const char *key :
         {"cycles ", "instructions ", "irq.ADC1.count ", "irq.ADC1.cycles_max ", "irq.ADC1.cycles_mean ",
          "irq.USART1.count ", "irq.SysTick.count ", "adc.overruns ", "usart.overruns ", "flash.stall_cycles "}) {
        EXPECT_NE(("\n" + chip.err).find(std::string("\n") + key), std::string::npos) << key << " missing in\n"
                                                                                      << chip.err;
    }
    EXPECT_EQ(host.err.find("instructions "), std::string::npos) << "the host build executes no instructions we count";
    EXPECT_NE(host.err.find("irq.ADC1.cycles_max "), std::string::npos);

    const auto id = snt_test::run_process({snt_test::built_program("snt"), "--image", kImage, "id"}, "");
    EXPECT_EQ(id.exit_code, 0) << id.err;
    EXPECT_NE(id.out.find(ID_TEXT), std::string::npos) << id.out;
    const auto bad = snt_test::run_process({snt_test::built_program("snt-sim"), "--image", dir}, "");
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_NE(bad.err.find("--image"), std::string::npos) << bad.err;
}

} // namespace
