#include "app/copy.h"

#include "textio/format.h"
#include "textio/streams.h"

namespace mirzet::app {

namespace {

// A line is read in pieces of at most 129 characters.
constexpr std::int32_t LINE_CAPACITY = 130;

// The count alone is not enough: on a console the print call's buffer is flushed after the count
// is final, and a failure of that flush shows only in the stream's mark.
bool output_failed(std::int32_t printed) {
    return printed == -1 || stream_failed(*standard_output());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        print_formatted("Usage mirzet <filename> \n");
        return 1;
    }
    Stream* input = open_stream(argv[1], "r");
    if (input == nullptr) {
        print_formatted("Cannot find file %s \n", argv[1]);
        return 1;
    }
    // Past the piece, padding the output's conversion may read: a piece then costs it no branches
    // on where it ends.
    char line[LINE_CAPACITY + CHARS_PADDING];
    for (;;) {
        // Pieces that both buffers hold are copied straight across; the next takes the two calls.
        copy_line_pieces(input, standard_output(), LINE_CAPACITY);
        // Pieces are printed by their length, so a NUL byte is copied like any other.
        const std::int32_t length = get_line_length(line, LINE_CAPACITY, input);
        if (length < 0) break;
        if (output_failed(print_padded_chars(line, length))) {
            // What a failed flush left waiting would reach the output after the lost block.
            discard_pending(standard_output());
            return 1;
        }
    }
    return stream_failed(*input) ? 1 : 0;
}

}  // namespace mirzet::app
