#include "fake_chip.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "main.h"
#include "stm32f0xx_it.h"

namespace snt_fuzz {

namespace {

constexpr std::uint32_t kGpioA = sim::kGpioaBase, kGpioF = sim::kGpiofBase;
constexpr std::uint32_t kGpioIdr = 0x10, kGpioOdr = 0x14, kGpioBsrr = 0x18, kGpioBrr = 0x28;
constexpr std::uint32_t kUsart = sim::kUsart1Base;
constexpr std::uint32_t kUsartCr1 = 0x00, kUsartCr3 = 0x08, kUsartRqr = 0x18, kUsartIsr = 0x1C, kUsartIcr = 0x20,
                        kUsartRdr = 0x24, kUsartTdr = 0x28;
constexpr std::uint32_t kRxneie = 1u << 5, kTcie = 1u << 6, kTxeie = 1u << 7, kIdleie = 1u << 4, kCmie = 1u << 14,
                        kEie = 1u << 0;
constexpr std::uint32_t kRccCr = sim::kRccBase, kRccCfgr = sim::kRccBase + 0x04, kRccCr2 = sim::kRccBase + 0x34;
constexpr std::uint32_t kFlash = sim::kFlashBase;
constexpr std::uint32_t kFlashKeyr = 0x04, kFlashSr = 0x0C, kFlashCr = 0x10, kFlashAr = 0x14;
constexpr std::uint32_t kFlashPg = 1u << 0, kFlashPer = 1u << 1, kFlashMer = 1u << 2, kFlashStrt = 1u << 6,
                        kFlashLock = 1u << 7, kFlashEop = 1u << 5, kFlashErrors = (1u << 2) | (1u << 4);
constexpr std::uint32_t kKey1 = 0x45670123, kKey2 = 0xCDEF89AB;
constexpr std::uint32_t kAdcIsr = sim::kAdcBase, kAdcCr = sim::kAdcBase + 0x08, kAdcDr = sim::kAdcBase + 0x40;
constexpr std::uint32_t kAdcEoc = 1u << 2, kAdcal = 1u << 31;
constexpr std::uint32_t kSysTickCtrl = sim::kSysTickBase, kCountFlag = 1u << 16;

// A measurement that has not finished after this many samples never will
// (the detector needs at most 32 to find a crest and 256 to accumulate).
constexpr int kMaxSamplesPerMeasurement = 4096;
// Entries of the receive interrupt one event may take: one per condition.
constexpr int kMaxUsartEntries = 8;

std::uint32_t lane_mask(unsigned size) { return size >= 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1; }

} // namespace

void fail(const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::fputs("firmware fuzz check failed: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

FakeChip::FakeChip()
{
    state_.page.fill(0xFF);
    for (unsigned i = 0; i < tone_.size(); ++i) tone_[i] = std::sin(2 * 3.14159265358979323846 * i / tone_.size());
}

std::uint32_t FakeChip::page_word0() const
{
    const Page &p = state_.page;
    return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24;
}

// ------------------------------------------------------------ serial line

bool FakeChip::receive(std::uint8_t byte)
{
    if (state_.usart_isr & kRXNE) {
        state_.usart_isr |= kORE;
        return false;
    }
    state_.usart_rdr = byte;
    state_.usart_isr |= kRXNE;
    return true;
}

void FakeChip::raise_flags(std::uint32_t flags) { state_.usart_isr |= flags & (kFE | kNE | kORE | kIDLE | kCMF); }

bool FakeChip::usart_irq_pending() const
{
    const std::uint32_t isr = state_.usart_isr | kTXE | kTC, cr1 = state_.usart_cr1;
    return ((cr1 & kRxneie) && (isr & (kRXNE | kORE))) || ((cr1 & kTxeie) && (isr & kTXE)) ||
        ((cr1 & kTcie) && (isr & kTC)) || ((cr1 & kIdleie) && (isr & kIDLE)) || ((cr1 & kCmie) && (isr & kCMF)) ||
        ((state_.usart_cr3 & kEie) && (isr & (kNE | kFE | kORE)));
}

void FakeChip::serve_usart()
{
    for (int i = 0; i < kMaxUsartEntries && usart_irq_pending(); ++i) {
        ++handler_depth_;
        USART1_IRQHandler();
        --handler_depth_;
    }
    if (usart_irq_pending()) {
        fail("the receive interrupt is still pending after %d entries (ISR 0x%08X, CR1 0x%08X)", kMaxUsartEntries,
             static_cast<unsigned>(state_.usart_isr), static_cast<unsigned>(state_.usart_cr1));
    }
}

std::string FakeChip::take_output()
{
    std::string out;
    out.swap(output_);
    return out;
}

// ------------------------------------------------------------ limits

void FakeChip::start_input(std::uint64_t budget)
{
    accesses_ = 0;
    budget_ = budget;
    may_cut_ = false;
    handler_depth_ = 0;
    output_.clear();
    adc_sample_ready_ = false;
    tone_phase_ = 0;
    line_ = nullptr;
}

void FakeChip::count_access()
{
    ++accesses_;
    if (handler_depth_ != 0) return;
    if (may_cut_ && accesses_ >= budget_) throw WorkLimitReached{};
    if (line_ != nullptr && --line_countdown_ == 0) {
        line_countdown_ = line_every_;
        line_->deliver_next();
    }
}

// ------------------------------------------------------------ registers

std::uint32_t &FakeChip::plain(std::uint32_t address)
{
    for (std::size_t i = 0; i < sim::kBlocks.size(); ++i) {
        const sim::Block &b = sim::kBlocks[i];
        if (address - b.base < b.size) return state_.plain[i][(address - b.base) / 4];
    }
    fail("access to the unmapped address 0x%08X", static_cast<unsigned>(address));
}

std::uint32_t FakeChip::read(std::uint32_t address, unsigned size, const void *)
{
    count_access();
    if (address - kPageAddress < kPageSize) {
        std::uint32_t v = 0;
        for (unsigned i = 0; i < size && address - kPageAddress + i < kPageSize; ++i) {
            v |= std::uint32_t(state_.page[address - kPageAddress + i]) << (8 * i);
        }
        return v;
    }
    const unsigned shift = 8 * (address & 3);
    return (read_register(address & ~3u) >> shift) & lane_mask(size);
}

std::uint32_t FakeChip::read_register(std::uint32_t address)
{
    switch (address) {
    case kGpioA + kGpioIdr:
    case kGpioA + kGpioOdr:
        return state_.odr_a;
    case kGpioF + kGpioIdr: // released lines read high: no device answers
    case kGpioF + kGpioOdr:
        return state_.odr_f;
    case kSysTickCtrl:
        return plain(address) | kCountFlag;
    case kUsart + kUsartCr1:
        return state_.usart_cr1;
    case kUsart + kUsartCr3:
        return state_.usart_cr3;
    case kUsart + kUsartIsr:
        return state_.usart_isr | kTXE | kTC;
    case kUsart + kUsartRdr:
        state_.usart_isr &= ~kRXNE;
        return state_.usart_rdr;
    case kAdcIsr:
        return adc_sample_ready_ ? kAdcEoc : 0;
    case kAdcDr:
        adc_sample_ready_ = false;
        return adc_sample_;
    case kAdcCr:
        return plain(address) & ~kAdcal; // calibration ends at once
    case kRccCr:
    case kRccCr2: {
        const std::uint32_t v = plain(address);
        return v | (v & 1u) << 1; // ready as soon as switched on
    }
    case kRccCfgr: {
        const std::uint32_t v = plain(address);
        return (v & ~0xCu) | (v & 3u) << 2; // the clock switch is done
    }
    case kFlash + kFlashSr:
        return state_.flash_sr;
    case kFlash + kFlashCr:
        return state_.flash_cr;
    default:
        return plain(address);
    }
}

void FakeChip::write(std::uint32_t address, std::uint32_t value, unsigned size)
{
    count_access();
    if (address - kPageAddress < kPageSize) {
        program_page(address, value, size);
        return;
    }
    if ((address & 3) != 0 || size != 4) {
        const unsigned shift = 8 * (address & 3);
        const std::uint32_t mask = lane_mask(size) << shift;
        std::uint32_t &cell = plain(address & ~3u);
        cell = (cell & ~mask) | ((value << shift) & mask);
        return;
    }
    write_register(address, value, size);
}

void FakeChip::write_register(std::uint32_t address, std::uint32_t value, unsigned)
{
    switch (address) {
    case kGpioA + kGpioBsrr:
        state_.odr_a = (state_.odr_a | (value & 0xFFFF)) & ~(value >> 16);
        return;
    case kGpioA + kGpioBrr:
        state_.odr_a &= ~(value & 0xFFFF);
        return;
    case kGpioA + kGpioOdr:
        state_.odr_a = value & 0xFFFF;
        return;
    case kGpioF + kGpioBsrr:
        state_.odr_f = (state_.odr_f | (value & 0xFFFF)) & ~(value >> 16);
        return;
    case kGpioF + kGpioBrr:
        state_.odr_f &= ~(value & 0xFFFF);
        return;
    case kGpioF + kGpioOdr:
        state_.odr_f = value & 0xFFFF;
        return;
    case kUsart + kUsartCr1:
        state_.usart_cr1 = value;
        return;
    case kUsart + kUsartCr3:
        state_.usart_cr3 = value;
        return;
    case kUsart + kUsartIcr:
        state_.usart_isr &= ~(value & (kFE | kNE | kORE | kIDLE | kCMF));
        return;
    case kUsart + kUsartRqr:
        if (value & (1u << 3)) state_.usart_isr &= ~kRXNE;
        return;
    case kUsart + kUsartTdr:
        output_.push_back(static_cast<char>(value & 0xFF));
        return;
    case kUsart + kUsartIsr:
    case kUsart + kUsartRdr:
        return; // read-only
    case kAdcIsr:
        if (value & kAdcEoc) adc_sample_ready_ = false;
        return;
    default:
        break;
    }
    if (address - kFlash < 0x400) {
        write_flash_interface(address - kFlash, value);
        return;
    }
    plain(address) = value;
}

// ------------------------------------------------------------ the flash

void FakeChip::write_flash_interface(std::uint32_t offset, std::uint32_t value)
{
    const bool locked = (state_.flash_cr & kFlashLock) != 0;
    switch (offset) {
    case kFlashKeyr:
        // On the chip a key written while unlocked, or a wrong one, is a bus
        // fault and locks the interface until reset.
        if (!locked) fail("a flash key written while the interface is unlocked");
        if (!state_.key1_seen && value == kKey1) {
            state_.key1_seen = true;
        } else if (state_.key1_seen && value == kKey2) {
            state_.key1_seen = false;
            state_.flash_cr &= ~kFlashLock;
        } else {
            fail("wrong flash key 0x%08X", static_cast<unsigned>(value));
        }
        return;
    case kFlashSr:
        state_.flash_sr &= ~(value & (kFlashEop | kFlashErrors));
        return;
    case kFlashCr:
        if (locked) return; // the register ignores writes while locked
        if (value & kFlashMer) fail("a mass erase would wipe the firmware");
        state_.flash_cr = value & ~kFlashStrt;
        if ((value & kFlashStrt) && (value & kFlashPer)) {
            if (plain(kFlash + kFlashAr) - kPageAddress < kPageSize) state_.page.fill(0xFF);
            state_.flash_sr |= kFlashEop;
        }
        return;
    default:
        plain(kFlash + offset) = value;
        return;
    }
}

void FakeChip::program_page(std::uint32_t address, std::uint32_t value, unsigned size)
{
    if ((state_.flash_cr & (kFlashPg | kFlashLock)) != kFlashPg) return; // not programming: no effect
    const std::uint32_t at = address - kPageAddress;
    if (size != 2 || (at & 1) != 0) fail("the page is programmed by aligned half-words only");
    if (state_.page[at] != 0xFF || state_.page[at + 1] != 0xFF) {
        fail("half-word 0x%08X programmed without an erase first", static_cast<unsigned>(address));
    }
    state_.page[at] = static_cast<std::uint8_t>(value);
    state_.page[at + 1] = static_cast<std::uint8_t>(value >> 8);
    state_.flash_sr |= kFlashEop;
}

// ------------------------------------------------------------ waits

void FakeChip::wait_hint(const volatile void *watched)
{
    if (watched == &measure_stage) {
        finish_measurement();
        return;
    }
    if (watched == &rx_byte_f && stop_at_main_loop_) throw ReachedMainLoop{};
    fail("the firmware waits where nothing can end the wait");
}

void FakeChip::finish_measurement()
{
    ++handler_depth_;
    for (int i = 0; i < kMaxSamplesPerMeasurement && measure_stage < 3; ++i) {
        const double v = 2048 + std::round(tone_amplitude_ * tone_[tone_phase_++ % tone_.size()]);
        adc_sample_ = static_cast<std::uint32_t>(std::fmin(4095, std::fmax(0, v)));
        adc_sample_ready_ = true;
        ADC1_IRQHandler();
    }
    --handler_depth_;
    if (measure_stage < 3) fail("the detector did not finish a measurement in %d samples", kMaxSamplesPerMeasurement);
}

} // namespace snt_fuzz
