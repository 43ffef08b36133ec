// The firmware's globals and functions, named from outside it with the types
// its own headers declare, for either CPU.
//
//   SNT_FW_SYMBOL(name)    FirmwareSymbol<T>: the C name of `name` and its
//                          declared type
//   SNT_FW_NAME(name)      its symbol name, for look-ups in the chip image
//
// Each expands to `decltype(::name)`: a name the firmware no longer declares
// fails to compile, and a changed type changes what is read. Only the
// headers below are seen, which need nothing but <stdint.h>; the firmware's
// device header stays out of the board's code. (The host build's loaded
// module is reached with SNT_FW, shells/sim/firmware_symbols.h.)
#pragma once

#include <type_traits>

#include "level_text.h"
#include "main_state.h"
#include "si5351a.h"
#include "stm32f0xx_it.h"
#include "stm32f0xx_ll_utils.h"
#include "system_stm32f0xx.h"

namespace sim {

template <typename T>
struct FirmwareSymbol {
    using Type = T;
    const char *name;

    // Bytes it takes in the chip image. Only scalars have the same width on
    // the chip as on the host (a pointer or a long does not).
    static constexpr unsigned chip_size()
    {
        static_assert(std::is_arithmetic_v<std::remove_cv_t<T>> && sizeof(T) <= 4,
                      "only a scalar of at most 32 bits reads alike from both builds");
        return sizeof(T);
    }
};

} // namespace sim

// (The parameter is not called `name`: it would replace the member's.)
#define SNT_FW_SYMBOL(symbol) (::sim::FirmwareSymbol<decltype(::symbol)>{#symbol})
#define SNT_FW_NAME(symbol)   (SNT_FW_SYMBOL(symbol).name)
