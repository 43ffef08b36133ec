#include "core/analysis/crystal_match.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "core/analysis/frequency.h"

namespace snt {

namespace {

std::string hz_text(double hz)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.2f Hz", hz);
    return buf;
}

} // namespace

std::vector<CrystalGroup> match_crystals(const std::vector<double> &fs, double tolerance_hz)
{
    if (!(tolerance_hz >= 0) || !std::isfinite(tolerance_hz)) {
        throw InputError("match tolerance: must be a number of hertz, 0 or more");
    }
    std::vector<std::size_t> left(fs.size());
    std::iota(left.begin(), left.end(), 0);
    std::stable_sort(left.begin(), left.end(), [&](std::size_t a, std::size_t b) { return fs[a] < fs[b]; });
    std::vector<CrystalGroup> groups;
    for (;;) {
        // The widest window of the crystals left, by two pointers.
        std::size_t best_from = 0, best_count = 0;
        double best_spread = 0;
        for (std::size_t from = 0, to = 0; from < left.size(); ++from) {
            to = std::max(to, from);
            while (to + 1 < left.size() && fs[left[to + 1]] - fs[left[from]] <= tolerance_hz) ++to;
            const std::size_t count = to - from + 1;
            const double spread = fs[left[to]] - fs[left[from]];
            if (count > best_count || (count == best_count && spread < best_spread)) {
                best_from = from;
                best_count = count;
                best_spread = spread;
            }
        }
        if (best_count < 2) break;
        const auto first = left.begin() + static_cast<std::ptrdiff_t>(best_from);
        const auto last = first + static_cast<std::ptrdiff_t>(best_count);
        groups.push_back({std::vector<std::size_t>(first, last), best_spread});
        left.erase(first, last);
    }
    std::stable_sort(groups.begin(), groups.end(), [](const CrystalGroup &a, const CrystalGroup &b) {
        if (a.spread_hz != b.spread_hz) return a.spread_hz < b.spread_hz;
        return a.members.size() > b.members.size();
    });
    return groups;
}

std::string match_text(const std::vector<CrystalGroup> &groups, const std::vector<std::string> &labels,
                       const std::vector<double> &fs, double tolerance_hz)
{
    std::string t;
    std::vector<bool> grouped(fs.size(), false);
    for (std::size_t g = 0; g < groups.size(); ++g) {
        t += "group " + std::to_string(g + 1) + ": " + std::to_string(groups[g].members.size()) + " within " +
            hz_text(groups[g].spread_hz) + ":";
        for (std::size_t i = 0; i < groups[g].members.size(); ++i) {
            const std::size_t m = groups[g].members[i];
            grouped[m] = true;
            t += (i == 0 ? " " : ", ") + labels.at(m) + " " + hz_text(fs[m]);
        }
        t += "\n";
    }
    std::string alone;
    for (std::size_t i = 0; i < fs.size(); ++i) {
        if (!grouped[i]) alone += (alone.empty() ? " " : ", ") + labels.at(i) + " " + hz_text(fs[i]);
    }
    if (groups.empty()) t += "no two crystals within " + hz_text(tolerance_hz) + " of each other\n";
    if (!alone.empty()) t += "matched with none:" + alone + "\n";
    return t;
}

} // namespace snt
