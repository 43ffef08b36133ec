// Start-up: board configuration, the banner, and the main loop's first wait.
#include "board_fixture.h"
#include "protocol.h"

namespace snt_test {
namespace {

using StartUp = BoardTest;

TEST_F(StartUp, SendsTheBannerOnlyAndReachesTheMainLoop)
{
    boot();
    EXPECT_EQ(serial.text(), std::string("25000000\r" ID_TEXT "\r"));
    ASSERT_EQ(serial.times().size(), 18u);
    for (std::size_t i = 1; i < serial.times().size(); ++i) {
        EXPECT_EQ(serial.times()[i] - serial.times()[i - 1], 690u) << "bytes back to back at 115,942 baud";
    }
    EXPECT_EQ(SNT_FW(board.firmware(), xtal), 25000000u);
    EXPECT_EQ(SNT_FW(board.firmware(), rx_byte_f), 0u);
    // Banner, synthesizer set-up and the 50 ms settling wait.
    EXPECT_GT(board.now(), ms(50));
    EXPECT_LT(board.now(), ms(60));
}

TEST_F(StartUp, ConfiguresEveryPeripheralWithItsValues)
{
    boot();
    auto reg = [&](std::uint32_t a) { return board.inspect(a); };
    // Clocks: HSI as system clock, HSI14 on under ADC control, USART1 on PCLK.
    EXPECT_EQ(reg(sim::kRccBase + sim::Rcc::kCfgr) & 0xF, 0u) << "SW = SWS = HSI";
    EXPECT_EQ(reg(sim::kRccBase + sim::Rcc::kCr) & 0xF8u, 16u << 3) << "HSITRIM 16";
    EXPECT_EQ(reg(sim::kRccBase + sim::Rcc::kCr2) & 0xFDu, (16u << 3) | 1u) << "HSI14 on, trim 16, HSI14DIS clear";
    EXPECT_EQ(reg(sim::kRccBase + sim::Rcc::kCfgr3) & 3u, 0u) << "USART1 on PCLK";
    EXPECT_EQ(reg(sim::kRccBase + sim::Rcc::kAhbenr), 0x14u | (1u << 17) | (1u << 22)) << "GPIOA and GPIOF added";
    EXPECT_EQ(reg(sim::kRccBase + sim::Rcc::kApb2enr), (1u << 0) | (1u << 9) | (1u << 14)) << "SYSCFG, ADC, USART1";
    EXPECT_EQ(reg(sim::kRccBase + sim::Rcc::kApb1enr), (1u << 1) | (1u << 28)) << "TIM3, PWR";
    EXPECT_EQ(reg(sim::kFlashBase + sim::Flash::kAcr) & 7u, 0u) << "flash latency 0";
    // SysTick: 1 ms at 8 MHz, interrupt on.
    EXPECT_EQ(reg(sim::kSysTickBase + sim::SysTick::kLoad), 7999u);
    EXPECT_EQ(reg(sim::kSysTickBase + sim::SysTick::kCtrl) & 7u, 7u);
    // Pins.
    const sim::Gpio &pa = board.gpioa(), &pf = board.gpiof();
    auto field = [](std::uint32_t r, int pin, int width) { return (r >> (pin * width)) & ((1u << width) - 1); };
    for (int pin : {0, 1}) {
        EXPECT_EQ(field(pf.moder(), pin, 2), 1u);
        EXPECT_EQ(field(pf.otyper(), pin, 1), 1u) << "open drain";
        EXPECT_EQ(field(pf.ospeedr(), pin, 2), 0u);
        EXPECT_EQ(field(pf.pupdr(), pin, 2), 1u) << "pull-up";
        EXPECT_EQ(board.gpiof().level(pin), sim::Level::High) << "bus released";
    }
    EXPECT_EQ(field(pa.moder(), 2, 2), 1u);
    EXPECT_EQ(field(pa.otyper(), 2, 1), 0u);
    EXPECT_EQ(field(pa.moder(), 3, 2), 0u);
    EXPECT_EQ(field(pa.moder(), 0, 2), 3u) << "PA0 analog";
    for (int pin : {9, 10}) {
        EXPECT_EQ(field(pa.moder(), pin, 2), 2u);
        EXPECT_EQ(field(pa.ospeedr(), pin, 2), 1u);
        EXPECT_EQ(field(pa.afr(1), pin - 8, 4), 1u) << "AF1";
    }
    EXPECT_EQ(field(pa.pupdr(), 10, 2), 1u);
    EXPECT_EQ(field(pa.pupdr(), 9, 2), 0u);
    // Serial port.
    EXPECT_EQ(board.usart().brr(), 69u);
    EXPECT_EQ(board.usart().cr1(), 0x2Du) << "UE, RE, TE, RXNEIE; 8 bits, no parity, oversampling 16";
    EXPECT_EQ(reg(sim::kUsart1Base + sim::Usart::kCr2) & (3u << 12), 0u) << "one stop bit";
    // ADC: calibrated, enabled, triggered by TIM3, converting.
    EXPECT_EQ(reg(sim::kAdcBase + sim::Adc::kCfgr1), 0x000004C1u);
    EXPECT_EQ(reg(sim::kAdcBase + sim::Adc::kSmpr), 7u) << "sampling time 239.5 cycles";
    EXPECT_EQ(reg(sim::kAdcBase + sim::Adc::kChselr), 1u) << "channel 0 only";
    EXPECT_EQ(reg(sim::kAdcBase + sim::Adc::kCfgr2), 0u) << "asynchronous clock";
    EXPECT_EQ(reg(sim::kAdcBase + sim::Adc::kIer), 1u << 2) << "end of conversion interrupt only";
    EXPECT_EQ(reg(sim::kAdcBase + sim::Adc::kCr), 5u) << "ADEN and ADSTART, calibration over";
    // TIM3: 8 MHz / 500, update event as trigger output, counting.
    EXPECT_EQ(reg(sim::kTim3Base + sim::Timer::kPsc), 0u);
    EXPECT_EQ(reg(sim::kTim3Base + sim::Timer::kArr), 499u);
    EXPECT_EQ(reg(sim::kTim3Base + sim::Timer::kCr2) & 0x70u, 0x20u) << "MMS update";
    EXPECT_EQ(reg(sim::kTim3Base + sim::Timer::kCr1) & 0x3F1u, 1u) << "CEN, up counting, no preload";
    // Interrupt controller.
    EXPECT_TRUE(board.nvic().irq_enabled(12));
    EXPECT_TRUE(board.nvic().irq_enabled(27));
    EXPECT_EQ(board.nvic().irq_priority(12), 0x00);
    EXPECT_EQ(board.nvic().irq_priority(27), 0x40);
    EXPECT_EQ(board.nvic().systick_priority(), 0x00);
}

TEST_F(StartUp, PinPA2StartsHighAndEachCommandPulsesIt)
{
    PinTrace pa2(board, board.gpioa(), 2);
    boot();
    ASSERT_GE(pa2.changes().size(), 2u);
    EXPECT_EQ(pa2.changes()[1].second, sim::Level::High) << "PA2 is set high before it becomes an output";
    EXPECT_EQ(board.gpioa().level(2), sim::Level::Low) << "the bus waits of start-up leave it low";
    for (const char *line : {"w\r", "W\r"}) {
        const Cycles before = board.now();
        send_and_settle(line);
        EXPECT_EQ(pa2.rising_edges(before), 1) << "one pulse for the line " << line[0];
        EXPECT_EQ(board.gpioa().level(2), sim::Level::Low);
    }
}

TEST_F(StartUp, ALineSentDuringTheBannerIsRunByTheFirstLoopPass)
{
    board.usart().set_on_receiver_ready([this] { send("w\r"); });
    boot();
    board.run_until_idle(ms(20));
    EXPECT_EQ(serial.text(), std::string("25000000\r" ID_TEXT "\r" ID_TEXT "\r"));
}

TEST_F(StartUp, MillisecondDelayWaitsNToNPlusOneMilliseconds)
{
    boot();
    auto &delay = SNT_FW(board.firmware(), LL_mDelay);
    for (std::uint32_t n : {0u, 1u, 50u}) {
        for (Cycles offset : {Cycles(0), us(137), us(999)}) {
            board.scheduler().advance_to(board.now() + offset);
            const Cycles start = board.now();
            delay(n);
            const Cycles took = board.now() - start;
            EXPECT_GE(took, ms(n)) << "LL_mDelay(" << n << ")";
            // plus the few cycles of the poll that sees the last wrap
            EXPECT_LE(took, ms(n + 1) + 4 * sim::HostCpu::kAccessCycles) << "LL_mDelay(" << n << ")";
        }
    }
}

} // namespace
} // namespace snt_test
