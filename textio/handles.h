// Numbered handles: the fd table, opening and closing named files, and the two places where DOS
// text-mode conversion happens (text_read: CR-LF in as LF, Ctrl-Z ends the data; text_write: LF
// out as CR-LF). Also the process-wide error number and operating-system code.
#pragma once

#include <cstdint>

#include "platform/platform.h"
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
// Whether fd is open in text mode, its writes given a CR before each LF.
int is_text_mode(int fd);
std::int64_t seek_fd(int fd, std::int64_t offset, std::uint32_t origin);
int allocate_fd();
int set_os_handle(int fd, OsHandle handle);
int release_fd(int fd);
OsHandle get_os_handle(int fd);
int open_fd(const char* path, std::uint32_t open_flags, int share, int permission);
int close_fd(int fd);
std::int32_t text_read(int fd, char* buffer, std::uint32_t count);
std::int32_t text_write(int fd, const char* buffer, std::uint32_t n);
// Writes text that its caller converted as text_write would (a CR before each LF of text mode), in
// the same chunks and calls as text_write makes of the text it came from: a stream that keeps its
// buffer converted hands the buffer here, so that its bytes are not converted a second time.
// Returns the converted bytes written, or -1 as text_write.
std::int32_t write_converted(int fd, const char* converted, std::uint32_t length);
int commit_fd(int fd);

// Fatal runtime errors are raised here and shown by whoever owns the process (the runtime installs
// the handler at start-up). The handler does not return; without one the process ends with 255.
using FatalErrorHandler = void (*)(int number);
constexpr int FATAL_NO_FLOATING_POINT = 2;  // a floating-point conversion, with no formatter linked
constexpr int FATAL_NO_STREAM_SPACE = 26;   // the stream table could not be allocated
constexpr int FATAL_NO_HANDLE_SPACE = 27;   // not even the first block of the handle table

void set_fatal_error_handler(FatalErrorHandler handler);
[[noreturn]] void raise_fatal_error(int number);

}  // namespace mirzet
