// Guest errors: every model reports an access to a register offset it does
// not implement, with its name, the offset and the value written, and the
// board keeps the first of each register and hands it to its handler.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "board/peripherals/adc.h"
#include "board/peripherals/flash.h"
#include "board/peripherals/gpio.h"
#include "board/peripherals/guest_error.h"
#include "board/peripherals/memory_map.h"
#include "board/peripherals/nvic.h"
#include "board/peripherals/rcc.h"
#include "board/peripherals/scheduler.h"
#include "board/peripherals/systick.h"
#include "board/peripherals/tim.h"
#include "board/peripherals/usart.h"
#include "model_probes.h"
#include "shells/sim/sim_board.h"

namespace snt_test {
namespace {

struct Recorder : sim::GuestErrorSink {
    std::vector<sim::GuestError> errors;
    void guest_error(const sim::GuestError &e) override { errors.push_back(e); }
};

// Every model of the board, on its own, each reporting to one recorder.
class Models : public ::testing::Test {
protected:
    sim::Scheduler sched;
    IrqProbe irq;
    sim::Nvic nvic;
    sim::Usart usart{sched, irq, 27};
    sim::Gpio gpio{'A', 0x28000000, 0x24000000};
    sim::Rcc rcc{sched};
    sim::Adc adc{sched, irq, 12};
    sim::Timer tim{"TIM3", sched, irq, 16};
    sim::SysTick systick{sched, irq};
    sim::Flash flash{sched};
    Recorder recorder;

    void SetUp() override
    {
        for (sim::Peripheral *p : all()) {
            p->set_guest_error_sink(&recorder);
            p->reset();
        }
    }
    std::vector<sim::Peripheral *> all()
    {
        return {&usart, &gpio, &rcc, &adc, &tim, &systick, &nvic, &nvic.scb(), &flash.regs(), &flash.page()};
    }
};

TEST_F(Models, AnUnimplementedOffsetIsReportedWithTheDeviceOffsetAndValue)
{
    struct Case {
        sim::Peripheral *device;
        const char *name;
        std::uint32_t offset; // a reserved offset in the device's window
    };
    const Case cases[] = {
        {&usart, "USART1", 0x30}, {&usart, "USART1", 0x2C},   {&gpio, "GPIOA", 0x2C},
        {&rcc, "RCC", 0x38},      {&adc, "ADC", 0x44},        {&adc, "ADC", 0x18},
        {&tim, "TIM3", 0x30},     {&tim, "TIM3", 0x44},       {&systick, "SysTick", 0x10},
        {&nvic, "NVIC", 0x200},   {&nvic.scb(), "SCB", 0x08}, {&flash.regs(), "FLASH", 0x18},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " offset " + std::to_string(c.offset));
        recorder.errors.clear();
        c.device->write(c.offset, 0xA5u, 4);
        EXPECT_EQ(c.device->read(c.offset, 2), 0u) << "the write was dropped and the read gives 0";
        ASSERT_EQ(recorder.errors.size(), 2u);
        const sim::GuestError &w = recorder.errors[0], &r = recorder.errors[1];
        EXPECT_EQ(w.device, c.name);
        EXPECT_EQ(w.offset, c.offset);
        EXPECT_TRUE(w.is_write);
        EXPECT_EQ(w.value, 0xA5u);
        EXPECT_EQ(w.size, 4u);
        EXPECT_EQ(r.device, c.name);
        EXPECT_EQ(r.offset, c.offset);
        EXPECT_FALSE(r.is_write);
        EXPECT_EQ(r.value, 0u);
        EXPECT_EQ(r.size, 2u);
    }
}

TEST_F(Models, RegistersTheyImplementAreNotReported)
{
    // Every register of each block, both ways, including write-only
    // registers read (they give 0) and read-only ones written (dropped).
    // Writes put each register back to what it held, so nothing starts.
    struct Block {
        sim::Peripheral *device;
        std::vector<std::uint32_t> offsets;
    };
    const Block blocks[] = {
        {&usart, {0x00, 0x04, 0x08, 0x0C, 0x10, 0x14, 0x18, 0x1C, 0x20, 0x24, 0x28}},
        {&gpio, {0x00, 0x04, 0x08, 0x0C, 0x10, 0x14, 0x18, 0x1C, 0x20, 0x24, 0x28}},
        {&rcc, {0x00, 0x04, 0x08, 0x0C, 0x10, 0x14, 0x18, 0x1C, 0x20, 0x24, 0x28, 0x2C, 0x30, 0x34}},
        {&adc, {0x00, 0x04, 0x08, 0x0C, 0x10, 0x14, 0x20, 0x28, 0x40, 0x308}},
        {&tim,
         {0x00, 0x04, 0x08, 0x0C, 0x10, 0x14, 0x18, 0x1C, 0x20, 0x24, 0x28, 0x2C, 0x34, 0x38, 0x3C, 0x40, 0x48, 0x4C}},
        {&systick, {0x0, 0x4, 0x8, 0xC}},
        {&nvic, {0x000, 0x080, 0x100, 0x180, 0x300, 0x304, 0x308, 0x30C, 0x310, 0x314, 0x318, 0x31C}},
        {&nvic.scb(), {0x04, 0x1C, 0x20}},
        {&flash.regs(), {0x00, 0x08, 0x0C, 0x10, 0x14, 0x1C, 0x20}},
        {&flash.page(), {0x000, 0x002, 0x200, 0x3FC}},
    };
    for (const Block &b : blocks) {
        for (const std::uint32_t offset : b.offsets) {
            const std::uint32_t v = b.device->read(offset, 4);
            b.device->write(offset, v, 4);
            EXPECT_TRUE(recorder.errors.empty()) << b.device->name() << " offset " << offset << ": "
                                                 << (recorder.errors.empty() ? "" : describe(recorder.errors[0]));
            recorder.errors.clear();
        }
    }
    // The flash key register reads 0 and takes its key sequence.
    EXPECT_EQ(flash.regs().read(sim::Flash::kKeyr, 4), 0u);
    flash.regs().write(sim::Flash::kKeyr, sim::Flash::kKey1, 4);
    flash.regs().write(sim::Flash::kKeyr, sim::Flash::kKey2, 4);
    EXPECT_FALSE(flash.locked());
    // USART1's data register reads back the last byte written.
    usart.write(0x28, 0x41, 4);
    EXPECT_EQ(usart.read(0x28, 4), 0x41u);
    EXPECT_TRUE(recorder.errors.empty());
}

TEST(GuestErrorLog, KeepsTheFirstOfEachRegisterAndCountsThemAll)
{
    sim::GuestErrorLog log;
    EXPECT_TRUE(log.add({"USART1", 0x30, 4, true, 0x1}));
    EXPECT_FALSE(log.add({"USART1", 0x30, 4, true, 0x2})) << "the same register again";
    EXPECT_FALSE(log.add({"USART1", 0x30, 4, false, 0})) << "a read of a register already reported";
    EXPECT_TRUE(log.add({"USART1", 0x34, 4, false, 0}));
    EXPECT_TRUE(log.add({"ADC", 0x30, 4, false, 0})) << "the same offset of another device";
    EXPECT_EQ(log.count(), 5u);
    const auto &firsts = log.first_of_each_register();
    ASSERT_EQ(firsts.size(), 3u);
    EXPECT_EQ(describe(firsts[0]), "USART1 write of 0x1 to unimplemented offset 0x30");
    EXPECT_EQ(describe(firsts[1]), "USART1 read of unimplemented offset 0x34");
    EXPECT_EQ(describe(firsts[2]), "ADC read of unimplemented offset 0x30");
}

constexpr std::uint32_t kUsart1Reserved = sim::kUsart1Base + 0x30;

TEST(BoardGuestErrors, TheHandlerHearsTheFirstOfEachRegisterAndTheRunGoesOn)
{
    sim::SimBoard board;
    std::vector<std::string> heard;
    board.set_guest_error_handler([&heard](const sim::GuestError &e) { heard.push_back(describe(e)); });
    board.poke(sim::kRccBase + sim::Rcc::kApb2enr, (1u << 14) | (1u << 9)); // USART1's and the ADC's clocks

    board.poke(kUsart1Reserved, 0x1);
    board.poke(kUsart1Reserved, 0x2);
    EXPECT_EQ(board.inspect(kUsart1Reserved), 0u);
    // As the firmware reaches it: through the host CPU's port, in virtual time.
    sim::HostCpu &cpu = *board.host_cpu();
    const sim::Cycles before = board.now();
    EXPECT_EQ(cpu.read(sim::kAdcBase + 0x44, 4, nullptr), 0u);
    EXPECT_GT(board.now(), before);
    cpu.write(sim::kNvicBase + 0x200, 0x80, 4);

    const std::vector<std::string> expected = {
        "USART1 write of 0x1 to unimplemented offset 0x30",
        "ADC read of unimplemented offset 0x44",
        "NVIC write of 0x80 to unimplemented offset 0x200",
    };
    EXPECT_EQ(heard, expected);
    ASSERT_EQ(board.guest_errors().size(), 3u);
    EXPECT_EQ(board.guest_errors()[0].device, "USART1");
    EXPECT_EQ(board.guest_errors()[0].offset, 0x30u);
    EXPECT_EQ(board.guest_errors()[0].value, 0x1u);
    EXPECT_TRUE(board.guest_errors()[0].is_write);
    EXPECT_EQ(board.guest_error_count(), 5u);

    // A device whose clock is off sees nothing, so it reports nothing.
    board.poke(sim::kRccBase + sim::Rcc::kApb2enr, 0);
    board.poke(sim::kUsart1Base + 0x34, 0x3);
    EXPECT_EQ(board.guest_error_count(), 5u);
    // An address no device maps still stops the board.
    EXPECT_THROW(board.inspect(0x40005400), sim::BoardError);
}

TEST(BoardGuestErrors, WithoutAHandlerAGuestErrorStopsTheBoard)
{
    sim::SimBoard board;
    board.poke(sim::kRccBase + sim::Rcc::kApb2enr, 1u << 14);
    try {
        board.poke(kUsart1Reserved, 0x1);
        FAIL() << "a write to an unimplemented offset went by";
    } catch (const sim::BoardError &e) {
        EXPECT_NE(std::string(e.what()).find("USART1 write of 0x1 to unimplemented offset 0x30"), std::string::npos)
            << e.what();
    }
    EXPECT_THROW(board.host_cpu()->read(sim::kScbBase + 0x08, 4, nullptr), sim::BoardError);
    ASSERT_EQ(board.guest_errors().size(), 2u) << "recorded all the same";
    EXPECT_EQ(board.guest_errors()[1].device, "SCB");
}

} // namespace
} // namespace snt_test
