#include "shells/snt/sweep_files.h"

#include <cstdio>
#include <stdexcept>

#include "shells/snt/interrupt.h"
#include "shells/snt/sweep_io.h"

namespace snt {

SweepFiles::SweepFiles(SweepOutputs outputs) : outputs_(std::move(outputs))
{
    if (!outputs_.plot.empty()) {
        plot_format_ = Plotter::format_of(outputs_.plot);
        Plotter::check_driver(*plot_format_);
    }
    if (!outputs_.save_ref.empty()) {
        save_ref_.emplace("--save-ref", outputs_.save_ref);
        if (gets_record(outputs_.save_ref)) save_ref_record_.emplace("--save-ref", record_path(outputs_.save_ref));
    }
    if (!outputs_.csv.empty()) {
        csv_.emplace("--csv", outputs_.csv);
        if (gets_record(outputs_.csv)) csv_record_.emplace("--csv", record_path(outputs_.csv));
    }
    if (!outputs_.plot.empty()) plot_.emplace("--plot", outputs_.plot);
}

std::vector<std::string> SweepFiles::write(const SweepResult &raw, const SweepView &view, const SweepRecord &record)
{
    std::vector<std::string> written;
    std::optional<std::string> failed;
    const auto attempt = [&](std::optional<OutputFile> &file, const std::string &bytes) {
        if (!file) return;
        try {
            file->write(bytes);
            file->commit();
            written.push_back(file->path());
        } catch (const Interrupted &) {
            throw;
        } catch (const std::runtime_error &e) {
            if (!failed) failed = e.what();
        }
    };
    if (save_ref_) {
        SweepRecord ref_record = record;
        ref_record.reference.clear();
        attempt(save_ref_, raw.csv());
        attempt(save_ref_record_, ref_record.json());
    }
    attempt(csv_, view.csv);
    attempt(csv_record_, record.json());
    if (plot_) {
        PlotOptions options = outputs_.plot_options;
        if (!view.y_label.empty()) options.y_label = view.y_label;
        options.figures = view.figures;
        if (options.y_label.empty())
            options.y_label =
                outputs_.ref.empty() ? "dB (relative to full scale)" : "dB (relative to " + outputs_.ref + ")";
        if (options.title.empty()) options.title = Plotter::title(view.plotted, outputs_.dut);
        options.log_x = options.log_x || record.plan.log;
        try {
            attempt(plot_, Plotter::render({{"", view.plotted}}, *plot_format_, options));
        } catch (const Interrupted &) {
            throw;
        } catch (const std::runtime_error &e) {
            if (!failed) failed = e.what();
        }
    }
    if (failed) throw std::runtime_error(*failed);
    return written;
}

std::optional<std::string> SweepFiles::partial_path() const
{
    if (!outputs_.csv.empty()) return outputs_.csv + ".partial";
    if (!outputs_.save_ref.empty()) return outputs_.save_ref + ".partial";
    if (!outputs_.plot.empty()) {
        const std::string &p = outputs_.plot;
        const auto dot = p.rfind('.');
        return p.substr(0, dot) + ".csv.partial";
    }
    return std::nullopt;
}

std::vector<std::string> SweepFiles::write_partial(const SweepResult &result, const SweepRecord &record) const
{
    const auto path = partial_path();
    if (!path) return {};
    SweepRecord r = record;
    r.partial = true;
    OutputFile csv("partial sweep", *path);
    OutputFile json("partial sweep", record_path(*path));
    csv.write(result.csv());
    csv.commit();
    json.write(r.json());
    json.commit();
    return {*path, record_path(*path)};
}

} // namespace snt
