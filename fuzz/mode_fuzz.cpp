// Feeds arbitrary mode strings and open flags to the opening operations over the fake platform,
// and checks each open against a model of the flags written apart from the layer.
//
// Input: a byte choosing the operation (open_stream with a mode string, open_stream_shared with a
// share flag too, or open_fd with raw open flags, share flag and permission), a byte choosing what
// the path names (nothing, a disk file, a pipe, a device, a directory, a file whose type cannot be
// told) and a byte choosing its contents; the rest is the mode string, or the open_fd arguments.
//
// Checked: the create_file call (access, share mode, disposition, attributes, inheritance) or its
// absence; on success the stream flags, the handle flags and the Ctrl-Z trimming of a read-write
// text file; on failure the error recorded and nothing left in use, no handle left open.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fake.h"
#include "textio/handles.h"
#include "textio/streams.h"

namespace {

using namespace mirzet;
namespace pf = mirzet::platform;
using fake::Op;

const char* const PATH = "target";

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "mode_fuzz: check failed: %s (line %d)\n", #condition, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// ---- the model ----

struct ModeModel {
    bool valid;
    std::uint32_t open_flags;
    std::uint32_t stream_flags;
};

// The mode string: r, w or a, then letters each of which may be given once per group; the first
// letter that repeats a group, or that is no mode letter, ends the string.
ModeModel model_mode(const std::string& mode) {
    ModeModel m{true, 0, 0};
    if (mode.empty()) return {false, 0, 0};
    switch (mode[0]) {
        case 'r':
            m = {true, 0x0000, STREAM_READ};
            break;
        case 'w':
            m = {true, 0x0301, STREAM_WRITE};
            break;
        case 'a':
            m = {true, 0x0109, STREAM_WRITE};
            break;
        default:
            return {false, 0, 0};
    }
    bool translation = false, commit = false, hint = false, short_lived = false, temporary = false;
    for (std::size_t i = 1; i < mode.size(); ++i) {
        const char c = mode[i];
        if (c == '+') {
            if ((m.open_flags & 3) == 2) break;
            m.open_flags = (m.open_flags & ~1u) | 2u;
            m.stream_flags = (m.stream_flags & ~(STREAM_READ | STREAM_WRITE)) | STREAM_UPDATE;
        } else if (c == 't' || c == 'b') {
            if (translation) break;
            translation = true;
            m.open_flags |= c == 't' ? 0x4000u : 0x8000u;
        } else if (c == 'c' || c == 'n') {
            if (commit) break;
            commit = true;
            if (c == 'c')
                m.stream_flags |= STREAM_COMMIT;
            else
                m.stream_flags &= ~STREAM_COMMIT;
        } else if (c == 'S' || c == 'R') {
            if (hint) break;
            hint = true;
            m.open_flags |= c == 'S' ? 0x0020u : 0x0010u;
        } else if (c == 'T') {
            if (short_lived) break;
            short_lived = true;
            m.open_flags |= 0x1000u;
        } else if (c == 'D') {
            if (temporary) break;
            temporary = true;
            m.open_flags |= 0x0040u;
        } else {
            break;
        }
    }
    return m;
}

struct CreateModel {
    bool valid;
    std::uint32_t access, share, disposition, attributes;
    bool inherit;
    std::uint8_t fd_flags;  // before the file type is known
};

CreateModel model_create(std::uint32_t flags, int share, int permission) {
    CreateModel m{};
    m.inherit = !(flags & 0x0080);
    m.fd_flags = (flags & 0x0080) ? FD_NO_INHERIT : 0;
    if (!(flags & 0x8000)) m.fd_flags |= FD_TEXT;
    switch (flags & 3) {
        case 0:
            m.access = pf::GENERIC_READ;
            break;
        case 1:
            m.access = pf::GENERIC_WRITE;
            break;
        case 2:
            m.access = pf::GENERIC_READ | pf::GENERIC_WRITE;
            break;
        default:
            return m;
    }
    switch (share) {
        case 0x10:
            m.share = 0;
            break;
        case 0x20:
            m.share = 1;
            break;
        case 0x30:
            m.share = 2;
            break;
        case 0x40:
            m.share = 3;
            break;
        default:
            return m;
    }
    const bool create = flags & 0x0100, truncate = flags & 0x0200, exclusive = flags & 0x0400;
    if (create && exclusive)
        m.disposition = pf::CREATE_NEW;
    else if (create)
        m.disposition = truncate ? pf::CREATE_ALWAYS : pf::OPEN_ALWAYS;
    else
        m.disposition = truncate ? pf::TRUNCATE_EXISTING : pf::OPEN_EXISTING;
    m.attributes = (create && !(permission & PERMISSION_OWNER_WRITE)) ? pf::FILE_ATTRIBUTE_READONLY
                                                                      : pf::FILE_ATTRIBUTE_NORMAL;
    if (flags & 0x0040) {
        m.attributes |= pf::FILE_FLAG_DELETE_ON_CLOSE;
        m.access |= pf::DELETE;
    }
    if (flags & 0x1000) m.attributes |= pf::FILE_ATTRIBUTE_TEMPORARY;
    if (flags & 0x0020)
        m.attributes |= pf::FILE_FLAG_SEQUENTIAL_SCAN;
    else if (flags & 0x0010)
        m.attributes |= pf::FILE_FLAG_RANDOM_ACCESS;
    m.valid = true;
    return m;
}

// ---- the run ----

enum class Target { missing, disk, pipe, device, directory, unknown_type };

int open_slots() {
    int n = 0;
    for (int fd = 0; fd < fd_limit; ++fd)
        if (fd_info(fd)->fd_flags & FD_OPEN) ++n;
    return n;
}

std::uint8_t flags_of(int fd) {
    return fd_info(fd)->fd_flags;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    std::size_t at = 0;
    auto next = [&]() -> std::uint8_t { return at < size ? bytes[at++] : 0; };
    const int operation = next() % 3;
    const auto target = static_cast<Target>(next() % 6);
    const char* const contents_of[] = {"", "abc", "abc\x1a", "\x1a", "a\r\n\x1a\x1a"};
    const std::string contents = contents_of[next() % 5];

    fake::reset();
    const std::uint32_t types[] = {0, pf::FILE_TYPE_DISK,   pf::FILE_TYPE_PIPE, pf::FILE_TYPE_CHAR,
                                   0, pf::FILE_TYPE_UNKNOWN};
    if (target == Target::directory)
        fake::add_directory(PATH);
    else if (target != Target::missing)
        fake::add_file(PATH, contents, types[static_cast<int>(target)]);
    CHECK(init_fd_table() && init_stream_table());
    const int slots_before = open_slots();
    error_number = 0;
    os_error_code = 0;
    const int streams_before = count_streams_in_use();

    std::uint32_t open_flags;
    int share = SHARE_DENY_NONE;
    int permission = DEFAULT_PERMISSION;
    ModeModel mode{true, 0, 0};
    Stream* stream = nullptr;
    int fd = -1;
    if (operation == 2) {
        const std::uint32_t low = next();
        open_flags = low | (static_cast<std::uint32_t>(next()) << 8);
        share = next();
        const int permission_low = next();
        permission = permission_low | (next() << 8);
        fd = open_fd(PATH, open_flags, share, permission);
    } else {
        if (operation == 1) share = next();
        const std::string text(reinterpret_cast<const char*>(bytes + at), size - at);
        const std::string mode_text = text.substr(0, text.find('\0'));
        mode = model_mode(mode_text);
        open_flags = mode.open_flags;
        stream = operation == 1 ? open_stream_shared(PATH, mode_text.c_str(), share)
                                : open_stream(PATH, mode_text.c_str());
        if (stream != nullptr) fd = stream->fd;
    }

    const std::vector<fake::Call> creates = fake::calls_of(Op::create);
    const CreateModel create = model_create(open_flags, share, permission);
    if (!mode.valid || !create.valid) {
        // Refused before anything is opened.
        CHECK(creates.empty() && fd == -1 && stream == nullptr);
        if (mode.valid) CHECK(error_number == ERR_INVALID && os_error_code == 0);
        if (!mode.valid) CHECK(error_number == 0 && os_error_code == 0);
    } else {
        CHECK(creates.size() == 1);
        const fake::Call& call = creates[0];
        CHECK(call.path == PATH && call.access == create.access && call.share == create.share);
        CHECK(call.disposition == create.disposition && call.attributes == create.attributes);
        CHECK(call.inherit == create.inherit);
    }

    const bool opened = fd != -1;
    CHECK(opened == (stream != nullptr) || operation == 2);
    if (!opened) {
        // Nothing left in use, and every handle the platform gave was closed again.
        CHECK(open_slots() == slots_before && count_streams_in_use() == streams_before);
        if (!creates.empty() && creates[0].result != -1) CHECK(fake::call_count(Op::close) == 1);
        if (!creates.empty() && creates[0].result == -1)
            CHECK(error_number == map_os_error(creates[0].error) &&
                  os_error_code == creates[0].error);
        return 0;
    }

    CHECK(creates.size() == 1 && creates[0].result != -1);
    const std::uint32_t type = types[static_cast<int>(target)];
    std::uint8_t want_flags = create.fd_flags | FD_OPEN;
    if (type == pf::FILE_TYPE_CHAR) want_flags |= FD_DEVICE;
    if (type == pf::FILE_TYPE_PIPE) want_flags |= FD_PIPE;
    const bool disk = type == pf::FILE_TYPE_DISK || target == Target::missing;
    if (disk && (open_flags & 0x0008)) want_flags |= FD_APPEND;
    CHECK(flags_of(fd) == want_flags);
    if (stream != nullptr) {
        CHECK(stream->flags == mode.stream_flags && stream->base == nullptr && stream->count == 0);
        CHECK(count_streams_in_use() == streams_before + 1);
    }
    CHECK(open_slots() == slots_before + 1);

    // A read-write text disk file loses one final Ctrl-Z; nothing else changes its contents
    // except truncation.
    const bool cut =
        create.disposition == pf::CREATE_ALWAYS || create.disposition == pf::TRUNCATE_EXISTING;
    std::string want = target == Target::missing || (cut && disk) ? "" : contents;
    const bool trims = disk && (want_flags & FD_TEXT) && (open_flags & 3) == 2;
    if (trims && !want.empty() && want.back() == '\x1a') want.pop_back();
    if (fake::exists(PATH)) CHECK(fake::contents(PATH) == want);
    CHECK(!(flags_of(fd) & FD_EOF));
    if (disk) CHECK(seek_fd(fd, 0, pf::FILE_CURRENT) == 0);
    CHECK(close_fd(fd) == 0 && open_slots() == slots_before);
    return 0;
}
