// Writes one deterministic benchmark corpus: the same kind and size give the same bytes on every
// machine, so figures from different runs compare the same input.
//
//   mirzet_bench_gen KIND BYTES OUTPUT
//
// KIND is one of
//   source  source-like text: indented statements, comments and blank lines, LF ends
//   crlf    the same text as source, line for line, with CR-LF ends
//   long    lines of about 10 000 characters
//   short   lines of about 8 characters, the LF included
//   mixed   source-like text with NUL, 0xFF and lone CR bytes scattered through it
//   ragged  lines of 0 to 12 letters and digits, each length as likely, so line ends come at
//           no steady pace and empty lines run together
// None of them holds a Ctrl-Z, which would end a DOS text copy early and make the tools copy
// different amounts. The output is cut at the first line end at or past BYTES.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint64_t state;

// splitmix64: small, fast and the same everywhere.
static uint64_t next_random(void) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

static unsigned below(unsigned n) {
    return (unsigned)(next_random() % n);
}

static const char* const words[] = {
    "buffer", "count", "stream", "next",   "flags", "result", "length", "index", "handle",
    "value",  "size",  "data",   "offset", "line",  "text",   "error",  "state", "limit",
    "i",      "n",     "fd",     "ch",     "p",     "base",   "table",  "entry", "mode",
};
static const char* const keywords[] = {"if", "while", "for", "return", "switch"};
static const char* const types[] = {"int",  "char*", "std::int32_t", "const char*",
                                    "auto", "bool",  "std::size_t"};
static const char* const operators[] = {
    " = ", " + ", " - ", " < ", " == ", " != ", " & ", " | ", " && ", " += ", " -> "};
static const char* const prose[] = {"the",  "a",      "stream", "is",    "read", "when",
                                    "each", "buffer", "holds",  "bytes", "of",   "one",
                                    "line", "ends",   "at",     "first", "and",  "then"};

#define COUNT(array) (sizeof(array) / sizeof(array[0]))

struct Line {
    char text[16384];
    size_t length;
};

static void put(struct Line* line, const char* s) {
    size_t n = strlen(s);
    if (line->length + n >= sizeof line->text) return;
    memcpy(line->text + line->length, s, n);
    line->length += n;
}

static void put_word(struct Line* line) {
    put(line, words[below(COUNT(words))]);
}

static void put_expression(struct Line* line) {
    put_word(line);
    unsigned terms = 1 + below(4);
    for (unsigned i = 0; i < terms; ++i) {
        put(line, operators[below(COUNT(operators))]);
        if (below(3) == 0) {
            char number[16];
            snprintf(number, sizeof number, "%u", below(4096));
            put(line, number);
        } else {
            put_word(line);
            if (below(4) == 0) {
                put(line, "(");
                put_word(line);
                put(line, ")");
            }
        }
    }
}

// One line of something that looks like C++: the indentation walks up and down with the braces.
static void source_line(struct Line* line, int* depth) {
    line->length = 0;
    unsigned kind = below(100);
    if (kind < 12) return;  // blank
    int indent = *depth;
    if (kind < 20 && *depth > 0) --*depth, indent = *depth;
    for (int i = 0; i < indent * 4; ++i)
        put(line, " ");
    if (kind < 20) {
        put(line, "}");
    } else if (kind < 33) {
        put(line, "// ");
        unsigned n = 4 + below(12);
        for (unsigned i = 0; i < n; ++i) {
            if (i) put(line, " ");
            put(line, prose[below(COUNT(prose))]);
        }
        put(line, ".");
    } else if (kind < 43 && *depth < 6) {
        put(line, keywords[below(COUNT(keywords))]);
        put(line, " (");
        put_expression(line);
        put(line, ") {");
        ++*depth;
    } else if (kind < 60) {
        put(line, types[below(COUNT(types))]);
        put(line, " ");
        put_word(line);
        put(line, " = ");
        put_expression(line);
        put(line, ";");
    } else if (kind < 99) {
        put_expression(line);
        put(line, ";");
    } else {
        // Now and then a line longer than a 129-character piece.
        put(line, "static const char message[] = \"");
        unsigned n = 20 + below(30);
        for (unsigned i = 0; i < n; ++i) {
            if (i) put(line, " ");
            put(line, prose[below(COUNT(prose))]);
        }
        put(line, "\";");
    }
}

static void prose_line(struct Line* line, size_t length) {
    line->length = 0;
    while (line->length < length) {
        if (line->length) put(line, " ");
        put(line, below(2) ? prose[below(COUNT(prose))] : words[below(COUNT(words))]);
    }
    line->length = length;
}

static void short_line(struct Line* line) {
    line->length = 0;
    size_t length = 3 + below(9);  // 3 to 11, with the LF 8 on average
    for (size_t i = 0; i < length; ++i)
        line->text[i] = (char)('a' + below(26));
    line->length = length;
}

static void ragged_line(struct Line* line) {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    size_t length = below(13);  // 0 to 12, with the LF 7 on average
    for (size_t i = 0; i < length; ++i)
        line->text[i] = alphabet[below(sizeof alphabet - 1)];
    line->length = length;
}

// Scatters NUL, 0xFF and lone CR bytes: about one byte in 40 is replaced. A CR is never put last,
// where the line's LF would make it a pair.
static void scatter(struct Line* line) {
    for (size_t i = 0; i < line->length; ++i) {
        if (below(40) != 0) continue;
        unsigned pick = below(3);
        if (pick == 2 && i + 1 == line->length) pick = 0;
        line->text[i] = pick == 0 ? '\0' : pick == 1 ? (char)0xFF : '\r';
    }
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s source|crlf|long|short|mixed|ragged BYTES OUTPUT\n", argv[0]);
        return 2;
    }
    const char* kind = argv[1];
    unsigned long long target = strtoull(argv[2], NULL, 10);
    int is_source = !strcmp(kind, "source"), is_crlf = !strcmp(kind, "crlf");
    int is_long = !strcmp(kind, "long"), is_short = !strcmp(kind, "short");
    int is_mixed = !strcmp(kind, "mixed"), is_ragged = !strcmp(kind, "ragged");
    if (!(is_source || is_crlf || is_long || is_short || is_mixed || is_ragged)) {
        fprintf(stderr, "%s: unknown corpus kind %s\n", argv[0], kind);
        return 2;
    }
    FILE* out = fopen(argv[3], "wb");
    if (out == NULL) {
        perror(argv[3]);
        return 1;
    }
    static char out_buffer[1 << 20];
    setvbuf(out, out_buffer, _IOFBF, sizeof out_buffer);

    // source and crlf share their seed, so they hold the same lines.
    state = is_long ? 2 : is_short ? 3 : is_mixed ? 4 : is_ragged ? 5 : 1;
    static struct Line line;
    int depth = 0;
    unsigned long long written = 0;
    while (written < target) {
        if (is_long)
            prose_line(&line, 9000 + below(2001));
        else if (is_short)
            short_line(&line);
        else if (is_ragged)
            ragged_line(&line);
        else
            source_line(&line, &depth);
        if (is_mixed) scatter(&line);
        if (is_crlf) line.text[line.length++] = '\r';
        line.text[line.length++] = '\n';
        fwrite(line.text, 1, line.length, out);
        written += line.length;
    }
    if (fclose(out) != 0) {
        perror(argv[3]);
        return 1;
    }
    return 0;
}
