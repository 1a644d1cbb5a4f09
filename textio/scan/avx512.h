// The x86-64 blocks of the processors with AVX-512 and its VBMI2 expand and compress: for the
// write, the AVX2 block with a CR put before each LF by one expand a block; for the read, a block
// of 64 bytes whose pairs' CRs are dropped by one compress. Built only into the AVX-512 build of
// the loops (textio/scan/avx512.cpp), which a program chooses at run time where the processor has
// it.
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

// The write's block: the AVX2 register, stored with its CRs by one expand, which costs less than
// the AVX2 block's shuffles, and than its step of few LFs, whatever the LFs.
struct Avx512Block : Avx2Register {
    static constexpr WriteStep WRITE = WriteStep::WITH_CRS;

    // The block's bytes expanded into a register of CRs at their places: one store of 64 bytes,
    // of which the first SIZE + count(lfs) count. The expand merges into a register of CRs that
    // it needs anyway, not a zeroed one, which some processors would first wait for.
    static constexpr std::uint32_t WITH_CRS_OVERRUN = 64;
    static std::uint32_t store_with_crs(char* to, Bytes bytes, Mask lfs) {
        const __m512i out = _mm512_mask_expand_epi8(_mm512_set1_epi8(CR), places_of_bytes(lfs),
                                                    _mm512_castsi256_si512(bytes));
        _mm512_storeu_si512(to, out);
        return SIZE + count(lfs);
    }
};

// The read's block: sixty-four bytes in one AVX-512 register, with a mask of a bit a byte in a
// mask register, so that a compress drops a block's pairs' CRs for half the instructions a byte
// of the AVX2-wide block. The read stores only over bytes it has read, so its width asks no buffer
// for an overrun; the write, which stores past its bytes, keeps the block above.
struct Avx512ReadBlock : SpacedMask<std::uint64_t, 1> {
    using Bytes = __m512i;
    static constexpr std::uint32_t SIZE = 64;
    static constexpr ReadStep READ = ReadStep::WITHOUT_PAIRS_TO_END;
    static constexpr ReadSearch SEARCH = ReadSearch::CR_OR_CTRL_Z;

    static Bytes load(const char* from) { return _mm512_loadu_si512(from); }
    static void store(char* to, Bytes bytes) { _mm512_storeu_si512(to, bytes); }
    template <char C>
    static Mask mask(Bytes bytes) {
        return _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(C));
    }

    // As the AVX2 block finds them: the next bytes are loaded one byte on, and the compare of
    // the LFs is made only where the first found a CR.
    static Mask pairs(const char* from, Bytes bytes) {
        return _mm512_mask_cmpeq_epi8_mask(_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(CR)),
                                           load(from + 1), _mm512_set1_epi8(LF));
    }

    // A byte from 0x80 up shuffles to 0, which it does not equal. The table is broadcast under
    // a full mask: GCC 12 warns of the unmasked form's undefined register.
    static Mask cr_or_ctrl_z(Bytes bytes) {
        const __m512i table = _mm512_maskz_broadcast_i32x4(
            0xFFFF,
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(CR_OR_CTRL_Z_BY_LOW_BITS.entries)));
        return _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(table, bytes), bytes);
    }
    // Four registers a window, as the AVX2 block takes: a window of two costs more on text with no
    // CR.
    static constexpr std::uint32_t WINDOW = 256;
    template <char C>
    static bool window_holds(const char* from) {
        return (mask<C>(load(from)) | mask<C>(load(from + 64)) | mask<C>(load(from + 128)) |
                mask<C>(load(from + 192))) != 0;
    }
    static bool window_holds_cr_or_ctrl_z(const char* from) {
        return (cr_or_ctrl_z(load(from)) | cr_or_ctrl_z(load(from + 64)) |
                cr_or_ctrl_z(load(from + 128)) | cr_or_ctrl_z(load(from + 192))) != 0;
    }

    // The kept bytes compressed to the front of the block's own register, then stored: the
    // compress that stores to memory is slow on some processors, and merging into the register
    // the bytes are in waits for nothing new.
    static std::uint32_t store_without(char* to, Bytes bytes, Mask drops) {
        store(to, _mm512_mask_compress_epi8(bytes, ~drops, bytes));
        return SIZE - count(drops);
    }

    // The first n bytes, n below SIZE, and zeros after them, and the kept among them stored:
    // masked, so that no byte past them is read or written, and the last bytes before the data's
    // end cost a block, not a byte at a time.
    static Bytes load_first(const char* from, std::uint32_t n) {
        return _mm512_maskz_loadu_epi8(_bzhi_u64(~std::uint64_t{0}, n), from);
    }
    static std::uint32_t store_first_without(char* to, Bytes bytes, Mask drops, std::uint32_t n) {
        const std::uint32_t kept = n - count(drops);
        _mm512_mask_storeu_epi8(to, _bzhi_u64(~std::uint64_t{0}, kept),
                                _mm512_mask_compress_epi8(bytes, ~drops, bytes));
        return kept;
    }
};

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
#endif
