// Guest errors: accesses the firmware should not make, such as a read or a
// write of a register offset that a device does not implement. As on the
// chip the access itself is harmless (a read gives 0, a write is dropped),
// but it is a fault of the firmware or a gap in a model, so the devices
// report each one, with what an emulator's log would show.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct GuestError {
    std::string device;       // the peripheral's name, e.g. "USART1"
    std::uint32_t offset = 0; // in the device's register window
    unsigned size = 4;        // bytes accessed
    bool is_write = false;
    std::uint32_t value = 0; // the value written; 0 for a read
};

// One line: "USART1 write of 0x1 to unimplemented offset 0x30",
// "ADC read of unimplemented offset 0x44".
std::string describe(const GuestError &e);

// Where devices report guest errors.
class GuestErrorSink {
public:
    virtual void guest_error(const GuestError &e) = 0;

protected:
    ~GuestErrorSink() = default;
};

// The record of a run: the first guest error of each register (device and
// offset, whatever the kind of access), in the order they came, and how many
// there were in all.
class GuestErrorLog {
public:
    // Records `e`; true when it is the first for its register.
    bool add(const GuestError &e);
    const std::vector<GuestError> &first_of_each_register() const { return firsts_; }
    std::uint64_t count() const { return count_; }

private:
    std::vector<GuestError> firsts_;
    std::set<std::pair<std::string, std::uint32_t>> seen_;
    std::uint64_t count_ = 0;
};

} // namespace sim
