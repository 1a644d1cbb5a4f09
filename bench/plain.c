// The plain converter: the same calls as a DOS text copy (4096-byte reads, a one-byte look past a
// CR that ends a block, output in pieces of about 1024 bytes) with a straightforward byte loop for
// the conversions: CR-LF in as LF, the first Ctrl-Z ends the data, LF out as CR-LF. No line
// splitting and no formatting. Its output is what a DOS text copy of the file must write.
//
//   mirzet_bench_plain FILE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

enum { READ_SIZE = 4096, WRITE_SIZE = 1024 };

static char out[WRITE_SIZE + 1];
static size_t out_length;

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

static int put(char c) {
    if (c == '\n') out[out_length++] = '\r';
    out[out_length++] = c;
    if (out_length < WRITE_SIZE) return 0;
    int result = write_all(out, out_length);
    out_length = 0;
    return result;
}

static ssize_t read_some(int fd, char* buffer, size_t n) {
    ssize_t got;
    do
        got = read(fd, buffer, n);
    while (got < 0 && errno == EINTR);
    return got;
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
        ssize_t got = read_some(fd, block, sizeof block);
        if (got < 0) {
            perror(argv[1]);
            return 1;
        }
        if (got == 0) break;
        for (ssize_t i = 0; i < got; ++i) {
            char c = block[i];
            if (c == 0x1A) goto done;
            if (c == '\r') {
                if (i + 1 < got) {
                    if (block[i + 1] == '\n') continue;  // the LF that follows stands for the pair
                } else {
                    // A CR that ends the block is settled by one byte more, given back if no LF.
                    char peek;
                    ssize_t more = read_some(fd, &peek, 1);
                    if (more == 1 && peek == '\n')
                        c = '\n';
                    else if (more == 1)
                        lseek(fd, -1, SEEK_CUR);
                }
            }
            if (put(c) != 0) return 1;
        }
    }
done:
    return write_all(out, out_length) == 0 ? 0 : 1;
}
