// The system-memory bootloader against the byte sequences of AN3155: every
// command, every refusal, and the times its answers take.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "board/boot/system_bootloader.h"
#include "chip_memory.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using sim::Cycles;
using sim::SystemBootloader;
constexpr std::uint8_t A = 0x79, N = 0x1F; // ACK, NACK
constexpr Cycles kByte = sim::BootloaderConfig::byte_time(115200);

Bytes cmd(std::uint8_t c) { return {c, static_cast<std::uint8_t>(~c)}; }
Bytes addr(std::uint32_t a)
{
    Bytes b{std::uint8_t(a >> 24), std::uint8_t(a >> 16), std::uint8_t(a >> 8), std::uint8_t(a)};
    b.push_back(b[0] ^ b[1] ^ b[2] ^ b[3]);
    return b;
}
// N, the bytes, and the XOR of both.
Bytes data(const Bytes &d)
{
    Bytes b{std::uint8_t(d.size() - 1)};
    b.insert(b.end(), d.begin(), d.end());
    std::uint8_t x = 0;
    for (const std::uint8_t v : b) x ^= v;
    b.push_back(x);
    return b;
}
Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The chip with BOOT0 high, and a host that sends at the line's rate.
struct Chip {
    snt_test::ChipMemory mem;
    SystemBootloader boot;
    Cycles now = 0;
    std::vector<SystemBootloader::TxByte> last; // the last answer, with times

    explicit Chip(sim::BootloaderConfig config = {}) : boot(mem, config) {}

    // Sends `bytes` back to back, lets the bootloader finish, and returns
    // its answer; the host's clock moves on past the answer's last byte.
    Bytes send(const Bytes &bytes)
    {
        for (const std::uint8_t b : bytes) {
            now += kByte;
            boot.receive(b, now);
        }
        while (const auto wake = boot.next_wake()) {
            now = std::max(now, *wake);
            boot.advance(now);
        }
        last = boot.take_replies();
        Bytes values;
        for (const auto &r : last) {
            values.push_back(r.value);
            now = std::max(now, r.start + kByte);
        }
        return values;
    }
    void sync() { ASSERT_EQ(send({0x7F}), Bytes{A}); }
    void reset()
    {
        mem.load_options();
        boot.reset(now);
    }
};

TEST(SystemBootloader, SynchronisesOnTheFirst0x7FAndNacksAnotherOne)
{
    Chip chip;
    EXPECT_TRUE(chip.send({0x00, 0x55, 0xFF}).empty()) << "nothing but 0x7F counts before the baud rate is known";
    EXPECT_FALSE(chip.boot.synchronised());
    EXPECT_EQ(chip.send({0x7F}), Bytes{A});
    EXPECT_EQ(chip.send({0x7F}), Bytes{N}) << "a host finds a bootloader synchronised before by this NACK";
    EXPECT_EQ(chip.send(cmd(0x02)), (Bytes{A, 0x01, 0x04, 0x44, A})) << "and it goes on taking commands";
}

// Each case: the exchanges after synchronisation, host bytes and the answer.
struct Dialogue {
    const char *name;
    std::vector<std::pair<Bytes, Bytes>> steps;
};

TEST(SystemBootloader, AnswersEachCommandAsTheApplicationNoteSays)
{
    const Bytes four{0x11, 0x22, 0x33, 0x44};
    const std::vector<Dialogue> cases = {
        {"Get", {{cmd(0x00), {A, 11, 0x31, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x44, 0x63, 0x73, 0x82, 0x92, A}}}},
        {"Get Version", {{cmd(0x01), {A, 0x31, 0x00, 0x00, A}}}},
        {"Get ID", {{cmd(0x02), {A, 0x01, 0x04, 0x44, A}}}},
        {"Write and read back flash",
         {{cmd(0x31), {A}},
          {addr(0x08000100), {A}},
          {data(four), {A}},
          {cmd(0x11), {A}},
          {addr(0x08000100), {A}},
          {{0x03, 0xFC}, Bytes{A} + four}}},
        {"Write and read back RAM above the bootloader's",
         {{cmd(0x31), {A}},
          {addr(0x20000800), {A}},
          {data({0x5A}), {A}},
          {cmd(0x11), {A}},
          {addr(0x20000800), {A}},
          {{0x00, 0xFF}, {A, 0x5A}}}},
        {"Read system memory", {{cmd(0x11), {A}}, {addr(0x1FFFEC00), {A}}, {{0x01, 0xFE}, {A, 0xB0, 0xB0}}}},
        {"Read the option bytes", {{cmd(0x11), {A}}, {addr(0x1FFFF800), {A}}, {{0x01, 0xFE}, {A, 0xAA, 0x55}}}},
        {"Read the last byte of flash", {{cmd(0x11), {A}}, {addr(0x08003FFF), {A}}, {{0x00, 0xFF}, {A, 0xFF}}}},
        {"Extended Erase of two pages", {{cmd(0x44), {A}}, {{0x00, 0x01, 0x00, 0x02, 0x00, 0x05, 0x06}, {A}}}},
        {"Extended Erase, mass", {{cmd(0x44), {A}}, {{0xFF, 0xFF, 0x00}, {A}}}},
        // Refusals.
        {"a wrong complement", {{{0x00, 0x00}, {N}}}},
        {"an unknown command", {{cmd(0x55), {N}}}},
        {"Erase (0x43), which protocol 3.1 does not offer", {{cmd(0x43), {N}}}},
        {"Read: address checksum", {{cmd(0x11), {A}}, {{0x08, 0, 0, 0, 0x00}, {N}}}},
        {"Read: past the end of flash", {{cmd(0x11), {A}}, {addr(0x08004000), {N}}}},
        {"Read: a peripheral", {{cmd(0x11), {A}}, {addr(0x40013800), {N}}}},
        {"Read: count complement", {{cmd(0x11), {A}}, {addr(0x08000000), {A}}, {{0x03, 0x00}, {N}}}},
        {"Read: length past the end", {{cmd(0x11), {A}}, {addr(0x08003F01), {A}}, {{0xFF, 0x00}, {N}}}},
        {"Go: system memory", {{cmd(0x21), {A}}, {addr(0x1FFFEC00), {N}}}},
        {"Go: address checksum", {{cmd(0x21), {A}}, {{0x08, 0, 0, 0, 0x09}, {N}}}},
        {"Write: flash not on a word", {{cmd(0x31), {A}}, {addr(0x08000002), {N}}}},
        {"Write: the bootloader's RAM", {{cmd(0x31), {A}}, {addr(0x20000100), {N}}}},
        {"Write: system memory", {{cmd(0x31), {A}}, {addr(0x1FFFEC00), {N}}}},
        {"Write: flash not in whole words", {{cmd(0x31), {A}}, {addr(0x08000000), {A}}, {data({1, 2}), {N}}}},
        {"Write: data checksum", {{cmd(0x31), {A}}, {addr(0x08000000), {A}}, {{0x03, 1, 2, 3, 4, 0x00}, {N}}}},
        {"Write: past the end of flash",
         {{cmd(0x31), {A}}, {addr(0x08003FFC), {A}}, {data({1, 2, 3, 4, 5, 6, 7, 8}), {N}}}},
        {"Write: past the end of RAM", {{cmd(0x31), {A}}, {addr(0x20000FFE), {A}}, {data(four), {N}}}},
        {"Write: an odd number of option bytes", {{cmd(0x31), {A}}, {addr(0x1FFFF800), {A}}, {data({0xAA}), {N}}}},
        {"Write: over programmed flash",
         {{cmd(0x31), {A}},
          {addr(0x08000000), {A}},
          {data(four), {A}},
          {cmd(0x31), {A}},
          {addr(0x08000000), {A}},
          {data(four), {N}}}},
        {"Extended Erase: more pages than the chip has", {{cmd(0x44), {A}}, {{0x00, 0x10}, {N}}}},
        {"Extended Erase: page 16", {{cmd(0x44), {A}}, {{0x00, 0x00, 0x00, 0x10, 0x10}, {N}}}},
        {"Extended Erase: checksum", {{cmd(0x44), {A}}, {{0x00, 0x00, 0x00, 0x03, 0x00}, {N}}}},
        {"Extended Erase: bank 1 on a one-bank chip", {{cmd(0x44), {A}}, {{0xFF, 0xFE, 0x01}, {N}}}},
        {"Extended Erase: a reserved count", {{cmd(0x44), {A}}, {{0xFF, 0xF5, 0x0A}, {N}}}},
        {"Write Protect: sector 4", {{cmd(0x63), {A}}, {{0x00, 0x04, 0x04}, {N}}}},
        {"Write Protect: checksum", {{cmd(0x63), {A}}, {{0x00, 0x01, 0x00}, {N}}}},
    };
    for (const Dialogue &d : cases) {
        SCOPED_TRACE(d.name);
        Chip chip;
        chip.sync();
        for (const auto &[host, answer] : d.steps) EXPECT_EQ(chip.send(host), answer);
        EXPECT_EQ(chip.send(cmd(0x01)), (Bytes{A, 0x31, 0x00, 0x00, A})) << "it takes commands again after any of them";
    }
}

TEST(SystemBootloader, ErasesWritesAndStartsAsAsked)
{
    Chip chip;
    chip.mem.flash.assign(chip.mem.flash.size(), 0x00);
    chip.sync();
    chip.send(cmd(0x44));
    ASSERT_EQ(chip.send({0x00, 0x01, 0x00, 0x02, 0x00, 0x05, 0x06}), Bytes{A});
    EXPECT_EQ(chip.mem.erased_pages, (std::vector<unsigned>{2, 5}));
    EXPECT_EQ(chip.mem.flash[0x800], 0xFF);
    EXPECT_EQ(chip.mem.flash[0xC00], 0x00) << "only the pages named";

    chip.send(cmd(0x31));
    chip.send(addr(0x08000800));
    ASSERT_EQ(chip.send(data({0x01, 0x02, 0x03, 0x04})), Bytes{A});
    EXPECT_EQ(Bytes(chip.mem.flash.begin() + 0x800, chip.mem.flash.begin() + 0x804), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(chip.mem.programs, 2u) << "two half-words";

    chip.send(cmd(0x21));
    EXPECT_EQ(chip.send(addr(0x08000000)), Bytes{A});
    const auto exit = chip.boot.take_exit();
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->kind, SystemBootloader::Exit::Kind::Go);
    EXPECT_EQ(exit->address, 0x08000000u);
    EXPECT_EQ(exit->at, chip.last.back().start + kByte) << "once its ACK is out";
    EXPECT_TRUE(chip.send({0x7F}).empty()) << "the bootloader has left";
}

TEST(SystemBootloader, ProtectionCommandsChangeTheOptionBytesAndReset)
{
    Chip chip;
    const auto reset_after = [&](const Bytes &host, const Bytes &answer) {
        EXPECT_EQ(chip.send(host), answer);
        const auto exit = chip.boot.take_exit();
        ASSERT_TRUE(exit);
        EXPECT_EQ(exit->kind, SystemBootloader::Exit::Kind::Reset);
        chip.reset();
        chip.sync();
    };
    chip.sync();
    chip.send(cmd(0x63));
    reset_after({0x01, 0x00, 0x02, 0x03}, {A}); // sectors 0 and 2
    EXPECT_EQ(chip.mem.options[8], 0xFA);
    EXPECT_EQ(chip.mem.options[9], 0x05);
    chip.send(cmd(0x44));
    EXPECT_EQ(chip.send({0x00, 0x00, 0x00, 0x00, 0x00}), Bytes{A}) << "erasing a protected page is no error";
    EXPECT_TRUE(chip.mem.erased_pages.empty());

    reset_after(cmd(0x73), {A, A});
    EXPECT_EQ(chip.mem.options[8], 0xFF);

    chip.mem.flash[0] = 0x42;
    reset_after(cmd(0x82), {A, A});
    EXPECT_TRUE(chip.boot.read_protected());
    for (const std::uint8_t c : {0x11, 0x21, 0x31, 0x44, 0x63, 0x73, 0x82}) {
        EXPECT_EQ(chip.send(cmd(c)), Bytes{N}) << "command " << int(c) << " while read-protected";
    }
    EXPECT_EQ(chip.send(cmd(0x02)), (Bytes{A, 0x01, 0x04, 0x44, A}));

    reset_after(cmd(0x92), {A, A});
    EXPECT_FALSE(chip.boot.read_protected());
    EXPECT_EQ(chip.mem.flash[0], 0xFF) << "unprotecting erases the flash";
    EXPECT_EQ(chip.mem.options[0], 0xAA);
}

TEST(SystemBootloader, WritesOptionBytesThroughWriteMemoryAndResets)
{
    Chip chip;
    chip.sync();
    chip.send(cmd(0x31));
    chip.send(addr(0x1FFFF800));
    EXPECT_EQ(chip.send(data({0xAA, 0x55, 0xF7, 0x08})), Bytes{A});
    EXPECT_EQ(chip.mem.options[2], 0xF7);
    EXPECT_EQ(chip.mem.options[8], 0xFF) << "the option bytes not given stay erased";
    ASSERT_TRUE(chip.boot.take_exit());

    chip.mem.options[0] = 0xCC;
    chip.reset();
    EXPECT_TRUE(chip.send({0x7F}).empty()) << "level 2 keeps the bootloader from ever running";
}

TEST(SystemBootloader, AnswersAtTheLineRateAfterTheFlashTimes)
{
    Chip chip;
    chip.sync();
    const Cycles sent = chip.now;
    chip.send(cmd(0x00));
    ASSERT_EQ(chip.last.size(), 15u);
    EXPECT_EQ(chip.last.front().start, sent + 2 * kByte) << "at once after the complement";
    for (std::size_t i = 1; i < chip.last.size(); ++i) EXPECT_EQ(chip.last[i].start, chip.last[i - 1].start + kByte);

    chip.send(cmd(0x44));
    const Cycles erase_sent = chip.now + 7 * kByte;
    chip.send({0x00, 0x01, 0x00, 0x03, 0x00, 0x04, 0x06});
    EXPECT_EQ(chip.last.at(0).start, erase_sent + 2 * sim::Flash::kEraseCycles);

    chip.send(cmd(0x31));
    chip.send(addr(0x08000C00));
    const Bytes block(256, 0x5A);
    const Cycles data_sent = chip.now + 258 * kByte;
    chip.send(data(block));
    EXPECT_EQ(chip.last.at(0).start, data_sent + 128 * sim::Flash::kProgramCycles);
    EXPECT_EQ(chip.boot.flash_cycles(), 2 * sim::Flash::kEraseCycles + 128 * sim::Flash::kProgramCycles);
}

TEST(SystemBootloader, HoldsOneByteWhileBusyAndLosesTheNext)
{
    Chip chip;
    chip.sync();
    chip.send(cmd(0x44));
    for (const std::uint8_t b : {0x00, 0x00, 0x00, 0x01, 0x01}) chip.boot.receive(b, chip.now += kByte);
    // Get's two bytes while the page erases: only the first is taken.
    chip.boot.receive(0x00, chip.now += kByte);
    chip.boot.receive(0xFF, chip.now += kByte);
    EXPECT_EQ(chip.boot.overruns(), 1u);
    EXPECT_EQ(chip.send({}), Bytes{A}) << "the erase's ACK; Get waits for its complement";
    EXPECT_EQ(chip.send({0xFF}).size(), 15u);
}

TEST(SystemBootloader, OffersTheLegacyEraseAndAnotherChipIdWhenConfigured)
{
    sim::BootloaderConfig config;
    config.legacy_erase = true;
    config.chip_id = 0x440;
    Chip chip(config);
    chip.sync();
    EXPECT_EQ(chip.send(cmd(0x00)).at(9), 0x43);
    EXPECT_EQ(chip.send(cmd(0x02)), (Bytes{A, 0x01, 0x04, 0x40, A}));
    EXPECT_EQ(chip.send(cmd(0x44)), Bytes{N});
    chip.send(cmd(0x43));
    EXPECT_EQ(chip.send({0x01, 0x03, 0x07, 0x05}), Bytes{A});
    EXPECT_EQ(chip.mem.erased_pages, (std::vector<unsigned>{3, 7}));
    chip.send(cmd(0x43));
    EXPECT_EQ(chip.send({0xFF, 0x00}), Bytes{A});
    EXPECT_EQ(chip.mem.erased_pages.size(), 2u + 16u);
    chip.send(cmd(0x43));
    EXPECT_EQ(chip.send({0x00, 0x10, 0x10}), Bytes{N}) << "page 16";
}

} // namespace
