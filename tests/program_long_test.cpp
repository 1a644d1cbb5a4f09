// A copy of several GiB: a sparse file reaching past the 4 GiB mark, mostly NUL bytes, with CR-LF
// pairs and lone CRs placed on the 4096-byte block edges below and past that mark, so that the
// give-back seek after a CR at a block end lands on positions that 32 bits cannot hold. The output
// is compared with the expected copy as it streams out of a pipe, never held in memory.
//
// Long: registered only with MIRZET_LONG_TESTS, under the ctest label "long".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "child.h"
#include "copy_model.h"

namespace mirzet::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t GIB = std::uint64_t{1} << 30;
constexpr std::uint64_t FOUR_GIB = std::uint64_t{1} << 32;
constexpr std::uint64_t BLOCK = 4096;

struct Patch {
    std::uint64_t offset;
    std::string bytes;
};

// Text placed in the sparse file; everything else reads as NUL. Each patch is converted on its own,
// so none ends in a CR that the next byte could pair with.
std::vector<Patch> patches(std::uint64_t size) {
    return {
        {0, "start\r\n"},
        {BLOCK - 1, "\r\n"},     // a pair across the first block edge
        {3 * BLOCK - 1, "\rx"},  // a lone CR ending a block
        {GIB - 1, "\r\n"},
        {FOUR_GIB - 7, "before\r\n"},          // the CR ends the last block below 4 GiB
        {FOUR_GIB + BLOCK - 1, "\ry"},         // the give-back seek returns to 4 GiB + 4096
        {FOUR_GIB + 2 * BLOCK - 1, "\r\r\n"},  // CR, then a pair across the edge
        {FOUR_GIB + 5 * BLOCK - 1, "\n\r\n"},  // a bare LF ending a block, then a pair
        {FOUR_GIB + GIB / 2 + BLOCK - 1, "\r\n"},
        {size - 9, "the end\r\n"},
    };
}

std::string converted(const std::string& text) {
    return mirzet::testing::dos_text(text);
}

// The expected copy as a list of segments: runs of NUL bytes and converted patches.
struct Segment {
    std::uint64_t nul_bytes;  // a run of NULs when `text` is empty
    std::string text;
};

std::vector<Segment> expected_copy(const std::vector<Patch>& layout, std::uint64_t size) {
    std::vector<Segment> segments;
    std::uint64_t at = 0;
    for (const Patch& patch : layout) {
        if (patch.offset > at) segments.push_back({patch.offset - at, ""});
        segments.push_back({0, converted(patch.bytes)});
        at = patch.offset + patch.bytes.size();
    }
    if (size > at) segments.push_back({size - at, ""});
    return segments;
}

// Checks the copy chunk by chunk against the segments.
class StreamingComparison {
  public:
    explicit StreamingComparison(std::vector<Segment> segments) : segments_(std::move(segments)) {}

    // False at the first byte that differs, with `failure` saying where.
    bool take(const char* data, std::size_t n) {
        while (n > 0) {
            if (index_ == segments_.size()) return fail("output goes on past the expected end");
            const Segment& segment = segments_[index_];
            const std::uint64_t length =
                segment.text.empty() ? segment.nul_bytes : segment.text.size();
            const std::size_t span =
                static_cast<std::size_t>(std::min<std::uint64_t>(n, length - within_));
            if (segment.text.empty()) {
                for (std::size_t i = 0; i < span; ++i)
                    if (data[i] != '\0') return fail("a byte other than NUL", i);
            } else if (std::memcmp(data, segment.text.data() + within_, span) != 0) {
                return fail("the converted text differs");
            }
            data += span;
            n -= span;
            position_ += span;
            within_ += span;
            if (within_ == length) {
                ++index_;
                within_ = 0;
            }
        }
        return true;
    }
    bool complete() const { return index_ == segments_.size(); }
    std::uint64_t position() const { return position_; }
    const std::string& failure() const { return failure_; }

  private:
    bool fail(const char* what, std::size_t offset = 0) {
        failure_ = std::string(what) + " at output byte " + std::to_string(position_ + offset);
        return false;
    }
    std::vector<Segment> segments_;
    std::size_t index_ = 0;
    std::uint64_t within_ = 0;
    std::uint64_t position_ = 0;
    std::string failure_;
};

TEST(LongCopy, SparseFilePastFourGibWithPairsOnBlockEdges) {
    ScratchDir scratch;
    ASSERT_TRUE(scratch.ok());
    const std::string path = scratch.path("sparse");
    const std::uint64_t size = FOUR_GIB + GIB + 12345;
    const std::vector<Patch> layout = patches(size);
    {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_NE(fd, -1);
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
        for (const Patch& patch : layout)
            ASSERT_EQ(pwrite(fd, patch.bytes.data(), patch.bytes.size(),
                             static_cast<off_t>(patch.offset)),
                      static_cast<ssize_t>(patch.bytes.size()));
        close(fd);
    }
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    ASSERT_LT(static_cast<std::uint64_t>(info.st_blocks) * 512, GIB)
        << "the file system keeps no sparse files";

    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    Child child(MIRZET_BINARY, path, ends[1]);
    close(ends[1]);
    ASSERT_TRUE(child.started());

    StreamingComparison comparison(expected_copy(layout, size));
    std::vector<char> buffer(1 << 20);
    bool same = true;
    for (;;) {
        const ssize_t n = read(ends[0], buffer.data(), buffer.size());
        if (n == -1 && errno == EINTR) continue;
        ASSERT_NE(n, -1);
        if (n == 0) break;
        if (!comparison.take(buffer.data(), static_cast<std::size_t>(n))) {
            same = false;
            break;
        }
    }
    close(ends[0]);
    ASSERT_TRUE(same) << comparison.failure();
    EXPECT_TRUE(comparison.complete())
        << "the copy ended after " << comparison.position() << " bytes";
    ASSERT_TRUE(child.wait_for(60s));
    EXPECT_TRUE(child.exited() && child.exit_status() == 0);
}

}  // namespace
}  // namespace mirzet::test
