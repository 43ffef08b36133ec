// Crystals matched by their series resonance, for a ladder filter: groups
// whose fs all lie within a tolerance of each other.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace snt {

struct CrystalGroup {
    std::vector<std::size_t> members; // indices into the crystals given, in order of fs
    double spread_hz = 0;             // highest fs less lowest
};

// Groups of two or more crystals whose fs lie within `tolerance_hz` of each
// other (highest less lowest). The largest such group is taken out first
// (of two as large, the one of smaller spread), then the largest of those
// left, and so on; so each crystal is in one group at most, and groups are
// as large as they can be. Listed best matched first: by spread, then the
// larger first. Crystals that match none are in no group. InputError for a
// tolerance that is not a number of 0 or more.
std::vector<CrystalGroup> match_crystals(const std::vector<double> &fs, double tolerance_hz);

// One line a group ("group 1: 3 within 4.20 Hz: X1 10000012.30 Hz, X3
// 10000014.10 Hz, X2 10000016.50 Hz"), then one for the crystals in none;
// `labels` name the crystals (the same count as `fs`).
std::string match_text(const std::vector<CrystalGroup> &groups, const std::vector<std::string> &labels,
                       const std::vector<double> &fs, double tolerance_hz);

} // namespace snt
