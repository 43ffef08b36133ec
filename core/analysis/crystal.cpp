#include "core/analysis/crystal.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>

#include "core/analysis/frequency.h"

namespace snt {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kPicofarad = 1e-12;
// Rm is kept above this in the fit, so the arm's admittance stays finite.
constexpr double kMinRm = 1e-6;

// Solves a x = b (n <= 4) by elimination with partial pivoting; false when
// the system is singular.
template <std::size_t N>
bool solve(std::array<std::array<double, N>, N> a, std::array<double, N> b, std::array<double, N> &x)
{
    for (std::size_t col = 0; col < N; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < N; ++r) {
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
        }
        if (!(std::fabs(a[pivot][col]) > 0)) return false;
        std::swap(a[col], a[pivot]);
        std::swap(b[col], b[pivot]);
        for (std::size_t r = col + 1; r < N; ++r) {
            const double f = a[r][col] / a[col][col];
            for (std::size_t c = col; c < N; ++c) a[r][c] -= f * a[col][c];
            b[r] -= f * b[col];
        }
    }
    for (std::size_t i = N; i-- > 0;) {
        double s = b[i];
        for (std::size_t c = i + 1; c < N; ++c) s -= a[i][c] * x[c];
        x[i] = s / a[i][i];
    }
    return std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
}

// y = a (f - centre)^2 + b (f - centre) + c by weighted least squares.
struct Parabola {
    double centre = 0, a = 0, b = 0, c = 0;
    double vertex() const { return centre - b / (2 * a); }
    double lowest() const { return c - b * b / (4 * a); }
};

std::optional<Parabola> fit_parabola(const std::vector<double> &f, const std::vector<double> &y,
                                     const std::vector<double> &w)
{
    Parabola p;
    for (double v : f) p.centre += v / static_cast<double>(f.size());
    double scale = 0;
    for (double v : f) scale = std::max(scale, std::fabs(v - p.centre));
    if (f.size() < 3 || !(scale > 0)) return std::nullopt;
    std::array<std::array<double, 3>, 3> m{};
    std::array<double, 3> r{}, x{};
    for (std::size_t i = 0; i < f.size(); ++i) {
        const double u = (f[i] - p.centre) / scale;
        const std::array<double, 3> basis{u * u, u, 1};
        for (std::size_t j = 0; j < 3; ++j) {
            r[j] += w[i] * basis[j] * y[i];
            for (std::size_t k = 0; k < 3; ++k) m[j][k] += w[i] * basis[j] * basis[k];
        }
    }
    if (!solve(m, r, x)) return std::nullopt;
    p.a = x[0] / (scale * scale);
    p.b = x[1] / scale;
    p.c = x[2];
    return p;
}

std::size_t highest(const std::vector<CrystalReading> &readings)
{
    return static_cast<std::size_t>(
        std::max_element(readings.begin(), readings.end(),
                         [](const CrystalReading &a, const CrystalReading &b) { return a.db < b.db; }) -
        readings.begin());
}

// The fit's unknowns, scaled so that one step of each is about as large.
constexpr std::size_t kUnknowns = 4;
using Unknowns = std::array<double, kUnknowns>; // fs (Hz), Rm (ohm), ln Lm, C0 (pF)

CrystalModel model_of(const Unknowns &u)
{
    return {u[0], std::max(u[1], kMinRm), std::exp(u[2]), std::max(u[3], 0.0) * kPicofarad};
}

double cost(const std::vector<CrystalReading> &readings, double fixture, const Unknowns &u)
{
    const CrystalModel m = model_of(u);
    double s = 0;
    for (const CrystalReading &r : readings) s += std::pow(r.db - m.db(r.hz, fixture), 2);
    return s;
}

// The -3 dB points of the model on either side of its peak, by bisection.
double half_power_point(const CrystalModel &m, double fixture, double peak_hz, double peak_db, double step)
{
    double inside = peak_hz, outside = peak_hz + step;
    for (int i = 0; i < 60 && m.db(outside, fixture) > peak_db - 3.0103; ++i) outside += step;
    for (int i = 0; i < 80; ++i) {
        const double mid = (inside + outside) / 2;
        (m.db(mid, fixture) > peak_db - 3.0103 ? inside : outside) = mid;
    }
    return (inside + outside) / 2;
}

std::string number(const char *format, double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string csv_field(const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

} // namespace

double CrystalModel::cm() const { return 1 / (std::pow(2 * kPi * fs, 2) * lm); }

double CrystalModel::db(double hz, double fixture_ohms) const
{
    const double w = 2 * kPi * hz;
    const std::complex<double> arm(std::max(rm, kMinRm), w * lm - 1 / (w * cm()));
    const std::complex<double> z = 1.0 / (1.0 / arm + std::complex<double>(0, w * c0));
    return 20 * std::log10(2 * fixture_ohms / std::abs(2 * fixture_ohms + z));
}

std::optional<CrystalModel> estimate_series(const std::vector<CrystalReading> &readings, double fixture_ohms)
{
    if (readings.size() < 3) return std::nullopt;
    const std::size_t k = highest(readings);
    if (k == 0 || k + 1 == readings.size()) return std::nullopt;
    std::size_t lo = k - 1, hi = k + 1;
    while (lo > 0 && readings[lo - 1].db > readings[k].db - 3) --lo;
    while (hi + 1 < readings.size() && readings[hi + 1].db > readings[k].db - 3) ++hi;
    std::vector<double> f, y, w;
    for (std::size_t i = lo; i <= hi; ++i) {
        const double inverse = std::pow(10.0, -readings[i].db / 10);
        f.push_back(readings[i].hz);
        y.push_back(inverse);
        w.push_back(1 / (inverse * inverse)); // the same relative error at every point
    }
    const auto p = fit_parabola(f, y, w);
    if (!p || !(p->a > 0)) return std::nullopt;
    CrystalModel m;
    m.fs = p->vertex();
    m.rm = std::max(2 * fixture_ohms * (std::sqrt(std::max(p->lowest(), 0.0)) - 1), kMinRm);
    m.lm = fixture_ohms * std::sqrt(p->a) / (2 * kPi);
    if (!(m.fs > readings[lo].hz && m.fs < readings[hi].hz) || !(m.lm > 0)) return std::nullopt;
    return m;
}

CrystalModel fit_series(const std::vector<CrystalReading> &readings, double fixture_ohms, CrystalModel start,
                        bool fit_c0)
{
    Unknowns u{start.fs, start.rm, std::log(start.lm), start.c0 / kPicofarad};
    const Unknowns step{1e-3, 1e-4, 1e-6, 1e-4};
    const std::size_t n = fit_c0 ? 4 : 3;
    double lambda = 1e-3, now = cost(readings, fixture_ohms, u);
    for (int iteration = 0; iteration < 100; ++iteration) {
        // Jacobian of the model's dB by central differences.
        std::array<std::array<double, kUnknowns>, kUnknowns> jtj{};
        std::array<double, kUnknowns> jtr{};
        for (const CrystalReading &r : readings) {
            std::array<double, kUnknowns> d{};
            for (std::size_t j = 0; j < n; ++j) {
                Unknowns up = u, down = u;
                up[j] += step[j];
                down[j] -= step[j];
                d[j] = (model_of(up).db(r.hz, fixture_ohms) - model_of(down).db(r.hz, fixture_ohms)) / (2 * step[j]);
            }
            const double residual = r.db - model_of(u).db(r.hz, fixture_ohms);
            for (std::size_t j = 0; j < n; ++j) {
                jtr[j] += d[j] * residual;
                for (std::size_t k = 0; k < n; ++k) jtj[j][k] += d[j] * d[k];
            }
        }
        for (std::size_t j = n; j < kUnknowns; ++j) jtj[j][j] = 1; // held: no step
        bool better = false;
        for (int attempt = 0; attempt < 20 && !better; ++attempt) {
            auto damped = jtj;
            for (std::size_t j = 0; j < n; ++j) damped[j][j] *= 1 + lambda;
            std::array<double, kUnknowns> delta{};
            if (!solve(damped, jtr, delta)) break;
            Unknowns next = u;
            for (std::size_t j = 0; j < n; ++j) next[j] += delta[j];
            next[1] = std::max(next[1], kMinRm);
            next[3] = std::max(next[3], 0.0);
            const double c = cost(readings, fixture_ohms, next);
            if (c < now) {
                better = true;
                const bool converged = now - c < 1e-12 * (1 + now);
                u = next;
                now = c;
                lambda = std::max(lambda / 3, 1e-9);
                if (converged) return model_of(u);
            } else {
                lambda *= 4;
            }
        }
        if (!better) break;
    }
    return model_of(u);
}

std::optional<double> find_parallel(const std::vector<CrystalReading> &readings, double fs)
{
    if (readings.size() < 3) return std::nullopt;
    const std::size_t k = static_cast<std::size_t>(
        std::min_element(readings.begin(), readings.end(),
                         [](const CrystalReading &a, const CrystalReading &b) { return a.db < b.db; }) -
        readings.begin());
    if (k == 0 || k + 1 == readings.size() || !(readings[k].hz > fs)) return std::nullopt;
    const double window = (readings[k].hz - fs) / 16;
    std::size_t lo = k - 1, hi = k + 1;
    while (lo > 0 && readings[k].hz - readings[lo - 1].hz <= window) --lo;
    while (hi + 1 < readings.size() && readings[hi + 1].hz - readings[k].hz <= window) ++hi;
    std::vector<double> f, y, w;
    for (std::size_t i = lo; i <= hi; ++i) {
        f.push_back(readings[i].hz);
        y.push_back(std::pow(10.0, readings[i].db / 10));
        w.push_back(1);
    }
    const auto p = fit_parabola(f, y, w);
    if (!p || !(p->a > 0) || !(p->vertex() > readings[lo].hz && p->vertex() < readings[hi].hz)) {
        return readings[k].hz;
    }
    return p->vertex();
}

double fit_holder(const std::vector<CrystalReading> &readings, double fixture_ohms, CrystalModel m)
{
    // The power of each point less the model's; their mean is the floor.
    const auto cost = [&](double c0) {
        m.c0 = c0;
        std::vector<double> excess;
        double floor = 0;
        for (const CrystalReading &r : readings) {
            excess.push_back(std::pow(10.0, r.db / 10) - std::pow(10.0, m.db(r.hz, fixture_ohms) / 10));
            floor += excess.back() / static_cast<double>(readings.size());
        }
        double s = 0;
        for (double e : excess) s += (e - floor) * (e - floor);
        return s;
    };
    const double around = m.c0;
    double a = around * 0.8, b = around * 1.25;
    for (int i = 0; i < 80; ++i) {
        const double c = b - (b - a) * 0.618034, d = a + (b - a) * 0.618034;
        if (cost(c) < cost(d)) {
            b = d;
        } else {
            a = c;
        }
    }
    return (a + b) / 2;
}

double holder_capacitance(double fp, double fs, double cm) { return cm / ((fp / fs) * (fp / fs) - 1); }

std::optional<CrystalParameters> analyse_crystal(const std::vector<CrystalReading> &series,
                                                 const std::vector<CrystalReading> &parallel, double fixture_ohms)
{
    const auto start = estimate_series(series, fixture_ohms);
    if (!start) return std::nullopt;
    CrystalModel m = fit_series(series, fixture_ohms, *start, true);
    std::optional<double> fp;
    if (!parallel.empty()) fp = find_parallel(parallel, m.fs);
    if (fp) {
        // C0 from the notch, fitted around the parabola's; C0 moves fs, and
        // fs and Cm move C0: a few rounds settle both.
        m.c0 = holder_capacitance(*fp, m.fs, m.cm());
        for (int round = 0; round < 4; ++round) {
            m.c0 = fit_holder(parallel, fixture_ohms, m);
            m = fit_series(series, fixture_ohms, m, false);
        }
        fp = m.fs * std::sqrt(1 + m.cm() / m.c0);
    }
    CrystalParameters p;
    p.fixture_ohms = fixture_ohms;
    p.fs_hz = m.fs;
    p.rm_ohm = m.rm;
    p.lm_h = m.lm;
    p.cm_f = m.cm();
    p.qu = 2 * kPi * m.fs * m.lm / m.rm;
    if (fp) {
        p.fp_hz = fp;
        p.c0_f = m.c0;
    }
    // The fitted response's peak (golden section) and -3 dB points.
    const double width = m.fs * (2 * fixture_ohms + m.rm) / (2 * kPi * m.fs * m.lm);
    double a = m.fs - width, b = m.fs + width;
    for (int i = 0; i < 100; ++i) {
        const double c = b - (b - a) * 0.618034, d = a + (b - a) * 0.618034;
        if (m.db(c, fixture_ohms) > m.db(d, fixture_ohms)) {
            b = d;
        } else {
            a = c;
        }
    }
    p.peak_hz = (a + b) / 2;
    p.peak_db = m.db(p.peak_hz, fixture_ohms);
    const double lower = half_power_point(m, fixture_ohms, p.peak_hz, p.peak_db, -width / 4);
    const double upper = half_power_point(m, fixture_ohms, p.peak_hz, p.peak_db, width / 4);
    p.bandwidth_hz = upper - lower;
    p.ql = p.peak_hz / p.bandwidth_hz;
    return p;
}

std::optional<CrystalParameters> analyse_crystal_sweep(const std::vector<CrystalReading> &sweep, double fixture_ohms,
                                                       bool parallel)
{
    if (sweep.empty()) return std::nullopt;
    const std::size_t k = highest(sweep);
    std::size_t lo = k, hi = k;
    while (lo > 0 && sweep[lo - 1].db > sweep[k].db - 15) --lo;
    while (hi + 1 < sweep.size() && sweep[hi + 1].db > sweep[k].db - 15) ++hi;
    const std::vector<CrystalReading> series(sweep.begin() + static_cast<std::ptrdiff_t>(lo),
                                             sweep.begin() + static_cast<std::ptrdiff_t>(hi) + 1);
    std::vector<CrystalReading> above;
    if (parallel) above.assign(sweep.begin() + static_cast<std::ptrdiff_t>(hi) + 1, sweep.end());
    return analyse_crystal(series, above, fixture_ohms);
}

std::string CrystalParameters::text() const
{
    std::string t = "fs " + number("%.2f", fs_hz) + " Hz, Rm " + number("%.2f", rm_ohm) + " ohm, Lm " +
        number("%.6g", lm_h * 1e3) + " mH, Cm " + number("%.6g", cm_f * 1e15) + " fF\n";
    t += "Qu " + number("%.0f", qu) + ", QL " + number("%.0f", ql) + " (-3 dB bandwidth " +
        format_frequency(bandwidth_hz) + " in a " + number("%g", fixture_ohms) + " ohm fixture; peak " +
        number("%.2f", peak_db) + " dB)\n";
    if (fp_hz && c0_f) {
        t += "fp " + number("%.2f", *fp_hz) + " Hz (" + format_frequency(*fp_hz - fs_hz) + " above fs), C0 " +
            number("%.3g", *c0_f / kPicofarad) + " pF\n";
    }
    return t;
}

std::string CrystalParameters::csv_row(const std::string &label) const
{
    std::string row = csv_field(label) + "," + number("%.3f", fs_hz) + ",";
    if (fp_hz) row += number("%.3f", *fp_hz);
    row += "," + number("%.4f", rm_ohm) + "," + number("%.6e", lm_h) + "," + number("%.6e", cm_f) + ",";
    if (c0_f) row += number("%.6e", *c0_f);
    return row + "," + number("%.0f", qu) + "," + number("%.0f", ql);
}

} // namespace snt
