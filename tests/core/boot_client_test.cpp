// The flashing client against the board's bootloader in memory, over a line
// at 115200 baud 8E1 in virtual time: the whole job with the chip image, a
// connection lost in the middle and the run after it, and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "board/boot/system_bootloader.h"
#include "board/peripherals/scheduler.h"
#include "chip_memory.h"
#include "core/flash/boot_client.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using sim::Cycles;
using snt::flash::BootClient;
using snt::flash::FlashEvent;
using snt::flash::Step;
constexpr Cycles kByte = sim::BootloaderConfig::byte_time(115200);
constexpr Cycles kPerMicro = sim::kCoreHz / 1'000'000;

Bytes chip_image_bin()
{
    std::string path = SNT_CHIP_IMAGE;
    path.replace(path.size() - 3, 3, "bin");
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A client and the bootloader on two wires, each byte taking its time; a
// line that can be cut.
class Line {
public:
    // The line's clock starts at `start`: where the bootloader's left off.
    explicit Line(sim::SystemBootloader &boot, Cycles start = 0) : boot_(boot) { sched_.advance_to(start); }

    // Runs `client` to its end; returns its events.
    std::vector<FlashEvent> run(BootClient &client, Cycles limit = 60 * sim::kCoreHz)
    {
        client_ = &client;
        std::vector<FlashEvent> events;
        client.start(sched_.now() / kPerMicro);
        pump_client(events);
        while (client.running() && sched_.has_events() && sched_.now() < limit) {
            sched_.advance_to_next_event();
            pump_client(events);
        }
        return events;
    }

    Cycles now() const { return sched_.now(); }
    std::uint64_t bytes_to_chip = 0, bytes_from_chip = 0;
    std::optional<sim::SystemBootloader::Exit> exit;
    // Called for each byte the host sends; false loses it and every byte after it.
    std::function<bool()> keep;

private:
    void pump_client(std::vector<FlashEvent> &events)
    {
        for (FlashEvent &e : client_->take_events()) events.push_back(std::move(e));
        for (const std::uint8_t b : client_->take_output()) {
            if (cut_ || (keep && !keep())) {
                cut_ = true;
                continue;
            }
            const Cycles start = std::max(sched_.now(), host_free_);
            host_free_ = start + kByte;
            ++bytes_to_chip;
            sched_.schedule_at(host_free_, [this, b] {
                boot_.receive(b, sched_.now());
                pump_chip();
            });
        }
        if (const auto wake = client_->wake_at()) {
            sched_.schedule_at(std::max(sched_.now(), *wake * kPerMicro),
                               [this] { client_->wake(sched_.now() / kPerMicro); });
        }
    }
    void pump_chip()
    {
        for (const auto &r : boot_.take_replies()) {
            if (cut_) continue;
            ++bytes_from_chip;
            const std::uint8_t b = r.value;
            sched_.schedule_at(r.start + kByte, [this, b] { client_->receive(&b, 1, sched_.now() / kPerMicro); });
        }
        if (auto e = boot_.take_exit()) exit = e;
        if (const auto wake = boot_.next_wake()) {
            sched_.schedule_at(*wake, [this] {
                boot_.advance(sched_.now());
                pump_chip();
            });
        }
    }

    sim::SystemBootloader &boot_;
    sim::Scheduler sched_;
    BootClient *client_ = nullptr;
    Cycles host_free_ = 0;
    bool cut_ = false;
};

const FlashEvent *find(const std::vector<FlashEvent> &events, FlashEvent::Kind kind)
{
    for (const FlashEvent &e : events) {
        if (e.kind == kind) return &e;
    }
    return nullptr;
}

class FlashJob : public ::testing::Test {
public:
    snt_test::ChipMemory mem;
    sim::BootloaderConfig config;
    Bytes image_bytes = chip_image_bin();

    void SetUp() override
    {
        ASSERT_FALSE(image_bytes.empty()) << "make chip writes the image";
        // An old image everywhere, and the settings page with a crystal.
        std::fill(mem.flash.begin(), mem.flash.end(), 0x00);
        for (std::size_t i = 0x3C00; i < 0x4000; ++i) mem.flash[i] = static_cast<std::uint8_t>(i * 7);
    }
    snt::flash::Image image() const { return snt::flash::read_binary(image_bytes); }
    Bytes flash(std::size_t from, std::size_t to) const
    {
        return {mem.flash.begin() + static_cast<std::ptrdiff_t>(from),
                mem.flash.begin() + static_cast<std::ptrdiff_t>(to)};
    }
};

TEST_F(FlashJob, WritesVerifiesAndStartsTheChipImageKeepingTheSettings)
{
    const Bytes settings = flash(0x3C00, 0x4000);
    sim::SystemBootloader boot(mem, config);
    Line line(boot);
    BootClient client(image());
    const auto events = line.run(client);

    ASSERT_TRUE(client.finished()) << (find(events, FlashEvent::Kind::Failed)
                                           ? find(events, FlashEvent::Kind::Failed)->message
                                           : "");
    const unsigned last_page = static_cast<unsigned>((image_bytes.size() - 1) / 1024);
    std::vector<unsigned> covered;
    for (unsigned p = 0; p <= last_page; ++p) covered.push_back(p);
    EXPECT_EQ(mem.erased_pages, covered) << "only the pages the image covers";
    EXPECT_EQ(flash(0, image_bytes.size()), image_bytes);
    EXPECT_EQ(flash(0x3C00, 0x4000), settings) << "the settings page is kept";
    const std::size_t above = std::size_t{last_page + 1} * 1024;
    EXPECT_EQ(flash(above, above + 4), (Bytes{0, 0, 0, 0})) << "and the pages above";
    ASSERT_TRUE(line.exit);
    EXPECT_EQ(line.exit->address, 0x08000000u);
    EXPECT_EQ(client.bootloader().chip_id, 0x444);
    EXPECT_FALSE(client.bootloader().was_synchronised);

    // Each step ends in order; progress reaches every total.
    std::vector<Step> steps;
    std::uint32_t written = 0;
    for (const FlashEvent &e : events) {
        if (e.kind == FlashEvent::Kind::StepDone) steps.push_back(e.step);
        if (e.kind == FlashEvent::Kind::Progress && e.step == Step::Write) written = e.done;
    }
    EXPECT_EQ(
        steps,
        (std::vector<Step>{Step::Sync, Step::Get, Step::GetId, Step::Erase, Step::Write, Step::Verify, Step::Go}));
    EXPECT_EQ(written, image_bytes.size());

    // The job against what the wire and the flash need at the least: every
    // byte both ways at the line rate, and the erase and program times; and
    // against the image's bytes alone, there and back.
    const Cycles job = line.exit->at;
    const Cycles floor = (line.bytes_to_chip + line.bytes_from_chip) * kByte + boot.flash_cycles();
    const Cycles payload = 2 * image_bytes.size() * kByte + boot.flash_cycles();
    const double ratio = static_cast<double>(job) / static_cast<double>(floor);
    std::printf("flash job: %zu bytes; %llu bytes to the chip and %llu back, flash busy %.1f ms: %.1f ms, %.3f times "
                "the wire and flash times (%.1f ms), %.3f times the image there and back with the flash (%.1f ms)\n",
                image_bytes.size(), static_cast<unsigned long long>(line.bytes_to_chip),
                static_cast<unsigned long long>(line.bytes_from_chip), sim::cycles_to_us(boot.flash_cycles()) / 1000,
                sim::cycles_to_us(job) / 1000, ratio, sim::cycles_to_us(floor) / 1000,
                static_cast<double>(job) / static_cast<double>(payload), sim::cycles_to_us(payload) / 1000);
    EXPECT_GE(ratio, 1.0);
    EXPECT_LE(ratio, 1.15);
}

TEST_F(FlashJob, ErasesTheSettingsPageOnlyWhenAsked)
{
    sim::SystemBootloader boot(mem, config);
    Line line(boot);
    snt::flash::FlashOptions options;
    options.erase_settings = true;
    BootClient client(image(), options);
    line.run(client);
    ASSERT_TRUE(client.finished());
    EXPECT_EQ(mem.erased_pages.back(), 15u);
    EXPECT_EQ(flash(0x3C00, 0x4000), Bytes(1024, 0xFF));
}

TEST_F(FlashJob, ALostConnectionSaysWhereAndTheNextRunFinishes)
{
    sim::SystemBootloader boot(mem, config);
    Line line(boot);
    // Cut in the middle of the third block's data.
    std::uint64_t sent = 0;
    line.keep = [&] { return ++sent < 1000; };
    BootClient first(image());
    const auto events = line.run(first);
    ASSERT_TRUE(first.failed());
    const FlashEvent *failure = find(events, FlashEvent::Kind::Failed);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->step, Step::Write);
    EXPECT_EQ(failure->address, first.blocks()[failure->done / 256].address);
    EXPECT_GT(failure->done, 0u);
    EXPECT_NE(failure->message.find("stays in its bootloader"), std::string::npos) << failure->message;
    EXPECT_NE(failure->message.find("stopped at 0x08000"), std::string::npos) << failure->message;

    Line again(boot, line.now()); // the same bootloader, still in the middle of a command
    BootClient second(image());
    const auto second_events = again.run(second);
    ASSERT_TRUE(second.finished());
    EXPECT_NE(second_events.at(0).message.find("resynchronised"), std::string::npos) << second_events[0].message;
    EXPECT_TRUE(second.bootloader().was_synchronised);
    EXPECT_EQ(flash(0, image_bytes.size()), image_bytes);
}

TEST_F(FlashJob, APortThatGoesAwayEndsTheJobWhereItStands)
{
    BootClient client(image());
    client.start(0);
    EXPECT_EQ(client.take_output(), Bytes{0x7F});
    client.lost("unplugged");
    EXPECT_TRUE(client.failed());
    EXPECT_FALSE(client.wake_at());
    const auto events = client.take_events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].message, "sync: the connection was lost (unplugged)");
    client.receive({0x79}, 10);
    EXPECT_TRUE(client.take_output().empty()) << "nothing more once it has failed";
}

TEST_F(FlashJob, FindsABootloaderSynchronisedBefore)
{
    sim::SystemBootloader boot(mem, config);
    boot.receive(0x7F, kByte);
    boot.take_replies();
    Line line(boot);
    BootClient client(image());
    line.run(client);
    EXPECT_TRUE(client.finished());
    EXPECT_TRUE(client.bootloader().was_synchronised);
}

TEST_F(FlashJob, UsesTheLegacyEraseWhereThatIsWhatIsOffered)
{
    config.legacy_erase = true;
    sim::SystemBootloader boot(mem, config);
    Line line(boot);
    BootClient client(image());
    line.run(client);
    ASSERT_TRUE(client.finished());
    EXPECT_EQ(flash(0, image_bytes.size()), image_bytes);
}

TEST_F(FlashJob, StopsBeforeErasingWhatItCannotFlash)
{
    struct Case {
        const char *name;
        std::function<void(FlashJob &)> arrange;
        Step step;
        const char *reason;
    };
    const std::vector<Case> cases = {
        {"another chip", [](FlashJob &t) { t.config.chip_id = 0x440; }, Step::GetId, "chip ID 0x440, not the"},
        {"read protection", [](FlashJob &t) { t.mem.options[0] = 0x00; }, Step::Erase, "is the flash read-protected"},
        {"no bootloader", [](FlashJob &t) { t.mem.options[0] = 0xCC; }, Step::Sync, "no answer to 0x7F"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        mem = snt_test::ChipMemory();
        std::fill(mem.flash.begin(), mem.flash.end(), 0x00);
        config = {};
        c.arrange(*this);
        sim::SystemBootloader boot(mem, config);
        Line line(boot);
        BootClient client(image());
        const auto events = line.run(client);
        const FlashEvent *failure = find(events, FlashEvent::Kind::Failed);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->step, c.step);
        EXPECT_NE(failure->message.find(c.reason), std::string::npos) << failure->message;
        EXPECT_TRUE(mem.erased_pages.empty());
        EXPECT_EQ(mem.flash[0], 0x00);
        EXPECT_LT(line.now(), sim::kCoreHz) << "every wait ends";
    }
}

TEST_F(FlashJob, AVerifyThatFailsNamesTheAddress)
{
    // Sector 1 (pages 4 to 7) write-protected: the bootloader skips it without a word.
    mem.options[8] = mem.wrp_loaded = 0xFD;
    sim::SystemBootloader boot(mem, config);
    Line line(boot);
    BootClient client(image());
    const auto events = line.run(client);
    const FlashEvent *failure = find(events, FlashEvent::Kind::Failed);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->step, Step::Verify);
    std::size_t first = 0x1000; // the first byte of sector 1 that the old 0x00 does not match
    while (image_bytes.at(first) == 0x00) ++first;
    EXPECT_EQ(failure->address, 0x08000000u + (first & ~255u)) << "the block";
    EXPECT_EQ(failure->done, first);
    EXPECT_NE(failure->message.find(" reads 0x00, the image has"), std::string::npos) << failure->message;
}

} // namespace
