// A device on the board's bus, in the shape of an emulator's device model:
// one reset, one read and one write callback that switch on the register
// offset, each side effect kept next to its register.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "board/peripherals/guest_error.h"

namespace sim {

class Peripheral {
public:
    virtual ~Peripheral() = default;
    virtual std::string name() const = 0;
    virtual void reset() = 0;
    virtual std::uint32_t read(std::uint32_t offset, unsigned size) = 0;
    virtual void write(std::uint32_t offset, std::uint32_t value, unsigned size) = 0;
    // A debugger's read: what read() would give, with no side effect at all
    // (no flag cleared, no guest error). False for an offset the device does
    // not implement. By default read() itself, for a device whose reads
    // change nothing; a device with reads that do overrides it.
    virtual bool peek(std::uint32_t offset, unsigned size, std::uint32_t &value)
    {
        bool unimplemented = false;
        peeking_ = &unimplemented;
        value = read(offset, size);
        peeking_ = nullptr;
        return !unimplemented;
    }

    // Where the device reports accesses to offsets it does not implement
    // (not owned); without a sink they go unreported.
    void set_guest_error_sink(GuestErrorSink *sink) { guest_errors_ = sink; }

protected:
    // An access to an offset the device does not implement, reported as a
    // guest error. Returns 0, what such a read gives; such a write changes
    // nothing.
    std::uint32_t report_unimplemented(std::uint32_t offset, unsigned size, std::uint32_t value, bool is_write) const
    {
        if (peeking_ != nullptr) {
            *peeking_ = true; // a debugger's look is no guest error
            return 0;
        }
        if (guest_errors_ != nullptr) guest_errors_->guest_error(GuestError{name(), offset, size, is_write, value});
        return 0;
    }

private:
    GuestErrorSink *guest_errors_ = nullptr;
    bool *peeking_ = nullptr; // inside peek(): set when the offset is not implemented
};

// Interrupt lines from devices to the interrupt controller.
class IrqSink {
public:
    virtual void set_irq_level(int irq, bool high) = 0;
    virtual void pend_systick() = 0;

protected:
    ~IrqSink() = default;
};

// Registers without behaviour: they keep what is written, start at their
// reset values, and read as 0 where nothing was ever defined.
class RegisterFile {
public:
    void define(std::uint32_t offset, std::uint32_t reset_value) { resets_[offset] = reset_value; }
    bool defines(std::uint32_t offset) const { return resets_.count(offset) != 0; }
    void reset() { values_ = resets_; }
    std::uint32_t get(std::uint32_t offset) const
    {
        auto it = values_.find(offset);
        return it == values_.end() ? 0 : it->second;
    }
    void set(std::uint32_t offset, std::uint32_t value) { values_[offset] = value; }

private:
    std::map<std::uint32_t, std::uint32_t> resets_;
    std::map<std::uint32_t, std::uint32_t> values_;
};

} // namespace sim
