// The blocking driver of the protocol client over a real serial port (a
// pseudo-terminal) against a tester that misbehaves: every wait ends, and
// what the device sent shows printable in the message.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "fake_tester.h"
#include "protocol.h"
#include "shells/snt/device.h"
#include "shells/snt/serial_port.h"

namespace snt {
namespace {

bool all_printable(const std::string &s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

// Shorter overall limits than a real tester needs, so each case takes
// about a second; the waits for an answer stay generous for a busy machine.
Timing quick()
{
    Timing t;
    t.identify = std::chrono::milliseconds(1000);
    t.greeting = std::chrono::milliseconds(1500);
    t.settle = std::chrono::milliseconds(100);
    t.raw_quiet = std::chrono::milliseconds(300);
    t.raw_limit = std::chrono::milliseconds(1500);
    return t;
}

using Clock = std::chrono::steady_clock;
// Far above any of quick()'s limits: only proves that nothing hangs.
constexpr auto kNoHang = std::chrono::seconds(10);

TEST(SntDevice, ABannerAndTheAnswerBehindItAreTakenInStride)
{
    snt_test::FakeTester tester;
    bool first = true;
    tester.start([&first](const std::string &line) {
        if (line == "w" && first) {
            first = false;
            return std::string("25000123\r" ID_TEXT "\r" ID_TEXT "\r"); // banner, then the answer to our `w`
        }
        return snt_test::FakeTester::firmware(line);
    });
    SerialPort port(tester.port());
    Device device(port, quick());
    EXPECT_EQ(device.banner_crystal(), 25000123u);
    EXPECT_EQ(device.identify(), ID_TEXT);
    EXPECT_EQ(device.sweep(1000000, 1000, 3), (std::vector<Device::Level>(3, 36864000000.0)));
}

TEST(SntDevice, BannerLinesThatNeverEndDoNotKeepTheGreetingGoing)
{
    snt_test::FakeTester tester;
    tester.start(nullptr, "25000000\r");
    SerialPort port(tester.port());
    const auto t0 = Clock::now();
    try {
        Device device(port, quick());
        FAIL() << "a device that only ever sends banner lines was taken";
    } catch (const ProtocolError &e) {
        EXPECT_NE(std::string(e.what()).find("keeps sending"), std::string::npos) << e.what();
    }
    EXPECT_LT(Clock::now() - t0, kNoHang);
}

TEST(SntDevice, ADeviceThatNeverGoesQuietAfterItsBannerIsRefused)
{
    snt_test::FakeTester tester;
    tester.start(nullptr, "25000000\r" ID_TEXT "\r");
    SerialPort port(tester.port());
    const auto t0 = Clock::now();
    try {
        Device device(port, quick());
        FAIL() << "the drain after the banner took endless output";
    } catch (const ProtocolError &e) {
        EXPECT_NE(std::string(e.what()).find("has not gone quiet"), std::string::npos) << e.what();
    }
    EXPECT_LT(Clock::now() - t0, kNoHang);
}

TEST(SntDevice, ALineWithoutEndIsRefusedAtItsLimit)
{
    snt_test::FakeTester tester;
    tester.start(nullptr, std::string(64, 'A'));
    SerialPort port(tester.port());
    const auto t0 = Clock::now();
    try {
        Device device(port, quick());
        FAIL();
    } catch (const PortError &e) {
        EXPECT_NE(std::string(e.what()).find("a line of more than 256 bytes"), std::string::npos) << e.what();
    }
    EXPECT_LT(Clock::now() - t0, kNoHang);
}

TEST(SntDevice, RawStopsWhenTheDeviceWillNotAndSaysSo)
{
    snt_test::FakeTester tester;
    tester.start(snt_test::FakeTester::firmware, "1.00\r"); // as if a sweep never ended
    SerialPort port(tester.port());
    Device device(port, quick());
    std::size_t lines = 0;
    const auto t0 = Clock::now();
    try {
        device.raw("w", [&lines](const std::string &) { ++lines; });
        FAIL() << "raw never went quiet, yet ended without an error";
    } catch (const PortError &e) {
        EXPECT_NE(std::string(e.what()).find("still sending"), std::string::npos) << e.what();
    }
    EXPECT_GT(lines, 0u) << "what came was handed on as it came";
    EXPECT_LT(Clock::now() - t0, kNoHang);
}

TEST(SntDevice, BytesFromTheDeviceAreEscapedInMessages)
{
    snt_test::FakeTester tester;
    tester.start(
        [](const std::string &line) { return line == "w" ? std::string("1.2\0X\x85\x1b[2J\r", 11) : std::string(); });
    SerialPort port(tester.port());
    try {
        Device device(port, quick());
        FAIL();
    } catch (const ProtocolError &e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("\"1.2\\x00X\\x85\\x1b[2J\""), std::string::npos) << m;
        EXPECT_TRUE(all_printable(m)) << m;
    }
    try {
        parse_level(std::string("12.5\0\xff", 6));
        FAIL();
    } catch (const ProtocolError &e) {
        EXPECT_NE(std::string(e.what()).find("\"12.5\\x00\\xff\""), std::string::npos) << e.what();
    }
}

} // namespace
} // namespace snt
