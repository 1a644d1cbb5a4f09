// Counts, from qemu's log of a run, the instructions executed, the conditional branches among them
// and those a branch predictor guesses wrong. The log comes from
//
//   qemu-ARCH -singlestep -d in_asm,exec,nochain -D /dev/stderr PROGRAM ... 2>&1 >OUT |
//       mirzet_bench_predict ARCH
//
// where each translation block is one instruction: "0xADDRESS:  BYTES  MNEMONIC OPERANDS" once when
// it is translated (in_asm), and a "Trace" line holding its address each time it runs (exec), in
// order. A conditional branch is taken when the next instruction run is not the one after it: on
// arm64 the one 4 bytes on; on x86-64, where the log gives no lengths, a branch is taken when the
// next instruction is its target. The log is read as it comes and never kept: it runs to about 100
// bytes an instruction.
//
// The predictor is the one valgrind's cachegrind simulates, so that the two can be held against
// each other on x86-64: 16384 two-bit counters, all starting at "not taken", each indexed by 7
// bits of the branch's address (bits 0 to 6 on x86-64; bits 2 to 8 on arm64, whose instructions
// are 4-byte aligned) below the outcomes of the last 7 conditional branches, taken or not. A
// counter says taken at 2 or 3 and moves one step towards each outcome. The address bits it uses
// lie within a page, so they are the same wherever the program and its libraries are loaded: qemu
// and valgrind, which load them at different addresses, fill the same counters.
//
//   mirzet_bench_predict arm64|x86-64
//
// Prints "INSTRUCTIONS BRANCHES MISPREDICTED".
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { ADDRESS_BITS = 7, HISTORY_BITS = 7, COUNTERS = 1 << (ADDRESS_BITS + HISTORY_BITS) };
// Distinct instruction addresses a run translates: a few tens of thousands for the copy.
enum { SLOTS = 1 << 20 };

struct Instruction {
    uint64_t address;  // 0: a free slot
    uint64_t target;   // a conditional branch's target, read from its operands (x86-64)
    int branch;        // a conditional branch
};

static struct Instruction table[SLOTS];
static size_t used;
static int x86;

static struct Instruction* find(uint64_t address) {
    size_t i = (size_t)((address * 0x9E3779B97F4A7C15ull) >> 44) & (SLOTS - 1);
    while (table[i].address != 0 && table[i].address != address) i = (i + 1) & (SLOTS - 1);
    return &table[i];
}

static uint64_t hex(const char** at, const char* end) {
    const char* p = *at;
    uint64_t value = 0;
    if (end - p > 2 && p[0] == '0' && p[1] == 'x') p += 2;
    for (; p < end; ++p) {
        int c = (unsigned char)*p, digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            break;
        value = value << 4 | (uint64_t)digit;
    }
    *at = p;
    return value;
}

static int is_hex(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!((p[i] >= '0' && p[i] <= '9') || (p[i] >= 'a' && p[i] <= 'f'))) return 0;
    return 1;
}

static int conditional(const char* name, size_t n) {
    if (x86) {
        // jcc, jrcxz and jecxz; jmp alone is not conditional. loop, loope, loopne.
        if (n >= 2 && name[0] == 'j' && !(n >= 3 && memcmp(name, "jmp", 3) == 0)) return 1;
        return n >= 4 && memcmp(name, "loop", 4) == 0;
    }
    if (n > 2 && name[0] == 'b' && name[1] == '.') return 1;  // b.cond
    return (n == 3 && (memcmp(name, "cbz", 3) == 0 || memcmp(name, "tbz", 3) == 0)) ||
           (n == 4 && (memcmp(name, "cbnz", 4) == 0 || memcmp(name, "tbnz", 4) == 0));
}

// A translated instruction: "0xADDRESS:  BYTES  MNEMONIC OPERANDS". The bytes are one 8-digit word
// on arm64 and 2-digit bytes on x86-64, where an instruction longer than 8 bytes goes on in lines
// of bytes alone, which name no instruction.
static void translated(const char* line, const char* end) {
    const char* p = line;
    uint64_t address = hex(&p, end);
    if (p == end || *p != ':' || address == 0) return;
    ++p;
    const char *name = NULL, *after = NULL;
    for (;;) {
        while (p < end && *p == ' ') ++p;
        if (p == end) break;
        const char* token = p;
        while (p < end && *p != ' ') ++p;
        size_t n = (size_t)(p - token);
        if (is_hex(token, n) && n == (x86 ? 2u : 8u)) continue;
        // A prefix that does not change what the branch does.
        if (x86 && ((n == 3 && memcmp(token, "bnd", 3) == 0) ||
                    (n == 7 && memcmp(token, "notrack", 7) == 0)))
            continue;
        name = token;
        after = p;
        break;
    }
    if (name == NULL) return;
    struct Instruction* slot = find(address);
    if (slot->address == 0) {
        if (++used > SLOTS / 2) {
            fprintf(stderr, "mirzet_bench_predict: more than %d instructions\n", SLOTS / 2);
            exit(1);
        }
        slot->address = address;
    }
    slot->branch = conditional(name, (size_t)(after - name));
    slot->target = 0;
    if (slot->branch && x86) {
        while (after < end && *after == ' ') ++after;
        slot->target = hex(&after, end);
    }
}

static uint8_t counters[COUNTERS];
static unsigned history;
static uint64_t instructions, branches, mispredicted;
static const struct Instruction* pending;  // the branch last run, settled by the next instruction

static void predict(uint64_t address, int taken) {
    unsigned shift = x86 ? 0 : 2;
    unsigned i = (history & ((1u << HISTORY_BITS) - 1)) << ADDRESS_BITS |
                 ((unsigned)(address >> shift) & ((1u << ADDRESS_BITS) - 1));
    ++branches;
    if ((counters[i] >= 2) != taken) ++mispredicted;
    if (taken && counters[i] < 3) ++counters[i];
    if (!taken && counters[i] > 0) --counters[i];
    history = history << 1 | (unsigned)taken;
}

// One run of an instruction: "Trace N: HOST [CS_BASE/ADDRESS/FLAGS/CFLAGS] ...".
static void ran(const char* line, const char* end) {
    const char* p = memchr(line, '[', (size_t)(end - line));
    if (p == NULL) return;
    p = memchr(p, '/', (size_t)(end - p));
    if (p == NULL) return;
    ++p;
    uint64_t address = hex(&p, end);
    ++instructions;
    if (pending != NULL) {
        int taken = x86 ? address == pending->target : address != pending->address + 4;
        predict(pending->address, taken);
        pending = NULL;
    }
    const struct Instruction* here = find(address);
    if (here->address == 0) {
        fprintf(stderr, "mirzet_bench_predict: 0x%" PRIx64 " ran but was never translated\n",
                address);
        exit(1);
    }
    if (here->branch) pending = here;
}

static void line(const char* start, const char* end) {
    if (end - start > 6 && memcmp(start, "Trace ", 6) == 0)
        ran(start, end);
    else if (end - start > 2 && start[0] == '0' && start[1] == 'x')
        translated(start, end);
}

int main(int argc, char** argv) {
    if (argc != 2 || (strcmp(argv[1], "arm64") != 0 && strcmp(argv[1], "x86-64") != 0)) {
        fprintf(stderr, "usage: %s arm64|x86-64 <LOG\n", argv[0]);
        return 2;
    }
    x86 = strcmp(argv[1], "x86-64") == 0;
    static char buffer[1 << 20];
    size_t kept = 0;
    for (;;) {
        ssize_t got = read(0, buffer + kept, sizeof buffer - kept);
        if (got < 0) {
            perror("mirzet_bench_predict: standard input");
            return 1;
        }
        if (got == 0) break;
        const char* start = buffer;
        const char* end = buffer + kept + got;
        for (;;) {
            const char* newline = memchr(start, '\n', (size_t)(end - start));
            if (newline == NULL) break;
            line(start, newline);
            start = newline + 1;
        }
        kept = (size_t)(end - start);
        if (kept == sizeof buffer) {
            fprintf(stderr, "mirzet_bench_predict: a line of more than %zu bytes\n", kept);
            return 1;
        }
        memmove(buffer, start, kept);
    }
    if (kept > 0) line(buffer, buffer + kept);
    if (instructions == 0) {
        fprintf(stderr, "mirzet_bench_predict: no instruction ran: is the log from -d exec?\n");
        return 1;
    }
    printf("%" PRIu64 " %" PRIu64 " %" PRIu64 "\n", instructions, branches, mispredicted);
    return 0;
}
