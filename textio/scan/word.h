// The portable block: eight bytes in a 64-bit integer, plain C++ in either byte order, for the
// processors that have no block of their own, and for the last bytes of a text on those that do.
#pragma once

#include "textio/scan/block.h"

namespace mirzet::scan {
inline namespace MIRZET_SCAN_VARIANT {

// Eight bytes at a time in a 64-bit integer: portable C++, no intrinsics, either byte order. The
// mask keeps the high bit of each matching byte.
struct WordBlock : SpacedMask<std::uint64_t, 8> {
    static_assert(std::endian::native == std::endian::little ||
                      std::endian::native == std::endian::big,
                  "a word's bytes are in one of the two orders");
    using Bytes = std::uint64_t;
    static constexpr std::uint32_t SIZE = 8;
    static constexpr WriteStep WRITE = WriteStep::STORE_AGAIN;
    static constexpr ReadStep READ = ReadStep::CR_BY_CR;
    static constexpr ReadSearch SEARCH = ReadSearch::CTRL_Z_THEN_CR;

    static Bytes load(const char* from) {
        Bytes bytes;
        std::memcpy(&bytes, from, SIZE);
        return bytes;
    }
    static void store(char* to, Bytes bytes) { std::memcpy(to, &bytes, SIZE); }
    template <char C>
    static Mask mask(Bytes bytes) {
        // A byte of x is zero exactly when its high bit stays clear after adding 0x7F to its low
        // seven bits and or-ing x back: no carry runs between bytes, so there are no false hits.
        constexpr std::uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
        const std::uint64_t x = bytes ^ (0x0101010101010101ull * static_cast<unsigned char>(C));
        return in_memory_order(~(((x & LOW7) + LOW7) | x | LOW7));
    }

  private:
    // A big-endian word holds its first byte at the high end: the mask is turned round so that
    // the first byte's bit is the lowest on every machine.
    static Mask in_memory_order(Mask mask) {
        if constexpr (std::endian::native == std::endian::big)
            return __builtin_bswap64(mask);
        else
            return mask;
    }
};
static_assert(ByteBlock<WordBlock>);

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
