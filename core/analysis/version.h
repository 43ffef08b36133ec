// The version of snt, and of the firmware it speaks to.
#pragma once

namespace snt {

constexpr const char *kVersion = "1.3.0";

} // namespace snt
