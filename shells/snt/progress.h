// Progress of a long sweep on standard error: a percentage updated in
// place on a terminal, a line every tenth otherwise.
#pragma once

#include <cstdint>

namespace snt {

class Progress {
public:
    // Sweeps expected to take less than about a second show nothing.
    explicit Progress(std::uint32_t total_points);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void update(std::uint32_t done);

private:
    std::uint32_t total_;
    bool enabled_, terminal_;
    int last_percent_ = -1;
    bool line_open_ = false;
};

} // namespace snt
