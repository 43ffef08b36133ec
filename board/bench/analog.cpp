#include "board/bench/analog.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace sim {

namespace {

constexpr double kTwoPi = 6.28318530717958647692;

// Works the two outputs out again only when the synthesizer has changed.
AnalogFrontEnd::Outputs outputs_of(const Si5351Model &synth)
{
    struct Cache {
        std::uint64_t revision = ~std::uint64_t{0};
        double hz[2] = {0, 0};
    };
    return [&synth, cache = Cache{}](int clk) mutable {
        if (cache.revision != synth.revision()) {
            for (int n = 0; n < 2; ++n) cache.hz[n] = synth.output_enabled(n) ? synth.output_hz(n) : 0.0;
            cache.revision = synth.revision();
        }
        return cache.hz[clk];
    };
}

} // namespace

AnalogFrontEnd::AnalogFrontEnd(const Si5351Model &synth, std::unique_ptr<Dut> dut, double noise, std::uint64_t seed)
    : AnalogFrontEnd(outputs_of(synth), std::move(dut), noise, seed)
{
    synth_ = &synth;
}

AnalogFrontEnd::AnalogFrontEnd(Outputs outputs, std::unique_ptr<Dut> dut, double noise, std::uint64_t seed)
    : outputs_(std::move(outputs)), dut_(std::move(dut))
{
    if (!dut_) throw std::invalid_argument("the analog front end needs a device under test");
    set_noise(noise);
    set_seed(seed);
}

void AnalogFrontEnd::set_dut(std::unique_ptr<Dut> dut)
{
    if (!dut) throw std::invalid_argument("the analog front end needs a device under test");
    dut_ = std::move(dut);
    tone_ = Tone{};
    tone_revision_ = kNoRevision;
}

void AnalogFrontEnd::set_noise(double counts)
{
    if (!(counts >= 0) || !std::isfinite(counts)) {
        throw std::invalid_argument("the noise must be a standard deviation of 0 counts or more");
    }
    noise_ = counts;
}

void AnalogFrontEnd::set_seed(std::uint64_t seed)
{
    rng_.seed(seed);
    have_spare_ = false;
}

const AnalogFrontEnd::Tone &AnalogFrontEnd::updated_tone() const
{
    const double f0 = outputs_(0), f1 = outputs_(1);
    if (f0 != tone_.f0 || f1 != tone_.f1) {
        Tone t;
        t.f0 = f0;
        t.f1 = f1;
        if (f0 > 0 && f1 > 0) {
            t.beat_hz = std::fabs(f0 - f1);
            const double gain = dut_->gain(f1);
            t.amplitude = kThruAmplitude * gain;
            // A gain that is no number, negative or beyond what a double
            // holds once scaled would give no sample at all: stop here.
            if (!(gain >= 0) || !std::isfinite(t.amplitude) || !std::isfinite(t.beat_hz)) {
                char text[128];
                std::snprintf(text, sizeof text, "the device under test gives |S21| = %g at %.9g Hz, not a usable gain",
                              gain, f1);
                throw DutError(text);
            }
        }
        tone_ = t;
    }
    if (synth_ != nullptr) tone_revision_ = synth_->revision();
    return tone_;
}

double AnalogFrontEnd::beat_hz() const { return tone().beat_hz; }

double AnalogFrontEnd::amplitude() const { return tone().amplitude; }

double AnalogFrontEnd::level_at(Cycles when) const
{
    const Tone &t = tone();
    if (t.amplitude == 0) return kMidScale;
    // Whole seconds and the rest apart, so the phase stays exact over long runs.
    // The turns of whole seconds stay the same for a second of samples.
    const Cycles whole_seconds = when / kCoreHz;
    if (whole_turns_.beat_hz != t.beat_hz || whole_turns_.seconds != whole_seconds) {
        whole_turns_ = {t.beat_hz, whole_seconds, std::fmod(t.beat_hz * static_cast<double>(whole_seconds), 1.0)};
    }
    const double turns = whole_turns_.turns + t.beat_hz * static_cast<double>(when % kCoreHz) / kCoreHz;
    return kMidScale + t.amplitude * std::sin(kTwoPi * turns + kPhaseOffset);
}

double AnalogFrontEnd::gaussian()
{
    if (have_spare_) {
        have_spare_ = false;
        return spare_;
    }
    const double u1 = static_cast<double>((rng_() >> 11) + 1) * 0x1.0p-53; // (0, 1]
    const double u2 = static_cast<double>(rng_() >> 11) * 0x1.0p-53;       // [0, 1)
    const double r = std::sqrt(-2 * std::log(u1));
    spare_ = r * std::sin(kTwoPi * u2);
    have_spare_ = true;
    return r * std::cos(kTwoPi * u2);
}

std::uint16_t AnalogFrontEnd::sample(Cycles when)
{
    ++samples_;
    const double v = std::nearbyint(level_at(when) + noise_ * gaussian());
    // The tone is finite (see tone()), so v is a number; anything out of
    // the ADC's range, infinities included, clips before it is converted.
    if (std::isnan(v)) throw std::domain_error("the ADC input is not a number");
    if (v <= 0) return 0;
    if (v >= kAdcMax) return kAdcMax;
    return static_cast<std::uint16_t>(v);
}

} // namespace sim
