// The firmware's globals and functions in a loaded host build, with the
// types its own headers declare (board/cpu/firmware_symbol.h):
//
//   SNT_FW(module, name)   the global or function `name` in the module: an
//                          lvalue of its declared type (`T &`, an array
//                          reference, or a function to call)
#pragma once

#include "board/cpu/firmware_symbol.h"
#include "shells/sim/firmware_module.h"

namespace sim {

// Where `symbol` is in a loaded host build.
template <typename T>
T &in_module(FirmwareSymbol<T> symbol, const FirmwareModule &module)
{
    return *module.get<T>(symbol.name);
}

} // namespace sim

#define SNT_FW(module, symbol) (::sim::in_module(SNT_FW_SYMBOL(symbol), module))
