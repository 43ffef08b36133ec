// The GDB stub against a fake target: packets in, packets out, as GDB and
// the stub exchange them; what reaches the target; the errors, the
// acknowledgements, Ctrl-C while running, and streams of noise.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "board/debug/armv6m_target_xml.h"
#include "board/debug/gdb_stub.h"
#include "board/debug/rsp_packet.h"
#include "fake_debug_target.h"

namespace snt_test {
namespace {

namespace reg = sim::debug_reg;
using Kind = sim::StopEvent::Kind;
using Mode = sim::ResumeMode;
using Point = FakeDebugTarget::Point;

std::string hex(std::string_view text)
{
    std::string out;
    sim::append_hex(out, text);
    return out;
}

std::string le32(std::uint32_t value)
{
    std::string out;
    sim::append_hex_le32(out, value);
    return out;
}

// The payloads of the packets in `wire` (the stub's acknowledgements are
// left out); a packet with a wrong checksum fails the test.
std::vector<std::string> packets_in(const std::string &wire)
{
    sim::RspReader reader(1 << 16);
    std::vector<std::string> packets;
    for (const char c : wire) {
        const auto e = reader.feed(c);
        EXPECT_NE(e, sim::RspReader::Event::BadChecksum) << wire;
        if (e == sim::RspReader::Event::Packet) packets.push_back(reader.packet());
    }
    return packets;
}

std::string joined(const std::vector<std::string> &parts)
{
    std::string out;
    for (const std::string &p : parts) out += (out.empty() ? "" : " | ") + p;
    return out;
}

class GdbStubTest : public ::testing::Test {
protected:
    FakeDebugTarget target;
    sim::GdbStub stub{target, sim::GdbStub::Options{false}};

    void SetUp() override
    {
        for (int n = 0; n < reg::kCount; ++n)
            target.regs[static_cast<std::size_t>(n)] = 0x01010101u * static_cast<unsigned>(n);
        target.regs[reg::kSp] = target.regs[reg::kMsp] = 0x20001000;
        target.regs[reg::kPc] = 0x080000c0;
        for (std::uint8_t i = 0; i < 4; ++i) target.ram[i] = static_cast<std::uint8_t>(i + 1);
    }
    void TearDown() override { EXPECT_EQ(target.wrapped_ranges, 0); }

    // Sends a packet as GDB does and returns the replies, acknowledging
    // each as GDB would (in either mode).
    std::string ask(std::string_view payload)
    {
        stub.receive(sim::rsp_frame(payload, false));
        return replies();
    }
    std::string replies()
    {
        std::vector<std::string> all;
        for (;;) {
            const std::vector<std::string> some = packets_in(stub.take_output());
            if (some.empty()) return joined(all);
            for (const std::string &p : some) {
                all.push_back(p);
                stub.receive("+");
            }
        }
    }
    std::string stop_registers() const
    {
        return "0d:" + le32(target.regs[reg::kSp]) + ";0f:" + le32(target.regs[reg::kPc]) + ";thread:1;";
    }
};

TEST_F(GdbStubTest, AnswersEachPacketFromTheTarget)
{
    std::string all_registers;
    for (const std::uint32_t value : target.regs) all_registers += le32(value);
    struct Case {
        std::string packet, reply;
    };
    const Case cases[] = {
        {"?", "T05" + stop_registers()},
        {"g", all_registers},
        {"p10", "10101010"}, // xpsr
        {"p14", "14141414"}, // control, the last
        {"p15", "E16"},      // no register 21
        {"pzz", "E16"},
        {"P14=04000000", "E16"}, // CONTROL takes bits 0 and 1 only
        {"P14", "E16"},
        {"P0=0102", "E16"},
        {"G00", "E16"},
        {"m20000000,4", "01020304"},
        {"m20000ffe,4", "0000"}, // as far as RAM goes
        {"m40013800,4", "E0E"},  // outside what the target reads
        {"mfffffffe,10", "E0E"},
        {"m20000000", "E16"},
        {"m,4", "E16"},
        {"m100000000,4", "E16"},
        {"M20000000,2:abc", "E16"},
        {"M20000000,2:abcdef", "E16"},
        {"M40013800,1:00", "E0E"},
        {"Mffffffff,2:0000", "E0E"}, // would wrap
        {"X20000000,0:", "OK"},      // GDB's probe for X
        {"X20000000,2:a", "E16"},
        {"X20000000,1:}", "E16"},
        {"Z2,20000000,0", "E16"},
        {"Z1,zz,2", "E16"},
        {"Z0", "E16"},
        {"Z9,0,0", ""},          // no such kind of point
        {"z1,8000000,2", "E16"}, // nothing there to remove
        {"qC", "QC1"},
        {"qfThreadInfo", "m1"},
        {"qsThreadInfo", "l"},
        {"qAttached", "1"},
        {"qAttached:1", "1"},
        {"qSymbol::", "OK"},
        {"Hg0", "OK"},
        {"Hc-1", "OK"},
        {"Hgp1.1", "OK"},
        {"Hg2", "E16"},
        {"H", "E16"},
        {"T1", "OK"},
        {"T3", "E16"},
        {"vCont?", "vCont;c;C;s;S"},
        {"vCont;x", "E16"},
        {"vCont;c:2", "E16"}, // for no thread of ours
        {"qXfer:features:read:other.xml:0,100", "E00"},
        {"qXfer:features:read:target.xml:0", "E16"},
        {"qRcmd,zz", "E16"},
        {"qRcmd," + hex("cycles"), "O" + hex("cycles: 123456\n") + " | OK"},
        {"qRcmd," + hex("  cycles "), "O" + hex("cycles: 123456\n") + " | OK"},
        {"qRcmd," + hex("frobnicate"), "O" + hex("unknown command: frobnicate\n") + " | E16"},
        {"qRcmd,", "O" + hex("reset, reset halt, cycles\n") + " | OK"},
        {"qTStatus", ""},
        {"vMustReplyEmpty", ""},
        {"QNonStop:1", ""},
        {"!", ""},
        {"", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.packet);
        EXPECT_EQ(ask(c.packet), c.reply);
    }
    EXPECT_EQ(target.regs[reg::kControl], 0x14141414u) << "refused writes change nothing";
    EXPECT_EQ(target.ram[0], 1u);
    EXPECT_TRUE(target.points.empty());
    EXPECT_TRUE(target.resumes.empty());
    EXPECT_EQ(target.monitor_commands, (std::vector<std::string>{"cycles", "cycles", "frobnicate", "help"}));
}

TEST_F(GdbStubTest, WritesRegistersAndMemory)
{
    EXPECT_EQ(ask("P0=78563412"), "OK");
    EXPECT_EQ(target.regs[0], 0x12345678u);
    EXPECT_EQ(ask("P14=03000000"), "OK");
    EXPECT_EQ(target.regs[reg::kControl], 3u);

    std::string all;
    for (unsigned n = 0; n < reg::kControl; ++n) all += le32(0xA0000000u + n);
    all += le32(1);
    EXPECT_EQ(ask("G" + all), "OK");
    EXPECT_EQ(target.regs[reg::kPc], 0xA000000Fu);
    EXPECT_EQ(target.regs[reg::kPrimask], 0xA0000013u);
    EXPECT_EQ(target.regs[reg::kControl], 1u);

    EXPECT_EQ(ask("M20000010,3:a1B2c3"), "OK");
    EXPECT_EQ(ask("m20000010,3"), "a1b2c3");
    // Binary: every byte, #, $, } and * escaped.
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    std::string escaped;
    sim::rsp_escape(bytes, escaped);
    EXPECT_EQ(escaped.size(), 256u + 4u);
    EXPECT_EQ(ask("X20000100,100:" + escaped), "OK");
    EXPECT_EQ(ask("m20000100,100"), hex(bytes));

    // A read asks for no more than fits in one reply.
    EXPECT_EQ(ask("m8000000,ffffffff").size(), sim::GdbStub::kPacketSize);
}

TEST_F(GdbStubTest, PlacesBreakpointsAndWatchpointsUpToTheTargetsComparators)
{
    EXPECT_EQ(ask("qSupported:multiprocess+;swbreak+;hwbreak+;vContSupported+"),
              "PacketSize=1000;qXfer:features:read+;QStartNoAckMode+;vContSupported+;swbreak+;hwbreak+");
    EXPECT_EQ(ask("Z0,8000100,2"), "OK");
    EXPECT_EQ(ask("Z0,8000104,3"), "E1C"); // a kind the target refuses
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(ask("Z1,80002" + std::to_string(i) + "0,2"), "OK");
    EXPECT_EQ(ask("Z1,8000300,2"), "E1C");
    EXPECT_EQ(ask("Z2,20000010,4"), "OK");
    EXPECT_EQ(ask("Z3,20000020,1;X2,0a"), "OK"); // conditions, not asked for, are left out
    EXPECT_EQ(ask("Z4,20000030,2"), "E1C");
    EXPECT_EQ(ask("z2,20000010,4"), "OK");
    EXPECT_EQ(ask("Z4,20000030,2"), "OK");
    EXPECT_EQ(ask("z1,8000200,2"), "OK");
    EXPECT_EQ(target.points,
              (std::vector<Point>{{0, 0x08000100, 2},
                                  {1, 0x08000210, 2},
                                  {1, 0x08000220, 2},
                                  {1, 0x08000230, 2},
                                  {3, 0x20000020, 1},
                                  {4, 0x20000030, 2}}));
}

TEST_F(GdbStubTest, ResumesAndAnswersWithTheStopTheOwnerReports)
{
    struct Case {
        std::string packet;
        Mode mode;
        std::uint32_t pc; // after the packet
    };
    const Case cases[] = {
        {"c", Mode::Continue, 0x080000c0},
        {"s", Mode::Step, 0x080000c0},
        {"c8000100", Mode::Continue, 0x08000100},
        {"C05", Mode::Continue, 0x08000100},
        {"S05;8000200", Mode::Step, 0x08000200},
        {"vCont;c", Mode::Continue, 0x08000200},
        {"vCont;s:1;c", Mode::Step, 0x08000200},
        {"vCont;c:2;s", Mode::Step, 0x08000200},
        {"vCont;C05:p1.1", Mode::Continue, 0x08000200},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.packet);
        target.resumes.clear();
        EXPECT_EQ(ask(c.packet), "") << "no reply until it stops";
        EXPECT_TRUE(stub.running());
        EXPECT_EQ(target.resumes, std::vector<Mode>{c.mode});
        EXPECT_EQ(target.regs[reg::kPc], c.pc);
        EXPECT_EQ(ask("m20000000,4"), "") << "all-stop: nothing is answered while it runs";
        stub.report_stop({Kind::StepDone});
        EXPECT_FALSE(stub.running());
        EXPECT_EQ(replies(), "T05" + stop_registers());
    }
    EXPECT_EQ(ask("czz"), "E16");
    EXPECT_FALSE(stub.running());
    stub.report_stop({Kind::StepDone});
    EXPECT_EQ(replies(), "") << "a stop while halted is not reported";
}

TEST_F(GdbStubTest, CtrlCInterruptsARunningTarget)
{
    stub.receive("\x03");
    EXPECT_EQ(target.interrupts, 0) << "halted already";
    ask("c");
    stub.receive("\x03");
    EXPECT_EQ(target.interrupts, 1);
    EXPECT_EQ(replies(), "");
    stub.report_stop({Kind::Interrupted});
    EXPECT_EQ(replies(), "T02" + stop_registers());
    EXPECT_EQ(ask("?"), "T02" + stop_registers());
}

TEST_F(GdbStubTest, StopRepliesGiveTheReasonGdbUnderstands)
{
    struct Case {
        sim::StopEvent stop;
        std::string with_reasons, without; // after qSupported with swbreak+ and hwbreak+, and with neither
    };
    const Case cases[] = {
        {{Kind::SoftwareBreakpoint}, "T05swbreak:;", "T05"},
        {{Kind::HardwareBreakpoint}, "T05hwbreak:;", "T05"},
        {{Kind::Watchpoint, sim::WatchType::Write, 0x20000010}, "T05watch:20000010;", "T05watch:20000010;"},
        {{Kind::Watchpoint, sim::WatchType::Read, 0x2000000c}, "T05rwatch:2000000c;", "T05rwatch:2000000c;"},
        {{Kind::Watchpoint, sim::WatchType::Access, 0x8}, "T05awatch:8;", "T05awatch:8;"},
        {{Kind::StepDone}, "T05", "T05"},
        {{Kind::Interrupted}, "T02", "T02"},
        {{Kind::LockedUp}, "T0b", "T0b"},
    };
    for (const bool reasons : {true, false}) {
        ask(reasons ? "qSupported:swbreak+;hwbreak+" : "qSupported");
        for (const Case &c : cases) {
            SCOPED_TRACE((reasons ? "with: " : "without: ") + c.with_reasons);
            ask("c");
            stub.report_stop(c.stop);
            EXPECT_EQ(replies(), (reasons ? c.with_reasons : c.without) + stop_registers());
        }
    }
    ask("c");
    stub.report_stop({Kind::Exited, sim::WatchType::Write, 0, 3});
    EXPECT_EQ(replies(), "W03");
    EXPECT_EQ(ask("?"), "W03");
}

TEST_F(GdbStubTest, MonitorResetGoesToTheTargetsReset)
{
    EXPECT_EQ(ask("qRcmd," + hex("reset")), "O" + hex("Reset.\n") + " | OK");
    EXPECT_EQ(ask("qRcmd," + hex("reset  halt")), "O" + hex("Reset; halted at the reset vector.\n") + " | OK");
    EXPECT_EQ(target.resets, (std::vector<sim::ResetMode>{sim::ResetMode::Run, sim::ResetMode::Halt}));
    EXPECT_TRUE(target.monitor_commands.empty());
}

TEST_F(GdbStubTest, SendsTheTargetDescriptionInParts)
{
    std::string xml, reply;
    while (reply.empty() || reply[0] == 'm') {
        std::ostringstream request;
        request << "qXfer:features:read:target.xml:" << std::hex << xml.size() << ",100";
        reply = ask(request.str());
        ASSERT_FALSE(reply.empty());
        ASSERT_LE(reply.size(), 0x101u);
        xml += *sim::rsp_unescape(reply.substr(1));
    }
    EXPECT_EQ(xml, sim::kArmv6mTargetXml);
    EXPECT_EQ(ask("qXfer:features:read:target.xml:ffff,100"), "l");

    // GDB numbers the registers in the order they appear: as debug_reg does.
    const std::vector<std::string> order = {"r0", "r1", "r2",   "r3",  "r4",  "r5",      "r6",
                                            "r7", "r8", "r9",   "r10", "r11", "r12",     "sp",
                                            "lr", "pc", "xpsr", "msp", "psp", "primask", "control"};
    std::vector<std::string> names;
    for (std::size_t at = xml.find("<reg name=\""); at != std::string::npos; at = xml.find("<reg name=\"", at + 1)) {
        const std::size_t from = at + 11;
        names.push_back(xml.substr(from, xml.find('"', from) - from));
    }
    EXPECT_EQ(names, order);
    EXPECT_EQ(names.size(), static_cast<std::size_t>(reg::kCount));
    EXPECT_EQ(xml.find("regnum"), std::string::npos) << "numbers follow the order alone";
    EXPECT_NE(xml.find("<feature name=\"org.gnu.gdb.arm.m-profile\">"), std::string::npos);
    EXPECT_NE(xml.find("<feature name=\"org.gnu.gdb.arm.m-system\">"), std::string::npos);
}

TEST_F(GdbStubTest, AcknowledgesRetransmitsAndStopsAcknowledgingInNoAckMode)
{
    // A good packet is acknowledged before its reply; a bad one gets `-`
    // and reaches nothing.
    const std::string request = sim::rsp_frame("m20000000,4", false);
    stub.receive(request.substr(0, 5));
    stub.receive(request.substr(5));
    EXPECT_EQ(stub.take_output(), "+" + sim::rsp_frame("01020304", false));
    stub.receive("-");
    EXPECT_EQ(stub.take_output(), sim::rsp_frame("01020304", false)) << "sent again";
    stub.receive("+");
    EXPECT_EQ(stub.take_output(), "");
    stub.receive("$M20000000,1:ff#00");
    EXPECT_EQ(stub.take_output(), "-");
    EXPECT_EQ(target.ram[0], 1u);

    // Long output goes out one acknowledged packet at a time.
    stub.receive(sim::rsp_frame("qRcmd," + hex("long"), false));
    std::vector<std::string> packets = packets_in(stub.take_output());
    std::string text;
    while (packets.size() == 1 && packets[0] != "OK") {
        const auto part = sim::parse_hex_bytes(packets[0].substr(1));
        ASSERT_TRUE(part) << packets[0].substr(0, 20) << "... " << packets[0].size();
        text += *part;
        stub.receive("-"); // lost: the same again
        EXPECT_EQ(packets_in(stub.take_output()), packets);
        stub.receive("+");
        packets = packets_in(stub.take_output());
    }
    EXPECT_EQ(packets, std::vector<std::string>{"OK"});
    EXPECT_EQ(text, std::string(5000, 'x'));
    stub.receive("+");

    // QStartNoAckMode's own reply is acknowledged; nothing after it is.
    stub.receive(sim::rsp_frame("QStartNoAckMode", false));
    EXPECT_EQ(stub.take_output(), "+$OK#9a");
    stub.receive("+");
    stub.receive(sim::rsp_frame("qC", false));
    EXPECT_EQ(stub.take_output(), "$QC1#c5");
    stub.receive("$qC#00");
    EXPECT_EQ(stub.take_output(), "") << "a bad packet is dropped";
    stub.receive("-");
    EXPECT_EQ(stub.take_output(), "");
}

TEST_F(GdbStubTest, RunLengthEncodesReplies)
{
    sim::GdbStub compact(target);
    target.ram.assign(target.ram.size(), 0);
    compact.receive(sim::rsp_frame("QStartNoAckMode", false));
    compact.receive(sim::rsp_frame("m20000000,10", false));
    EXPECT_EQ(compact.take_output(), "+$OK#9a$0*<#96") << "32 zeros: a 0 and 31 more";
}

TEST_F(GdbStubTest, DetachAndKillEndTheSession)
{
    EXPECT_EQ(ask("D"), "OK");
    EXPECT_TRUE(target.detached);
    EXPECT_TRUE(stub.finished());
    EXPECT_EQ(ask("?"), "") << "nothing answered after";

    FakeDebugTarget other;
    sim::GdbStub killed(other);
    killed.receive(sim::rsp_frame("k", false));
    EXPECT_EQ(killed.take_output(), "+") << "kill has no reply";
    EXPECT_TRUE(other.killed);
    EXPECT_TRUE(killed.finished());
}

TEST_F(GdbStubTest, RefusesAnOverlongPacketAndGoesOn)
{
    stub.receive(sim::rsp_frame("M20000000,1:" + std::string(3 * sim::GdbStub::kPacketSize, 'f'), false));
    EXPECT_EQ(replies(), "E5A");
    EXPECT_EQ(target.ram[0], 1u);
    stub.receive("garbage\r\n$m2000");
    EXPECT_EQ(ask("m20000000,1"), "01") << "noise and a torn packet cost nothing more";
}

// Streams of protocol fragments and stray bytes: whatever comes, the stub
// neither fails nor keeps more than a packet's worth, and answers a good
// packet after it.
TEST_F(GdbStubTest, SurvivesNoise)
{
    const std::vector<std::string> fragments = {"$",
                                                "#",
                                                "+",
                                                "-",
                                                "\x03",
                                                "}",
                                                "*",
                                                "0",
                                                "f",
                                                ",",
                                                ":",
                                                ";",
                                                "=",
                                                "00",
                                                "#00",
                                                "m20000000,4",
                                                "M20000000,2:",
                                                "X20000000,2:",
                                                "Z0,",
                                                "Z1,8000000,2",
                                                "z2,",
                                                "p",
                                                "P0=",
                                                "g",
                                                "G",
                                                "c",
                                                "s",
                                                "vCont;",
                                                "qXfer:features:read:",
                                                "target.xml:",
                                                "qRcmd,",
                                                hex("long"),
                                                hex("reset"),
                                                "QStartNoAckMode",
                                                "qSupported:swbreak+",
                                                "D",
                                                "k",
                                                "H",
                                                "T",
                                                "?",
                                                "ffffffff",
                                                "\xff",
                                                "\x7d\x5d"};
    std::mt19937 random(1923);
    for (int stream = 0; stream < 300; ++stream) {
        FakeDebugTarget fake;
        sim::GdbStub noisy(fake, sim::GdbStub::Options{false});
        for (int i = 0; i < 60 && !noisy.finished(); ++i) {
            std::string piece = fragments[random() % fragments.size()];
            if (random() % 4 == 0) piece = sim::rsp_frame(piece, false); // a well-formed packet now and then
            noisy.receive(piece);
            if (noisy.running() && random() % 2) noisy.report_stop({static_cast<Kind>(random() % 7)});
            ASSERT_LE(noisy.take_output().size(), 4 * (sim::GdbStub::kPacketSize + 8));
        }
        if (noisy.finished()) continue;
        if (noisy.running()) noisy.report_stop({Kind::StepDone});
        noisy.take_output();
        noisy.receive(sim::rsp_frame("m20000000,2", false));
        const std::vector<std::string> answer = packets_in(noisy.take_output());
        ASSERT_FALSE(answer.empty()) << "stream " << stream;
        ASSERT_EQ(fake.wrapped_ranges, 0);
        EXPECT_EQ(answer.back(), hex(std::string{static_cast<char>(fake.ram[0]), static_cast<char>(fake.ram[1])}))
            << "stream " << stream;
    }
}

} // namespace
} // namespace snt_test
