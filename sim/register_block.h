// A peripheral that so far only keeps its registers (used until a device
// needs behaviour of its own).
#pragma once

#include <initializer_list>
#include <utility>

#include "peripheral.h"

namespace sim {

class RegisterBlock : public Peripheral {
public:
    RegisterBlock(std::string name, std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> resets)
        : name_(std::move(name))
    {
        for (auto [offset, value] : resets) regs_.define(offset, value);
    }
    std::string name() const override { return name_; }
    void reset() override { regs_.reset(); }
    std::uint32_t read(std::uint32_t offset, unsigned) override { return regs_.get(offset); }
    void write(std::uint32_t offset, std::uint32_t value, unsigned) override { regs_.set(offset, value); }

private:
    std::string name_;
    RegisterFile regs_;
};

} // namespace sim
