// The board's device models, each on its own.
#include <gtest/gtest.h>

#include <vector>

#include "gpio.h"
#include "nvic.h"
#include "scheduler.h"
#include "systick.h"
#include "usart.h"

namespace {

using sim::Cycles;

struct IrqProbe : sim::IrqSink {
    std::vector<bool> level = std::vector<bool>(32, false);
    int systick_pends = 0;
    void set_irq_level(int irq, bool high) override { level[irq] = high; }
    void pend_systick() override { ++systick_pends; }
};

TEST(SysTickModel, WrapsOncePerReloadPeriodAndTheFlagClearsOnRead)
{
    sim::Scheduler sched;
    IrqProbe irq;
    sim::SysTick st(sched, irq);
    st.reset();
    st.write(0x4, 7999, 4);
    st.write(0x8, 0, 4);
    st.write(0x0, sim::SysTick::kEnable | sim::SysTick::kClkSource, 4);

    sched.advance_to(7999);
    EXPECT_EQ(st.read(0x0, 4) & sim::SysTick::kCountFlag, 0u) << "no wrap before one full period";
    sched.advance_to(8000);
    EXPECT_NE(st.read(0x0, 4) & sim::SysTick::kCountFlag, 0u);
    EXPECT_EQ(st.read(0x0, 4) & sim::SysTick::kCountFlag, 0u) << "reading CTRL clears the flag";
    EXPECT_EQ(irq.systick_pends, 0) << "no interrupt without TICKINT";

    st.write(0x0, sim::SysTick::kEnable | sim::SysTick::kClkSource | sim::SysTick::kTickInt, 4);
    sched.advance_to(8000 * 5);
    EXPECT_EQ(st.wraps(), 5u);
    EXPECT_EQ(irq.systick_pends, 4);
    sched.advance_to(8000 * 5 + 1000);
    EXPECT_EQ(st.read(0x8, 4), 7999u - 999u) << "VAL counts down from LOAD";
}

class UsartModel : public ::testing::Test {
protected:
    sim::Scheduler sched;
    IrqProbe irq;
    sim::Usart usart{sched, irq, 27};
    std::vector<std::pair<Cycles, int>> sent;

    void SetUp() override
    {
        usart.reset();
        usart.write(0x0C, 69, 4);
        usart.write(0x00, sim::Usart::kUE | sim::Usart::kRE | sim::Usart::kTE | sim::Usart::kRXNEIE, 4);
        usart.set_tx_sink([this](std::uint8_t b) { sent.emplace_back(sched.now(), b); });
    }
    void host(std::vector<std::uint8_t> bytes) { usart.host_send(bytes.data(), bytes.size()); }
};

TEST_F(UsartModel, ReceivesOneByteTimeApartAndOverrunsWhenNotRead)
{
    EXPECT_EQ(usart.byte_cycles(), 690u) << "BRR 69: 115,942 baud, 86.25 us a byte";
    host({'a', 'b', 'c'});
    sched.advance_to(689);
    EXPECT_FALSE(usart.isr() & sim::Usart::kRXNE);
    sched.advance_to(690);
    EXPECT_TRUE(usart.isr() & sim::Usart::kRXNE);
    EXPECT_TRUE(irq.level[27]);
    EXPECT_EQ(usart.read(0x24, 4), unsigned('a'));
    EXPECT_FALSE(usart.isr() & sim::Usart::kRXNE) << "reading RDR empties it";
    EXPECT_FALSE(irq.level[27]);

    sched.advance_to(3 * 690); // 'b' and then 'c' arrive while nobody reads
    EXPECT_TRUE(usart.isr() & sim::Usart::kORE);
    EXPECT_EQ(usart.read(0x24, 4), unsigned('b')) << "the older byte stays, the newer is lost";
    EXPECT_TRUE(irq.level[27]) << "a pending overrun keeps the receive interrupt raised";
    usart.write(0x20, sim::Usart::kORE, 4);
    EXPECT_FALSE(irq.level[27]);
}

TEST_F(UsartModel, IdleAndCharacterMatchFlags)
{
    host({0x00});
    sched.advance_to(690);
    EXPECT_TRUE(usart.isr() & sim::Usart::kCMF) << "a zero byte matches the reset value of CR2.ADD";
    usart.read(0x24, 4);
    EXPECT_FALSE(usart.isr() & sim::Usart::kIDLE);
    sched.advance_to(2 * 690);
    EXPECT_TRUE(usart.isr() & sim::Usart::kIDLE) << "idle one frame after the last byte";
    usart.write(0x20, sim::Usart::kIDLE | sim::Usart::kCMF, 4);
    EXPECT_FALSE(usart.isr() & (sim::Usart::kIDLE | sim::Usart::kCMF));

    const std::uint8_t noisy = 'n';
    usart.host_send(&noisy, 1, sim::Usart::kNoise);
    sched.advance_to(4 * 690);
    EXPECT_TRUE(usart.isr() & sim::Usart::kNE);
    EXPECT_EQ(usart.read(0x24, 4), unsigned('n')) << "a byte with noise is still received";
}

TEST_F(UsartModel, TransmitterHasDataAndShiftRegisters)
{
    EXPECT_TRUE(usart.tx_idle());
    usart.write(0x28, 'x', 4);
    EXPECT_TRUE(usart.isr() & sim::Usart::kTXE) << "the first byte moves straight to the shift register";
    EXPECT_FALSE(usart.isr() & sim::Usart::kTC);
    usart.write(0x28, 'y', 4);
    EXPECT_FALSE(usart.isr() & sim::Usart::kTXE);
    sched.advance_to(690);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], std::make_pair(Cycles(690), int('x')));
    EXPECT_TRUE(usart.isr() & sim::Usart::kTXE);
    sched.advance_to(1380);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].second, 'y');
    EXPECT_TRUE(usart.tx_idle());
}

TEST(NvicModel, LevelLinesPendOnRisingEdgeOrWhileInactive)
{
    sim::Nvic nvic;
    nvic.reset();
    nvic.write(0x000, (1u << 12) | (1u << 27), 4); // enable ADC and USART1
    nvic.write(0x300 + 12, 0x00, 4);               // IP[3]: IRQ 12 priority 0
    nvic.write(0x300 + 24, 0x40u << 24, 4);        // IP[6]: IRQ 27 priority 1

    nvic.set_irq_level(27, true);
    EXPECT_EQ(nvic.next_to_take(sim::kThreadPriority), sim::kIrqBase + 27);
    nvic.activate(sim::kIrqBase + 27);
    EXPECT_EQ(nvic.next_to_take(0x40), -1) << "the active interrupt is not taken again";

    nvic.set_irq_level(12, true);
    EXPECT_EQ(nvic.next_to_take(0x40), sim::kIrqBase + 12) << "priority 0 pre-empts priority 1";
    nvic.activate(sim::kIrqBase + 12);
    nvic.set_irq_level(12, false);
    nvic.deactivate(sim::kIrqBase + 12);

    nvic.set_irq_level(27, false);
    nvic.set_irq_level(27, true); // a new byte while the handler runs
    nvic.set_irq_level(27, false);
    nvic.deactivate(sim::kIrqBase + 27);
    EXPECT_TRUE(nvic.irq_pending(27)) << "a rising edge while active is latched";

    nvic.activate(sim::kIrqBase + 12);
    nvic.set_irq_level(27, true);
    EXPECT_EQ(nvic.next_to_take(0x00), -1) << "priority 1 never pre-empts priority 0";
}

TEST(GpioModel, OpenDrainLinesAreWiredAnd)
{
    sim::Gpio port('F', 0, 0);
    port.reset();
    port.set_external(1, sim::Gpio::External::PullUp);
    port.write(0x18, 1u << 1, 4);      // BSRR: release
    port.write(0x00, 1u << 2, 4);      // MODER: pin 1 output
    port.write(0x04, 1u << 1, 4);      // OTYPER: open drain
    EXPECT_EQ(port.level(1), sim::Level::High);
    port.write(0x28, 1u << 1, 4); // BRR: pull low
    EXPECT_EQ(port.level(1), sim::Level::Low);
    port.write(0x18, 1u << 1, 4);
    port.set_external(1, sim::Gpio::External::DriveLow); // a device holds the line
    EXPECT_EQ(port.read(0x10, 4) & 2u, 0u);
    port.set_external(1, sim::Gpio::External::PullUp);
    EXPECT_EQ(port.read(0x10, 4) & 2u, 2u);

    port.write(0x00, (1u << 2) | (1u << 4), 4); // pin 2 push-pull output
    port.write(0x18, (1u << 2) | (1u << (16 + 2)), 4);
    EXPECT_EQ(port.level(2), sim::Level::High) << "set wins over reset in BSRR";
    EXPECT_EQ(port.level(5), sim::Level::Floating);
}

} // namespace
