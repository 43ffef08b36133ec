// The sweep settings as a user types them into a page's fields (start,
// stop, points or step, linear or log), checked as the command line checks
// --start, --stop, --points, --step and --log, with the same messages; a
// refusal names the field it is about, so a page can put it beside it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "core/analysis/frequency.h"
#include "core/analysis/sweep.h"

namespace snt {

struct SweepSettings {
    std::string start, stop, points, step;
    std::string scale; // "linear" (or empty) or "log"
};

// A refusal of one field: "start", "stop", "points", "step" or "scale".
class SettingsError : public InputError {
public:
    SettingsError(const std::string &what, std::string field) : InputError(what), field_(std::move(field)) {}
    const std::string &field() const { return field_; }

private:
    std::string field_;
};

// The plan the settings ask for; throws SettingsError.
SweepPlan plan_of(const SweepSettings &settings);

// The crystal frequency a user counted, to store with `x`: whole hertz
// within what the tester accepts; throws InputError.
std::uint32_t parse_crystal(const std::string &text);

} // namespace snt
