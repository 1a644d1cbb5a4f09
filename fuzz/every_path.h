// The fuzz targets of the read and the write run every input on every path of the byte loops that
// this processor runs: a fault of one path shows whichever the processor would choose.
#pragma once

#include <cstddef>
#include <cstdint>

#include "textio/scan.h"

namespace mirzet::fuzz {

inline void on_every_path(void (*check)(const std::uint8_t*, std::size_t),
                          const std::uint8_t* bytes, std::size_t size) {
    for (const scan::Path path : scan::EVERY_PATH) {
        if (!scan::processor_runs(path)) continue;
        scan::use_path(path);
        check(bytes, size);
    }
}

}  // namespace mirzet::fuzz
