// Buffered streams over numbered handles: the stream table, opening by a mode string, line
// reading, the temporary buffer lent to a console's standard output for one print call, the emit
// operations behind formatted output, and flushing.
#pragma once

#include <cstdint>

#include "textio/handles.h"

namespace mirzet {

// While a stream writes into a buffer, the bytes from `next` on are free: anything may be stored
// there, as only the bytes before `next` are ever written out. `count` is always in characters;
// how many bytes the characters take once stored, and how they are written, is the business of
// the sink that the handle gave the stream when it started writing.
struct Stream {
    char* next;           // next character to read or write
    std::int32_t count;   // read: characters left; write: room left; 0 without a buffer
    char* base;           // the buffer, or null
    std::uint32_t flags;  // STREAM_*
    std::int32_t fd;      // -1 when the stream has no handle
    char one_char[4];     // a two-character buffer when no real one can be had
    std::int32_t buffer_size;
    char* temp_name;   // never set by this program
    const Sink* sink;  // how characters written are stored and written out
};

constexpr std::uint32_t STREAM_READ = 0x0001;
constexpr std::uint32_t STREAM_WRITE = 0x0002;
constexpr std::uint32_t STREAM_UNBUFFERED = 0x0004;
constexpr std::uint32_t STREAM_OWN_BUFFER = 0x0008;
constexpr std::uint32_t STREAM_EOF = 0x0010;
constexpr std::uint32_t STREAM_ERROR = 0x0020;
constexpr std::uint32_t STREAM_STRING = 0x0040;
constexpr std::uint32_t STREAM_UPDATE = 0x0080;
constexpr std::uint32_t STREAM_LENT_BUFFER = 0x0100;
constexpr std::uint32_t STREAM_TEMP_BUFFER = 0x1000;
constexpr std::uint32_t STREAM_COMMIT = 0x4000;

constexpr std::uint32_t STREAM_IN_USE = STREAM_READ | STREAM_WRITE | STREAM_UPDATE;
constexpr std::uint32_t STREAM_HAS_BUFFER =
    STREAM_UNBUFFERED | STREAM_OWN_BUFFER | STREAM_LENT_BUFFER;

constexpr int BUFFER_SIZE = 4096;
constexpr int STREAM_TABLE_SIZE = 512;
constexpr int STREAM_STATIC_COUNT = 20;

extern Stream** stream_table;
extern int stream_table_size;  // 512, or 20 when only the smaller table could be had

// Sets up the table and the three standard streams; false when no table could be allocated.
bool init_stream_table();

inline Stream* standard_output() {
    return stream_table[1];
}
inline Stream* standard_error() {
    return stream_table[2];
}

// Whether a read or a write of the stream has failed (once set, the failure stays).
inline bool stream_failed(const Stream& stream) {
    return (stream.flags & STREAM_ERROR) != 0;
}

// The room left in a buffer of the stream's own that it is writing into; 0 for any other stream
// (a console's, which is lent a buffer only for a print call, one without a buffer, one reading).
inline std::int32_t own_buffer_room(const Stream& stream) {
    constexpr std::uint32_t writing_own = STREAM_WRITE | STREAM_OWN_BUFFER;
    return (stream.flags & writing_own) == writing_own ? stream.count : 0;
}

void allocate_buffer(Stream* stream);
Stream* open_stream(const char* path, const char* mode);
Stream* open_stream_shared(const char* path, const char* mode, int share);
Stream* open_into_stream(const char* path, const char* mode, int share, Stream* stream);
Stream* find_free_stream();

// Reads up to and including the first LF, at most capacity - 1 characters, and adds a NUL.
char* get_line(char* buffer, std::int32_t capacity, Stream* stream);
// The same read, returning the number of characters stored before the NUL, or -1 where get_line
// returns null. NUL bytes inside the piece stay countable this way.
std::int32_t get_line_length(char* buffer, std::int32_t capacity, Stream* stream);
int fill_buffer(Stream* stream);
// What get_line_length(buffer, capacity, in) and then writing the piece to out would do, piece
// after piece, while a piece lies whole in in's buffer and out's own buffer has room for it: each
// piece is copied once, straight from one buffer into the other. It never reads, flushes or fails;
// the next piece, if any, needs the calls that do. Returns the number of characters copied.
std::int32_t copy_line_pieces(Stream* in, Stream* out, std::int32_t capacity);

int begin_temp_buffer(Stream* stream);
void end_temp_buffer(int lent, Stream* stream);

// The emit operations raise the running count by one per character, or set it to -1 for good.
void emit_char(int ch, Stream* stream, std::int32_t* count);
void emit_repeat(int ch, std::int32_t n, Stream* stream, std::int32_t* count);
void emit_chars(const char* text, std::int32_t n, Stream* stream, std::int32_t* count);
// Bytes past a caller's characters that emit_padded_chars may read, never write: a buffer of the
// caller's that declares them lets its characters be stored with no care for where they end.
constexpr std::int32_t CHARS_PADDING = scan::PADDING;
// emit_chars of n characters followed by CHARS_PADDING readable bytes.
void emit_padded_chars(const char* text, std::int32_t n, Stream* stream, std::int32_t* count);

int flush_and_put(int ch, Stream* stream);
// Forgets the characters waiting in a write stream's buffer without writing them.
void discard_pending(Stream* stream);
int flush_stream(Stream* stream);
int flush_and_commit(Stream* stream);
int flush_all_streams();
// How many streams are in use; flush_all_streams returns this when nothing failed.
int count_streams_in_use();

}  // namespace mirzet
