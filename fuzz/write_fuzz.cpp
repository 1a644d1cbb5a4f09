// Feeds arbitrary text through the print path to standard output, in arbitrary pieces, or through
// the whole copy of a file, and compares what reaches the platform with a model written apart from
// the layer: the bytes, and the size of every write call.
//
// Input: a set-up byte (standard output a disk file, a pipe or a device; bit 6: piece lengths are
// twenty times their bytes, so that pieces outgrow a 4096-character buffer; bit 7: the text is a
// file that the program's copy loop copies, so that its lines go straight from the input's buffer
// into the output's where both hold them; bit 5, with bit 7: the file is a pipe delivering the
// lengths as its chunks), a byte giving the number of piece lengths (1 to 8), the lengths, and the
// rest is the text, printed with print_chars piece by piece, the lengths taken in turn.
//
// The copy's model: the data ends at the first Ctrl-Z and CR-LF reads as LF; the copy loop prints
// a piece through its LF or of 129 characters, which matters only to a device's writes.
//
// The model: every LF goes out as CR-LF. A file or pipe has a buffer of its own, written when full,
// so its text leaves in blocks of 4096 characters and a last one at the flush; a device gets a
// buffer for each print call, so each piece leaves on its own, in blocks of 4096 characters if it
// is longer. Each block is written in chunks that close once they hold 1024 bytes or more.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/copy.h"
#include "fuzz/every_path.h"
#include "platform/fake.h"
#include "textio/format.h"
#include "textio/handles.h"
#include "textio/streams.h"

namespace {

using namespace mirzet;
namespace pf = mirzet::platform;
using fake::Op;

// A failed check is a finding: say what differs and stop, as a sanitizer would.
#define CHECK(condition)                                                                 \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "write_fuzz: check failed: %s (line %d)\n", #condition, \
                         __LINE__);                                                      \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

struct Input {
    std::uint32_t type;
    bool copy;       // the text is a file the copy loop copies
    bool from_pipe;  // that file is a pipe
    std::vector<std::size_t> lengths;
    std::string text;
};

Input parse(const std::uint8_t* bytes, std::size_t size) {
    Input input{};
    std::size_t at = 0;
    auto next = [&]() -> std::uint8_t { return at < size ? bytes[at++] : 0; };
    const std::uint8_t setup = next();
    const std::uint32_t types[] = {pf::FILE_TYPE_DISK, pf::FILE_TYPE_PIPE, pf::FILE_TYPE_CHAR};
    input.type = types[setup % 3];
    input.copy = (setup & 0x80) != 0;
    input.from_pipe = (setup & 0x20) != 0;
    const std::size_t scale = (setup & 0x40) ? 20 : 1;
    const int count = next() % 8 + 1;
    for (int i = 0; i < count; ++i)
        input.lengths.push_back(next() * scale);
    if (at < size) input.text.assign(reinterpret_cast<const char*>(bytes + at), size - at);
    return input;
}

// ---- the model ----

void add_chunks(const std::string& block, std::vector<std::size_t>* sizes) {
    std::size_t length = 0;
    for (const char c : block) {
        length += c == '\n' ? 2 : 1;
        if (length >= 1024) {
            sizes->push_back(length);
            length = 0;
        }
    }
    if (length > 0) sizes->push_back(length);
}

void add_blocks(const std::string& text, std::vector<std::size_t>* sizes) {
    for (std::size_t at = 0; at < text.size(); at += 4096)
        add_chunks(text.substr(at, 4096), sizes);
}

std::string with_crlf(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// The characters a text file's reader gets: up to the first Ctrl-Z, CR-LF as LF.
std::string read_as_text(const std::string& file) {
    const std::string data = file.substr(0, file.find('\x1a'));
    std::string text;
    for (std::size_t i = 0; i < data.size(); ++i)
        if (!(data[i] == '\r' && i + 1 < data.size() && data[i + 1] == '\n')) text += data[i];
    return text;
}

// The pieces the copy loop prints: each through its LF, or of 129 characters.
std::vector<std::string> line_pieces(const std::string& text) {
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t n = 0;
        while (at + n < text.size() && n < 129 && text[at + n] != '\n')
            ++n;
        if (at + n < text.size() && n < 129) ++n;  // through the LF
        pieces.push_back(text.substr(at, n));
        at += n;
    }
    return pieces;
}

}  // namespace

namespace {

// The program's copy of the text as a file to standard output: its status, bytes and writes.
void check_copy(const Input& input) {
    std::vector<std::uint32_t> chunks;
    for (const std::size_t n : input.lengths)
        chunks.push_back(static_cast<std::uint32_t>(n == 0 ? 1 : n));  // a chunk of 0 would end it
    fake::add_file("in", input.text, input.from_pipe ? pf::FILE_TYPE_PIPE : pf::FILE_TYPE_DISK,
                   input.from_pipe ? chunks : std::vector<std::uint32_t>{});
    char program[] = "mirzet", path[] = "in";
    char* argv[] = {program, path, nullptr};
    CHECK(app::main(2, argv) == 0);
    CHECK(flush_all_streams() >= 0);

    const std::string text = read_as_text(input.text);
    std::vector<std::size_t> want_sizes;
    if (input.type == pf::FILE_TYPE_CHAR) {
        for (const std::string& piece : line_pieces(text))
            add_blocks(piece, &want_sizes);
    } else {
        add_blocks(text, &want_sizes);
    }
    CHECK(fake::contents("<stdout>") == with_crlf(text));
    const std::vector<fake::Call> writes = fake::calls_of(Op::write);
    CHECK(writes.size() == want_sizes.size());
    for (std::size_t i = 0; i < writes.size(); ++i)
        CHECK(writes[i].size == want_sizes[i] &&
              writes[i].result == static_cast<std::int64_t>(writes[i].size));
}

void check_input(const std::uint8_t* bytes, std::size_t size) {
    const Input input = parse(bytes, size);
    fake::reset();
    fake::set_std(1, input.type);
    CHECK(init_fd_table() && init_stream_table());
    if (input.copy) {
        check_copy(input);
        return;
    }

    std::vector<std::size_t> want_sizes;
    std::size_t at = 0;
    for (std::size_t i = 0; at < input.text.size(); ++i) {
        std::size_t n = input.lengths[i % input.lengths.size()];
        if (n > input.text.size() - at) n = input.text.size() - at;
        if (n == 0 && i >= input.lengths.size()) n = 1;  // every round of lengths moves on
        const std::int32_t printed =
            print_chars(input.text.data() + at, static_cast<std::int32_t>(n));
        CHECK(printed == static_cast<std::int32_t>(n));
        if (input.type == pf::FILE_TYPE_CHAR) add_blocks(input.text.substr(at, n), &want_sizes);
        at += n;
    }
    CHECK(flush_all_streams() >= 0);
    if (input.type != pf::FILE_TYPE_CHAR) add_blocks(input.text, &want_sizes);

    CHECK(fake::contents("<stdout>") == with_crlf(input.text));
    const std::vector<fake::Call> writes = fake::calls_of(Op::write);
    CHECK(writes.size() == want_sizes.size());
    for (std::size_t i = 0; i < writes.size(); ++i)
        CHECK(writes[i].size == want_sizes[i] &&
              writes[i].result == static_cast<std::int64_t>(writes[i].size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    mirzet::fuzz::on_every_path(check_input, bytes, size);
    return 0;
}
