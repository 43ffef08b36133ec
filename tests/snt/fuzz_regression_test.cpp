// Faults the fuzz targets (tests/fuzz) found, each kept here as a test of
// the host build, with the input that showed it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/bench/dut_text.h"
#include "core/analysis/frequency.h"
#include "core/analysis/sweep.h"
#include "core/analysis/sweep_csv.h"

namespace {

// dut_fuzz: "notch:02MHz:5e-308k" has a Q of F0/BW = 4e310, infinite; right
// at F0 the response is then inf * 0, NaN, between the frequencies
// parse_dut checks, and the device was accepted. A band-pass the same.
TEST(FuzzFindings, AResonatorWithAnInfiniteQIsRefused)
{
    for (const char *device : {"notch:02MHz:5e-308k", "bandpass:2M:5e-305", "notch:1e300:1e-300"}) {
        try {
            sim::parse_dut(device);
            ADD_FAILURE() << "accepted " << device;
        } catch (const sim::DutError &e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("bandwidth"), std::string::npos) << what;
            EXPECT_NE(what.find("too narrow"), std::string::npos) << what;
        }
    }
    // A Q that is merely enormous is a device like any other, finite at F0.
    const auto bandpass = sim::parse_dut("bandpass:2M:1e-300");
    EXPECT_EQ(bandpass->gain(2e6), 1.0);
    const auto notch = sim::parse_dut("notch:2M:1e-300");
    EXPECT_EQ(notch->gain(2e6), 0.0);
    EXPECT_EQ(notch->gain(2.000001e6), 1.0);
}

snt::SweepResult reference_of(const std::string &text)
{
    return snt::parse_sweep_csv(text, "ref.csv", snt::SweepCsv::Reference);
}

// reference_csv_fuzz: a reference level so small (1e-320, 1e-300) that a
// level the tester can send, up to the largest float, divided by it
// overflows: the sweep's dB against that point were +inf, and its own dB
// against full scale -inf.
TEST(FuzzFindings, AReferenceLevelTooSmallToTakeDecibelsAgainstIsRefused)
{
    for (const char *level : {"1e-320", "1e-300", "1e-271"}) {
        try {
            reference_of(std::string("frequency_hz,level,db\n1000000,3e10,0\n1250000,") + level + ",\n");
            ADD_FAILURE() << "accepted the level " << level;
        } catch (const snt::InputError &e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("line 3"), std::string::npos) << what;
            EXPECT_NE(what.find(level), std::string::npos) << what;
        }
    }

    // The smallest level kept still gives finite dB for everything a
    // tester sends.
    const snt::SweepResult ref = reference_of("frequency_hz,level,db\n1000000,1e-269,\n1250000,1e-3,\n");
    for (const double level : {0.01, static_cast<double>(std::numeric_limits<float>::max())}) {
        snt::SweepResult sweep(
            std::vector<snt::SweepPoint>{{1000000, level, std::nullopt}, {1250000, level, std::nullopt}});
        sweep.normalise(ref);
        for (const auto &p : sweep.points()) {
            ASSERT_TRUE(p.db.has_value());
            EXPECT_TRUE(std::isfinite(*p.db)) << level << " against the reference at " << p.frequency;
        }
    }
    for (const auto &p : ref.points()) EXPECT_TRUE(p.db && std::isfinite(*p.db));
}

} // namespace
