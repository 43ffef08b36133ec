#include "board/bench/rf_devices.h"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;

// The Rapp model's smoothness: 2 for a transistor amplifier's soft knee.
constexpr double kRappSmoothness = 2;

class Amplifier final : public DrivenDut {
public:
    Amplifier(double gain_db, const double *p1db_dbm) : gain_(std::pow(10.0, gain_db / 20))
    {
        if (p1db_dbm == nullptr) return;
        compresses_ = true;
        // At the 1 dB point the model's divisor is 10^(1/20): G v / Vsat = x.
        const double twice_p = 2 * kRappSmoothness;
        const double x = std::pow(std::pow(10.0, twice_p / 20) - 1, 1 / twice_p);
        const double p1db_mw = std::pow(10.0, *p1db_dbm / 10);
        // The output there, G v 10^(-1/20), is the 1 dB point's voltage.
        saturation_ = std::sqrt(p1db_mw) * std::pow(10.0, 1.0 / 20) / x;
    }
    double gain_driven(double, double input_mw) const override
    {
        if (!compresses_) return gain_;
        const double u = gain_ * std::sqrt(input_mw) / saturation_;
        const double twice_p = 2 * kRappSmoothness;
        return gain_ / std::pow(1 + std::pow(u, twice_p), 1 / twice_p);
    }

private:
    double gain_;
    bool compresses_ = false;
    double saturation_ = 0; // sqrt(mW) at the output
};

class Cascade final : public DrivenDut {
public:
    explicit Cascade(std::vector<std::unique_ptr<Dut>> stages) : stages_(std::move(stages))
    {
        if (stages_.empty()) throw std::invalid_argument("a cascade needs at least one device");
    }
    double gain_driven(double hz, double input_mw) const override
    {
        double total = 1, power = input_mw;
        for (const auto &stage : stages_) {
            const auto *driven = dynamic_cast<const DrivenDut *>(stage.get());
            const double g = driven != nullptr ? driven->gain_driven(hz, power) : stage->gain(hz);
            total *= g;
            power *= g * g;
        }
        return total;
    }

private:
    std::vector<std::unique_ptr<Dut>> stages_;
};

std::complex<double> reflection_of(std::complex<double> z) { return (z - kSystemOhms) / (z + kSystemOhms); }

class FixedLoad final : public OnePort {
public:
    explicit FixedLoad(std::complex<double> reflection) : reflection_(reflection) {}
    std::complex<double> reflection(double) const override { return reflection_; }

private:
    std::complex<double> reflection_;
};

class SeriesRlc final : public OnePort {
public:
    SeriesRlc(double r, double l, double c) : r_(r), l_(l), c_(c) {}
    std::complex<double> reflection(double hz) const override
    {
        const double w = 2 * kPi * std::fabs(hz);
        if (w == 0) return c_ > 0 ? 1.0 : reflection_of(r_);
        const double x = w * l_ - (c_ > 0 ? 1 / (w * c_) : 0.0);
        return reflection_of({r_, x});
    }

private:
    double r_, l_, c_;
};

class Bridge final : public Dut {
public:
    explicit Bridge(std::unique_ptr<OnePort> load) : load_(std::move(load))
    {
        if (!load_) throw std::invalid_argument("a bridge needs a load");
    }
    double gain(double hz) const override { return kBridgeLoss * std::abs(load_->reflection(hz) + kBridgeDirectivity); }

private:
    std::unique_ptr<OnePort> load_;
};

} // namespace

std::unique_ptr<DrivenDut> make_amplifier(double gain_db, const double *p1db_dbm)
{
    return std::make_unique<Amplifier>(gain_db, p1db_dbm);
}

std::unique_ptr<DrivenDut> make_cascade(std::vector<std::unique_ptr<Dut>> stages)
{
    return std::make_unique<Cascade>(std::move(stages));
}

std::unique_ptr<OnePort> make_open() { return std::make_unique<FixedLoad>(1.0); }
std::unique_ptr<OnePort> make_short() { return std::make_unique<FixedLoad>(-1.0); }
std::unique_ptr<OnePort> make_resistor(double ohms) { return std::make_unique<FixedLoad>(reflection_of(ohms)); }

std::unique_ptr<OnePort> make_series_rlc(double ohms, double henries, double farads)
{
    return std::make_unique<SeriesRlc>(ohms, henries, farads);
}

std::unique_ptr<Dut> make_bridge(std::unique_ptr<OnePort> load) { return std::make_unique<Bridge>(std::move(load)); }

CrystalBatch::CrystalBatch(std::vector<double> fs, double q) : fs_(std::move(fs)), q_(q)
{
    if (fs_.empty()) throw std::invalid_argument("a batch needs at least one crystal");
}

} // namespace sim
