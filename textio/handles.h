// Numbered handles: the fd table, opening and closing named files, and DOS text mode, which is the
// handles' business alone: text_read takes CR-LF in as LF and ends the data at a Ctrl-Z, and LF
// goes out as CR-LF either through text_write or through the sink a stream writing to a text-mode
// handle is given, which stores each LF with its CR as the stream's buffer fills. Also the
// process-wide error number and operating-system code.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "textio/scan.h"
#include "textio/scan/bytes.h"

namespace mirzet {

using platform::OsHandle;

// What a slot holds when no handle has been given to it (as INVALID_HANDLE_VALUE, but a slot's
// state rather than a failed call).
constexpr OsHandle NO_HANDLE = -1;

struct FdInfo {
    OsHandle os_handle;      // NO_HANDLE when the slot holds none
    std::uint8_t fd_flags;   // FD_*
    std::uint8_t lookahead;  // a character a read took in past a CR; LF when none is pending
};

constexpr std::uint8_t FD_OPEN = 0x01;
constexpr std::uint8_t FD_EOF = 0x02;
constexpr std::uint8_t FD_PIPE = 0x08;
constexpr std::uint8_t FD_NO_INHERIT = 0x10;
constexpr std::uint8_t FD_APPEND = 0x20;
constexpr std::uint8_t FD_DEVICE = 0x40;
constexpr std::uint8_t FD_TEXT = 0x80;

constexpr int FD_BLOCK_SIZE = 32;
constexpr int FD_BLOCK_COUNT = 64;
constexpr int FD_MAX = FD_BLOCK_SIZE * FD_BLOCK_COUNT;

extern FdInfo* fd_table[FD_BLOCK_COUNT];
extern int fd_limit;  // slots covered by the blocks allocated so far

// The record of fd, or null when fd lies outside the blocks allocated so far.
inline FdInfo* fd_info(int fd) {
    if (static_cast<std::uint32_t>(fd) >= static_cast<std::uint32_t>(fd_limit)) return nullptr;
    return &fd_table[fd / FD_BLOCK_SIZE][fd % FD_BLOCK_SIZE];
}

// The permission streams open files with (read and write for the owner, read for the others), and
// the owner-write bit that decides whether a file open_fd creates is writable.
constexpr int DEFAULT_PERMISSION = 0x1A4;
constexpr int PERMISSION_OWNER_WRITE = 0x80;

// Open flags of open_fd.
constexpr std::uint32_t OPEN_READ_ONLY = 0x0000;
constexpr std::uint32_t OPEN_WRITE_ONLY = 0x0001;
constexpr std::uint32_t OPEN_READ_WRITE = 0x0002;
constexpr std::uint32_t OPEN_ACCESS_MASK = 0x0003;
constexpr std::uint32_t OPEN_APPEND = 0x0008;
constexpr std::uint32_t OPEN_RANDOM = 0x0010;
constexpr std::uint32_t OPEN_SEQUENTIAL = 0x0020;
constexpr std::uint32_t OPEN_TEMPORARY = 0x0040;
constexpr std::uint32_t OPEN_NO_INHERIT = 0x0080;
constexpr std::uint32_t OPEN_CREATE = 0x0100;
constexpr std::uint32_t OPEN_TRUNCATE = 0x0200;
constexpr std::uint32_t OPEN_EXCLUSIVE = 0x0400;
constexpr std::uint32_t OPEN_SHORT_LIVED = 0x1000;
constexpr std::uint32_t OPEN_TEXT = 0x4000;
constexpr std::uint32_t OPEN_BINARY = 0x8000;

// Share flags of open_fd.
constexpr int SHARE_DENY_ALL = 0x10;
constexpr int SHARE_DENY_WRITE = 0x20;
constexpr int SHARE_DENY_READ = 0x30;
constexpr int SHARE_DENY_NONE = 0x40;

// Error numbers set by the layer.
constexpr int ERR_NO_ENTRY = 2;
constexpr int ERR_EXEC_FORMAT = 8;
constexpr int ERR_BAD_HANDLE = 9;
constexpr int ERR_NO_MEMORY = 12;
constexpr int ERR_ACCESS = 13;
constexpr int ERR_EXISTS = 17;
constexpr int ERR_INVALID = 22;
constexpr int ERR_TOO_MANY_OPEN = 24;
constexpr int ERR_NO_SPACE = 28;
constexpr int ERR_BROKEN_PIPE = 32;
constexpr int ERR_ILLEGAL_SEQUENCE = 42;

extern int error_number;
extern std::uint32_t os_error_code;

// The error number an operating-system failure code stands for.
int map_os_error(std::uint32_t code);
// Records the code and the error number it maps to.
void record_os_error(std::uint32_t code);

// Sets up the table and classifies the three standard handles; false when not even the first
// block of records could be allocated.
bool init_fd_table();

int is_device(int fd);
std::int64_t seek_fd(int fd, std::int64_t offset, std::uint32_t origin);
int allocate_fd();
int set_os_handle(int fd, OsHandle handle);
int release_fd(int fd);
OsHandle get_os_handle(int fd);
int open_fd(const char* path, std::uint32_t open_flags, int share, int permission);
int close_fd(int fd);
std::int32_t text_read(int fd, char* buffer, std::uint32_t count);
std::int32_t text_write(int fd, const char* buffer, std::uint32_t n);
int commit_fd(int fd);

// How the characters a stream writes to a handle are stored in its buffer and written from it,
// decided by the handle once, when the stream starts writing. The stream counts its room in
// characters and never looks at the bytes stored: a text-mode handle's sink stores each LF with
// its CR as it arrives, so that a byte leaves the input in one pass and the full buffer is written
// as it stands; any other sink stores the characters as given and writes them with text_write.
struct Sink {
    // Stores the n characters of text at out and returns the bytes stored, at most
    // n * bytes_per_char; it may write scratch up to SINK_OVERRUN bytes past them.
    std::uint32_t (*store)(char* out, const char* text, std::uint32_t n);
    // The same, for text followed by scan::PADDING bytes that may be read but are never written,
    // as a stream's own buffer holds past its characters.
    std::uint32_t (*store_padded)(char* out, const char* text, std::uint32_t n);
    // Writes `length` stored bytes in the chunks and calls that text_write makes of the characters
    // they hold, seeking an appending handle to its end first. Returns the stored bytes written,
    // or -1 with the error recorded, as text_write.
    std::int32_t (*write)(int fd, const char* stored, std::uint32_t length);
    std::uint32_t bytes_per_char;  // the most bytes that store gives one character
};

// A buffer with room for every sink: SINK_BYTES_PER_CHAR bytes a character, and SINK_OVERRUN past
// them for the scratch a store may leave.
constexpr std::uint32_t SINK_BYTES_PER_CHAR = 2;
constexpr std::uint32_t SINK_OVERRUN = scan::OVERRUN;

// The sink of a stream that starts writing to fd from a buffer holding room_per_char bytes for
// each character, and SINK_OVERRUN past them where room_per_char is SINK_BYTES_PER_CHAR. A buffer
// of one byte a character is given the sink that stores characters as given, whatever the handle.
const Sink* sink_for(int fd, std::uint32_t room_per_char);

// Fatal runtime errors are raised here and shown by whoever owns the process (the runtime installs
// the handler at start-up). The handler does not return; without one the process ends with 255.
using FatalErrorHandler = void (*)(int number);
constexpr int FATAL_NO_FLOATING_POINT = 2;  // a floating-point conversion, with no formatter linked
constexpr int FATAL_NO_STREAM_SPACE = 26;   // the stream table could not be allocated
constexpr int FATAL_NO_HANDLE_SPACE = 27;   // not even the first block of the handle table

void set_fatal_error_handler(FatalErrorHandler handler);
[[noreturn]] void raise_fatal_error(int number);

}  // namespace mirzet
