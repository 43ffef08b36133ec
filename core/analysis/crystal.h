// A quartz crystal's parameters from its response in a test fixture: the
// crystal in series between a source and a load of the same resistance R
// (50 ohm, or 12.5 ohm through transformers), levels in dB against the
// fixture's thru (the crystal's place shorted). The model:
//
//   H(f) = 2R / (2R + Z),   Z = Zm || 1/(j w C0),
//   Zm   = Rm + j (w Lm - 1 / (w Cm)),   fs = 1 / (2 pi sqrt(Lm Cm))
//
// - fs, Rm and Lm come from a least-squares fit of the model, in dB, to
//   the points around the series peak, started from a parabola through
//   1/|H|^2, which is ((2R + Rm)^2 + X^2) / 4R^2 with X = 4 pi Lm (f - fs)
//   near fs: its vertex gives fs, its lowest value Rm (|H| = 2R / (2R + Rm)
//   at fs) and its curvature 4 pi^2 Lm^2 / R^2 gives Lm. Cm = 1 / (w_s^2 Lm).
// - C0 shifts the peak away from fs (by tens of hertz for a few picofarads)
//   and tilts it, so the fit takes C0 into account: as a fourth fitted
//   parameter, and then from the parallel resonance when it was measured
//   (the fitted C0 alone only places fs; it is not reported as measured).
// - fp: first the vertex of a parabola through the power |H|^2 around the
//   notch, where the power falls as (f - fp)^2 to the noise floor, which
//   only adds a constant; then C0 fitted to the power around the notch
//   (the floor as a constant of the fit), which the parabola's slight
//   asymmetry would otherwise bias by a few tenths of a percent, and
//   fp = fs sqrt(1 + Cm / C0).
// - Loaded Q = the peak's frequency / its -3 dB bandwidth (of the fitted
//   response); unloaded Q = 2 pi fs Lm / Rm.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace snt {

// One point of a crystal's response: its frequency, and dB against the
// fixture's thru.
struct CrystalReading {
    double hz = 0;
    double db = 0;
};

// The motional arm and the holder capacitance.
struct CrystalModel {
    double fs = 0, rm = 0, lm = 0;
    double c0 = 0; // 0: left out
    double cm() const;
    // 20 log10 |H(hz)| in a fixture of `fixture_ohms` each side.
    double db(double hz, double fixture_ohms) const;
};

struct CrystalParameters {
    double fixture_ohms = 50;
    double fs_hz = 0, rm_ohm = 0, lm_h = 0, cm_f = 0;
    double qu = 0, ql = 0;
    // The fitted response's highest point and -3 dB bandwidth.
    double peak_hz = 0, peak_db = 0, bandwidth_hz = 0;
    // Only when the parallel resonance was measured.
    std::optional<double> fp_hz, c0_f;

    // A few lines for people.
    std::string text() const;
    // label,fs_hz,fp_hz,rm_ohm,lm_h,cm_f,c0_f,qu,ql: fp_hz and c0_f empty
    // when not measured; the label quoted as CSV wants when it holds a
    // comma, a quote or a line break.
    std::string csv_row(const std::string &label) const;
};

// The header of the rows csv_row gives, without a line feed.
constexpr const char *kCrystalCsvHeader = "label,fs_hz,fp_hz,rm_ohm,lm_h,cm_f,c0_f,qu,ql";

// fs, Rm and Lm from a parabola through 1/|H|^2 at the highest point and
// its neighbours within 3 dB (at least one each side): nullopt when the
// highest point is at either end or the points make no peak.
std::optional<CrystalModel> estimate_series(const std::vector<CrystalReading> &readings, double fixture_ohms);

// The model fitted to `readings` (least squares in dB, Levenberg-Marquardt)
// from `start`: fs, Rm and Lm, with C0 held at start.c0, or fitted too.
CrystalModel fit_series(const std::vector<CrystalReading> &readings, double fixture_ohms, CrystalModel start,
                        bool fit_c0);

// The parallel resonance from points around the notch above `fs`: the
// vertex of a parabola in power through the lowest point and its
// neighbours within 1/16 of its distance from fs. nullopt when the lowest
// point is at either end of the readings (no notch inside them).
std::optional<double> find_parallel(const std::vector<CrystalReading> &readings, double fs);

// C0 from fp, fs and Cm.
double holder_capacitance(double fp, double fs, double cm);

// C0 fitted to the power of points around the notch (least squares, the
// noise floor a constant added to every point), the rest of `m` held,
// within -20 % and +25 % of m.c0.
double fit_holder(const std::vector<CrystalReading> &readings, double fixture_ohms, CrystalModel m);

// Everything from the points around the series peak and, when measured,
// those around the parallel resonance (empty: not measured). nullopt when
// the series points show no peak.
std::optional<CrystalParameters> analyse_crystal(const std::vector<CrystalReading> &series,
                                                 const std::vector<CrystalReading> &parallel, double fixture_ohms);

// The same from one sweep holding both: the series points are those around
// the highest within 15 dB of it, the parallel ones everything above them
// (when `parallel`).
std::optional<CrystalParameters> analyse_crystal_sweep(const std::vector<CrystalReading> &sweep, double fixture_ohms,
                                                       bool parallel);

} // namespace snt
