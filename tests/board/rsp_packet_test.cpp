// The remote protocol's framing: packets and control characters read from
// any stream of bytes, replies framed and run-length encoded as GDB reads
// them.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "board/debug/rsp_packet.h"

namespace snt_test {
namespace {

using Event = sim::RspReader::Event;

// What GDB makes of a run-length encoded payload: `*` and a count
// character repeat the character before it (count - 29) times.
std::string expand_runs(const std::string &encoded)
{
    std::string out;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '*' && i + 1 < encoded.size() && !out.empty()) {
            out.append(static_cast<std::size_t>(encoded[++i] - 29), out.back());
        } else {
            out += encoded[i];
        }
    }
    return out;
}

// "Packet:data", "Ack", ... for each event of the stream.
std::vector<std::string> events_of(const std::string &stream, std::size_t capacity = 64)
{
    sim::RspReader reader(capacity);
    std::vector<std::string> events;
    for (const char c : stream) {
        const auto e = reader.feed(c);
        if (!e) continue;
        switch (*e) {
        case Event::Packet:
            events.push_back("Packet:" + reader.packet());
            break;
        case Event::BadChecksum:
            events.emplace_back("BadChecksum");
            break;
        case Event::Overlong:
            events.emplace_back("Overlong");
            break;
        case Event::Ack:
            events.emplace_back("Ack");
            break;
        case Event::Nack:
            events.emplace_back("Nack");
            break;
        case Event::Interrupt:
            events.emplace_back("Interrupt");
            break;
        }
    }
    return events;
}

TEST(RspReader, FindsPacketsAndControlCharactersInAnyStream)
{
    struct Case {
        const char *what;
        std::string stream;
        std::vector<std::string> events;
    };
    const std::string overlong = sim::rsp_frame(std::string(65, 'a'), false);
    const Case cases[] = {
        {"a packet", "$g#67", {"Packet:g"}},
        {"an empty packet", "$#00", {"Packet:"}},
        {"upper-case checksum digits", "$OK#9A", {"Packet:OK"}},
        {"acks and an interrupt", "+-\x03", {"Ack", "Nack", "Interrupt"}},
        {"noise skipped", "hello\r\n$g#67junk", {"Packet:g"}},
        {"wrong checksum", "$g#68$g#67", {"BadChecksum", "Packet:g"}},
        {"checksum not hex", "$g#6x$g#67", {"BadChecksum", "Packet:g"}},
        {"a `$` in the checksum starts a packet", "$g#6$g#67", {"BadChecksum", "Packet:g"}},
        {"a torn packet costs only itself", "$m2000$?#3f", {"Packet:?"}},
        {"0x03 and + inside a packet are data", "$a\x03+#8f", {"Packet:a\x03+"}},
        {"longer than the capacity", overlong + "$g#67", {"Overlong", "Packet:g"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(events_of(c.stream), c.events);
    }
}

TEST(RspFrame, SumsAndRunLengthEncodesAsGdbReads)
{
    struct Case {
        std::string payload;
        std::string framed_with_runs; // just the data between $ and #
    };
    const Case cases[] = {
        {"OK", "OK"},
        {"000", "000"},                   // too short to gain
        {"0000", "0* "},                  // 0 and three more
        {"0000000", "0*\"0"},             // six more would be `#`: five, then one
        {"00000000", "0*\"00"},           // seven more would be `$`
        {std::string(100, 'f'), "f*~ff"}, // 97 more at most
        {"T05thread:1;", "T05thread:1;"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.payload);
        const std::string framed = sim::rsp_frame(c.payload, true);
        const std::string data = framed.substr(1, framed.size() - 4);
        EXPECT_EQ(data, c.framed_with_runs);
        EXPECT_EQ(events_of(framed, 256), std::vector<std::string>{"Packet:" + data}) << "the checksum covers the runs";
    }
    // Sums as GDB sends them.
    EXPECT_EQ(sim::rsp_frame("OK", false), "$OK#9a");
    EXPECT_EQ(sim::rsp_frame("", false), "$#00");
    EXPECT_EQ(sim::rsp_frame("m8000000,4", false), "$m8000000,4#25");
    EXPECT_EQ(sim::rsp_frame("0000", false), "$0000#c0");

    // Any payload of protocol characters comes back whole.
    std::mt19937 random(23);
    for (int i = 0; i < 500; ++i) {
        std::string payload;
        const int length = static_cast<int>(random() % 300);
        for (int j = 0; j < length; ++j) payload += "0f;:T"[random() % (random() % 4 == 0 ? 5 : 1)];
        const std::string framed = sim::rsp_frame(payload, true);
        const std::string data = framed.substr(1, framed.size() - 4);
        ASSERT_EQ(expand_runs(data), payload);
        ASSERT_EQ(data.find_first_of("#$"), std::string::npos);
    }
}

} // namespace
} // namespace snt_test
