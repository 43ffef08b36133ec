#include "board/peripherals/guest_error.h"

#include <cstdio>

namespace sim {

std::string describe(const GuestError &e)
{
    char buf[96];
    if (e.is_write) {
        std::snprintf(buf, sizeof buf, " write of 0x%X to unimplemented offset 0x%X", static_cast<unsigned>(e.value),
                      static_cast<unsigned>(e.offset));
    } else {
        std::snprintf(buf, sizeof buf, " read of unimplemented offset 0x%X", static_cast<unsigned>(e.offset));
    }
    return e.device + buf;
}

bool GuestErrorLog::add(const GuestError &e)
{
    ++count_;
    if (!seen_.emplace(e.device, e.offset).second) return false;
    firsts_.push_back(e);
    return true;
}

} // namespace sim
