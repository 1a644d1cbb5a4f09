#include "textio/streams.h"

#include <algorithm>
#include <cstring>

#include "textio/scan.h"

namespace mirzet {

namespace pf = platform;

Stream** stream_table;
int stream_table_size;

namespace {

Stream static_streams[STREAM_STATIC_COUNT];
// Its padding may be read by the straight copy, never written.
char standard_input_buffer[BUFFER_SIZE + scan::PADDING];
char* temp_buffers[2];  // standard output's and standard error's, once first needed

Stream** allocate_table(int entries) {
    const std::size_t bytes = sizeof(Stream*) * static_cast<std::size_t>(entries);
    auto** table = static_cast<Stream**>(pf::allocate(bytes));
    if (table != nullptr) std::memset(table, 0, bytes);
    return table;
}

void reset_record(Stream* stream) {
    stream->next = stream->base = stream->temp_name = nullptr;
    stream->count = 0;
    stream->flags = 0;
    stream->fd = -1;
    stream->sink = nullptr;  // given when the stream starts reading or writing
}

bool in_use(const Stream* stream) {
    return stream != nullptr && (stream->flags & STREAM_IN_USE);
}

bool handle_appends(int fd) {
    const FdInfo* info = fd_info(fd);
    return info != nullptr && (info->fd_flags & FD_APPEND);
}

bool is_standard_output_or_error(const Stream* stream) {
    return stream == stream_table[1] || stream == stream_table[2];
}

// The bytes a character may take in the stream's buffer: a buffer of its own has room for any
// sink's, a temporary one only for the characters as they are.
std::uint32_t buffer_room_per_char(const Stream& stream) {
    return (stream.flags & STREAM_OWN_BUFFER) ? SINK_BYTES_PER_CHAR : 1;
}

}  // namespace

bool init_stream_table() {
    stream_table_size = STREAM_TABLE_SIZE;
    stream_table = allocate_table(STREAM_TABLE_SIZE);
    if (stream_table == nullptr) {
        stream_table_size = STREAM_STATIC_COUNT;
        stream_table = allocate_table(STREAM_STATIC_COUNT);
        if (stream_table == nullptr) return false;
    }
    std::memset(static_streams, 0, sizeof static_streams);
    temp_buffers[0] = temp_buffers[1] = nullptr;
    for (int i = 0; i < STREAM_STATIC_COUNT; ++i)
        stream_table[i] = &static_streams[i];

    Stream& in = static_streams[0];
    in.flags = STREAM_READ | STREAM_LENT_BUFFER;
    in.base = in.next = standard_input_buffer;
    in.buffer_size = BUFFER_SIZE;
    static_streams[1].flags = static_streams[2].flags = STREAM_WRITE;
    for (int i = 0; i < 3; ++i) {
        const OsHandle handle = fd_info(i)->os_handle;
        static_streams[i].fd = (handle == NO_HANDLE || handle == 0) ? -1 : i;
    }
    return true;
}

namespace {

// The bytes of a stream's own buffer: writing, room for its characters as any sink stores them;
// reading, padding past its characters that the straight copy may read.
constexpr std::size_t OWN_BUFFER_BYTES = std::max<std::size_t>(
    BUFFER_SIZE * SINK_BYTES_PER_CHAR + SINK_OVERRUN, BUFFER_SIZE + scan::PADDING);

// Whether a reading stream's buffer holds scan::PADDING readable bytes past its characters.
bool has_padding(const Stream& stream) {
    return (stream.flags & STREAM_OWN_BUFFER) || stream.base == standard_input_buffer;
}

}  // namespace

void allocate_buffer(Stream* stream) {
    auto* buffer = static_cast<char*>(pf::allocate(OWN_BUFFER_BYTES));
    if (buffer != nullptr) {
        stream->base = buffer;
        stream->buffer_size = BUFFER_SIZE;
        stream->flags |= STREAM_OWN_BUFFER;
    } else {
        stream->base = stream->one_char;
        stream->buffer_size = 2;
        stream->flags |= STREAM_UNBUFFERED;
    }
    stream->next = stream->base;
    stream->count = 0;
}

// ---- opening ----

Stream* find_free_stream() {
    for (int i = 0; i < stream_table_size; ++i) {
        Stream* stream = stream_table[i];
        if (stream == nullptr) {
            stream = static_cast<Stream*>(pf::allocate(sizeof(Stream)));
            if (stream == nullptr) return nullptr;
            stream_table[i] = stream;
        } else if (in_use(stream)) {
            continue;
        }
        reset_record(stream);
        return stream;
    }
    return nullptr;
}

namespace {

struct Mode {
    std::uint32_t open_flags;
    std::uint32_t stream_flags;
};

// A letter after the first. Each belongs to a group; a second letter of a group ends the parse.
struct ModeLetter {
    char letter;
    std::uint8_t group;
    std::uint32_t open_set, open_clear;
    std::uint32_t stream_set, stream_clear;
};

constexpr std::uint8_t GROUP_UPDATE = 0x01, GROUP_TRANSLATION = 0x02, GROUP_COMMIT = 0x04,
                       GROUP_ACCESS_HINT = 0x08, GROUP_SHORT_LIVED = 0x10, GROUP_TEMPORARY = 0x20;

constexpr ModeLetter mode_letters[] = {
    {'+', GROUP_UPDATE, OPEN_READ_WRITE, OPEN_WRITE_ONLY, STREAM_UPDATE,
     STREAM_READ | STREAM_WRITE},
    {'t', GROUP_TRANSLATION, OPEN_TEXT, 0, 0, 0},
    {'b', GROUP_TRANSLATION, OPEN_BINARY, 0, 0, 0},
    {'c', GROUP_COMMIT, 0, 0, STREAM_COMMIT, 0},
    {'n', GROUP_COMMIT, 0, 0, 0, STREAM_COMMIT},
    {'S', GROUP_ACCESS_HINT, OPEN_SEQUENTIAL, 0, 0, 0},
    {'R', GROUP_ACCESS_HINT, OPEN_RANDOM, 0, 0, 0},
    {'T', GROUP_SHORT_LIVED, OPEN_SHORT_LIVED, 0, 0, 0},
    {'D', GROUP_TEMPORARY, OPEN_TEMPORARY, 0, 0, 0},
};

const ModeLetter* find_mode_letter(char letter) {
    for (const ModeLetter& entry : mode_letters)
        if (entry.letter == letter) return &entry;
    return nullptr;
}

// False when the first letter is not r, w or a.
bool parse_mode(const char* mode, Mode* out) {
    switch (mode[0]) {
        case 'r':
            *out = {OPEN_READ_ONLY, STREAM_READ};
            break;
        case 'w':
            *out = {OPEN_WRITE_ONLY | OPEN_CREATE | OPEN_TRUNCATE, STREAM_WRITE};
            break;
        case 'a':
            *out = {OPEN_WRITE_ONLY | OPEN_APPEND | OPEN_CREATE, STREAM_WRITE};
            break;
        default:
            return false;
    }
    std::uint8_t seen = 0;
    for (const char* p = mode + 1; *p != '\0'; ++p) {
        const ModeLetter* entry = find_mode_letter(*p);
        if (entry == nullptr || (seen & entry->group)) break;
        seen |= entry->group;
        out->open_flags = (out->open_flags & ~entry->open_clear) | entry->open_set;
        out->stream_flags = (out->stream_flags & ~entry->stream_clear) | entry->stream_set;
    }
    return true;
}

}  // namespace

Stream* open_into_stream(const char* path, const char* mode, int share, Stream* stream) {
    Mode parsed;
    if (!parse_mode(mode, &parsed)) return nullptr;
    const int fd = open_fd(path, parsed.open_flags, share, DEFAULT_PERMISSION);
    if (fd < 0) return nullptr;
    reset_record(stream);
    stream->flags = parsed.stream_flags;
    stream->fd = fd;
    return stream;
}

Stream* open_stream_shared(const char* path, const char* mode, int share) {
    Stream* stream = find_free_stream();
    return stream == nullptr ? nullptr : open_into_stream(path, mode, share, stream);
}

Stream* open_stream(const char* path, const char* mode) {
    return open_stream_shared(path, mode, SHARE_DENY_NONE);
}

// ---- reading ----

namespace {

// A piece of a line holds at most capacity - 1 characters: the caller's buffer keeps one for the
// NUL.
constexpr std::int32_t piece_room(std::int32_t capacity) {
    return capacity - 1;
}

}  // namespace

int fill_buffer(Stream* stream) {
    if (!(stream->flags & STREAM_IN_USE) || (stream->flags & STREAM_STRING)) return -1;
    if (stream->flags & STREAM_WRITE) {
        stream->flags |= STREAM_ERROR;
        return -1;
    }
    stream->flags |= STREAM_READ;
    // Characters stored into a reading buffer stand as they are.
    stream->sink = sink_for(stream->fd, 1);
    if (stream->flags & STREAM_HAS_BUFFER)
        stream->next = stream->base;
    else
        allocate_buffer(stream);
    const std::int32_t n =
        text_read(stream->fd, stream->base, static_cast<std::uint32_t>(stream->buffer_size));
    if (n <= 0) {
        stream->count = 0;
        stream->flags |= n == 0 ? STREAM_EOF : STREAM_ERROR;
        return -1;
    }
    stream->count = n - 1;
    return static_cast<unsigned char>(*stream->next++);
}

std::int32_t get_line_length(char* buffer, std::int32_t capacity, Stream* stream) {
    if (capacity <= 0) return -1;
    std::int32_t room = piece_room(capacity);
    char* out = buffer;
    while (room > 0) {
        if (stream->count > 0) {
            // A run straight from the buffer, up to the LF or the room left.
            const std::int32_t span = stream->count < room ? stream->count : room;
            const std::int32_t run = static_cast<std::int32_t>(
                scan::copy_through_lf(out, stream->next, static_cast<std::uint32_t>(span)));
            out += run;
            stream->next += run;
            stream->count -= run;
            room -= run;
            if (out[-1] == LF) break;
            continue;
        }
        --stream->count;
        const int ch = fill_buffer(stream);
        if (ch == -1) {
            if (out == buffer) return -1;
            break;
        }
        *out++ = static_cast<char>(ch);
        --room;
        if (ch == LF) break;
    }
    *out = '\0';
    return static_cast<std::int32_t>(out - buffer);
}

char* get_line(char* buffer, std::int32_t capacity, Stream* stream) {
    return get_line_length(buffer, capacity, stream) < 0 ? nullptr : buffer;
}

// Most lines of a copy take this path: one copy of all the pieces that both buffers hold, where
// the two calls copy each line twice, through the caller's buffer, and each pays its own tests.
// Nothing here flushes, so a failed output is left to the calls that report it.
std::int32_t copy_line_pieces(Stream* in, Stream* out, std::int32_t capacity) {
    const std::int32_t room = own_buffer_room(*out);
    if (room == 0 || stream_failed(*out) || capacity <= 1) return 0;
    const std::int32_t whole =
        scan::whole_pieces(in->next, std::min(in->count, room), piece_room(capacity));
    if (whole == 0) return 0;
    // The sink stores the pieces as they leave the input's buffer: one pass over their bytes,
    // whatever the handle does to them.
    const auto n = static_cast<std::uint32_t>(whole);
    out->next += has_padding(*in) ? out->sink->store_padded(out->next, in->next, n)
                                  : out->sink->store(out->next, in->next, n);
    out->count -= whole;
    in->next += whole;
    in->count -= whole;
    return whole;
}

// ---- the temporary buffer of a print call ----

namespace {

// Kept out of line: a redirected output, which has its own buffer, never comes here.
[[gnu::noinline]] int lend_temp_buffer(Stream* stream) {
    if (!is_device(stream->fd)) return 0;
    char** slot = stream == stream_table[1]   ? &temp_buffers[0]
                  : stream == stream_table[2] ? &temp_buffers[1]
                                              : nullptr;
    if (slot == nullptr) return 0;
    if (*slot == nullptr) {
        *slot = static_cast<char*>(pf::allocate(BUFFER_SIZE));
        if (*slot == nullptr) return 0;  // the next print call tries again
    }
    stream->base = stream->next = *slot;
    stream->buffer_size = stream->count = BUFFER_SIZE;
    stream->flags |= STREAM_WRITE | STREAM_LENT_BUFFER | STREAM_TEMP_BUFFER;
    stream->sink = sink_for(stream->fd, 1);
    return 1;
}

}  // namespace

int begin_temp_buffer(Stream* stream) {
    // A stream that has a buffer keeps it: the cheap test first, before the handle's kind.
    if (stream->flags & STREAM_HAS_BUFFER) return 0;
    return lend_temp_buffer(stream);
}

void end_temp_buffer(int lent, Stream* stream) {
    if (!(stream->flags & STREAM_TEMP_BUFFER)) return;
    flush_stream(stream);
    if (lent == 0) return;  // an enclosing print call lent it and takes it back
    stream->flags &= ~(STREAM_TEMP_BUFFER | STREAM_LENT_BUFFER);
    stream->buffer_size = 0;
    stream->base = stream->next = nullptr;
}

// ---- emitting ----

namespace {

// Stores one character at the stream's next place.
void store_char(Stream* stream, char c) {
    stream->next += stream->sink->store(stream->next, &c, 1);
}

// Stores n characters, text or ch repeated when text is null, where the room is known to hold them.
// Padded text is followed by CHARS_PADDING bytes that the sink may read.
[[gnu::always_inline]] inline void store_chars(Stream* stream, const char* text, int ch,
                                               std::int32_t n, bool padded) {
    stream->count -= n;
    if (text != nullptr) {
        const auto m = static_cast<std::uint32_t>(n);
        stream->next += padded ? stream->sink->store_padded(stream->next, text, m)
                               : stream->sink->store(stream->next, text, m);
        return;
    }
    // A repeat, such as a field's padding, is stored from a run of the character.
    constexpr std::int32_t RUN = 64;
    char run[RUN];
    std::memset(run, ch, static_cast<std::size_t>(std::min(n, RUN)));
    for (std::int32_t left = n; left > 0; left -= RUN) {
        const auto part = static_cast<std::uint32_t>(std::min(left, RUN));
        stream->next += stream->sink->store(stream->next, run, part);
    }
}

// Writes the pending bytes of a buffer through its sink; the result is pending when all went out.
std::int32_t write_pending(const Stream* stream, std::int32_t pending) {
    return stream->sink->write(stream->fd, stream->base, static_cast<std::uint32_t>(pending));
}

// flush_and_put's work: writes what the buffer holds, then stores ch, or writes it alone when the
// stream has no buffer. Inlined where a character is put, so that a flush between two runs of
// emit_in_runs costs no call.
[[gnu::always_inline]] inline int flush_then_put(int ch, Stream* stream) {
    if (!(stream->flags & (STREAM_WRITE | STREAM_UPDATE)) || (stream->flags & STREAM_STRING)) {
        stream->flags |= STREAM_ERROR;
        return -1;
    }
    if (stream->flags & STREAM_READ) {
        stream->count = 0;
        if (!(stream->flags & STREAM_EOF)) {
            stream->flags |= STREAM_ERROR;
            return -1;
        }
        stream->next = stream->base;
        stream->flags &= ~STREAM_READ;
    }
    stream->flags = (stream->flags | STREAM_WRITE) & ~STREAM_EOF;
    stream->count = 0;
    // A console's standard output and error are buffered only by the temporary buffer.
    if (!(stream->flags & STREAM_HAS_BUFFER) &&
        !(is_standard_output_or_error(stream) && is_device(stream->fd)))
        allocate_buffer(stream);

    const char byte = static_cast<char>(ch);
    if (stream->flags & (STREAM_OWN_BUFFER | STREAM_LENT_BUFFER)) {
        const std::int32_t pending = static_cast<std::int32_t>(stream->next - stream->base);
        std::int32_t written = 0;
        if (pending > 0)
            written = write_pending(stream, pending);
        else if (handle_appends(stream->fd))
            seek_fd(stream->fd, 0, pf::FILE_END);
        // With nothing left pending, the handle gives the buffer its sink afresh.
        stream->sink = sink_for(stream->fd, buffer_room_per_char(*stream));
        stream->next = stream->base;
        stream->count = stream->buffer_size - 1;
        store_char(stream, byte);
        if (written == pending) return static_cast<unsigned char>(byte);
        stream->flags |= STREAM_ERROR;
        return -1;
    }
    stream->sink = sink_for(stream->fd, 1);
    if (stream->sink->write(stream->fd, &byte, 1) == 1) return static_cast<unsigned char>(byte);
    stream->flags |= STREAM_ERROR;
    return -1;
}

// emit_char's work, inlined into emit_in_runs too: there it is the flush between two runs, taken
// once per buffer, and a call would cost more than the character.
[[gnu::always_inline]] inline void put_char(int ch, Stream* stream, std::int32_t* count) {
    if (*count < 0) return;
    if (*count == INT32_MAX) {  // the count could not say how many went out
        *count = -1;
        return;
    }
    int outcome;
    if (--stream->count >= 0) {
        store_char(stream, static_cast<char>(ch));
        outcome = static_cast<unsigned char>(ch);
    } else {
        outcome = flush_then_put(ch, stream);
    }
    *count = outcome == -1 ? -1 : *count + 1;
}

}  // namespace

void emit_char(int ch, Stream* stream, std::int32_t* count) {
    put_char(ch, stream, count);
}

namespace {

// How many characters may go straight into the buffer without a flush: the room left, bounded by
// what is wanted and by what the running count can still hold.
std::int32_t storable(const Stream* stream, std::int32_t n, std::int32_t count) {
    std::int32_t run = stream->count < n ? stream->count : n;
    return run < INT32_MAX - count ? run : INT32_MAX - count;
}

// Stores as much of the n characters as the room holds, and counts them. Always inlined, so that
// each place in emit_in_runs knows whether it copies text, padded or not, or repeats a character.
[[gnu::always_inline]] inline void run_into_room(const char*& text, int ch, std::int32_t& n,
                                                 Stream* stream, std::int32_t* count, bool padded) {
    const std::int32_t run = storable(stream, n, *count);
    if (run <= 0) return;
    store_chars(stream, text, ch, run, padded);
    if (text != nullptr) text += run;
    *count += run;
    n -= run;
}

// The general case of emit_chars and emit_repeat: runs as far as the room goes, a flush for each
// character beyond it. The n characters are copied from text, or are ch repeated when text is
// null; each run of padded text is padded too, by the text after it. Kept out of line so that
// emit_chars's common case stays a few instructions.
[[gnu::noinline]] void emit_in_runs(const char* text, int ch, std::int32_t n, Stream* stream,
                                    std::int32_t* count, bool padded) {
    // A piece that crosses the buffer's end is a run, a flush and a run. The first run is taken
    // before the loop, so that the test after it is not the test after the last: to a predictor
    // that keys on the branches just taken, the two would look alike and go opposite ways.
    if (*count < 0) return;
    run_into_room(text, ch, n, stream, count, padded);
    while (n > 0 && *count >= 0) {
        put_char(text != nullptr ? static_cast<unsigned char>(*text++) : ch, stream, count);
        --n;
        if (*count >= 0) run_into_room(text, ch, n, stream, count, padded);
    }
}

}  // namespace

void emit_repeat(int ch, std::int32_t n, Stream* stream, std::int32_t* count) {
    emit_in_runs(nullptr, ch, n, stream, count, false);
}

namespace {

[[gnu::always_inline]] inline void emit_text(const char* text, std::int32_t n, Stream* stream,
                                             std::int32_t* count, bool padded) {
    // Most runs fit the room left whole: one copy and nothing else to decide.
    if (n > 0 && n <= stream->count && *count >= 0 && n <= INT32_MAX - *count) {
        *count += n;
        store_chars(stream, text, 0, n, padded);
        return;
    }
    emit_in_runs(text, 0, n, stream, count, padded);
}

}  // namespace

void emit_chars(const char* text, std::int32_t n, Stream* stream, std::int32_t* count) {
    emit_text(text, n, stream, count, false);
}

void emit_padded_chars(const char* text, std::int32_t n, Stream* stream, std::int32_t* count) {
    emit_text(text, n, stream, count, true);
}

// ---- flushing ----

int flush_and_put(int ch, Stream* stream) {
    return flush_then_put(ch, stream);
}

void discard_pending(Stream* stream) {
    stream->next = stream->base;
    stream->count = 0;
}

int flush_stream(Stream* stream) {
    int result = 0;
    const std::uint32_t flags = stream->flags;
    if ((flags & STREAM_WRITE) && !(flags & STREAM_READ) &&
        (flags & (STREAM_OWN_BUFFER | STREAM_LENT_BUFFER)) && stream->next > stream->base) {
        const std::int32_t pending = static_cast<std::int32_t>(stream->next - stream->base);
        const std::int32_t written = write_pending(stream, pending);
        if (written == pending) {
            if (flags & STREAM_UPDATE) stream->flags &= ~STREAM_WRITE;
        } else {
            stream->flags |= STREAM_ERROR;
            result = -1;
        }
    }
    stream->next = stream->base;
    stream->count = 0;
    return result;
}

int flush_and_commit(Stream* stream) {
    if (flush_stream(stream) != 0) return -1;
    if (stream->flags & STREAM_COMMIT) return commit_fd(stream->fd) == 0 ? 0 : -1;
    return 0;
}

int flush_all_streams() {
    int flushed = 0;
    for (int i = 0; i < stream_table_size; ++i)
        if (in_use(stream_table[i]) && flush_and_commit(stream_table[i]) != -1) ++flushed;
    return flushed;
}

int count_streams_in_use() {
    int used = 0;
    for (int i = 0; i < stream_table_size; ++i)
        if (in_use(stream_table[i])) ++used;
    return used;
}

}  // namespace mirzet
