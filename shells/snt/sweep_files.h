// The files of one sweep: the CSV, the reference, the plot, and beside each
// CSV its record (FILE.json). Every one is checked and reserved before the
// first command goes to the device, then written whole and put in place on
// its own, so one that fails does not cost the others.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/analysis/sweep.h"
#include "core/analysis/sweep_record.h"
#include "core/analysis/sweep_view.h"
#include "shells/snt/output.h"
#include "shells/snt/plotter.h"

namespace snt {

// What a sweep asked for, as far as its files and plot go.
struct SweepOutputs {
    std::string csv, plot, save_ref; // empty: not asked for
    std::string ref;                 // the reference's path, for labels
    PlotOptions plot_options;        // title and y label are filled in here
    std::string dut;                 // for the plot's title
};

// What goes into the CSV and the plot (SweepView): the CSV's text, and the
// trace to draw with its axis label (empty: dB against full scale or the
// reference).
class SweepFiles {
public:
    // Checks and reserves every file (InputError with the reason).
    explicit SweepFiles(SweepOutputs outputs);

    // Writes the reference (the raw levels), the CSV and the plot `view`
    // gives, each CSV with its record. Returns the files written; throws
    // std::runtime_error with the first failure once every file has been
    // tried.
    std::vector<std::string> write(const SweepResult &raw, const SweepView &view, const SweepRecord &record);

    // Where the points of a sweep that did not finish go: the CSV's name
    // (else the reference's) plus ".partial", or the plot's name with
    // ".csv.partial" in place of its extension; nothing when the CSV was
    // for standard output only.
    std::optional<std::string> partial_path() const;
    // Writes the points measured so far there, with its record. Returns the
    // files written.
    std::vector<std::string> write_partial(const SweepResult &result, const SweepRecord &record) const;

private:
    SweepOutputs outputs_;
    std::optional<Plotter::Format> plot_format_;
    std::optional<OutputFile> csv_, csv_record_, plot_, save_ref_, save_ref_record_;
};

} // namespace snt
