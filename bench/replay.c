// The floor: replays the calls a program made on one input (every read, write and lseek, with the
// same sizes in the same order) without looking at a single byte. What the program costs above
// this is the work it does between its calls.
//
//   mirzet_bench_replay CALLS FILE
//
// CALLS is the binary trace written by bench/calls.pl: records of three little-endian 32-bit
// integers, (0, count, 0) for a read of FILE, (1, count, 0) for a write to standard output and
// (2, offset, whence) for an lseek on FILE. It is loaded whole before the first replayed call, so
// that reading it costs one call and no parsing.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

struct Call {
    int32_t kind, a, b;
};

static int load(const char* path, struct Call** calls, size_t* n) {
    int fd = open(path, O_RDONLY);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) return -1;
    *calls = malloc((size_t)info.st_size + 1);
    if (*calls == NULL) return -1;
    size_t have = 0;
    while (have < (size_t)info.st_size) {
        ssize_t got = read(fd, (char*)*calls + have, (size_t)info.st_size - have);
        if (got <= 0) return -1;
        have += (size_t)got;
    }
    close(fd);
    *n = have / sizeof(struct Call);
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s CALLS FILE\n", argv[0]);
        return 2;
    }
    struct Call* calls;
    size_t n;
    if (load(argv[1], &calls, &n) != 0) {
        perror(argv[1]);
        return 1;
    }
    int fd = open(argv[2], O_RDONLY | O_NOCTTY);
    if (fd < 0) {
        perror(argv[2]);
        return 1;
    }
    // Reads land in one block and writes leave from another; neither is ever looked at. The
    // written bytes are the read ones, so the output has the size of the program's.
    static char block[1 << 16];
    for (size_t i = 0; i < n; ++i) {
        const struct Call* call = &calls[i];
        ssize_t done;
        if (call->kind == 0) {
            done = read(fd, block, (size_t)call->a);
        } else if (call->kind == 1) {
            done = write(1, block, (size_t)call->a);
        } else {
            done = lseek(fd, call->a, call->b) < 0 ? -1 : 0;
        }
        if (done < 0 && errno != EINTR) {
            perror("replayed call");
            return 1;
        }
    }
    return 0;
}
