#include "textio/handles.h"

#include <cstring>
#include <optional>

#include "textio/scan.h"

namespace mirzet {

namespace pf = platform;

FdInfo* fd_table[FD_BLOCK_COUNT];
int fd_limit;
int error_number;
std::uint32_t os_error_code;

namespace {

FatalErrorHandler fatal_error_handler;

// ---- errors ----

struct ErrorPair {
    std::uint16_t code;
    std::uint8_t number;
};

constexpr ErrorPair error_pairs[] = {
    {1, 22},   {2, 2},    {3, 2},    {4, 24},    {5, 13},   {6, 9},   {7, 12},   {8, 12},
    {9, 12},   {10, 7},   {11, 8},   {12, 22},   {13, 22},  {15, 2},  {16, 13},  {17, 18},
    {18, 2},   {33, 13},  {53, 2},   {65, 13},   {67, 2},   {80, 17}, {82, 13},  {83, 13},
    {87, 22},  {89, 11},  {108, 13}, {109, 32},  {112, 28}, {114, 9}, {128, 10}, {129, 10},
    {130, 9},  {131, 22}, {132, 13}, {145, 41},  {158, 13}, {161, 2}, {164, 11}, {167, 13},
    {183, 17}, {206, 2},  {215, 11}, {1816, 12},
};

// A code the pairs leave out maps by the range it lies in, or to ERR_INVALID outside them all:
// 19 to 36 are a medium's or a lock's refusals (write-protected, not ready, locked, shared), 188
// to 202 a damaged program image's.
struct ErrorRange {
    std::uint16_t first, last;
    std::uint8_t number;
};

constexpr ErrorRange error_ranges[] = {
    {19, 36, ERR_ACCESS},
    {188, 202, ERR_EXEC_FORMAT},
};

// Each rule of recording a failure has one helper; record_os_error (the code and the number it maps
// to) is public.

// A failure found by the layer itself: no operating-system code goes with it.
void record_error(int number) {
    error_number = number;
    os_error_code = 0;
}

// A slot that cannot take the call, found before any system call: the code of an earlier failure
// is left as it was.
void record_bad_handle_keeping_code() {
    error_number = ERR_BAD_HANDLE;
}

// A system call failed and the layer, not the mapping, decides what the failure means.
void record_os_error_as(std::uint32_t code, int number) {
    os_error_code = code;
    error_number = number;
}

// ---- the table ----

FdInfo* new_block() {
    auto* block = static_cast<FdInfo*>(pf::allocate(sizeof(FdInfo) * FD_BLOCK_SIZE));
    if (block == nullptr) return nullptr;
    for (int i = 0; i < FD_BLOCK_SIZE; ++i)
        block[i] = FdInfo{NO_HANDLE, 0, LF};
    return block;
}

bool add_block() {
    int index = fd_limit / FD_BLOCK_SIZE;
    if (index >= FD_BLOCK_COUNT) return false;
    FdInfo* block = new_block();
    if (block == nullptr) return false;
    fd_table[index] = block;
    fd_limit += FD_BLOCK_SIZE;
    return true;
}

// The slot of an fd that is in range and open, or null.
FdInfo* open_slot(int fd) {
    FdInfo* info = fd_info(fd);
    return info != nullptr && (info->fd_flags & FD_OPEN) ? info : nullptr;
}

// The inherited-handle block's numbers are little-endian on every machine, as the system that
// defined the block wrote them.
std::uint32_t read_u32_le(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Takes the handles a parent passed down. The block is checked against its stated size, so a short
// or damaged block yields fewer handles rather than a read past its end.
void take_inherited_handles() {
    pf::InheritedHandles block = pf::get_inherited_handles();
    if (block.data == nullptr || block.size < 4) return;
    const std::uint64_t stated = read_u32_le(block.data);
    const std::uint8_t* flags = block.data + 4;
    const std::uint8_t* handles = flags + stated;
    const std::uint64_t room = block.size - 4;
    if (stated > room) return;
    std::uint64_t n = stated < FD_MAX ? stated : FD_MAX;
    n = n < (room - stated) / 4 ? n : (room - stated) / 4;
    while (static_cast<std::uint64_t>(fd_limit) < n) {
        if (!add_block()) {
            n = static_cast<std::uint64_t>(fd_limit);
            break;
        }
    }
    for (std::uint64_t i = 0; i < n; ++i) {
        auto handle = static_cast<OsHandle>(read_u32_le(handles + 4 * i));
        if (handle == pf::INVALID_HANDLE_VALUE || !(flags[i] & FD_OPEN)) continue;
        if (!(flags[i] & FD_PIPE) && pf::get_file_type(handle) == pf::FILE_TYPE_UNKNOWN) continue;
        FdInfo* info = fd_info(static_cast<int>(i));
        info->os_handle = handle;
        info->fd_flags = flags[i];
    }
}

// The flags a file type gives a slot: a character device such as a console is a device, a pipe a
// pipe, and a disk file neither.
std::uint8_t flags_of_type(std::uint32_t type) {
    if (type == pf::FILE_TYPE_CHAR) return FD_DEVICE;
    if (type == pf::FILE_TYPE_PIPE) return FD_PIPE;
    return 0;
}

// A standard handle is classified by the low byte of its type, so flags a system may set above it
// leave it what it is; an opened file's type is taken whole.
constexpr std::uint32_t STANDARD_TYPE_BITS = 0xFF;

void classify_standard_handle(int fd) {
    FdInfo& info = *fd_info(fd);
    if (info.os_handle != NO_HANDLE) {
        info.fd_flags |= FD_TEXT;
        return;
    }
    info.fd_flags = FD_OPEN | FD_TEXT;
    OsHandle handle = pf::get_std_handle(static_cast<std::uint32_t>(fd));
    std::uint32_t type =
        handle == pf::INVALID_HANDLE_VALUE ? pf::FILE_TYPE_UNKNOWN : pf::get_file_type(handle);
    if (type == pf::FILE_TYPE_UNKNOWN) {
        info.fd_flags |= FD_DEVICE;
        return;
    }
    info.os_handle = handle;
    info.fd_flags |= flags_of_type(type & STANDARD_TYPE_BITS);
}

}  // namespace

int map_os_error(std::uint32_t code) {
    for (const ErrorPair& pair : error_pairs)
        if (pair.code == code) return pair.number;
    for (const ErrorRange& range : error_ranges)
        if (code >= range.first && code <= range.last) return range.number;
    return ERR_INVALID;
}

void record_os_error(std::uint32_t code) {
    os_error_code = code;
    error_number = map_os_error(code);
}

void set_fatal_error_handler(FatalErrorHandler handler) {
    fatal_error_handler = handler;
}

void raise_fatal_error(int number) {
    if (fatal_error_handler != nullptr) fatal_error_handler(number);
    pf::exit_process(255);
}

bool init_fd_table() {
    std::memset(fd_table, 0, sizeof fd_table);
    fd_limit = 0;
    if (!add_block()) return false;
    take_inherited_handles();
    for (int fd = 0; fd < 3; ++fd)
        classify_standard_handle(fd);
    pf::set_handle_count(static_cast<std::uint32_t>(fd_limit));
    return true;
}

int is_device(int fd) {
    const FdInfo* info = fd_info(fd);
    return info != nullptr && (info->fd_flags & FD_DEVICE) ? 1 : 0;
}

std::int64_t seek_fd(int fd, std::int64_t offset, std::uint32_t origin) {
    FdInfo* info = open_slot(fd);
    if (info == nullptr) {
        record_error(ERR_BAD_HANDLE);
        return -1;
    }
    if (info->os_handle == NO_HANDLE) {
        record_bad_handle_keeping_code();
        return -1;
    }
    std::int64_t position = pf::set_file_pointer(info->os_handle, offset, origin);
    if (position == -1) {
        std::uint32_t code = pf::get_last_error();
        if (code != 0) {
            record_os_error(code);
            return -1;
        }
    }
    info->fd_flags &= static_cast<std::uint8_t>(~FD_EOF);
    // On a disk file the new position says where reading goes on; a byte held back is void.
    if (!(info->fd_flags & (FD_PIPE | FD_DEVICE))) info->lookahead = LF;
    return position;
}

int allocate_fd() {
    for (int block = 0; block < FD_BLOCK_COUNT; ++block) {
        if (fd_table[block] == nullptr) {
            if (!add_block()) return -1;
            return block * FD_BLOCK_SIZE;
        }
        for (int entry = 0; entry < FD_BLOCK_SIZE; ++entry) {
            FdInfo& info = fd_table[block][entry];
            if (!(info.fd_flags & FD_OPEN)) {
                info.os_handle = NO_HANDLE;
                return block * FD_BLOCK_SIZE + entry;
            }
        }
    }
    return -1;
}

int set_os_handle(int fd, OsHandle handle) {
    FdInfo* info = fd_info(fd);
    if (info == nullptr || info->os_handle != NO_HANDLE) {
        record_error(ERR_BAD_HANDLE);
        return -1;
    }
    info->os_handle = handle;
    if (fd < 3) pf::set_std_handle(static_cast<std::uint32_t>(fd), handle);
    return 0;
}

int release_fd(int fd) {
    FdInfo* info = open_slot(fd);
    if (info == nullptr || info->os_handle == NO_HANDLE) {
        record_error(ERR_BAD_HANDLE);
        return -1;
    }
    info->os_handle = NO_HANDLE;
    if (fd < 3) pf::set_std_handle(static_cast<std::uint32_t>(fd), 0);
    return 0;
}

OsHandle get_os_handle(int fd) {
    FdInfo* info = open_slot(fd);
    if (info == nullptr) {
        record_error(ERR_BAD_HANDLE);
        return -1;
    }
    return info->os_handle;
}

// ---- open_fd ----

namespace {

struct CreateArguments {
    std::uint32_t access;
    std::uint32_t share_mode;
    std::uint32_t disposition;
    std::uint32_t attributes;
    bool inherit;
    std::uint8_t fd_flags;
};

// Indexed by the access field: read only, write only, read-write.
constexpr std::uint32_t access_of[] = {
    pf::GENERIC_READ,
    pf::GENERIC_WRITE,
    pf::GENERIC_READ | pf::GENERIC_WRITE,
};

std::optional<std::uint32_t> share_mode_of(int share) {
    switch (share) {
        case SHARE_DENY_ALL:
            return 0;
        case SHARE_DENY_WRITE:
            return pf::FILE_SHARE_READ;
        case SHARE_DENY_READ:
            return pf::FILE_SHARE_WRITE;
        case SHARE_DENY_NONE:
            return pf::FILE_SHARE_READ | pf::FILE_SHARE_WRITE;
    }
    return std::nullopt;
}

std::uint32_t disposition_of(std::uint32_t open_flags) {
    const bool create = open_flags & OPEN_CREATE;
    const bool truncate = open_flags & OPEN_TRUNCATE;
    if (create && (open_flags & OPEN_EXCLUSIVE)) return pf::CREATE_NEW;
    if (create) return truncate ? pf::CREATE_ALWAYS : pf::OPEN_ALWAYS;
    return truncate ? pf::TRUNCATE_EXISTING : pf::OPEN_EXISTING;
}

std::uint32_t attributes_of(std::uint32_t open_flags, int permission) {
    std::uint32_t attributes = pf::FILE_ATTRIBUTE_NORMAL;
    if ((open_flags & OPEN_CREATE) && !(permission & PERMISSION_OWNER_WRITE))
        attributes = pf::FILE_ATTRIBUTE_READONLY;
    if (open_flags & OPEN_TEMPORARY) attributes |= pf::FILE_FLAG_DELETE_ON_CLOSE;
    if (open_flags & OPEN_SHORT_LIVED) attributes |= pf::FILE_ATTRIBUTE_TEMPORARY;
    if (open_flags & OPEN_SEQUENTIAL)
        attributes |= pf::FILE_FLAG_SEQUENTIAL_SCAN;
    else if (open_flags & OPEN_RANDOM)
        attributes |= pf::FILE_FLAG_RANDOM_ACCESS;
    return attributes;
}

// Turns the open flags into the arguments of create_file; false for an invalid access or share.
bool create_arguments(std::uint32_t open_flags, int share, int permission, CreateArguments* out) {
    const bool no_inherit = open_flags & OPEN_NO_INHERIT;
    out->inherit = !no_inherit;
    out->fd_flags = no_inherit ? FD_NO_INHERIT : 0;
    if (!(open_flags & OPEN_BINARY)) out->fd_flags |= FD_TEXT;
    const std::uint32_t access_field = open_flags & OPEN_ACCESS_MASK;
    if (access_field == OPEN_ACCESS_MASK) return false;
    out->access = access_of[access_field];
    // A file deleted on close must be opened with the right to delete it.
    if (open_flags & OPEN_TEMPORARY) out->access |= pf::DELETE;
    const std::optional<std::uint32_t> share_mode = share_mode_of(share);
    if (!share_mode) return false;
    out->share_mode = *share_mode;
    out->disposition = disposition_of(open_flags);
    out->attributes = attributes_of(open_flags, permission);
    return true;
}

// A read-write text file that ends in Ctrl-Z loses it, so that appended text is not hidden behind
// it. Returns false when the file had to be closed.
bool trim_final_ctrl_z(int fd) {
    if (seek_fd(fd, -1, pf::FILE_END) == -1) {
        if (os_error_code == pf::ERROR_NEGATIVE_SEEK) return true;  // empty file
        close_fd(fd);
        return false;
    }
    char last = 0;
    if (text_read(fd, &last, 1) == 0 && last == CTRL_Z) {
        const std::int64_t end = seek_fd(fd, 0, pf::FILE_CURRENT);
        seek_fd(fd, end - 1, pf::FILE_BEGIN);
        if (!pf::set_end_of_file(get_os_handle(fd))) {
            record_os_error_as(pf::get_last_error(), ERR_ACCESS);
            close_fd(fd);
            return false;
        }
        seek_fd(fd, end, pf::FILE_BEGIN);
    }
    if (seek_fd(fd, 0, pf::FILE_BEGIN) == -1) {
        close_fd(fd);
        return false;
    }
    return true;
}

}  // namespace

int open_fd(const char* path, std::uint32_t open_flags, int share, int permission) {
    CreateArguments args{};
    if (!create_arguments(open_flags, share, permission, &args)) {
        record_error(ERR_INVALID);
        return -1;
    }
    const int fd = allocate_fd();
    if (fd == -1) {
        record_error(ERR_TOO_MANY_OPEN);
        return -1;
    }
    OsHandle handle = pf::create_file(path, args.access, args.share_mode, args.inherit,
                                      args.disposition, args.attributes);
    if (handle == pf::INVALID_HANDLE_VALUE) {
        record_os_error(pf::get_last_error());
        return -1;
    }
    const std::uint32_t type = pf::get_file_type(handle);
    if (type == pf::FILE_TYPE_UNKNOWN) {
        pf::close_handle(handle);
        record_os_error(pf::get_last_error());
        return -1;
    }
    args.fd_flags |= flags_of_type(type);
    set_os_handle(fd, handle);
    FdInfo* info = fd_info(fd);
    info->fd_flags = args.fd_flags | FD_OPEN;

    const bool disk = !(args.fd_flags & (FD_PIPE | FD_DEVICE));
    const bool read_write = (open_flags & OPEN_ACCESS_MASK) == OPEN_READ_WRITE;
    if (disk && (args.fd_flags & FD_TEXT) && read_write && !trim_final_ctrl_z(fd)) return -1;
    if (disk && (open_flags & OPEN_APPEND)) info->fd_flags |= FD_APPEND;
    return fd;
}

int close_fd(int fd) {
    FdInfo* info = open_slot(fd);
    if (info == nullptr) {
        record_error(ERR_BAD_HANDLE);
        return -1;
    }
    const OsHandle handle = info->os_handle;
    std::uint32_t failure = 0;
    const bool shared_std = (fd == 1 || fd == 2) && fd_info(2) != nullptr &&
                            fd_info(1)->os_handle == fd_info(2)->os_handle;
    if (handle != NO_HANDLE && !shared_std && !pf::close_handle(handle))
        failure = pf::get_last_error();
    release_fd(fd);
    info->fd_flags = 0;
    // A character left pending must never reach the next file opened on this slot.
    info->lookahead = LF;
    if (failure != 0) {
        record_os_error(failure);
        return -1;
    }
    return 0;
}

// ---- text_read ----

namespace {

// A read or write refused with access denied means the handle is not open that way: error 9, the
// code kept. Any other failure maps as usual.
void record_transfer_failure(std::uint32_t code) {
    if (code == pf::ERROR_ACCESS_DENIED)
        record_os_error_as(code, ERR_BAD_HANDLE);
    else
        record_os_error(code);
}

// The outcome of looking one byte past a CR that ended the block.
struct Settled {
    char* out;         // the write position after what the CR gave
    bool look_failed;  // the look failed: the CR was left for the next read
};

// What a CR and the byte after it give when the byte is kept rather than given back: an LF
// completes the pair, anything else leaves the CR and waits in the look-ahead slot, so nothing is
// lost.
char* keep_peeked_byte(FdInfo& info, char* out, char peek) {
    if (peek == LF) {
        *out++ = LF;
    } else {
        *out++ = CR;
        info.lookahead = static_cast<std::uint8_t>(peek);
    }
    return out;
}

// A CR that ended the block is settled by reading one more byte: an LF makes the pair.
Settled settle_final_cr(int fd, FdInfo& info, char* buffer, char* out) {
    char peek = 0;
    std::uint32_t got = 0;
    if (!pf::read_file(info.os_handle, &peek, 1, &got)) {
        const std::uint32_t code = pf::get_last_error();
        if (code != pf::ERROR_BROKEN_PIPE) {
            // Deciding the CR blind could split a pair that the next read would have seen whole,
            // so it waits in the look-ahead slot and is settled again by the next read.
            record_transfer_failure(code);
            info.lookahead = static_cast<std::uint8_t>(CR);
            return {out, true};
        }
        got = 0;
    }
    if (got == 0) {
        *out++ = CR;  // the data ends with the CR
        return {out, false};
    }
    // A disk file gives the byte back by a seek, so that the next read starts at it; a pipe or
    // device cannot. A block that was a lone CR must not come back empty either, as 0 characters
    // read as the end of the data: an LF completing it is kept now.
    const bool disk = !(info.fd_flags & (FD_PIPE | FD_DEVICE));
    const bool give_back = disk && !(out == buffer && peek == LF);
    if (give_back && seek_fd(fd, -1, pf::FILE_CURRENT) != -1) {
        if (peek != LF) *out++ = CR;  // a CR before an LF goes, the LF is read next
        return {out, false};
    }
    return {keep_peeked_byte(info, out, peek), false};
}

// Converts the n bytes taken in at buffer in place and returns the number of characters kept:
// CR-LF becomes LF, a Ctrl-Z ends the data. -1 when the block was a lone CR that could not be
// settled. One call a block, kept out of line: inlined into a read of a single byte, its block
// loops would be compiled against that one-byte buffer, and the compiler would warn of stores
// that a length of 1 never reaches.
[[gnu::noinline]] std::int32_t convert_text(int fd, FdInfo& info, char* buffer, std::size_t n) {
    char* const end = buffer + n;
    const scan::Squeezed squeezed = scan::squeeze_crlf(buffer, static_cast<std::uint32_t>(n));
    char* const data_end = buffer + squeezed.data_end;  // the first Ctrl-Z, or the end
    char* out = buffer + squeezed.kept;
    const char* const last = buffer + squeezed.read;  // the byte before the data's end, if left
    if (last < data_end) {
        if (*last != CR) {
            *out++ = *last;
        } else if (data_end < end) {
            *out++ = CR;  // a Ctrl-Z follows it
        } else {
            const Settled settled = settle_final_cr(fd, info, buffer, out);
            if (settled.look_failed && settled.out == buffer) return -1;
            out = settled.out;
        }
    }
    if (data_end < end && !(info.fd_flags & FD_DEVICE)) info.fd_flags |= FD_EOF;
    return static_cast<std::int32_t>(out - buffer);
}

}  // namespace

std::int32_t text_read(int fd, char* buffer, std::uint32_t count) {
    FdInfo* info = open_slot(fd);
    if (info == nullptr) {
        record_error(ERR_BAD_HANDLE);
        return -1;
    }
    if (count == 0 || (info->fd_flags & FD_EOF)) return 0;
    if (count > INT32_MAX) count = INT32_MAX;  // the result must fit the signed count

    char* place = buffer;
    std::uint32_t wanted = count;
    char pending = 0;
    // Pipes and devices hold a byte taken in past a CR; a disk file only when a byte could not be
    // given back by a seek.
    const bool placed = info->lookahead != LF;
    if (placed) {
        pending = static_cast<char>(info->lookahead);
        *buffer = pending;
        info->lookahead = LF;
        ++place;
        --wanted;
    }

    std::uint32_t got = 0;
    if (!pf::read_file(info->os_handle, place, wanted, &got)) {
        const std::uint32_t code = pf::get_last_error();
        if (code != pf::ERROR_BROKEN_PIPE) {
            // The pending character stays pending: it belongs to the next successful read.
            if (placed) info->lookahead = static_cast<std::uint8_t>(pending);
            record_transfer_failure(code);
            return -1;
        }
        got = 0;  // the writer has gone: the end of the data, after any pending character
    }
    const std::size_t taken = got + (placed ? 1 : 0);
    if (!(info->fd_flags & FD_TEXT)) return static_cast<std::int32_t>(taken);
    return convert_text(fd, *info, buffer, taken);
}

// ---- text_write ----

namespace {

constexpr std::uint32_t CHUNK_LIMIT = 1024;

// Each write takes a chunk of CHUNK_LIMIT converted bytes, or one more where a pair crosses the
// limit, or the last bytes of the text. The text is converted a batch of chunks at a time, so a
// chunk costs a write and no call of the conversion: a 4096-character buffer, all LFs, fills
// one batch.
constexpr std::uint32_t BATCH_LIMIT = 8 * CHUNK_LIMIT;

struct WriteOutcome {
    std::uint32_t written;  // bytes that reached the handle, inserted CRs included
    std::uint32_t taken;    // bytes of the caller's buffer among them: the count text_write reports
    std::uint32_t error;    // failure code, 0 when none was reported
};

// The bytes of the caller's buffer among n converted bytes: all but the CRs inserted, each of which
// stands before an LF, among the bytes or just past them.
std::uint32_t text_bytes_in(const char* converted, std::uint32_t n, std::uint32_t length) {
    std::uint32_t taken = 0;
    for (std::uint32_t i = 0; i < n; ++i)
        if (!(converted[i] == CR && i + 1 < length && converted[i + 1] == LF)) ++taken;
    return taken;
}

// Writes the chunks of a batch of converted bytes: all of them where the batch ends the text, else
// those that end inside it. Returns whether every write went out whole; sent is left where the
// bytes written end.
[[gnu::always_inline]] inline bool write_chunks(OsHandle handle, const char* converted,
                                                std::uint32_t length, bool ends_text,
                                                std::uint32_t& sent, WriteOutcome& outcome) {
    while (sent < length) {
        std::uint32_t end = sent + CHUNK_LIMIT;
        if (end >= length) {
            if (!ends_text) break;  // the chunk ends past the batch: the next batch starts it
            end = length;
        } else if (converted[end] == LF) {
            ++end;  // a pair crossing the limit: only an inserted CR stands before an LF
        }
        std::uint32_t written = 0;
        if (!pf::write_file(handle, converted + sent, end - sent, &written)) {
            outcome.error = pf::get_last_error();
            return false;
        }
        outcome.written += written;
        sent += written;
        if (sent < end) return false;
    }
    return true;
}

WriteOutcome write_text(OsHandle handle, const char* buffer, std::uint32_t n) {
    WriteOutcome outcome{0, 0, 0};
    char batch[BATCH_LIMIT + scan::OVERRUN];  // past the limit: a pair completed, or scratch
    while (outcome.taken < n) {
        const std::uint32_t left = n - outcome.taken;
        const scan::Expanded expanded =
            scan::expand_lf(batch, BATCH_LIMIT, buffer + outcome.taken, left);
        std::uint32_t sent = 0;
        if (!write_chunks(handle, batch, expanded.length, expanded.taken == left, sent, outcome)) {
            // Only the bytes of the buffer that went out count: a CR whose LF was cut off does not.
            outcome.taken += text_bytes_in(batch, sent, expanded.length);
            break;
        }
        const std::uint32_t unsent = expanded.length - sent;  // the start of a chunk, or none
        outcome.taken += expanded.taken - text_bytes_in(batch + sent, unsent, unsent);
    }
    return outcome;
}

WriteOutcome write_binary(OsHandle handle, const char* buffer, std::uint32_t n) {
    std::uint32_t written = 0;
    if (!pf::write_file(handle, buffer, n, &written))
        return WriteOutcome{0, 0, pf::get_last_error()};
    return WriteOutcome{written, written, 0};
}

// Text converted as it was stored goes out in the same chunks as text_write cuts from its batch;
// each byte counts.
WriteOutcome write_as_converted(OsHandle handle, const char* converted, std::uint32_t length) {
    WriteOutcome outcome{0, 0, 0};
    std::uint32_t sent = 0;
    write_chunks(handle, converted, length, true, sent, outcome);
    outcome.taken = outcome.written;
    return outcome;
}

// The write shared by text_write and the text sink's: the open slot, the append seek, and what a
// write that sent nothing reports.
template <class Write>
std::int32_t write_to_slot(int fd, const char* buffer, std::uint32_t n, Write write) {
    FdInfo* info = open_slot(fd);
    if (info == nullptr) {
        record_error(ERR_BAD_HANDLE);
        return -1;
    }
    if (n == 0) return 0;
    if (n > INT32_MAX) n = INT32_MAX;  // the result must fit the signed count
    if (info->fd_flags & FD_APPEND) seek_fd(fd, 0, pf::FILE_END);

    const WriteOutcome outcome = write(*info, buffer, n);
    // Whatever went out is reported as the bytes of the buffer it carried, never the CRs added: at
    // most n, which is capped to INT32_MAX above, so the count can never go negative.
    if (outcome.written != 0) return static_cast<std::int32_t>(outcome.taken);
    if (outcome.error != 0) {
        record_transfer_failure(outcome.error);
        return -1;
    }
    if ((info->fd_flags & FD_DEVICE) && buffer[0] == CTRL_Z) return 0;
    record_error(ERR_NO_SPACE);
    return -1;
}

}  // namespace

std::int32_t text_write(int fd, const char* buffer, std::uint32_t n) {
    return write_to_slot(fd, buffer, n, [](const FdInfo& info, const char* text, std::uint32_t m) {
        return (info.fd_flags & FD_TEXT) ? write_text(info.os_handle, text, m)
                                         : write_binary(info.os_handle, text, m);
    });
}

// ---- sinks ----

namespace {

// The text sink's write: its bytes were converted as they were stored, and the handle's mode is
// text, as it was when the sink was chosen.
std::int32_t write_stored_text(int fd, const char* stored, std::uint32_t length) {
    return write_to_slot(fd, stored, length,
                         [](const FdInfo& info, const char* text, std::uint32_t m) {
                             return write_as_converted(info.os_handle, text, m);
                         });
}

std::uint32_t store_text(char* out, const char* text, std::uint32_t n) {
    return scan::expand_lf_all(out, text, n);
}

std::uint32_t store_padded_text(char* out, const char* text, std::uint32_t n) {
    return scan::expand_lf_padded(out, text, n);
}

std::uint32_t store_as_given(char* out, const char* text, std::uint32_t n) {
    scan::copy_apart(out, text, n);
    return n;
}

constexpr Sink TEXT_SINK = {store_text, store_padded_text, write_stored_text, 2};
constexpr Sink AS_GIVEN_SINK = {store_as_given, store_as_given, text_write, 1};
static_assert(TEXT_SINK.bytes_per_char <= SINK_BYTES_PER_CHAR);

}  // namespace

const Sink* sink_for(int fd, std::uint32_t room_per_char) {
    const FdInfo* info = open_slot(fd);
    const bool text = info != nullptr && (info->fd_flags & FD_TEXT);
    return text && room_per_char >= TEXT_SINK.bytes_per_char ? &TEXT_SINK : &AS_GIVEN_SINK;
}

int commit_fd(int fd) {
    if (open_slot(fd) == nullptr) {
        record_bad_handle_keeping_code();
        return -1;
    }
    if (!pf::flush_file_buffers(get_os_handle(fd))) {
        record_os_error_as(pf::get_last_error(), ERR_BAD_HANDLE);
        return -1;
    }
    return 0;
}

}  // namespace mirzet
