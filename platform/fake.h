// A scriptable stand-in for the operating system, for tests: named files with given contents and
// types, pipes and devices that deliver their data in given chunks, a log of every call, and
// failures injected at any call or allocation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace mirzet::fake {

using platform::OsHandle;

enum class Op : std::uint8_t {
    create,
    read,
    write,
    seek,
    close,
    file_type,
    flush,
    set_end,
    allocate,
};

struct Call {
    Op op;
    OsHandle handle;      // INVALID_HANDLE_VALUE for create and allocate
    std::uint64_t size;   // bytes asked for (read, write, allocate), offset (seek)
    std::int64_t result;  // bytes got or written, new position, new handle, file type (0 when it
                          // cannot be told), bytes allocated; 0 for close, flush and set_end; -1 on
                          // failure
    std::uint32_t error;  // the failure code, 0 on success
    std::string bytes;    // the bytes of a write as passed
    std::string path;     // create only
    std::uint32_t access, share, disposition, attributes;  // create only
    bool inherit;                                          // create only
    std::uint32_t origin = 0;                              // seek only
};

// The standard handles, and the first of the handles create_file hands out, counting up.
constexpr OsHandle STDIN_HANDLE = 10;
constexpr OsHandle STDOUT_HANDLE = 11;
constexpr OsHandle STDERR_HANDLE = 12;
constexpr OsHandle FIRST_FILE_HANDLE = 100;

// Forgets every file, handle, call and injected failure and frees what allocate() handed out. The
// layer above keeps its own state (its fatal-error handler among it): resetting that is the tests'.
void reset();

// A file reachable by path. `type` is a platform FILE_TYPE_*; pipes and devices deliver their data
// in the given chunk sizes (the last size repeats; none means everything a read asks for).
// A read never crosses from one chunk into the next, and one that asks for less than a chunk
// leaves the rest of it for the next read; a chunk of 0 makes one read give 0 bytes.
// Pipes and devices are read once, whichever handle reads them; disk files have a position per
// handle. On a path that exists already, the contents and type are replaced in place and handles
// open on it see the new data: this is how a test gives the standard handles their data
// (add_file("<stdin>", ...)).
void add_file(const std::string& path, const std::string& contents,
              std::uint32_t type = platform::FILE_TYPE_DISK,
              std::vector<std::uint32_t> chunks = {});
// A path that exists but opens with ERROR_ACCESS_DENIED, as a directory does.
void add_directory(const std::string& path);
// When the data of a pipe runs out, reads fail with ERROR_BROKEN_PIPE instead of giving 0 bytes.
void end_with_broken_pipe(const std::string& path);
// The current contents of a file, written ones included (for a pipe or device, read ones too).
// Throws std::logic_error for a path that does not exist.
std::string contents(const std::string& path);
// Whether a path exists (a file opened with FILE_FLAG_DELETE_ON_CLOSE goes when its last handle
// is closed).
bool exists(const std::string& path);

// Sets a standard handle to a fresh file of the given type, named "<stdin>", "<stdout>" or
// "<stderr>", or to INVALID_HANDLE_VALUE with `valid` false. After reset() all three are valid
// devices without data; standard input is opened for reading, output and error for writing.
void set_std(std::uint32_t which, std::uint32_t type, bool valid = true);

// The block of inherited handles get_inherited_handles() reports.
void set_inherited_handles(std::vector<std::uint8_t> block);

// A variable of the environment get_environment_variable() reports; after reset() there are none.
void set_environment_variable(const std::string& name, const std::string& value);

// Failure injection; `nth` counts calls of that kind from 1 since reset().
void fail_call(Op op, int nth, std::uint32_t error);
void fail_calls_from(Op op, int nth, std::uint32_t error);  // the nth and every later one
void short_write(int nth, std::uint32_t bytes);             // nth write accepts only `bytes`
// nth get_file_type answers 0 and sets the last error to 0, as the home system does for a type it
// cannot tell; fail_call(Op::file_type, ...) answers 0 with a code instead.
void report_unknown_type(int nth);
void fail_allocation(int nth);

const std::vector<Call>& calls();
std::vector<Call> calls_of(Op op);
int call_count(Op op);

// Runs body() and returns the status it passed to exit_process, or -1 when it returned.
// Without run_until_exit, exit_process ends the test process.
// The fake's exit_process leaves body by longjmp: no destructor between it and run_until_exit
// runs. So body, and whatever it calls that may end the process, must not keep on the stack an
// object that owns memory or must be undone (std::string, std::vector, a lock, a guard); keep
// such state in the context or in globals.
int run_until_exit(void (*body)(void*), void* context);
// Whether the last run_until_exit ended through exit_process (a status of all bits set reads as
// -1 too).
bool exited();

}  // namespace mirzet::fake
