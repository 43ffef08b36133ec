// The GPIO model on its own: pin levels from mode, output type and what
// the board wires to a pin.
#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <vector>

#include "board/peripherals/gpio.h"

namespace snt_test {
namespace {

using sim::Gpio;

TEST(GpioModel, OpenDrainLinesAreWiredAnd)
{
    Gpio port('F', 0, 0);
    port.reset();
    port.set_external(1, Gpio::External::PullUp);
    port.write(Gpio::kBsrr, 1u << 1, 4);   // release
    port.write(Gpio::kModer, 1u << 2, 4);  // pin 1 output
    port.write(Gpio::kOtyper, 1u << 1, 4); // open drain
    EXPECT_EQ(port.level(1), sim::Level::High);
    port.write(Gpio::kBrr, 1u << 1, 4); // pull low
    EXPECT_EQ(port.level(1), sim::Level::Low);
    port.write(Gpio::kBsrr, 1u << 1, 4);
    port.set_external(1, Gpio::External::DriveLow); // a device holds the line
    EXPECT_EQ(port.read(Gpio::kIdr, 4) & 2u, 0u);
    port.set_external(1, Gpio::External::PullUp);
    EXPECT_EQ(port.read(Gpio::kIdr, 4) & 2u, 2u);

    port.write(Gpio::kModer, (1u << 2) | (1u << 4), 4); // pin 2 push-pull output
    port.write(Gpio::kBsrr, (1u << 2) | (1u << (16 + 2)), 4);
    EXPECT_EQ(port.level(2), sim::Level::High) << "set wins over reset in BSRR";
    EXPECT_EQ(port.level(5), sim::Level::Floating);
}

// A port nobody listens to stores only ODR on an output write; IDR and the
// first listener must still start from the levels that write made.
TEST(GpioModel, OutputWritesWithNobodyListeningReachIdrAndLaterListeners)
{
    Gpio port('A', 0, 0);
    port.reset();
    port.write(Gpio::kModer, 1u << 4, 4); // pin 2 push-pull output
    port.write(Gpio::kBsrr, 1u << 2, 4);
    EXPECT_EQ(port.read(Gpio::kIdr, 4), 1u << 2);
    port.write(Gpio::kOdr, 0, 4);
    EXPECT_EQ(port.read(Gpio::kIdr, 4), 0u);
    port.write(Gpio::kBsrr, 1u << 2, 4);

    std::vector<std::pair<int, sim::Level>> heard;
    port.on_change([&heard](int pin, sim::Level l) { heard.emplace_back(pin, l); });
    port.write(Gpio::kBsrr, 1u << 2, 4); // already high: no change to hear
    EXPECT_TRUE(heard.empty());
    port.write(Gpio::kBrr, 1u << 2, 4);
    port.write(Gpio::kBrr, 1u << 2, 4);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0], std::make_pair(2, sim::Level::Low));
    EXPECT_EQ(port.read(Gpio::kIdr, 4), 0u);
}

// A listener given as a plain function hears what a std::function one
// hears, in the same order; low_pins() gives the pins level() calls low.
TEST(GpioModel, PlainFunctionListenersHearWhatOthersHear)
{
    using Heard = std::vector<std::pair<int, sim::Level>>;
    Gpio port('F', 0, 0);
    port.reset();
    port.set_external(0, Gpio::External::PullUp);
    Heard by_function, by_pointer;
    port.on_change([&by_function](int pin, sim::Level l) { by_function.emplace_back(pin, l); }, 0x3u);
    port.on_change([](void *heard, int pin, sim::Level l) { static_cast<Heard *>(heard)->emplace_back(pin, l); },
                   &by_pointer, 0x3u);
    port.write(Gpio::kOtyper, 0x3u, 4); // both open drain
    port.write(Gpio::kModer, 0x5u, 4);  // both outputs, latches 0: pulled low
    port.write(Gpio::kBsrr, 0x3u, 4);   // released: pin 0 pulled up, pin 1 floats
    port.write(Gpio::kBrr, 0x1u, 4);    // pin 0 low again
    port.write(Gpio::kModer, 0x0u, 4);  // inputs: pin 0 pulled up
    EXPECT_EQ(by_function,
              (Heard{{0, sim::Level::Low},
                     {1, sim::Level::Low},
                     {0, sim::Level::High},
                     {1, sim::Level::Floating},
                     {0, sim::Level::Low},
                     {0, sim::Level::High}}));
    EXPECT_EQ(by_pointer, by_function);
    for (const std::uint32_t odr : {0x0u, 0x1u, 0x2u, 0x3u}) {
        port.write(Gpio::kModer, 0x5u, 4);
        port.write(Gpio::kOdr, odr, 4);
        for (int pin = 0; pin < 16; ++pin) {
            EXPECT_EQ((port.low_pins() >> pin) & 1u, port.level(pin) == sim::Level::Low ? 1u : 0u)
                << "ODR " << odr << ", pin " << pin;
        }
    }
}

// A port with one plain-function listener tells it of a single pin's
// change without its pass over all pins and listeners; what the listener
// hears must not depend on that, with a device answering from inside its
// callback and stores that move one pin, both, or none.
TEST(GpioModel, OneListenerHearsWhatItHearsAmongOthers)
{
    struct Device {
        Gpio *port;
        std::vector<std::tuple<int, sim::Level, std::uint32_t>> heard;
    };
    const Gpio::ChangeCallback answer = [](void *context, int pin, sim::Level l) {
        auto &d = *static_cast<Device *>(context);
        d.heard.emplace_back(pin, l, d.port->low_pins());
        // Holds pin 1 low while pin 0 is low, as a device acknowledging.
        if (pin == 0) d.port->set_external(1, l == sim::Level::Low ? Gpio::External::DriveLow : Gpio::External::PullUp);
    };
    const std::pair<std::uint32_t, std::uint32_t> stores[] = {
        {Gpio::kBrr, 0x1u}, {Gpio::kBsrr, 0x1u},     {Gpio::kBsrr, 0x1u}, {Gpio::kOdr, 0x0u},
        {Gpio::kOdr, 0x6u}, {Gpio::kBsrr, 0x10001u}, {Gpio::kBrr, 0x7u},  {Gpio::kBsrr, 0x3u},
        {Gpio::kBrr, 0x2u}, {Gpio::kBsrr, 0x20001u}, {Gpio::kOdr, 0x7u},
    };
    Device alone, among;
    Gpio one('F', 0, 0), two('F', 0, 0);
    for (auto [port, device] : {std::pair{&one, &alone}, std::pair{&two, &among}}) {
        port->reset();
        device->port = port;
        port->set_external(0, Gpio::External::PullUp);
        port->set_external(1, Gpio::External::PullUp);
        port->write(Gpio::kOtyper, 0x3u, 4);
        port->write(Gpio::kModer, 0x15u, 4); // pins 0 and 1 open drain, pin 2 push-pull
        port->write(Gpio::kOdr, 0x7u, 4);
        port->on_change(answer, device, 0x7u, Gpio::ListenerKind::BusDevice);
    }
    two.on_change([](void *, int, sim::Level) {}, nullptr, 0x4u, Gpio::ListenerKind::BusDevice);
    for (const auto &[offset, value] : stores) {
        one.write_output_data(offset, value);
        two.write_output_data(offset, value);
        ASSERT_EQ(alone.heard, among.heard) << "after " << offset << " <- " << value;
        ASSERT_EQ(one.read(Gpio::kIdr, 4), two.read(Gpio::kIdr, 4));
    }
    EXPECT_GE(alone.heard.size(), 12u);
}

// A port is left to bus devices only while every listener it has is one:
// the first observer, whatever its form, ends that for good.
TEST(GpioModel, OnlyBusDevicesListenUntilAnObserverDoes)
{
    Gpio port('F', 0, 0);
    port.reset();
    EXPECT_TRUE(port.only_bus_devices_listen()) << "nobody listens";
    const Gpio::ChangeCallback ignore = [](void *, int, sim::Level) {};
    port.on_change(ignore, nullptr, 0x3u, Gpio::ListenerKind::BusDevice);
    EXPECT_TRUE(port.only_bus_devices_listen() && port.listened()) << "a bus device";
    port.on_change(ignore, nullptr, 0x1u);
    EXPECT_FALSE(port.only_bus_devices_listen()) << "a plain function, by default an observer";
    Gpio other('A', 0, 0);
    other.reset();
    other.on_change([](int, sim::Level) {});
    EXPECT_FALSE(other.only_bus_devices_listen()) << "a std::function";
}

} // namespace
} // namespace snt_test
