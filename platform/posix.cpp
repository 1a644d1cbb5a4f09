// The platform layer over POSIX descriptors, for the program.
//
// A handle is a descriptor plus one, so that no valid handle is 0 (which the layer above reads as
// "no handle") or -1. Failures set a process-wide last-error code in the kernel numbering of
// platform.h; success leaves it as it was, as the layer expects when it reads the code after a
// close that followed a failure.
//
// Share modes cannot be enforced here: other openers may always read and write the file.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace mirzet::platform {

static_assert(sizeof(off_t) == 8, "file positions are 64-bit: the build asks for them");

namespace {

// Codes the layer never tests for by name, but which say more than a bare failure.
constexpr std::uint32_t ERROR_WRITE_PROTECT = 19;
constexpr std::uint32_t ERROR_GEN_FAILURE = 31;
constexpr std::uint32_t ERROR_NOT_SUPPORTED = 50;
constexpr std::uint32_t ERROR_CANT_RESOLVE_FILENAME = 1921;

std::uint32_t last_error = ERROR_SUCCESS;

struct ErrnoCode {
    int error;
    std::uint32_t code;
};

constexpr ErrnoCode errno_codes[] = {
    {EPERM, ERROR_ACCESS_DENIED},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENXIO, ERROR_FILE_NOT_FOUND},
    {ENODEV, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_WRITE_PROTECT},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EEXIST, ERROR_FILE_EXISTS},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {EFBIG, ERROR_DISK_FULL},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EPIPE, ERROR_BROKEN_PIPE},
    {ESPIPE, ERROR_INVALID_FUNCTION},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EBUSY, ERROR_SHARING_VIOLATION},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {EIO, ERROR_GEN_FAILURE},
};

std::uint32_t code_of(int error) {
    for (const ErrnoCode& pair : errno_codes) {
        if (pair.error == error) return pair.code;
    }
    return ERROR_GEN_FAILURE;
}

void fail_with(std::uint32_t code) {
    last_error = code;
}
void fail_with_errno() {
    last_error = code_of(errno);
}

// Handle values 1 and up name descriptors 0 and up.
int descriptor_of(OsHandle handle) {
    return handle > 0 ? handle - 1 : -1;
}
OsHandle handle_of(int descriptor) {
    return static_cast<OsHandle>(descriptor + 1);
}

// A descriptor opened without the access a call needs is refused like a closed one (EBADF, or
// EINVAL from ftruncate); the layer must tell the two apart, so look at the descriptor's own mode.
bool opened_only_for(int descriptor, int mode) {
    int status = fcntl(descriptor, F_GETFL);
    return status != -1 && (status & O_ACCMODE) == mode;
}

void fail_with_access_or(int error, int descriptor, int other_mode) {
    bool refused = error == EBADF || error == EINVAL;
    fail_with(refused && opened_only_for(descriptor, other_mode) ? ERROR_ACCESS_DENIED
                                                                 : code_of(error));
}

// A descriptor left non-blocking by whoever started us would make reads and writes fail with
// EAGAIN; wait for it to become ready instead, since callers expect a blocking descriptor.
bool wait_until_ready(int descriptor, short events) {
    pollfd entry{descriptor, events, 0};
    while (poll(&entry, 1, -1) == -1) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool is_retryable(int descriptor, short events) {
    if (errno == EINTR) return true;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return wait_until_ready(descriptor, events);
    return false;
}

int access_flags(std::uint32_t access) {
    bool read = (access & GENERIC_READ) != 0;
    bool write = (access & GENERIC_WRITE) != 0;
    if (read && write) return O_RDWR;
    if (write) return O_WRONLY;
    if (read) return O_RDONLY;
    return -1;
}

int disposition_flags(std::uint32_t disposition) {
    switch (disposition) {
        case OPEN_EXISTING:
            return 0;
        case OPEN_ALWAYS:
            return O_CREAT;
        case CREATE_NEW:
            return O_CREAT | O_EXCL;
        case CREATE_ALWAYS:
            return O_CREAT | O_TRUNC;
        case TRUNCATE_EXISTING:
            return O_TRUNC;
        default:
            return -1;
    }
}

// The flags of open(), or -1 with the last error set for a request that cannot be expressed.
int open_flags(std::uint32_t access, bool inherit, std::uint32_t disposition) {
    int access_mode = access_flags(access);
    int creation = disposition_flags(disposition);
    if (access_mode == -1 || creation == -1) {
        fail_with(ERROR_INVALID_PARAMETER);
        return -1;
    }
    // Cutting a file is a change to it, which a handle without write access may not make.
    if ((creation & O_TRUNC) != 0 && access_mode == O_RDONLY) {
        fail_with(ERROR_ACCESS_DENIED);
        return -1;
    }
    return access_mode | creation | O_NOCTTY | (inherit ? 0 : O_CLOEXEC);
}

// openat from the working directory rather than open: some C libraries make open() the older
// call of its own, and the program's calls should not depend on which one it was linked with.
int open_retrying(const char* path, int flags, mode_t mode) {
    int descriptor;
    do {
        descriptor = openat(AT_FDCWD, path, flags, mode);
    } while (descriptor == -1 && errno == EINTR);
    return descriptor;
}

// A directory opens for reading but is no file; refuse it as the home platform does.
bool refuse_directory(int descriptor) {
    struct stat info;
    if (fstat(descriptor, &info) == -1) {
        fail_with_errno();
        return true;
    }
    if (!S_ISDIR(info.st_mode)) return false;
    fail_with(ERROR_ACCESS_DENIED);
    return true;
}

void advise_access_pattern(int descriptor, std::uint32_t attributes) {
    // A hint only: a pipe or device refuses it, a system without it never hears it, and nothing
    // is lost.
#if MIRZET_HAVE_POSIX_FADVISE
    if ((attributes & FILE_FLAG_SEQUENTIAL_SCAN) != 0) {
        posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
    } else if ((attributes & FILE_FLAG_RANDOM_ACCESS) != 0) {
        posix_fadvise(descriptor, 0, 0, POSIX_FADV_RANDOM);
    }
#else
    (void)descriptor;
    (void)attributes;
#endif
}

// ENOENT stands both for a missing file and for a missing directory on the way to it, which the
// layer reports differently; a parent that cannot be found means the path is at fault.
std::uint32_t missing_code(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr || slash == path) return ERROR_FILE_NOT_FOUND;
    char parent[PATH_MAX];
    std::size_t length = static_cast<std::size_t>(slash - path);
    if (length >= sizeof parent) return ERROR_PATH_NOT_FOUND;
    std::memcpy(parent, path, length);
    parent[length] = '\0';
    struct stat info;
    bool found = stat(parent, &info) == 0 && S_ISDIR(info.st_mode);
    return found ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

OsHandle fail_open(int descriptor) {
    close(descriptor);
    return INVALID_HANDLE_VALUE;
}

int whence_of(std::uint32_t origin) {
    switch (origin) {
        case FILE_BEGIN:
            return SEEK_SET;
        case FILE_CURRENT:
            return SEEK_CUR;
        case FILE_END:
            return SEEK_END;
        default:
            return -1;
    }
}

// What get_std_handle answers once set_std_handle has spoken for a standard handle.
struct StdSlot {
    bool set;
    OsHandle handle;
};
StdSlot std_slots[3] = {};

}  // namespace

// FILE_FLAG_DELETE_ON_CLOSE removes the name at once, right after the open: the data lives on
// until the last descriptor is closed, but no other opener can find the file meanwhile.
// FILE_ATTRIBUTE_TEMPORARY needs nothing: the page cache already keeps a short-lived file in
// memory.
OsHandle create_file(const char* path, std::uint32_t access, std::uint32_t share_mode, bool inherit,
                     std::uint32_t disposition, std::uint32_t attributes) {
    (void)share_mode;
    if (path == nullptr) {
        fail_with(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int flags = open_flags(access, inherit, disposition);
    if (flags == -1) return INVALID_HANDLE_VALUE;
    mode_t mode = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
    int descriptor = open_retrying(path, flags, mode);
    if (descriptor == -1) {
        fail_with(errno == ENOENT ? missing_code(path) : code_of(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (descriptor == INT_MAX) {
        fail_with(ERROR_TOO_MANY_OPEN_FILES);
        return fail_open(descriptor);
    }
    if (refuse_directory(descriptor)) return fail_open(descriptor);
    if ((attributes & FILE_FLAG_DELETE_ON_CLOSE) != 0 && unlink(path) == -1) {
        fail_with_errno();
        return fail_open(descriptor);
    }
    advise_access_pattern(descriptor, attributes);
    return handle_of(descriptor);
}

bool read_file(OsHandle handle, void* buffer, std::uint32_t wanted, std::uint32_t* got) {
    if (got == nullptr) {
        fail_with(ERROR_INVALID_PARAMETER);
        return false;
    }
    *got = 0;
    int descriptor = descriptor_of(handle);
    ssize_t n;
    do {
        n = read(descriptor, buffer, wanted);
    } while (n == -1 && is_retryable(descriptor, POLLIN));
    if (n == -1) {
        fail_with_access_or(errno, descriptor, O_WRONLY);
        return false;
    }
    *got = static_cast<std::uint32_t>(n);
    return true;
}

namespace {

// The rest of a write that the system took only in part, or refused, n_now being what its first
// call returned: kept out of line, so that a write taken whole costs one call and one test.
[[gnu::noinline]] bool write_rest(int descriptor, const char* bytes, std::uint32_t n, ssize_t n_now,
                                  std::uint32_t* written) {
    std::uint32_t done = 0;
    int error = 0;
    for (;;) {
        if (n_now > 0) {
            done += static_cast<std::uint32_t>(n_now);
        } else if (n_now == 0) {
            break;  // a device that takes nothing now: report what went out
        } else if (!is_retryable(descriptor, POLLOUT)) {
            error = errno;
            break;
        }
        if (done >= n) break;
        n_now = write(descriptor, bytes + done, n - done);
    }
    *written = done;
    if (done > 0 || error == 0) return true;
    fail_with_access_or(error, descriptor, O_RDONLY);
    return false;
}

}  // namespace

// All n bytes go out unless the system refuses. Refused after some went out, the call succeeds
// with the short count, so the caller learns how much was written; refused at once, it fails.
bool write_file(OsHandle handle, const void* data, std::uint32_t n, std::uint32_t* written) {
    if (written == nullptr) {
        fail_with(ERROR_INVALID_PARAMETER);
        return false;
    }
    const int descriptor = descriptor_of(handle);
    const char* bytes = static_cast<const char*>(data);
    // One call even for n of 0, so that a bad handle is still reported.
    const ssize_t n_now = write(descriptor, bytes, n);
    if (n_now >= 0 && static_cast<std::size_t>(n_now) == n) {
        *written = n;
        return true;
    }
    return write_rest(descriptor, bytes, n, n_now, written);
}

std::int64_t set_file_pointer(OsHandle handle, std::int64_t offset, std::uint32_t origin) {
    int whence = whence_of(origin);
    if (whence == -1) {
        fail_with(ERROR_INVALID_PARAMETER);
        return -1;
    }
    off_t position = lseek(descriptor_of(handle), offset, whence);
    if (position != -1) return position;
    // With a valid origin, only a result before the start or past the largest size is refused
    // as invalid, and a positive offset cannot lead before the start.
    if (errno == EINVAL && offset < 0) {
        fail_with(ERROR_NEGATIVE_SEEK);
    } else {
        fail_with_errno();
    }
    return -1;
}

bool close_handle(OsHandle handle) {
    // An interrupted close has still released the descriptor on this system; retrying could
    // close one that another open has taken meanwhile.
    if (close(descriptor_of(handle)) == 0 || errno == EINTR) return true;
    fail_with_errno();
    return false;
}

std::uint32_t get_file_type(OsHandle handle) {
    struct stat info;
    if (fstat(descriptor_of(handle), &info) == -1) {
        fail_with_errno();
        return FILE_TYPE_UNKNOWN;
    }
    if (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) return FILE_TYPE_DISK;
    if (S_ISCHR(info.st_mode)) return FILE_TYPE_CHAR;
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return FILE_TYPE_PIPE;
    // A directory, or anything stranger, that came in as a standard handle.
    fail_with(S_ISDIR(info.st_mode) ? ERROR_ACCESS_DENIED : ERROR_INVALID_FUNCTION);
    return FILE_TYPE_UNKNOWN;
}

bool flush_file_buffers(OsHandle handle) {
    int descriptor = descriptor_of(handle);
    int result;
    do {
        result = fsync(descriptor);
    } while (result == -1 && errno == EINTR);
    if (result == 0) return true;
    fail_with_errno();
    return false;
}

bool set_end_of_file(OsHandle handle) {
    int descriptor = descriptor_of(handle);
    off_t position = lseek(descriptor, 0, SEEK_CUR);
    if (position == -1) {
        fail_with_errno();
        return false;
    }
    int result;
    do {
        result = ftruncate(descriptor, position);
    } while (result == -1 && errno == EINTR);
    if (result == 0) return true;
    fail_with_access_or(errno, descriptor, O_RDONLY);
    return false;
}

std::uint32_t get_last_error() {
    return last_error;
}

OsHandle get_std_handle(std::uint32_t which) {
    if (which > STD_ERROR_HANDLE) {
        fail_with(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    if (std_slots[which].set) return std_slots[which].handle;
    int descriptor = static_cast<int>(which);
    if (fcntl(descriptor, F_GETFD) == -1) {
        fail_with(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    return handle_of(descriptor);
}

// Only the answer of get_std_handle changes; descriptors 0 to 2 stay as they are. A null handle
// stored here stands for "no standard handle".
bool set_std_handle(std::uint32_t which, OsHandle handle) {
    if (which > STD_ERROR_HANDLE) {
        fail_with(ERROR_INVALID_PARAMETER);
        return false;
    }
    std_slots[which] = {true, handle};
    return true;
}

InheritedHandles get_inherited_handles() {
    return {nullptr, 0};
}

void set_handle_count(std::uint32_t count) {
    (void)count;
}

const char* get_environment_variable(const char* name) {
    return std::getenv(name);
}

void* allocate(std::size_t bytes) {
    return std::malloc(bytes == 0 ? 1 : bytes);
}

// A normal exit, so that sanitizer leak checks and coverage counters still run; the layer
// registers nothing of its own to run at exit.
void exit_process(std::uint32_t status) {
    std::exit(static_cast<int>(status));
}

}  // namespace mirzet::platform
