// The AArch64 block: two NEON registers, and the one-pass search for a CR or a Ctrl-Z.
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
// per byte, and narrowing a compare to four bits per byte (SHRN) would need 128 bits for 32
// bytes: each matching byte keeps one bit of its own instead, two apart, and two pairwise adds
// fold the 32 bytes into 64 bits, byte i at bit 2i. Measured under qemu, this costs fewer
// instructions per MB than 16 bytes with four bits each.
struct NeonBlock : SpacedMask<std::uint64_t, 2> {
    struct Bytes {
        uint8x16_t low, high;
    };
    static constexpr std::uint32_t SIZE = 32;

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
        const uint8x16_t c = vdupq_n_u8(static_cast<std::uint8_t>(C));
        return fold({vceqq_u8(bytes.low, c), vceqq_u8(bytes.high, c)});
    }

    // The lookup takes the whole byte as the index, so the low four bits are picked first.
    static uint8x16_t cr_or_ctrl_z_bytes(uint8x16_t bytes) {
        const uint8x16_t table = vld1q_u8(CR_OR_CTRL_Z_BY_LOW_BITS.entries);
        return vceqq_u8(vqtbl1q_u8(table, vandq_u8(bytes, vdupq_n_u8(0xF))), bytes);
    }
    static Mask cr_or_ctrl_z(Bytes bytes) {
        return fold({cr_or_ctrl_z_bytes(bytes.low), cr_or_ctrl_z_bytes(bytes.high)});
    }
    // Eight registers a turn: the test and its branch are paid once for 128 bytes.
    static constexpr std::uint32_t WINDOW = 128;
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
    // The mask of a block's matches, given as 0xFF in each matching byte. Byte i keeps bit
    // 2 * (i % 4): the adds then never carry, each sum having distinct bits.
    static Mask fold(Bytes matches) {
        const uint8x16_t bits = vreinterpretq_u8_u32(vdupq_n_u32(0x40100401));
        const uint8x16_t pairs = vpaddq_u8(vandq_u8(matches.low, bits),
                                           vandq_u8(matches.high, bits));  // byte i: 2i and 2i + 1
        const uint8x16_t quads = vpaddq_u8(pairs, pairs);  // byte i < 8: bytes 4i to 4i + 3
        return vgetq_lane_u64(vreinterpretq_u64_u8(quads), 0);
    }
};
static_assert(ByteBlock<NeonBlock>);

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
#endif
