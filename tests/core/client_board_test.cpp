// The protocol client against the real firmware on a virtual board in this
// process (VirtualLink): greeting, sweeps, stop and the flash wait, in the
// board's virtual time, without a pseudo-terminal or a child process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/analysis/frequency.h"
#include "core/analysis/sweep.h"
#include "protocol.h"
#include "shells/serve/virtual_link.h"
#include "shells/snt/device.h"
#include "temp_dir.h"

namespace snt {
namespace {

sim::BoardOptions bandpass()
{
    sim::BoardOptions o;
    o.dut = "bandpass:10.7M:1M";
    o.noise = 0;
    return o;
}

TEST(ClientOnBoard, TheClientAloneGreetsTheBoardAndSweeps)
{
    // The loop every driver runs, here without Device: events, output, wait.
    VirtualLink link(bandpass());
    TesterClient client(link.name());
    std::vector<ClientEvent> events;
    const auto run = [&] {
        for (;;) {
            while (auto e = client.next_event()) events.push_back(*e);
            link.write(client.take_output());
            if (!client.busy()) return;
            const std::string in = link.read(*client.wake_at());
            client.receive(link.now(), in);
        }
    };
    ASSERT_TRUE(client.connect(link.now()));
    run();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, ClientEvent::Kind::Banner);
    EXPECT_EQ(events[0].crystal, XTAL_DEFAULT);
    EXPECT_EQ(events[1].text, ID_TEXT);
    EXPECT_EQ(events.back().kind, ClientEvent::Kind::Done);

    events.clear();
    const ClientTime before = link.now();
    ASSERT_TRUE(client.sweep(link.now(), 10200000, 50000, 21, 8));
    run();
    ASSERT_EQ(events.size(), 22u);
    EXPECT_EQ(events.back().points, 21u);
    std::uint32_t peak = 0;
    for (std::uint32_t i = 0; i < 21; ++i) {
        ASSERT_EQ(events[i].kind, ClientEvent::Kind::Point);
        EXPECT_EQ(events[i].index, i);
        ASSERT_TRUE(events[i].level) << i;
        if (*events[i].level > *events[peak].level) peak = i;
    }
    EXPECT_EQ(peak, 10u) << "the bandpass peaks at 10.7 MHz";
    // About 18 ms a point on the board's own clock.
    EXPECT_GT(link.now() - before, ClientTime{21} * 15000);
}

TEST(ClientOnBoard, DeviceSweepsStopsAndIsIdleAgain)
{
    VirtualLink link(bandpass());
    Device device(link);
    EXPECT_EQ(device.banner_crystal(), XTAL_DEFAULT);

    const SweepPlan log = SweepPlan::make_log(1000000, 100000000, 12);
    std::vector<Device::Level> levels;
    EXPECT_EQ(device.sweep_frequencies(log.frequencies(),
                                       [&](std::uint32_t, Device::Level l) {
                                           levels.push_back(l);
                                           return true;
                                       }),
              12u);
    EXPECT_TRUE(std::all_of(levels.begin(), levels.end(), [](const Device::Level &l) { return l.has_value(); }));
    // Far below the passband (1 MHz) the filter takes the level down by tens
    // of dB from the point nearest 10.7 MHz (12.3 MHz).
    EXPECT_LT(*levels.front(), *levels[6] / 100);

    std::uint32_t seen = 0;
    const std::uint32_t done = device.sweep_points(
        5000000, 50000, 60,
        [&](std::uint32_t index, Device::Level) {
            EXPECT_EQ(index, seen);
            return ++seen < 3;
        },
        25);
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(device.identify(), ID_TEXT) << "the rest of the stopped command was read and dropped";
    std::vector<std::string> lines;
    device.raw("o", [&](const std::string &line) { lines.push_back(line); });
    EXPECT_TRUE(lines.empty()) << "a silent line gives a quiet raw";
}

TEST(ClientOnBoard, TheCrystalIsStoredThroughTheFlashWait)
{
    const snt_test::TempDir dir("client_board");
    sim::BoardOptions o = bandpass();
    o.flash_file = dir / "page.bin";
    {
        VirtualLink link(o);
        Device device(link);
        device.set_crystal(26000000);
        EXPECT_EQ(device.identify(), ID_TEXT);
    }
    VirtualLink again(o); // the board starts again with that page
    Device device(again);
    EXPECT_EQ(device.banner_crystal(), 26000000u);
}

TEST(ClientOnBoard, TheVirtualBoardsOptionsAreCheckedAsSntSimChecksThem)
{
    const sim::BoardOptions o = virtual_board_options(
        {"--dut", "lowpass:10M", "--noise", "0.5", "--seed", "7", "--xtal", "25000100", "--flash", "p.bin"});
    EXPECT_EQ(o.dut, "lowpass:10M");
    EXPECT_EQ(o.noise, 0.5);
    EXPECT_EQ(o.seed, 7u);
    EXPECT_EQ(o.synth_xtal_hz, 25000100.0);
    EXPECT_EQ(o.flash_file, "p.bin");
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--noise", "x"}, "--noise: not a number: x"},
        {{"--noise", "-1"}, "--noise: must be a number of 0 or more, not -1"},
        {{"--seed", "1.5"}, "--seed: not a whole number from 0 to 2^64 - 1: 1.5"},
        {{"--xtal", "5"}, "--xtal: must be a frequency from 1000000 to 50000000 Hz, not \"5\""},
        {{"--image", "/nonexistent"}, "--image: /nonexistent: No such file or directory"},
        {{"--image", "/dev/null"}, "--image: /dev/null: not a regular file"},
        {{"--dut", "frobnicator"}, "--dut: unknown device under test \"frobnicator\""},
        {{"--flash", "/dev/null"}, "--flash: settings page file /dev/null is not a regular file"},
    };
    for (const auto &[args, says] : refused) {
        try {
            open_virtual_board(args);
            ADD_FAILURE() << "accepted " << args[0] << " " << args[1];
        } catch (const InputError &e) {
            EXPECT_EQ(std::string(e.what()).rfind(says, 0), 0u) << e.what();
        }
    }
}

} // namespace
} // namespace snt
