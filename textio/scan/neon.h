// The AArch64 block: two NEON registers, the one-pass search for a CR or a Ctrl-Z, and a block
// stored with a CR before each LF, or without the CRs of its pairs, in the same work whatever its
// line ends.
#pragma once

#include "textio/scan/block.h"

// Whether the block for NEON is built: on AArch64, where every processor has NEON, in the
// little-endian order the mask's fold was written and tested for; unless the build forces the
// portable block.
#if !MIRZET_SCAN_PORTABLE && defined(__aarch64__) && defined(__ARM_NEON) && !defined(__AARCH64EB__)
#define MIRZET_SCAN_NEON 1
#else
#define MIRZET_SCAN_NEON 0
#endif

#if MIRZET_SCAN_NEON
#include <arm_neon.h>

namespace mirzet::scan {
inline namespace MIRZET_SCAN_VARIANT {

// Thirty-two bytes at a time in two NEON registers. NEON has no instruction that gathers a bit
// per byte: each matching byte keeps bit i of its own, i being its place among its eight, and
// three pairwise adds fold each eight bytes into one byte, the four of them a mask of one bit per
// byte. That byte per eight bytes is also what chooses their lookup when the block is stored with
// a CR before each LF or without its pairs' CRs.
struct NeonBlock : BitPerByte {
    struct Bytes {
        uint8x16_t low, high;
    };
    static constexpr std::uint32_t SIZE = 32;
    static constexpr WriteStep WRITE = WriteStep::WITH_CRS;
    static constexpr ReadStep READ = ReadStep::WITHOUT_PAIRS;
    static constexpr ReadSearch SEARCH = ReadSearch::CR_OR_CTRL_Z;

    static Bytes load(const char* from) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(from);
        return {vld1q_u8(bytes), vld1q_u8(bytes + 16)};
    }
    static void store(char* to, Bytes bytes) {
        auto* out = reinterpret_cast<std::uint8_t*>(to);
        vst1q_u8(out, bytes.low);
        vst1q_u8(out + 16, bytes.high);
    }
    template <char C>
    static Mask mask(Bytes bytes) {
        return as_mask(eights(equal<C>(bytes)));
    }
    // The mask's bits of the first n bytes, for any n, by a shift alone: tested against the
    // block's size, as the compiler does it here, n costs a branch, and the last step of a padded
    // text gives it where the text ends, which is as hard to guess as the end of the loop.
    static Mask first_bytes(Mask mask, std::uint32_t n) {
        return mask & static_cast<Mask>((std::uint64_t{1} << std::min(n, SIZE)) - 1);
    }

    // The block with a CR before each LF, stored from `to`: each eight bytes, beside eight CRs,
    // looked up by their LFs into sixteen, and stored where the eight before them end. No branch
    // depends on the text. The last sixteen bytes are stored from up to 24 + 24 bytes on, so the
    // stores end at most 64 bytes on; returns the bytes that count.
    static constexpr std::uint32_t WITH_CRS_OVERRUN = 64;
    static std::uint32_t store_with_crs(char* to, Bytes bytes, Mask lfs) {
        // The LFs as given, a byte of the mask for each eight bytes: the last step of a padded
        // text gives them without those of its padding. Left free, so that the compiler takes
        // them from the register the search folded them in: held in place, they cost two moves
        // for every block with a line end. The CRs are kept in a register the compiler may not
        // move, else it does all of this before the loop's test for a line end, for every block.
        const uint8x8_t lfs_by_eights = vcreate_u8(lfs);
        uint64x2_t crs = vreinterpretq_u64_u8(vdupq_n_u8(CR));
        asm volatile("" : "+w"(crs));
        const std::uint64_t orders = offsets_in_table<4>(lfs_by_eights);
        const std::uint32_t ends = ends_of_eights(lfs_by_eights, 1);
        return store_eights(to, ends, [&](std::uint8_t* at, std::uint32_t eight) {
            const uint64x2_t text = vreinterpretq_u64_u8(eight < 2 ? bytes.low : bytes.high);
            const uint64x2_t with_crs =
                eight % 2 == 0 ? vzip1q_u64(text, crs) : vzip2q_u64(text, crs);
            const auto* table = reinterpret_cast<const std::uint8_t*>(WITH_CRS.by_lfs);
            vst1q_u8(at, vqtbl1q_u8(vreinterpretq_u8_u64(with_crs),
                                    vld1q_u8(table + (orders >> 16 * eight & 0xFFFF))));
        });
    }

    // The CRs of the block's pairs: the next bytes are loaded one byte on, the last of them the
    // next block's first, so no shift carries a bit across the halves.
    static Mask pairs(const char* from, Bytes bytes) {
        return as_mask(eights(pair_crs(from, bytes)));
    }

    // The block without the bytes of `drops`, stored from `to`: each eight bytes looked up by
    // their drops to the front of their eight places, and stored where the eight before them end.
    // Stores at most SIZE bytes; returns the bytes kept.
    static std::uint32_t store_without(char* to, Bytes bytes, Mask drops) {
        const uint8x8_t drops_by_eights = vcreate_u8(drops);  // a byte for each eight bytes
        const std::uint64_t orders = offsets_in_table<3>(drops_by_eights);
        // Each eight bytes of a register looked up in the whole of it, by the table whose indices
        // start where they do.
        return store_eights(
            to, ends_of_eights(drops_by_eights, -1), [&](std::uint8_t* at, std::uint32_t eight) {
                const auto* table =
                    reinterpret_cast<const std::uint8_t*>(WITHOUT.by_drops[eight % 2]);
                vst1_u8(at, vqtbl1_u8(eight < 2 ? bytes.low : bytes.high,
                                      vld1_u8(table + (orders >> 16 * eight & 0xFFFF))));
            });
    }

    // The lookup takes the whole byte as the index, so the low four bits are picked first.
    static uint8x16_t cr_or_ctrl_z_bytes(uint8x16_t bytes) {
        const uint8x16_t table = vld1q_u8(CR_OR_CTRL_Z_BY_LOW_BITS.entries);
        return vceqq_u8(vqtbl1q_u8(table, vandq_u8(bytes, vdupq_n_u8(0xF))), bytes);
    }
    static Mask cr_or_ctrl_z(Bytes bytes) {
        return as_mask(eights({cr_or_ctrl_z_bytes(bytes.low), cr_or_ctrl_z_bytes(bytes.high)}));
    }
    // Eight registers a window: the test and its branch are paid once for 128 bytes.
    static constexpr std::uint32_t WINDOW = 128;
    template <char C>
    static bool window_holds(const char* from) {
        const auto* at = reinterpret_cast<const std::uint8_t*>(from);
        const uint8x16x4_t a = vld1q_u8_x4(at), b = vld1q_u8_x4(at + 64);
        const uint8x16_t c = vdupq_n_u8(static_cast<std::uint8_t>(C));
        const uint8x16_t either =
            vorrq_u8(vorrq_u8(vorrq_u8(vceqq_u8(a.val[0], c), vceqq_u8(a.val[1], c)),
                              vorrq_u8(vceqq_u8(a.val[2], c), vceqq_u8(a.val[3], c))),
                     vorrq_u8(vorrq_u8(vceqq_u8(b.val[0], c), vceqq_u8(b.val[1], c)),
                              vorrq_u8(vceqq_u8(b.val[2], c), vceqq_u8(b.val[3], c))));
        return vmaxvq_u32(vreinterpretq_u32_u8(either)) != 0;
    }
    static bool window_holds_cr_or_ctrl_z(const char* from) {
        const auto* at = reinterpret_cast<const std::uint8_t*>(from);
        const uint8x16x4_t a = vld1q_u8_x4(at), b = vld1q_u8_x4(at + 64);
        const uint8x16_t either = vorrq_u8(
            vorrq_u8(vorrq_u8(cr_or_ctrl_z_bytes(a.val[0]), cr_or_ctrl_z_bytes(a.val[1])),
                     vorrq_u8(cr_or_ctrl_z_bytes(a.val[2]), cr_or_ctrl_z_bytes(a.val[3]))),
            vorrq_u8(vorrq_u8(cr_or_ctrl_z_bytes(b.val[0]), cr_or_ctrl_z_bytes(b.val[1])),
                     vorrq_u8(cr_or_ctrl_z_bytes(b.val[2]), cr_or_ctrl_z_bytes(b.val[3]))));
        return vmaxvq_u32(vreinterpretq_u32_u8(either)) != 0;
    }

  private:
    template <char C>
    static Bytes equal(Bytes bytes) {
        const uint8x16_t c = vdupq_n_u8(static_cast<std::uint8_t>(C));
        return {vceqq_u8(bytes.low, c), vceqq_u8(bytes.high, c)};
    }

    // A block's matches, given as 0xFF in each matching byte, as a byte for each eight of them in
    // the first four: byte i keeps bit i % 8, so the adds never carry.
    static uint8x8_t eights(Bytes matches) {
        const uint8x16_t bits = vreinterpretq_u8_u64(vdupq_n_u64(0x8040201008040201));
        const uint8x16_t pairs = vpaddq_u8(vandq_u8(matches.low, bits),
                                           vandq_u8(matches.high, bits));  // byte i: 2i and 2i + 1
        const uint8x8_t quads = vget_low_u8(vpaddq_u8(pairs, pairs));      // byte i: 4i to 4i + 3
        return vpadd_u8(quads, quads);                                     // byte i: 8i to 8i + 7
    }
    static Mask as_mask(uint8x8_t eights) { return vget_lane_u32(vreinterpret_u32_u8(eights), 0); }

    static Bytes pair_crs(const char* from, Bytes bytes) {
        const Bytes crs = equal<CR>(bytes), next_lfs = equal<LF>(load(from + 1));
        return {vandq_u8(crs.low, next_lfs.low), vandq_u8(crs.high, next_lfs.high)};
    }

    // Stores each eight bytes of the block, by store_eight(at, eight), where those before them end
    // (ends_of_eights); returns where the block ends.
    template <class StoreEight>
    static std::uint32_t store_eights(char* to, std::uint32_t ends, StoreEight store_eight) {
        auto* out = reinterpret_cast<std::uint8_t*>(to);
        store_eight(out, 0);
        store_eight(out + (ends & 0xFF), 1);
        store_eight(out + (ends >> 8 & 0xFF), 2);
        store_eight(out + (ends >> 16 & 0xFF), 3);
        return ends >> 24;
    }

    // Where each eight bytes' entry lies in a table of entries of 2^SHIFT bytes chosen by their
    // byte of the mask: that byte shifted, in four 16-bit fields, each added to the table's
    // address with no shift of its own.
    template <int SHIFT>
    static std::uint64_t offsets_in_table(uint8x8_t eights) {
        return vget_lane_u64(vreinterpret_u64_u16(vget_low_u16(vshll_n_u8(eights, SHIFT))), 0);
    }
    // Where each eight bytes end once each bit of the mask adds `grown` bytes (-1 drops one):
    // byte g, for g below 3, is where the eight bytes g + 1 start, and byte 3 where the block
    // ends. The bits are counted in a vector, where arm64 has a count of bits, and summed with the
    // eights' own lengths by a multiply and an add.
    static std::uint32_t ends_of_eights(uint8x8_t eights, std::int32_t grown) {
        const std::uint32_t bits = vget_lane_u32(vreinterpret_u32_u8(vcnt_u8(eights)), 0);
        return bits * (static_cast<std::uint32_t>(grown) * 0x01010101u) + 0x20181008u;
    }
};
static_assert(ByteBlock<NeonBlock>);

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
#endif
