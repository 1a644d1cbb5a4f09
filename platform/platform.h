// The operating-system services the text-mode layer stands on.
//
// The layer was designed over a handle-based kernel interface; these free functions keep its
// operations and semantics (handles that are never 0 or -1, failures reported through a last-error
// code in the kernel's own numbering, file types told apart as disk, character device or pipe).
// Two implementations exist: posix.cpp for the program and fake.cpp for the tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirzet::platform {

using OsHandle = std::int32_t;
constexpr OsHandle INVALID_HANDLE_VALUE = -1;

// Access rights of create_file.
constexpr std::uint32_t GENERIC_READ = 0x80000000u;
constexpr std::uint32_t GENERIC_WRITE = 0x40000000u;
constexpr std::uint32_t DELETE = 0x00010000u;

// Sharing granted to other openers of the same file.
constexpr std::uint32_t FILE_SHARE_READ = 0x1;
constexpr std::uint32_t FILE_SHARE_WRITE = 0x2;

// Dispositions of create_file.
constexpr std::uint32_t CREATE_NEW = 1;
constexpr std::uint32_t CREATE_ALWAYS = 2;
constexpr std::uint32_t OPEN_EXISTING = 3;
constexpr std::uint32_t OPEN_ALWAYS = 4;
constexpr std::uint32_t TRUNCATE_EXISTING = 5;

// Attributes and flags of create_file.
constexpr std::uint32_t FILE_ATTRIBUTE_READONLY = 0x00000001;
constexpr std::uint32_t FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr std::uint32_t FILE_ATTRIBUTE_TEMPORARY = 0x00000100;
constexpr std::uint32_t FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
constexpr std::uint32_t FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000;
constexpr std::uint32_t FILE_FLAG_RANDOM_ACCESS = 0x10000000;

// Results of get_file_type.
constexpr std::uint32_t FILE_TYPE_UNKNOWN = 0;
constexpr std::uint32_t FILE_TYPE_DISK = 1;
constexpr std::uint32_t FILE_TYPE_CHAR = 2;
constexpr std::uint32_t FILE_TYPE_PIPE = 3;

// Origins of set_file_pointer.
constexpr std::uint32_t FILE_BEGIN = 0;
constexpr std::uint32_t FILE_CURRENT = 1;
constexpr std::uint32_t FILE_END = 2;

// The standard handles, numbered as the descriptors they stand for.
constexpr std::uint32_t STD_INPUT_HANDLE = 0;
constexpr std::uint32_t STD_OUTPUT_HANDLE = 1;
constexpr std::uint32_t STD_ERROR_HANDLE = 2;

// Failure codes reported by get_last_error.
constexpr std::uint32_t ERROR_SUCCESS = 0;
constexpr std::uint32_t ERROR_INVALID_FUNCTION = 1;
constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;
constexpr std::uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr std::uint32_t ERROR_SHARING_VIOLATION = 32;
constexpr std::uint32_t ERROR_FILE_EXISTS = 80;
constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr std::uint32_t ERROR_BROKEN_PIPE = 109;
constexpr std::uint32_t ERROR_DISK_FULL = 112;
constexpr std::uint32_t ERROR_NEGATIVE_SEEK = 131;
constexpr std::uint32_t ERROR_FILENAME_EXCED_RANGE = 206;

// Opens or creates a file; INVALID_HANDLE_VALUE on failure, with the reason in get_last_error.
// `inherit` says whether child processes receive the handle.
OsHandle create_file(const char* path, std::uint32_t access, std::uint32_t share_mode, bool inherit,
                     std::uint32_t disposition, std::uint32_t attributes);

// Blocks until at least one byte is there or the data ends. Success with *got 0 is the end of the
// data; a pipe whose writer has gone may instead fail with ERROR_BROKEN_PIPE.
bool read_file(OsHandle handle, void* buffer, std::uint32_t wanted, std::uint32_t* got);

// Success with *written below n is a short write.
bool write_file(OsHandle handle, const void* data, std::uint32_t n, std::uint32_t* written);

// The new position from the start of the file, or -1 with the reason in get_last_error.
std::int64_t set_file_pointer(OsHandle handle, std::int64_t offset, std::uint32_t origin);

bool close_handle(OsHandle handle);
std::uint32_t get_file_type(OsHandle handle);
bool flush_file_buffers(OsHandle handle);
bool set_end_of_file(OsHandle handle);
std::uint32_t get_last_error();

OsHandle get_std_handle(std::uint32_t which);
bool set_std_handle(std::uint32_t which, OsHandle handle);

// The block of handles a parent passed down: a 32-bit count N, N flag bytes, N 32-bit handles,
// the numbers little-endian whatever the machine.
// Empty where the system has no such block.
struct InheritedHandles {
    const std::uint8_t* data;
    std::uint32_t size;
};
InheritedHandles get_inherited_handles();
void set_handle_count(std::uint32_t count);

// The value of a variable of the process's environment, or null when it has none. The text stays
// the process's for the run.
const char* get_environment_variable(const char* name);

// Memory for the layer's tables and buffers; null when none is to be had. Never freed in a run.
void* allocate(std::size_t bytes);

[[noreturn]] void exit_process(std::uint32_t status);

}  // namespace mirzet::platform
