#include "shells/snt/progress.h"

#include <unistd.h>

#include <cstdio>

namespace snt {

namespace {
// About 20 ms a point: 50 points take about a second.
constexpr std::uint32_t kQuietPoints = 50;
} // namespace

Progress::Progress(std::uint32_t total_points)
    : total_(total_points), enabled_(total_points > kQuietPoints), terminal_(::isatty(2) == 1)
{}

Progress::~Progress()
{
    if (line_open_) std::fputc('\n', stderr);
}

void Progress::update(std::uint32_t done)
{
    if (!enabled_ || total_ == 0) return;
    const int percent = static_cast<int>(100.0 * done / total_);
    if (terminal_) {
        if (percent == last_percent_) return;
        std::fprintf(stderr, "\rsweep: %3d%% (%u of %u points)", percent, done, total_);
        line_open_ = done < total_;
        if (!line_open_) std::fputc('\n', stderr);
    } else {
        if (percent / 10 == last_percent_ / 10 && last_percent_ >= 0) return;
        if (percent / 10 == 0) {
            last_percent_ = percent;
            return;
        }
        std::fprintf(stderr, "sweep: %d%% (%u of %u points)\n", percent / 10 * 10, done, total_);
    }
    std::fflush(stderr);
    last_percent_ = percent;
}

} // namespace snt
