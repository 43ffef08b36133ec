// Where the content of the chip's flash is kept beyond the board: a file
// that the shell keeps, storage of a browser's, a test's memory. The flash
// model holds the bytes it serves; a store gives them at the start and
// keeps every change. The region a store covers is the flash model's to
// say: today the settings page, later the whole program flash.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

class FlashStore {
public:
    virtual ~FlashStore() = default;

    // Fills the region's `size` bytes with what is kept; false when nothing
    // is kept yet, and the region starts erased. Throws, with the store's
    // own error, when what is kept cannot be read as the region.
    virtual bool load(std::uint8_t *bytes, std::size_t size) = 0;

    // Keeps the region's new content, all `size` bytes of it, before the
    // erase or program that changed it counts as done. Throws when it
    // cannot; the model's content has changed all the same.
    virtual void store(const std::uint8_t *bytes, std::size_t size) = 0;
};

} // namespace sim
