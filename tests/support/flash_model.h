// Driving the flash model through its register windows as the firmware
// does, for the suites of the model and of the page file behind it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "board/peripherals/flash.h"
#include "board/peripherals/scheduler.h"

namespace snt_test {

class FlashModel : public ::testing::Test {
protected:
    using Flash = sim::Flash;

    sim::Scheduler sched;

    static std::uint32_t rd(Flash &f, std::uint32_t offset) { return f.regs().read(offset, 4); }
    static void wr(Flash &f, std::uint32_t offset, std::uint32_t value) { f.regs().write(offset, value, 4); }
    static void unlock(Flash &f)
    {
        wr(f, Flash::kKeyr, Flash::kKey1);
        wr(f, Flash::kKeyr, Flash::kKey2);
    }
    // Page erase as the firmware starts it; returns once the interface is busy.
    static void start_erase(Flash &f, std::uint32_t address = Flash::kPageAddress)
    {
        wr(f, Flash::kCr, Flash::kPER);
        wr(f, Flash::kAr, address);
        wr(f, Flash::kCr, Flash::kPER | Flash::kSTRT);
    }
    void erase(Flash &f)
    {
        start_erase(f);
        sched.advance_to(sched.now() + Flash::kEraseCycles);
        wr(f, Flash::kCr, 0);
    }
    void program(Flash &f, std::uint32_t offset, std::uint16_t value)
    {
        wr(f, Flash::kCr, Flash::kPG);
        f.page().write(offset, value, 2);
        sched.advance_to(sched.now() + Flash::kProgramCycles);
        wr(f, Flash::kCr, 0);
    }
    static Flash::PageData pattern()
    {
        Flash::PageData d;
        for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(i * 7 + 3);
        return d;
    }
    static Flash::PageData erased()
    {
        Flash::PageData d;
        d.fill(0xFF);
        return d;
    }
};

} // namespace snt_test
