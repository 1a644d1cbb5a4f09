// The x86-64 block of the processors with AVX-512 and its VBMI2 expand and compress: the AVX2
// block, with a CR put before each LF, and a pair's CR dropped, by one instruction a block. Built
// only into the AVX-512 build of the loops (textio/scan/avx512.cpp), which a program chooses at
// run time where the processor has it.
#pragma once

#include "textio/scan/avx2.h"

#if !MIRZET_SCAN_PORTABLE && defined(MIRZET_SCAN_FOR_AVX512)
namespace mirzet::scan {
inline namespace MIRZET_SCAN_VARIANT {

// Where the text's bytes go when each LF takes two places, its CR's and its own, and every other
// byte one: spread the LFs over the even bits of a pair of places a byte, set every odd bit, and
// keep the odd bits' places among those set. A mask of 32 + popcount(lfs) bits, the first place
// lowest.
inline std::uint64_t places_of_bytes(std::uint32_t lfs) {
    constexpr std::uint64_t EVEN = 0x5555555555555555, ODD = 0xAAAAAAAAAAAAAAAA;
    return _pext_u64(ODD, _pdep_u64(lfs, EVEN) | ODD);
}

struct Avx512Block : Avx2Block {
    // The block's bytes expanded into a register of CRs at their places: one store of 64 bytes,
    // of which the first SIZE + count(lfs) count. The expand merges into a register of CRs that
    // it needs anyway, not a zeroed one, which some processors would first wait for.
    static constexpr std::uint32_t WITH_CRS_REACH = 64;
    static std::uint32_t store_with_crs(char* to, Bytes bytes, Mask lfs) {
        const __m512i out = _mm512_mask_expand_epi8(_mm512_set1_epi8(CR), places_of_bytes(lfs),
                                                    _mm512_castsi256_si512(bytes));
        _mm512_storeu_si512(to, out);
        return SIZE + count(lfs);
    }

    // The kept bytes compressed to the front of the block's own register, then stored: the
    // compress that stores to memory is slow on some processors, and merging into the register
    // the bytes are in waits for nothing new.
    static std::uint32_t store_without(char* to, Bytes bytes, Mask drops) {
        store(to, _mm256_mask_compress_epi8(bytes, ~drops, bytes));
        return SIZE - count(drops);
    }
};
static_assert(ByteBlock<Avx512Block>);

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
#endif
