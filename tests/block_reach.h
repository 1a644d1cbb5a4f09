// How far a block's stores reach: a block stored with a CR before each LF (store_with_crs), or
// without some of its bytes (store_without), whole or the first part (store_first_without), into
// canary bytes, over random blocks. The loops'
// slack is counted from the reach a block declares, so a store past it overruns their buffers,
// and a declared reach that no store comes to certifies slack that was never measured. Included by
// the tests for the baseline's blocks and, inside a region compiled for the processor, by
// block_reach_for.cpp for the blocks of the builds for AVX2 and AVX-512.
#pragma once

// Inside a region compiled for AVX2 a standard header's templates would be built for AVX2 too and
// could stand in for every caller's: that build includes them first.
#ifndef MIRZET_SCAN_FOR_AVX2
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#endif

#include "textio/scan.h"

namespace mirzet::scan {

// What a kind of store reached, counted from where it was asked to store: one past the furthest
// byte it changed, against the reach its block declares (both 0 where the block has no such
// store); and whether it changed a byte before that place. A store of part of a block is counted
// from the end of the bytes it keeps, and declares that it reaches no further.
struct Reach {
    std::uint32_t declared, furthest;
    bool before;
};
struct BlockReaches {
    Reach with_crs, without, part_without;
};

#ifndef MIRZET_SCAN_FOR_AVX2
#if MIRZET_SCAN_AVX2
BlockReaches block_reaches_avx2(std::uint32_t seed);
#endif
#if MIRZET_SCAN_AVX512
BlockReaches block_reaches_avx512(std::uint32_t seed);
BlockReaches block_reaches_avx512_read(std::uint32_t seed);
#endif
#endif

inline namespace MIRZET_SCAN_VARIANT {

// One block of random bytes: all LFs, all CRs, neither, or LF, CR and Ctrl-Z each one byte in a
// few to one in hundreds.
inline void random_block(char* block, std::uint32_t size, std::mt19937& random) {
    const char line_ends[] = {LF, CR, CTRL_Z};
    const std::uint32_t kind = random() % 8, spreads[] = {3, 8, 32, 128, 512};
    for (std::uint32_t i = 0; i < size; ++i) {
        auto byte = static_cast<char>(random());
        if (kind < 2)
            byte = line_ends[kind];
        else if (kind == 2 && (byte == LF || byte == CR))
            byte = 'a';
        else if (kind > 2 && random() % spreads[kind - 3] < 3)
            byte = line_ends[random() % 3];
        block[i] = byte;
    }
}

// Stores once over each of two canaries that differ in every bit, so that every byte a store
// writes differs from one of them, and widens the reach to the bytes it changed past the first
// `allowed`.
template <class Store>
void widen(Reach& reach, std::uint32_t offset, Store store, std::uint32_t allowed = 0) {
    constexpr std::uint32_t ROOM = 2 * OVERRUN + 2;
    const unsigned char canaries[] = {0x5A, 0xA5};
    for (const unsigned char canary : canaries) {
        char room[ROOM];
        std::memset(room, canary, ROOM);
        store(room + offset);
        for (std::uint32_t i = 0; i < ROOM; ++i) {
            if (static_cast<unsigned char>(room[i]) == canary) continue;
            if (i < offset) reach.before = true;
            if (i >= offset + allowed)
                reach.furthest = std::max(reach.furthest, i - offset - allowed + 1);
        }
    }
}

// Whether a block has each store: asked of the functions, not of the loops' concepts, which pass
// over a block that declares more reach than the loops' slack.
template <class Block>
constexpr bool HAS_STORE_WITH_CRS = requires(char* to, typename Block::Bytes bytes,
                                             typename Block::Mask lfs) {
    Block::store_with_crs(to, bytes, lfs);
};
template <class Block>
constexpr bool HAS_STORE_WITHOUT = requires(char* to, typename Block::Bytes bytes,
                                            typename Block::Mask drops) {
    Block::store_without(to, bytes, drops);
};
template <class Block>
constexpr bool HAS_STORE_FIRST_WITHOUT = requires(char* to, typename Block::Bytes bytes,
                                                  typename Block::Mask drops, std::uint32_t n) {
    Block::store_first_without(to, bytes, drops, n);
};

// Each store the block has, of random blocks at random alignments: its LFs for the CRs to put
// before, its CRs for the bytes to drop (any bytes will do).
template <ReadByteBlock Block>
BlockReaches block_reaches(std::uint32_t seed) {
    std::mt19937 random(seed);
    BlockReaches reaches{};
    if constexpr (HAS_STORE_WITH_CRS<Block>) reaches.with_crs.declared = Block::WITH_CRS_OVERRUN;
    if constexpr (HAS_STORE_WITHOUT<Block>) reaches.without.declared = Block::SIZE;
    char block[Block::SIZE];
    for (int round = 0; round < 4000; ++round) {
        random_block(block, Block::SIZE, random);
        const typename Block::Bytes bytes = Block::load(block);
        const std::uint32_t offset = random() % 64;
        if constexpr (HAS_STORE_WITH_CRS<Block>)
            widen(reaches.with_crs, offset, [&](char* to) {
                Block::store_with_crs(to, bytes, Block::template mask<LF>(bytes));
            });
        if constexpr (HAS_STORE_WITHOUT<Block>)
            widen(reaches.without, offset, [&](char* to) {
                Block::store_without(to, bytes, Block::template mask<CR>(bytes));
            });
        if constexpr (HAS_STORE_FIRST_WITHOUT<Block>) {
            const std::uint32_t n = random() % Block::SIZE;
            const typename Block::Bytes part = Block::load_first(block, n);
            const typename Block::Mask drops = Block::template mask<CR>(part);
            widen(
                reaches.part_without, offset,
                [&](char* to) { Block::store_first_without(to, part, drops, n); },
                n - Block::count(drops));
        }
    }
    return reaches;
}

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
