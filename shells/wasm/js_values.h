// What the module's bindings share: refusals thrown to JavaScript as Error,
// bytes and numbers handed over as typed arrays.
#pragma once

#include <emscripten/val.h>

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace snt_wasm {

using emscripten::val;

// Throws a JavaScript Error with the message of `e`.
[[noreturn]] inline void throw_to_js(const std::exception &e)
{
    val::global("Error").new_(std::string(e.what())).throw_();
    __builtin_unreachable();
}

// Runs `f`, turning what it throws into a JavaScript Error.
template <typename F>
auto or_throw(F &&f) -> decltype(f())
{
    try {
        return f();
    } catch (const std::exception &e) {
        throw_to_js(e);
    }
}

// A copy of `bytes` as a Uint8Array.
inline val bytes_to_js(const std::string &bytes)
{
    const auto view = emscripten::typed_memory_view(bytes.size(), reinterpret_cast<const std::uint8_t *>(bytes.data()));
    return val::global("Uint8Array").new_(view); // a copy: the view dies with `bytes`
}

// A copy of `values` as a typed array of the same element type
// ("Float64Array", "Uint32Array").
template <typename T>
val array_to_js(const std::vector<T> &values, const char *type)
{
    return val::global(type).new_(emscripten::typed_memory_view(values.size(), values.data()));
}

// Lines of text as an array of strings, in one call across the boundary.
inline val lines_to_js(const std::string &joined)
{
    if (joined.empty()) return val::array();
    return val(joined).call<val>("split", val("\n"));
}

inline bool present(const val &v) { return !v.isUndefined() && !v.isNull(); }

} // namespace snt_wasm
