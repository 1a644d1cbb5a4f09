// The plain converter: the same calls as a DOS text copy (4096-byte reads, a one-byte look past a
// CR that ends a block, output in pieces of 1024 bytes, or 1025 where the 1024th is the CR of a
// line end) with the conversion of the tests' model, copy_model.h, applied block by block. Its
// output is what a DOS text copy of the file must write, and every benchmark and check holds the
// program's output to it: one oracle for the tests and the benchmarks.
//
//   mirzet_bench_plain FILE
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "copy_model.h"

namespace {

constexpr std::size_t READ_SIZE = 4096, WRITE_SIZE = 1024;

bool write_all(const char* bytes, std::size_t n) {
    while (n > 0) {
        const ssize_t done = write(1, bytes, n);
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) return false;
        bytes += done;
        n -= static_cast<std::size_t>(done);
    }
    return true;
}

ssize_t read_some(int fd, char* buffer, std::size_t n) {
    ssize_t got;
    do
        got = read(fd, buffer, n);
    while (got < 0 && errno == EINTR);
    return got;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::string block(READ_SIZE + 1, '\0'), out;
    for (bool more = true; more;) {
        const ssize_t got = read_some(fd, block.data(), READ_SIZE);
        if (got < 0) {
            std::perror(argv[1]);
            return 1;
        }
        std::string_view text(block.data(), static_cast<std::size_t>(got));
        // The data ends at the first Ctrl-Z, and the look past a CR at the end of a block is
        // settled by one byte more, given back when it is not the LF of the pair.
        if (const std::size_t end = text.find('\x1a'); end != std::string_view::npos) {
            text = text.substr(0, end);
            more = false;
        } else if (got == 0) {
            more = false;
        } else if (text.back() == '\r' && read_some(fd, block.data() + got, 1) == 1) {
            if (block[static_cast<std::size_t>(got)] == '\n')
                text = std::string_view(block.data(), text.size() + 1);
            else
                lseek(fd, -1, SEEK_CUR);
        }
        out += mirzet::testing::dos_text(text);
        std::size_t at = 0;
        for (std::size_t n = WRITE_SIZE; out.size() - at >= WRITE_SIZE; at += n) {
            n = out[at + WRITE_SIZE - 1] == '\r' && out.size() - at > WRITE_SIZE &&
                        out[at + WRITE_SIZE] == '\n'
                    ? WRITE_SIZE + 1
                    : WRITE_SIZE;
            if (!write_all(out.data() + at, n)) return 1;
        }
        out.erase(0, at);
    }
    return write_all(out.data(), out.size()) ? 0 : 1;
}
