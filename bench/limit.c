// The system-call limit: the calls a DOS text copy cannot do without, and nothing else. It reads
// the file in blocks of 4096 bytes and writes each block in pieces of at most 1024 bytes, without
// looking at a single byte. No copy that reads and writes this way can cost less.
//
//   mirzet_bench_limit FILE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

enum { READ_SIZE = 4096, WRITE_SIZE = 1024 };

static int write_all(const char* bytes, size_t n) {
    while (n > 0) {
        ssize_t done = write(1, bytes, n);
        if (done < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        bytes += done;
        n -= (size_t)done;
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    static char block[READ_SIZE];
    for (;;) {
        ssize_t got = read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            perror(argv[1]);
            return 1;
        }
        if (got == 0) return 0;
        for (ssize_t at = 0; at < got; at += WRITE_SIZE) {
            size_t n = (size_t)(got - at) < WRITE_SIZE ? (size_t)(got - at) : WRITE_SIZE;
            if (write_all(block + at, n) != 0) return 1;
        }
    }
}
