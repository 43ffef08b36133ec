// The tester's link to a virtual board in this process, in the board's
// own time: waiting for bytes runs the board until one comes or the
// deadline passes, so waits cost no wall-clock time and nothing needs a
// pseudo-terminal or a child process.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "shells/sim/sim_board.h"
#include "shells/snt/link.h"

namespace snt {

class VirtualLink final : public Link {
public:
    // Builds the board and lets the firmware start, as a board powered up
    // before the port is opened: its banner waits to be read. Throws what
    // the board throws for options it cannot use.
    explicit VirtualLink(const sim::BoardOptions &options, std::string name = "the virtual board");
    ~VirtualLink() override;
    VirtualLink(const VirtualLink &) = delete;
    VirtualLink &operator=(const VirtualLink &) = delete;

    sim::SimBoard &board() { return board_; }

    const std::string &name() const override { return name_; }
    void write(const std::string &bytes) override;
    std::string read(ClientTime deadline) override;
    // The board's time since its reset.
    ClientTime now() override;

private:
    sim::SimBoard board_;
    std::string name_;
    std::string received_;
};

// The board snt-sim would build from `sim_args` (--dut, --flash, --noise,
// --seed, --xtal, --image, each followed by its value), checked as snt-sim
// checks them: InputError naming the option.
sim::BoardOptions virtual_board_options(const std::vector<std::string> &sim_args);

// A VirtualLink on that board; InputError naming the option the board
// refused.
std::unique_ptr<VirtualLink> open_virtual_board(const std::vector<std::string> &sim_args);

} // namespace snt
