// Feeds arbitrary formats and argument lists to the format engine.
//
// Input: one byte choosing the capacity of a small memory stream, one byte for the number of
// arguments, the arguments (a kind byte, then the value), and the rest is the format. The engine
// writes each input three times: into a large memory stream, into the small one, and, when the
// first fitted, through a redirected standard output of the fake platform. Beyond the sanitizers'
// findings it checks that the small stream holds the start of the large one and reports -1 exactly
// when it overflowed, and that the file received the same text with every LF written as CR-LF.
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/fake.h"
#include "textio/format.h"
#include "textio/handles.h"
#include "textio/streams.h"

namespace {

using namespace mirzet;

constexpr std::size_t MAX_ARGS = 16;
constexpr std::int32_t LARGE = 1 << 16;

struct Reader {
    const std::uint8_t* data;
    std::size_t size;

    std::uint8_t byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    std::uint64_t bits(int bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value |= static_cast<std::uint64_t>(byte()) << (8 * i);
        return value;
    }
    std::string text(std::size_t n) {
        n = n < size ? n : size;
        std::string out(reinterpret_cast<const char*>(data), n);
        data += n;
        size -= n;
        return out;
    }
};

// Everything the arguments point at lives here, at fixed addresses, for one run.
struct Storage {
    std::string texts[MAX_ARGS];
    std::u16string wide_texts[MAX_ARGS];
    std::vector<unsigned char> counted_bytes[MAX_ARGS];
    CountedString records[MAX_ARGS];
    std::int32_t counts32[MAX_ARGS];
    std::int16_t counts16[MAX_ARGS];
};

FormatArg decode_arg(Reader& in, Storage& store, std::size_t i) {
    const std::uint8_t kind = in.byte();
    switch (kind % 10) {
        case 0:
            return make_arg(static_cast<std::int32_t>(in.bits(4)));
        case 1:
            return make_arg(static_cast<std::int64_t>(in.bits(8)));
        case 2: {
            const std::uint8_t n = in.byte();
            if (n == 0xff) return make_arg(static_cast<const char*>(nullptr));
            store.texts[i] = in.text(n);
            return make_arg(store.texts[i].c_str());
        }
        case 3: {
            const std::uint8_t n = in.byte();
            if (n == 0xff) return make_arg(static_cast<const char16_t*>(nullptr));
            for (std::uint8_t k = 0; k < n && in.size > 0; ++k)
                store.wide_texts[i] += static_cast<char16_t>(in.bits(2));
            return make_arg(store.wide_texts[i].c_str());
        }
        case 4: {
            // The record's length never claims more than its buffer holds; an odd start tests
            // wide units that are not aligned.
            const auto length = static_cast<std::uint16_t>(in.bits(2) % 512);
            const bool odd = (kind & 0x80) != 0;
            std::vector<unsigned char>& bytes = store.counted_bytes[i];
            bytes.assign(length + 1u, 0);
            const std::string given = in.text(length);
            std::memcpy(bytes.data() + odd, given.data(), given.size());
            const bool no_text = (kind & 0x40) != 0;
            store.records[i] =
                CountedString{length, 0xbeef, no_text ? nullptr : bytes.data() + odd};
            return make_arg(static_cast<const CountedString*>(&store.records[i]));
        }
        case 5:
            return make_arg(&store.counts32[i]);
        case 6:
            return make_arg(&store.counts16[i]);
        case 7:
            return make_arg(reinterpret_cast<const void*>(in.bits(8)));
        case 8:
            return make_arg(static_cast<const CountedString*>(nullptr));
        default:
            return FormatArg{};  // an argument of no kind a conversion takes
    }
}

std::jmp_buf fatal_jump;

void on_fatal_error(int) {
    std::longjmp(fatal_jump, 1);
}

struct Run {
    std::string bytes;
    std::int32_t count;
    bool fatal;
};

// A floating conversion ends the process through the fatal-error handler; here it comes back.
std::int32_t format_guarded(char* buffer, std::int32_t capacity, const char* format,
                            const std::vector<FormatArg>& list, bool& fatal) {
    FormatArgs args{list.data(), list.size(), 0};
    if (setjmp(fatal_jump) != 0) {
        fatal = true;
        return 0;
    }
    const std::int32_t count = format_to_buffer(buffer, capacity, format, args);
    if (args.next > args.size) std::abort();
    return count;
}

Run run_in_memory(std::int32_t capacity, const char* format, const std::vector<FormatArg>& list) {
    Run run{std::string(static_cast<std::size_t>(capacity), '\0'), 0, false};
    run.count = format_guarded(run.bytes.data(), capacity, format, list, run.fatal);
    if (!run.fatal)
        run.bytes.resize(static_cast<std::size_t>(run.count < 0 ? capacity : run.count));
    return run;
}

void check_small_against_large(const Run& small, const Run& large, std::int32_t capacity) {
    if (small.fatal && !large.fatal) std::abort();
    if (small.fatal || large.fatal) return;
    if (large.bytes.compare(0, small.bytes.size(), small.bytes) != 0) std::abort();
    if (large.count >= 0 && (small.count == -1) != (large.count > capacity)) std::abort();
    if (small.count >= 0 && small.count != large.count) std::abort();
}

std::string with_crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

void check_file_output(const char* format, const std::vector<FormatArg>& list, const Run& large) {
    fake::reset();
    // The handler that jumps back serves format_guarded alone: a fatal error here is a finding.
    set_fatal_error_handler(nullptr);
    fake::set_std(platform::STD_OUTPUT_HANDLE, platform::FILE_TYPE_DISK);
    if (!init_fd_table() || !init_stream_table()) std::abort();
    if (print_formatted_list(format, FormatArgs{list.data(), list.size(), 0}) != large.count)
        std::abort();
    flush_all_streams();
    if (fake::contents("<stdout>") != with_crlf(large.bytes)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    set_fatal_error_handler(on_fatal_error);
    Reader in{data, size};
    const std::int32_t capacity = in.byte();
    const std::size_t arg_count = in.byte() % (MAX_ARGS + 1);
    Storage store{};
    std::vector<FormatArg> list;
    for (std::size_t i = 0; i < arg_count; ++i)
        list.push_back(decode_arg(in, store, i));
    const std::string format = in.text(in.size);

    const Run large = run_in_memory(LARGE, format.c_str(), list);
    const Run small = run_in_memory(capacity, format.c_str(), list);
    check_small_against_large(small, large, capacity);
    if (!large.fatal && large.count >= 0) check_file_output(format.c_str(), list, large);
    return 0;
}
