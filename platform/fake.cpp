// The scripted operating system of the tests. Everything lives in one State, built on first use
// and rebuilt by reset(). Failures set the last error; success leaves it as it was.
#include "platform/fake.h"

#include <unistd.h>
#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

namespace mirzet::fake {

using namespace mirzet::platform;

namespace {

struct File {
    std::string data;
    std::uint32_t type = FILE_TYPE_DISK;
    std::vector<std::uint32_t> chunks;
    bool directory = false;
    bool read_only = false;
    bool broken_pipe = false;
    bool delete_on_close = false;  // some handle asked for it: gone with the last handle
    // Pipes and devices: how far their data has been read, and where in the chunks that is.
    std::size_t read_to = 0;
    std::size_t chunk = 0;
    std::uint32_t chunk_left = 0;
    bool chunk_open = false;
};

struct Handle {
    std::shared_ptr<File> file;
    std::string path;
    std::int64_t position = 0;
    std::uint32_t access = 0;
};

struct Injection {
    Op op;
    int from;
    int to;  // inclusive; INT32_MAX for "and every later one"
    std::uint32_t error;
};

struct ShortWrite {
    int nth;
    std::uint32_t bytes;
};

constexpr int op_count = static_cast<int>(Op::allocate) + 1;

// Whether an operation is the last of Op. The switch names every operation, so a new one does not
// compile (-Wswitch) until it is placed here, and the check below then holds op_count to it.
constexpr bool is_last_op(Op op) {
    switch (op) {
        case Op::create:
        case Op::read:
        case Op::write:
        case Op::seek:
        case Op::close:
        case Op::file_type:
        case Op::flush:
        case Op::set_end:
            return false;
        case Op::allocate:
            return true;
    }
    return false;
}
static_assert(is_last_op(static_cast<Op>(op_count - 1)), "a count for every operation");
constexpr OsHandle std_handle_numbers[3] = {STDIN_HANDLE, STDOUT_HANDLE, STDERR_HANDLE};
constexpr const char* std_names[3] = {"<stdin>", "<stdout>", "<stderr>"};

struct State {
    std::map<std::string, std::shared_ptr<File>> files;
    std::map<OsHandle, Handle> handles;
    OsHandle next_handle = FIRST_FILE_HANDLE;
    OsHandle std_handles[3] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    std::uint32_t last_error = ERROR_SUCCESS;
    std::vector<Call> calls;
    int counts[op_count] = {};
    std::vector<Injection> injections;
    std::vector<ShortWrite> short_writes;
    std::vector<int> unknown_types;
    std::vector<void*> blocks;
    std::vector<std::uint8_t> inherited;
    std::map<std::string, std::string> environment;

    ~State() {
        for (void* block : blocks)
            std::free(block);
    }
};

// Where exit_process jumps back to while run_until_exit runs; kept apart from State so that a
// reset() inside the body cannot lose it.
struct ExitPoint {
    std::jmp_buf target;
    ExitPoint* outer;
};
ExitPoint* exit_point = nullptr;
std::uint32_t exit_status = 0;
bool last_run_exited = false;

std::unique_ptr<State> state_now;

void open_std(State& s, std::uint32_t which, std::uint32_t type, bool valid);

State& state() {
    if (!state_now) {
        state_now = std::make_unique<State>();
        for (std::uint32_t which = 0; which < 3; ++which) {
            open_std(*state_now, which, FILE_TYPE_CHAR, true);
        }
    }
    return *state_now;
}

void open_std(State& s, std::uint32_t which, std::uint32_t type, bool valid) {
    const OsHandle handle = std_handle_numbers[which];
    s.handles.erase(handle);
    s.std_handles[which] = INVALID_HANDLE_VALUE;
    if (!valid) return;
    auto file = std::make_shared<File>();
    file->type = type;
    s.files[std_names[which]] = file;
    std::uint32_t access = which == STD_INPUT_HANDLE ? GENERIC_READ : GENERIC_WRITE;
    s.handles[handle] = Handle{file, std_names[which], 0, access};
    s.std_handles[which] = handle;
}

std::shared_ptr<File>& existing(const std::string& path) {
    auto found = state().files.find(path);
    if (found == state().files.end()) throw std::logic_error("fake: no file named " + path);
    return found->second;
}

bool is_stream(const File& file) {
    return file.type == FILE_TYPE_PIPE || file.type == FILE_TYPE_CHAR;
}

// Counts the call and answers whether an injected failure hits it (0 when none does).
std::uint32_t injected_error(Op op) {
    State& s = state();
    int nth = ++s.counts[static_cast<int>(op)];
    for (const Injection& rule : s.injections) {
        if (rule.op == op && nth >= rule.from && nth <= rule.to) return rule.error;
    }
    return ERROR_SUCCESS;
}

int count_of(Op op) {
    return state().counts[static_cast<int>(op)];
}

Call& log_call(Op op, OsHandle handle, std::uint64_t size) {
    Call call{};
    call.op = op;
    call.handle = handle;
    call.size = size;
    state().calls.push_back(call);
    return state().calls.back();
}

// Records the outcome of a logged call, failure included; returns `ok` for the caller to pass on.
bool settle(Call& call, bool ok, std::int64_t result, std::uint32_t error) {
    call.result = ok ? result : -1;
    call.error = ok ? ERROR_SUCCESS : error;
    if (!ok) state().last_error = error;
    return ok;
}

Handle* find_handle(OsHandle handle) {
    auto found = state().handles.find(handle);
    return found == state().handles.end() ? nullptr : &found->second;
}

// The reason an open cannot go ahead on what lies at the path (0 when it can).
std::uint32_t open_refusal(const File* file, std::uint32_t access, std::uint32_t disposition) {
    bool write = (access & GENERIC_WRITE) != 0;
    if ((access & (GENERIC_READ | GENERIC_WRITE)) == 0) return ERROR_INVALID_PARAMETER;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return ERROR_INVALID_PARAMETER;
    if (disposition == TRUNCATE_EXISTING && !write) return ERROR_ACCESS_DENIED;
    if (file == nullptr) {
        bool creates = disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING;
        return creates ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    }
    if (file->directory) return ERROR_ACCESS_DENIED;
    if (disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
    if (write && file->read_only) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

std::shared_ptr<File> open_target(const std::string& path, std::uint32_t disposition,
                                  std::uint32_t attributes) {
    State& s = state();
    auto found = s.files.find(path);
    if (found == s.files.end()) {
        auto file = std::make_shared<File>();
        file->read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
        s.files[path] = file;
        return file;
    }
    bool cuts = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if (cuts && !is_stream(*found->second)) found->second->data.clear();
    return found->second;
}

// How many bytes the next read of a pipe or device may take, moving on through the chunks.
std::uint32_t chunk_allowance(File& file, std::uint32_t wanted) {
    if (file.chunks.empty()) return wanted;
    if (!file.chunk_open) {
        std::size_t index = std::min(file.chunk, file.chunks.size() - 1);
        file.chunk_left = file.chunks[index];
        file.chunk_open = true;
        ++file.chunk;
    }
    return std::min(wanted, file.chunk_left);
}

bool read_stream(Call& call, File& file, char* buffer, std::uint32_t wanted, std::uint32_t* got) {
    std::size_t remaining = file.data.size() - file.read_to;
    if (wanted == 0) return settle(call, true, 0, 0);
    if (remaining == 0) {
        if (file.broken_pipe) return settle(call, false, 0, ERROR_BROKEN_PIPE);
        return settle(call, true, 0, 0);
    }
    std::uint32_t n = chunk_allowance(file, wanted);
    n = static_cast<std::uint32_t>(std::min<std::size_t>(n, remaining));
    std::memcpy(buffer, file.data.data() + file.read_to, n);
    file.read_to += n;
    if (file.chunk_open) {
        file.chunk_left -= n;
        file.chunk_open = file.chunk_left > 0 && n > 0;
    }
    *got = n;
    return settle(call, true, n, 0);
}

bool read_disk(Call& call, Handle& handle, char* buffer, std::uint32_t wanted, std::uint32_t* got) {
    const std::string& data = handle.file->data;
    std::size_t start =
        std::min<std::size_t>(static_cast<std::size_t>(handle.position), data.size());
    std::uint32_t n =
        static_cast<std::uint32_t>(std::min<std::size_t>(wanted, data.size() - start));
    std::memcpy(buffer, data.data() + start, n);
    handle.position += n;
    *got = n;
    return settle(call, true, n, 0);
}

void write_bytes(Handle& handle, const char* bytes, std::uint32_t n) {
    std::string& data = handle.file->data;
    if (is_stream(*handle.file)) {
        data.append(bytes, n);
        return;
    }
    std::size_t at = static_cast<std::size_t>(handle.position);
    if (data.size() < at + n) data.resize(at + n, '\0');
    std::memcpy(data.data() + at, bytes, n);
    handle.position += n;
}

std::uint32_t short_write_limit(int nth, std::uint32_t n) {
    for (const ShortWrite& rule : state().short_writes) {
        if (rule.nth == nth) return std::min(rule.bytes, n);
    }
    return n;
}

bool contains(const std::vector<int>& list, int value) {
    for (int item : list) {
        if (item == value) return true;
    }
    return false;
}

void drop_if_deleted(const Handle& closed) {
    if (!closed.file->delete_on_close) return;
    for (const auto& [number, handle] : state().handles) {
        if (handle.file == closed.file) return;
    }
    auto found = state().files.find(closed.path);
    if (found != state().files.end() && found->second == closed.file) state().files.erase(found);
}

}  // namespace

void reset() {
    state_now.reset();
    state();
}

void add_file(const std::string& path, const std::string& contents, std::uint32_t type,
              std::vector<std::uint32_t> chunks) {
    std::shared_ptr<File>& slot = state().files[path];
    if (!slot) slot = std::make_shared<File>();
    *slot = File{};
    slot->data = contents;
    slot->type = type;
    slot->chunks = std::move(chunks);
}

void add_directory(const std::string& path) {
    add_file(path, "");
    state().files[path]->directory = true;
}

void end_with_broken_pipe(const std::string& path) {
    existing(path)->broken_pipe = true;
}

std::string contents(const std::string& path) {
    return existing(path)->data;
}

bool exists(const std::string& path) {
    return state().files.count(path) != 0;
}

void set_std(std::uint32_t which, std::uint32_t type, bool valid) {
    if (which > STD_ERROR_HANDLE)
        throw std::logic_error("fake: no standard handle " + std::to_string(which));
    open_std(state(), which, type, valid);
}

void set_inherited_handles(std::vector<std::uint8_t> block) {
    state().inherited = std::move(block);
}

void set_environment_variable(const std::string& name, const std::string& value) {
    state().environment[name] = value;
}

void fail_call(Op op, int nth, std::uint32_t error) {
    state().injections.push_back({op, nth, nth, error});
}

void fail_calls_from(Op op, int nth, std::uint32_t error) {
    state().injections.push_back({op, nth, INT32_MAX, error});
}

void short_write(int nth, std::uint32_t bytes) {
    state().short_writes.push_back({nth, bytes});
}

void report_unknown_type(int nth) {
    state().unknown_types.push_back(nth);
}

void fail_allocation(int nth) {
    fail_call(Op::allocate, nth, ERROR_NOT_ENOUGH_MEMORY);
}

const std::vector<Call>& calls() {
    return state().calls;
}

std::vector<Call> calls_of(Op op) {
    std::vector<Call> found;
    for (const Call& call : state().calls) {
        if (call.op == op) found.push_back(call);
    }
    return found;
}

int call_count(Op op) {
    return count_of(op);
}

int run_until_exit(void (*body)(void*), void* context) {
    ExitPoint point;
    point.outer = exit_point;
    exit_point = &point;
    // Nothing local is changed between here and the jump back, as setjmp requires.
    if (setjmp(point.target) == 0) {
        body(context);
        exit_point = point.outer;
        last_run_exited = false;
        return -1;
    }
    exit_point = point.outer;
    last_run_exited = true;
    return static_cast<int>(exit_status);
}

bool exited() {
    return last_run_exited;
}

}  // namespace mirzet::fake

namespace mirzet::platform {

using namespace mirzet::fake;

OsHandle create_file(const char* path, std::uint32_t access, std::uint32_t share_mode, bool inherit,
                     std::uint32_t disposition, std::uint32_t attributes) {
    std::uint32_t error = injected_error(Op::create);
    Call& call = log_call(Op::create, INVALID_HANDLE_VALUE, 0);
    call.path = path == nullptr ? "" : path;
    call.access = access;
    call.share = share_mode;
    call.disposition = disposition;
    call.attributes = attributes;
    call.inherit = inherit;
    if (error == ERROR_SUCCESS && path == nullptr) error = ERROR_INVALID_PARAMETER;
    if (error == ERROR_SUCCESS) {
        auto found = state().files.find(call.path);
        const File* file = found == state().files.end() ? nullptr : found->second.get();
        error = open_refusal(file, access, disposition);
    }
    if (error != ERROR_SUCCESS) {
        settle(call, false, 0, error);
        return INVALID_HANDLE_VALUE;
    }
    OsHandle handle = state().next_handle++;
    std::shared_ptr<File> file = open_target(call.path, disposition, attributes);
    if ((attributes & FILE_FLAG_DELETE_ON_CLOSE) != 0) file->delete_on_close = true;
    state().handles[handle] = Handle{file, call.path, 0, access};
    settle(call, true, handle, 0);
    return handle;
}

bool read_file(OsHandle handle, void* buffer, std::uint32_t wanted, std::uint32_t* got) {
    std::uint32_t error = injected_error(Op::read);
    Call& call = log_call(Op::read, handle, wanted);
    if (got != nullptr) *got = 0;
    Handle* open = find_handle(handle);
    if (error == ERROR_SUCCESS && got == nullptr) error = ERROR_INVALID_PARAMETER;
    if (error == ERROR_SUCCESS && open == nullptr) error = ERROR_INVALID_HANDLE;
    if (error == ERROR_SUCCESS && (open->access & GENERIC_READ) == 0) error = ERROR_ACCESS_DENIED;
    if (error != ERROR_SUCCESS) return settle(call, false, 0, error);
    char* bytes = static_cast<char*>(buffer);
    if (is_stream(*open->file)) return read_stream(call, *open->file, bytes, wanted, got);
    return read_disk(call, *open, bytes, wanted, got);
}

bool write_file(OsHandle handle, const void* data, std::uint32_t n, std::uint32_t* written) {
    std::uint32_t error = injected_error(Op::write);
    Call& call = log_call(Op::write, handle, n);
    const char* bytes = static_cast<const char*>(data);
    call.bytes.assign(bytes, n);
    if (written != nullptr) *written = 0;
    Handle* open = find_handle(handle);
    if (error == ERROR_SUCCESS && written == nullptr) error = ERROR_INVALID_PARAMETER;
    if (error == ERROR_SUCCESS && open == nullptr) error = ERROR_INVALID_HANDLE;
    if (error == ERROR_SUCCESS && (open->access & GENERIC_WRITE) == 0) error = ERROR_ACCESS_DENIED;
    if (error != ERROR_SUCCESS) return settle(call, false, 0, error);
    std::uint32_t accepted = short_write_limit(count_of(Op::write), n);
    write_bytes(*open, bytes, accepted);
    *written = accepted;
    return settle(call, true, accepted, 0);
}

std::int64_t set_file_pointer(OsHandle handle, std::int64_t offset, std::uint32_t origin) {
    std::uint32_t error = injected_error(Op::seek);
    Call& call = log_call(Op::seek, handle, static_cast<std::uint64_t>(offset));
    call.origin = origin;
    Handle* open = find_handle(handle);
    if (error == ERROR_SUCCESS && open == nullptr) error = ERROR_INVALID_HANDLE;
    if (error == ERROR_SUCCESS && is_stream(*open->file)) error = ERROR_INVALID_FUNCTION;
    if (error == ERROR_SUCCESS && origin > FILE_END) error = ERROR_INVALID_PARAMETER;
    if (error != ERROR_SUCCESS) {
        settle(call, false, 0, error);
        return -1;
    }
    std::int64_t base = origin == FILE_BEGIN ? 0
                        : origin == FILE_CURRENT
                            ? open->position
                            : static_cast<std::int64_t>(open->file->data.size());
    std::int64_t target = base + offset;
    if (target < 0) {
        settle(call, false, 0, ERROR_NEGATIVE_SEEK);
        return -1;
    }
    open->position = target;
    settle(call, true, target, 0);
    return target;
}

bool close_handle(OsHandle handle) {
    std::uint32_t error = injected_error(Op::close);
    Call& call = log_call(Op::close, handle, 0);
    auto found = state().handles.find(handle);
    if (error == ERROR_SUCCESS && found == state().handles.end()) error = ERROR_INVALID_HANDLE;
    if (error != ERROR_SUCCESS) return settle(call, false, 0, error);
    Handle closed = found->second;
    state().handles.erase(found);
    drop_if_deleted(closed);
    return settle(call, true, 0, 0);
}

std::uint32_t get_file_type(OsHandle handle) {
    std::uint32_t error = injected_error(Op::file_type);
    Call& call = log_call(Op::file_type, handle, 0);
    Handle* open = find_handle(handle);
    if (error == ERROR_SUCCESS && open == nullptr) error = ERROR_INVALID_HANDLE;
    if (error == ERROR_SUCCESS && open->file->type == FILE_TYPE_UNKNOWN) {
        error = ERROR_INVALID_HANDLE;
    }
    if (error != ERROR_SUCCESS) {
        settle(call, false, 0, error);
        call.result = FILE_TYPE_UNKNOWN;
        return FILE_TYPE_UNKNOWN;
    }
    if (contains(state().unknown_types, count_of(Op::file_type))) {
        state().last_error = ERROR_SUCCESS;
        settle(call, true, FILE_TYPE_UNKNOWN, 0);
        return FILE_TYPE_UNKNOWN;
    }
    settle(call, true, open->file->type, 0);
    return open->file->type;
}

bool flush_file_buffers(OsHandle handle) {
    std::uint32_t error = injected_error(Op::flush);
    Call& call = log_call(Op::flush, handle, 0);
    Handle* open = find_handle(handle);
    if (error == ERROR_SUCCESS && open == nullptr) error = ERROR_INVALID_HANDLE;
    if (error == ERROR_SUCCESS && (open->access & GENERIC_WRITE) == 0) error = ERROR_ACCESS_DENIED;
    return settle(call, error == ERROR_SUCCESS, 0, error);
}

bool set_end_of_file(OsHandle handle) {
    std::uint32_t error = injected_error(Op::set_end);
    Call& call = log_call(Op::set_end, handle, 0);
    Handle* open = find_handle(handle);
    if (error == ERROR_SUCCESS && open == nullptr) error = ERROR_INVALID_HANDLE;
    if (error == ERROR_SUCCESS && (open->access & GENERIC_WRITE) == 0) error = ERROR_ACCESS_DENIED;
    if (error == ERROR_SUCCESS && is_stream(*open->file)) error = ERROR_INVALID_FUNCTION;
    if (error != ERROR_SUCCESS) return settle(call, false, 0, error);
    open->file->data.resize(static_cast<std::size_t>(open->position), '\0');
    return settle(call, true, 0, 0);
}

std::uint32_t get_last_error() {
    return state().last_error;
}

OsHandle get_std_handle(std::uint32_t which) {
    if (which > STD_ERROR_HANDLE) {
        state().last_error = ERROR_INVALID_HANDLE;
        return INVALID_HANDLE_VALUE;
    }
    return state().std_handles[which];
}

bool set_std_handle(std::uint32_t which, OsHandle handle) {
    if (which > STD_ERROR_HANDLE) {
        state().last_error = ERROR_INVALID_PARAMETER;
        return false;
    }
    state().std_handles[which] = handle;
    return true;
}

InheritedHandles get_inherited_handles() {
    const std::vector<std::uint8_t>& block = state().inherited;
    if (block.empty()) return {nullptr, 0};
    return {block.data(), static_cast<std::uint32_t>(block.size())};
}

void set_handle_count(std::uint32_t count) {
    (void)count;
}

const char* get_environment_variable(const char* name) {
    const auto found = state().environment.find(name);
    return found != state().environment.end() ? found->second.c_str() : nullptr;
}

// Blocks are filled with a junk pattern, so that code relying on fresh memory being zero shows.
void* allocate(std::size_t bytes) {
    std::uint32_t error = injected_error(Op::allocate);
    Call& call = log_call(Op::allocate, INVALID_HANDLE_VALUE, bytes);
    if (error != ERROR_SUCCESS) {
        settle(call, false, 0, error);
        return nullptr;
    }
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) {
        settle(call, false, 0, ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::memset(block, 0xA5, bytes);
    state().blocks.push_back(block);
    settle(call, true, static_cast<std::int64_t>(bytes), 0);
    return block;
}

void exit_process(std::uint32_t status) {
    if (exit_point == nullptr) _exit(static_cast<int>(status));
    exit_status = status;
    std::longjmp(exit_point->target, 1);
}

}  // namespace mirzet::platform
