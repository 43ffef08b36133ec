#include "board/bench/dut.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <utility>

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;

class Constant final : public Dut {
public:
    explicit Constant(double g) : g_(g) {}
    double gain(double) const override { return g_; }

private:
    double g_;
};

class Butterworth final : public Dut {
public:
    Butterworth(double fc, int order, bool high) : fc_(fc), order_(order), high_(high) {}
    double gain(double hz) const override
    {
        const double f = std::fabs(hz);
        if (high_ && f == 0) return 0;
        const double ratio = high_ ? fc_ / f : f / fc_;
        return 1 / std::sqrt(1 + std::pow(ratio, 2 * order_));
    }

private:
    double fc_;
    int order_;
    bool high_;
};

// A series resonance seen as a band-pass, or its complement as a notch.
class Resonator final : public Dut {
public:
    Resonator(double f0, double bw, bool notch) : f0_(f0), q_(f0 / bw), notch_(notch) {}
    double gain(double hz) const override
    {
        if (hz <= 0) return notch_ ? 1 : 0;
        const double x = q_ * (hz / f0_ - f0_ / hz);
        if (notch_) return x == 0 ? 0 : 1 / std::sqrt(1 + 1 / (x * x));
        return 1 / std::sqrt(1 + x * x);
    }

private:
    double f0_, q_;
    bool notch_;
};

class Crystal final : public Dut {
public:
    Crystal(double fs, double q)
    {
        const double ws = 2 * kPi * fs;
        l1_ = q * kCrystalR1Ohms / ws;
        c1_ = 1 / (ws * ws * l1_);
    }
    double gain(double hz) const override
    {
        if (hz <= 0) return 0; // C0 and C1 block direct current
        const double w = 2 * kPi * hz;
        const std::complex<double> motional(kCrystalR1Ohms, w * l1_ - 1 / (w * c1_));
        const std::complex<double> shunt(0, -1 / (w * kCrystalC0Farads));
        const std::complex<double> z = motional * shunt / (motional + shunt);
        return std::abs(2 * kSystemOhms / (2 * kSystemOhms + z));
    }

private:
    double l1_ = 0, c1_ = 0;
};

// Points in frequency order, interpolated in dB, held flat beyond the ends.
class Table final : public Dut {
public:
    Table(std::vector<double> hz, std::vector<double> db) : hz_(std::move(hz)), db_(std::move(db)) {}
    double gain(double hz) const override
    {
        double db;
        if (hz <= hz_.front()) {
            db = db_.front();
        } else if (hz >= hz_.back()) {
            db = db_.back();
        } else {
            const std::size_t i = static_cast<std::size_t>(std::upper_bound(hz_.begin(), hz_.end(), hz) - hz_.begin());
            const double t = (hz - hz_[i - 1]) / (hz_[i] - hz_[i - 1]);
            db = db_[i - 1] + t * (db_[i] - db_[i - 1]);
        }
        return std::pow(10.0, db / 20);
    }

private:
    std::vector<double> hz_, db_;
};

} // namespace

std::unique_ptr<Dut> make_constant(double gain) { return std::make_unique<Constant>(gain); }

std::unique_ptr<Dut> make_butterworth(double fc, int order, bool high)
{
    return std::make_unique<Butterworth>(fc, order, high);
}

std::unique_ptr<Dut> make_resonator(double f0, double bw, bool notch)
{
    return std::make_unique<Resonator>(f0, bw, notch);
}

std::unique_ptr<Dut> make_crystal(double fs, double q) { return std::make_unique<Crystal>(fs, q); }

std::unique_ptr<Dut> make_table(std::vector<double> hz, std::vector<double> db)
{
    return std::make_unique<Table>(std::move(hz), std::move(db));
}

} // namespace sim
