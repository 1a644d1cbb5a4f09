// Runs one program once and reports what it cost: the user and system CPU time and the peak
// resident memory of the program alone (from wait4), and the wall time from start to reaping.
//
//   mirzet_bench_runner [-c CPU] [-i INPUT] [-o file:PATH | -o pipe | -o pty] PROGRAM [ARG...]
//
// Standard input is INPUT, or /dev/null. Standard output goes to the file (created or
// truncated before the clock starts), to a pipe or to a pseudo-terminal that this runner drains
// and throws away. One line goes to standard output:
//
//   USER_S SYS_S WALL_S PEAK_KIB STATUS OUTPUT_BYTES READER_USER_S READER_SYS_S
//
// The last two are this runner's own CPU time while it drained the output, 0 for a file. A copy
// into a pipe costs its reader too, and more the more often the reader is woken: a writer that
// outpaces its reader finds it waiting for every write, one that lags finds a full pipe. With -c
// the runner and the program share one processor, so that neither runs while the other waits and
// the pair's time does not hang on how the two processors happen to be scheduled; the figure to
// compare is then the program's time and its reader's together.
//
// The runner is linked statically where it can be: a child carries its parent's peak resident
// memory across exec, so a small parent keeps the figure the program's own.
#define _GNU_SOURCE
#include <errno.h>
#include <sched.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum Kind { TO_FILE, TO_PIPE, TO_PTY };

static void fail(const char* what) {
    perror(what);
    exit(125);
}

static double seconds(struct timeval t) {
    return (double)t.tv_sec + (double)t.tv_usec / 1e6;
}

int main(int argc, char** argv) {
    const char* input = "/dev/null";
    const char* output = "pipe";
    int opt;
    int cpu = -1;
    while ((opt = getopt(argc, argv, "+c:i:o:")) != -1) {
        if (opt == 'c')
            cpu = atoi(optarg);
        else if (opt == 'i')
            input = optarg;
        else if (opt == 'o')
            output = optarg;
        else
            return 125;
    }
    if (optind >= argc) {
        fprintf(stderr, "usage: %s [-c CPU] [-i INPUT] [-o file:PATH|pipe|pty] PROGRAM [ARG...]\n",
                argv[0]);
        return 125;
    }
    if (cpu >= 0) {  // the program inherits it
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0) fail("sched_setaffinity");
    }

    int in_fd = open(input, O_RDONLY | O_CLOEXEC);
    if (in_fd < 0) fail(input);
    enum Kind kind;
    int child_out = -1, drain = -1;
    if (!strncmp(output, "file:", 5)) {
        kind = TO_FILE;
        child_out = open(output + 5, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (child_out < 0) fail(output + 5);
    } else if (!strcmp(output, "pipe")) {
        kind = TO_PIPE;
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) fail("pipe");
        drain = ends[0];
        child_out = ends[1];
    } else if (!strcmp(output, "pty")) {
        kind = TO_PTY;
        drain = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (drain < 0 || grantpt(drain) != 0 || unlockpt(drain) != 0) fail("pseudo-terminal");
        // Opened here, not in the child, so that no output can arrive before there is a reader.
        child_out = open(ptsname(drain), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (child_out < 0) fail("pseudo-terminal");
    } else {
        fprintf(stderr, "%s: unknown output %s\n", argv[0], output);
        return 125;
    }

    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        // dup2 clears close-on-exec on the copies.
        if (dup2(in_fd, 0) < 0 || dup2(child_out, 1) < 0) _exit(126);
        execvp(argv[optind], argv + optind);
        _exit(127);
    }
    close(child_out);

    long long out_bytes = 0;
    struct rusage reader_before, reader_after;
    getrusage(RUSAGE_SELF, &reader_before);
    if (drain >= 0) {
        static char sink[1 << 16];
        for (;;) {
            ssize_t got = read(drain, sink, sizeof sink);
            if (got > 0) {
                out_bytes += got;
                continue;
            }
            if (got < 0 && errno == EINTR) continue;
            break;  // 0 at the end of a pipe; EIO once a pseudo-terminal's last writer has gone
        }
    }
    getrusage(RUSAGE_SELF, &reader_after);
    int status;
    struct rusage usage;
    while (wait4(pid, &status, 0, &usage) < 0)
        if (errno != EINTR) fail("wait4");
    clock_gettime(CLOCK_MONOTONIC, &end);

    if (kind == TO_FILE) {
        struct stat info;
        if (stat(output + 5, &info) == 0) out_bytes = info.st_size;
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    double wall = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    double reader_user = seconds(reader_after.ru_utime) - seconds(reader_before.ru_utime);
    double reader_sys = seconds(reader_after.ru_stime) - seconds(reader_before.ru_stime);
    if (drain < 0) reader_user = reader_sys = 0;
    printf("%.4f %.4f %.4f %ld %d %lld %.4f %.4f\n", seconds(usage.ru_utime),
           seconds(usage.ru_stime), wall, usage.ru_maxrss, code, out_bytes, reader_user, reader_sys);
    return 0;
}
