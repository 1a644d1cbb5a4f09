// Feeds arbitrary bytes through the read path, in arbitrary chunkings, and compares what comes out
// with a model of the conversion written apart from the layer.
//
// Input: a set-up byte (what kind of file: disk, pipe or device; which reader: text_read in text
// or binary mode, get_line on "r", on "r" through the two-character buffer, or on "rb"; whether a
// pipe ends with a broken pipe), a byte giving the number of chunk sizes and of read sizes, a byte
// naming one read call that fails (none for 0; not on a device in text mode), the sizes, and the
// rest is the file. A pipe or device delivers the file in the chunk sizes; the reader asks for the
// read sizes (text_read counts, get_line capacities) in turn, and asks again after a failed read,
// which must lose nothing.
//
// The model: on a disk file or pipe the text is everything before the first Ctrl-Z with each CR-LF
// pair read as LF, whatever the chunking. On a device a Ctrl-Z ends only the block of the read that
// meets it, so the model follows the blocks the platform delivered (from the fake's call log) and
// checks that a CR ending a block is settled by a one-byte peek.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/every_path.h"
#include "platform/fake.h"
#include "textio/handles.h"
#include "textio/streams.h"

namespace {

using namespace mirzet;
namespace pf = mirzet::platform;
using fake::Op;

const char* const PATH = "input";

// A failed check is a finding: say what differs and stop, as a sanitizer would.
#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "read_fuzz: check failed: %s (line %d)\n", #condition, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

enum class Reader { text_read, binary_read, get_line, get_line_two_chars, get_line_binary };

struct Input {
    std::uint32_t type;
    Reader reader;
    bool broken_pipe;
    int failing_read;  // 0 for none
    std::vector<std::uint32_t> chunks;
    std::vector<std::uint32_t> sizes;
    std::string data;
};

Input parse(const std::uint8_t* bytes, std::size_t size) {
    Input input{};
    std::size_t at = 0;
    auto next = [&]() -> std::uint8_t { return at < size ? bytes[at++] : 0; };
    const std::uint8_t setup = next();
    const std::uint32_t types[] = {pf::FILE_TYPE_DISK, pf::FILE_TYPE_PIPE, pf::FILE_TYPE_CHAR};
    input.type = types[setup % 3];
    input.reader = static_cast<Reader>((setup / 3) % 5);
    input.broken_pipe = (setup & 0x80) != 0;
    const std::uint8_t counts = next();
    input.failing_read = next() % 32;
    const int chunk_count = (counts & 7) + 1;
    const int size_count = ((counts >> 4) & 7) + 1;
    // Chunks are never 0: a read of 0 bytes is the end of a pipe's data, not a pause.
    for (int i = 0; i < chunk_count; ++i)
        input.chunks.push_back(next() + 1u);
    for (int i = 0; i < size_count; ++i)
        input.sizes.push_back(next());
    // One size of 2 or more at least, so that every reader moves on.
    if (*std::max_element(input.sizes.begin(), input.sizes.end()) < 2) input.sizes.push_back(130);
    if (at < size) input.data.assign(reinterpret_cast<const char*>(bytes + at), size - at);
    return input;
}

bool is_text(Reader reader) {
    return reader != Reader::binary_read && reader != Reader::get_line_binary;
}

// ---- the model ----

// Disk file or pipe: the text before the first Ctrl-Z, CR-LF read as LF.
std::string model_of_stream(const std::string& data) {
    const std::string text = data.substr(0, data.find('\x1a'));
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

// Device: block by block as the platform delivered them. A character kept back after a CR that
// ended a block opens the next block; a Ctrl-Z drops the rest of its own block only.
std::string model_of_device(const std::string& data) {
    const std::vector<fake::Call> reads = fake::calls_of(Op::read);
    std::string out;
    std::size_t position = 0;
    int pending = -1;
    std::size_t i = 0;
    while (i < reads.size()) {
        const std::int64_t got = reads[i].result > 0 ? reads[i].result : 0;
        ++i;
        std::string block = pending >= 0 ? std::string(1, static_cast<char>(pending)) : "";
        pending = -1;
        block += data.substr(position, static_cast<std::size_t>(got));
        position += static_cast<std::size_t>(got);
        for (std::size_t j = 0; j < block.size(); ++j) {
            const char c = block[j];
            if (c == '\x1a') break;
            if (c != '\r') {
                out += c;
            } else if (j + 1 < block.size()) {
                if (block[j + 1] == '\n') ++j;
                out += block[j];
            } else {
                // The CR ends the block: the next call must be the one-byte peek.
                CHECK(i < reads.size() && reads[i].size == 1);
                const std::int64_t peeked = reads[i].result;
                ++i;
                if (peeked <= 0) {
                    out += '\r';
                } else {
                    const char byte = data[position++];
                    if (byte == '\n') {
                        out += '\n';
                    } else {
                        out += '\r';
                        pending = static_cast<unsigned char>(byte);
                    }
                }
            }
        }
    }
    CHECK(position == data.size());
    return out;
}

// ---- the readers ----

FdInfo& slot(int fd) {
    return *fd_info(fd);
}

// Whether the last read call asked for bytes and got none, or found the writer gone: the data has
// run out. A read that failed otherwise says nothing of the kind.
bool data_ended() {
    const std::vector<fake::Call>& calls = fake::calls();
    for (auto call = calls.rbegin(); call != calls.rend(); ++call)
        if (call->op == Op::read)
            return call->size > 0 && (call->result == 0 || call->error == pf::ERROR_BROKEN_PIPE);
    return true;
}

// More calls than this means a reader that no longer moves on: every round of the sizes moves
// on by a character at least.
std::size_t call_limit(const Input& input) {
    return 2 * (input.data.size() + 8) * input.sizes.size() + 64;
}

std::string read_with_text_read(const Input& input) {
    const std::uint32_t flags = input.reader == Reader::binary_read ? OPEN_BINARY : OPEN_READ_ONLY;
    const int fd = open_fd(PATH, flags, SHARE_DENY_NONE, DEFAULT_PERMISSION);
    CHECK(fd >= 0);
    std::string out;
    std::vector<char> buffer(256);
    for (std::size_t n = 0;; ++n) {
        CHECK(n < call_limit(input));
        const std::uint32_t count = input.sizes[n % input.sizes.size()];
        const int reads_before = fake::call_count(Op::read);
        const std::int32_t got = text_read(fd, buffer.data(), count);
        if (got == -1) {
            CHECK(input.failing_read != 0);
            continue;  // the injected failure: the next read picks up where this one stopped
        }
        CHECK(got >= 0 && static_cast<std::uint32_t>(got) <= count);
        out.append(buffer.data(), static_cast<std::size_t>(got));
        if (count == 0) {
            CHECK(got == 0 && fake::call_count(Op::read) == reads_before);
            continue;
        }
        if (got == 0 && ((slot(fd).fd_flags & FD_EOF) || data_ended())) break;
    }
    // Once a Ctrl-Z has ended a disk file or pipe, reads answer 0 without asking the platform.
    if (slot(fd).fd_flags & FD_EOF) {
        const int reads_before = fake::call_count(Op::read);
        CHECK(text_read(fd, buffer.data(), 16) == 0);
        CHECK(fake::call_count(Op::read) == reads_before);
    }
    return out;
}

std::string read_with_get_line(const Input& input, const std::string& want) {
    Stream* stream = open_stream(PATH, input.reader == Reader::get_line_binary ? "rb" : "r");
    CHECK(stream != nullptr);
    // On a disk file or pipe the pieces do not depend on the blocks: each is as long as the
    // capacity allows, up to and including an LF.
    // A failed read ends a piece early.
    const bool exact_pieces =
        (input.type != pf::FILE_TYPE_CHAR || !is_text(input.reader)) && input.failing_read == 0;
    std::string out;
    std::vector<char> line(257);
    for (std::size_t n = 0;; ++n) {
        CHECK(n < call_limit(input));
        const std::int32_t capacity = input.sizes[n % input.sizes.size()];
        line[static_cast<std::size_t>(capacity)] = '\x7f';
        const std::int32_t length = get_line_length(line.data(), capacity, stream);
        if (capacity <= 0) {
            CHECK(length == -1);
            continue;
        }
        if (length < 0) {
            if (data_ended() || (slot(stream->fd).fd_flags & FD_EOF)) break;
            continue;  // a device block that began with Ctrl-Z: the device may have more
        }
        CHECK(length <= capacity - 1 && line[static_cast<std::size_t>(length)] == '\0');
        const std::string piece(line.data(), static_cast<std::size_t>(length));
        const std::size_t lf = piece.find('\n');
        CHECK(lf == std::string::npos || lf + 1 == piece.size());
        if (exact_pieces) {
            const std::string rest = want.substr(std::min(out.size(), want.size()));
            const std::size_t rest_lf = rest.find('\n');
            const std::size_t expected = std::min<std::size_t>(
                capacity - 1, rest_lf == std::string::npos ? rest.size() : rest_lf + 1);
            CHECK(piece.size() == expected);
        }
        out += piece;
    }
    if (input.reader == Reader::get_line_two_chars) CHECK(stream->buffer_size == 2);
    CHECK(!(stream->flags & STREAM_ERROR) || input.failing_read != 0);
    return out;
}

}  // namespace

namespace {

void check_input(const std::uint8_t* bytes, std::size_t size) {
    Input input = parse(bytes, size);
    fake::reset();
    fake::add_file(PATH, input.data, input.type, input.chunks);
    if (input.broken_pipe && input.type == pf::FILE_TYPE_PIPE) fake::end_with_broken_pipe(PATH);
    CHECK(init_fd_table() && init_stream_table());
    // The handle and stream tables are allocations 1 and 2; the stream's buffer is the next.
    if (input.reader == Reader::get_line_two_chars)
        fake::fail_calls_from(Op::allocate, 3, pf::ERROR_NOT_ENOUGH_MEMORY);

    std::string want = input.data;
    const bool device_text = input.type == pf::FILE_TYPE_CHAR && is_text(input.reader);
    // The device model follows the blocks delivered and knows nothing of failures.
    if (device_text) input.failing_read = 0;
    if (input.failing_read != 0) fake::fail_call(Op::read, input.failing_read, 31);
    if (is_text(input.reader) && !device_text) want = model_of_stream(input.data);

    const bool by_line = input.reader != Reader::text_read && input.reader != Reader::binary_read;
    std::string got = by_line ? read_with_get_line(input, want) : read_with_text_read(input);
    if (device_text) want = model_of_device(input.data);
    CHECK(got == want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    mirzet::fuzz::on_every_path(check_input, bytes, size);
    return 0;
}
