// The bus log of snt-sim --bus-log: one line per transaction the bus
// monitor reports.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "shells/sim/bus_log.h"
#include "temp_dir.h"

namespace {

TEST(BusLogWriter, OneLineATransactionInMicrosecondsAndHex)
{
    EXPECT_EQ(sim::BusLogWriter::format(52018 * 8 + 7, {0xC0, 0x10, 0x80}), "52018 C0 10 80");
    EXPECT_EQ(sim::BusLogWriter::format(7, {0x0A, 0xFF}), "0 0A FF");
    EXPECT_EQ(sim::BusLogWriter::format(80, {}), "10");

    const snt_test::TempDir folder("bus_log_test");
    const std::string path = folder / "bus.log";
    {
        sim::BusLogWriter w(path);
        w.write(416151, {0xC0, 0x10, 0x80});
        auto sink = w.sink();
        sink(1'000'000, {0xC0, 0xB1, 0xA0});
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "52018 C0 10 80\n125000 C0 B1 A0\n");

    const std::string bad = folder / "no/such/dir/log.txt";
    try {
        sim::BusLogWriter w(bad);
        FAIL() << "opened " << bad;
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
    }
}

} // namespace
