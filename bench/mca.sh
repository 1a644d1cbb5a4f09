#!/usr/bin/env bash
# The byte loops' cycles per 64 bytes as llvm-mca models them, for processors that are not here:
# the write's store with CRs (the block loop of expand_lf), the read's store without (the block
# loop of the squeeze once a pair has gone), the search for a CR or a Ctrl-Z (the read's first
# loop, which text with LF line ends never leaves) and the copy's search for a line piece's LF
# (copy_through_lf, baseline build only), for icelake-server on the AVX-512 build, znver3 and
# skylake (and icelake-server) on the AVX2 build, and neoverse-n1 and cortex-a76 on the arm64
# build (NEON).
#
#   bench/mca.sh [--markdown] [--measure] [--commit REV]
#
# Prints a table, kernel by processor, of modelled cycles per 64 bytes, and beside each kernel the
# bytes one turn of its loop takes. --markdown prints the same as the rows of a markdown table.
# --commit REV builds that commit's tree (taken out with git archive into the build directory)
# rather than the work tree as it is, so that a before and an after can be had side by side.
# --measure also times each x86 kernel alone on this machine (ns per 64 bytes, over 16 KiB of text
# that stays in L1/L2, best of several runs), for the model to be held against.
#
# The loops are those the compiler built, not written out by hand. The release program is built
# as the release preset builds it (-O3, link-time optimisation) in build/mca/x86 and, with Debian's
# cross compiler, in build/mca/arm64 (MIRZET_MCA_BUILD moves them), and disassembled whole with
# objdump. Each kernel is named by the function that holds it once linked (the AVX-512 and AVX2
# builds' entry points, a template the baseline build leaves out of line, or the function it is
# inlined into) and by an
# instruction only its loop has (VBMI2's expand for the write on AVX-512, its compress for the
# read; the shuffle by table on AVX2; TBL in NEON; a byte compare for the searches). The
# function's code is cut into blocks at every branch and branch target, and a loop is the
# shortest cycle of blocks, following the branches, back to that instruction's block: the path a
# turn takes when its blocks are what the kernel is for (64 bytes that hold an LF, for the write;
# a block after the first pair, for the read; no CR nor Ctrl-Z, or no LF, for the searches). The
# cycle must hold a backward branch, and a kernel whose function or loop is not found stops the
# script. Where the function holds the loop more than once (the write's, once for each end it
# watches), the slowest copy is reported; for the search, the loop that takes the most bytes a
# turn (the window, not the block after it); for the copy's search, inlined where lines are
# read beside other loops through a mask, the shortest. Each loop as given to llvm-mca, with its
# function and addresses, is left in the build directory's loops/. The bytes a turn takes are the
# largest step a register takes by an immediate in the loop (a pointer's or an index's);
# MIRZET_MCA_BYTES="read/avx512=64 ..." says it instead for any kernel and build. The loop's
# instructions go to llvm-mca-14 as they are (AT&T syntax on x86; on arm64 objdump's comments and
# addresses are taken off), branches pointing at a label of their own, and Total Cycles /
# iterations, scaled from the bytes a turn takes to 64, is the figure.
#
# What the model leaves out: every load hits L1 and every branch is guessed right. The loops
# reported are free of branches on where the lines end (the write's one test is whether 64 bytes
# hold an LF, which most text settles one way), so the second costs them little; the first
# holds only for text in L1, which is why --measure times text that fits there. The model knows
# nothing of the front end's limits beyond the issue width, nor of frequency changes with AVX-512.
# And llvm-mca-14 has no tables of its own for cortex-a76 and neoverse-n1: it models both, and so
# gives the same figures for both, with the Cortex-A57's, an older and narrower core, so the arm64
# columns are likely high, and say more of the instructions than of either processor.
#
# Needs llvm-mca-14 (llvm-14), aarch64-linux-gnu-g++ and cmake; installs the first two with
# apt-get where they are missing. About ten seconds once the builds exist.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${MIRZET_MCA_BUILD:-$root/build/mca}
markdown=0
measure=0
rev=
while [ $# -gt 0 ]; do
    case $1 in
        --markdown) markdown=1 ;;
        --measure) measure=1 ;;
        --commit) rev=${2:?}; shift ;;
        *) echo "usage: bench/mca.sh [--markdown] [--measure] [--commit REV]" >&2; exit 2 ;;
    esac
    shift
done

need=()
command -v llvm-mca-14 >/dev/null || need+=(llvm-14)
command -v aarch64-linux-gnu-g++ >/dev/null || need+=(g++-aarch64-linux-gnu)
if [ ${#need[@]} -gt 0 ]; then
    echo "mca: installing ${need[*]}" >&2
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"; } >/dev/null
fi
for tool in llvm-mca-14 aarch64-linux-gnu-g++ aarch64-linux-gnu-objdump objdump cmake python3; do
    command -v "$tool" >/dev/null || { echo "mca: $tool is missing" >&2; exit 2; }
done

mkdir -p "$build"
log=$build/build.log
: >"$log"
source=$root
if [ -n "$rev" ]; then
    commit=$(git -C "$root" rev-parse --short "$rev^{commit}")
    source=$build/src-$commit
    rm -rf "$source" && mkdir -p "$source"
    git -C "$root" archive "$commit" | tar -x -C "$source"
    build=$build/$commit
else
    commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
    [ -z "$(git -C "$root" status --porcelain -- textio cmake CMakeLists.txt 2>/dev/null)" ] ||
        commit="$commit+work-tree"
fi
# build DIR [CMAKE OPTION...]: the release program, as the release preset builds it.
build() {
    local into=$1
    shift
    { cmake -S "$source" -B "$into" -DCMAKE_BUILD_TYPE=Release -DMIRZET_TESTS=OFF \
        -DMIRZET_WERROR=ON "$@" && cmake --build "$into" -j2 --target mirzet; } >>"$log" 2>&1 ||
        { echo "mca: the build in $into failed (see $log)" >&2; exit 1; }
}
build "$build/x86"
build "$build/arm64" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/toolchains/arm64.cmake"
objdump -d --no-show-raw-insn "$build/x86/mirzet" >"$build/x86.s"
aarch64-linux-gnu-objdump -d --no-show-raw-insn "$build/arm64/mirzet" >"$build/arm64.s"

python3 - "$build" "$markdown" "$commit" <<'PYTHON'
import os, re, subprocess, sys

build, markdown, commit = sys.argv[1], sys.argv[2] == "1", sys.argv[3]

# kernel, build, the disassembly, the function (a regex on its symbol, tried in turn), the
# instruction only the loop has, and the processors modelled.
X86_AVX512 = ["icelake-server"]
# The AVX2 build is modelled for icelake-server too, the model nearest the processor --measure
# times it on.
X86_AVX2 = ["icelake-server", "znver3", "skylake"]
ARM = ["neoverse-n1", "cortex-a76"]
KERNELS = [
    # The straight copy's conversion first, which most bytes take; builds before it, the write's.
    ("write", "avx512", "x86", [r"expand_lf_lending_avx512", r"expand_lf_avx512"], r"vpexpandb",
     X86_AVX512),
    ("write", "avx2", "x86", [r"expand_lf_lending_avx2", r"expand_lf_avx2"], r"vpshufb", X86_AVX2),
    # The straight copy's turn of few LFs on AVX2, stored with no table: its loop is the one
    # through the count of trailing zeros that finds each LF. Builds before it have none.
    ("write-few", "avx2", "x86", [r"expand_lf_lending_avx2"], r"tzcnt", X86_AVX2),
    ("write", "neon", "arm64", [r"expand_lf_lending_with.*NeonBlock", r"expand_lf_blocks.*NeonBlock",
                                r"expand_lf_with.*NeonBlock", r"write_text"], r"tbl", ARM),
    ("read", "avx512", "x86", [r"squeeze_moving_blocks.*Avx512\w*Block",
                               r"squeeze_crlf_in_two_passes.*Avx512\w*Block"], r"vpcompressb",
     X86_AVX512),
    ("read", "avx2", "x86", [r"squeeze_moving_blocks.*Avx2Block",
                             r"squeeze_crlf_in_two_passes.*Avx2Block"], r"vpshufb", X86_AVX2),
    ("read", "neon", "arm64", [r"squeeze_moving_blocks.*NeonBlock",
                               r"squeeze_crlf_in_two_passes.*NeonBlock"], r"tbl", ARM),
    ("search", "avx512", "x86", [r"squeeze_crlf_avx512E"], r"vpcmpeqb|vpcmpu?b", X86_AVX512),
    ("search", "avx2", "x86", [r"squeeze_crlf_avx2E"], r"vpcmpeqb", X86_AVX2),
    ("search", "neon", "arm64", [r"find_cr_or_ctrl_z_with.*NeonBlock",
                                 r"squeeze_crlf_with.*NeonBlock", r"convert_text"], r"cmeq", ARM),
    # The copy's search for a line piece's LF (copy_through_lf), which has no build beyond the
    # baseline and is inlined where the line is read: its loop is the shortest one through a mask.
    ("copy", "sse2", "x86", [r"copy_through_lf_with.*Sse2Block", r"get_line_length",
                             r"mirzet::app::main"], r"pmovmskb", X86_AVX2),
    ("copy", "neon", "arm64", [r"copy_through_lf_with.*NeonBlock", r"get_line_length",
                               r"mirzet::app::main"], r"cmeq", ARM),
]
# Where a function holds a kernel's loop more than once, the slowest copy counts; the copy's
# search shares its function with other loops through a mask, so its own is the shortest; the
# search's function searches a window of blocks at a time, then a block at a time in the window
# that holds a CR or a Ctrl-Z, so its loop is the one that takes the most bytes a turn.
SHORTEST = {"copy"}
WIDEST = {"search"}
OPTIONAL = {"write-few"}
NAMES = {"write": "write: store with CRs", "write-few": "write: turn of few LFs",
         "read": "read: store without CRs",
         "search": "search: CR or Ctrl-Z", "copy": "copy: search for LF"}
PROCESSORS = ["icelake-server", "znver3", "skylake"] + ARM
ITERATIONS = 1000

told = {}
for item in os.environ.get("MIRZET_MCA_BYTES", "").split():
    key, _, value = item.partition("=")
    told[key] = int(value)

def die(message):
    print("mca: " + message, file=sys.stderr)
    sys.exit(1)

def demangle(names):
    out = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True)
    return out.stdout.splitlines()

# The functions of a disassembly: symbol -> [(address, mnemonic, operands)].
def functions(arch, path):
    found, current = {}, None
    head = re.compile(r"^([0-9a-f]+) <(.+)>:$")
    line_re = re.compile(r"^\s+([0-9a-f]+):\s+(\S+)\s*(.*)$")
    with open(path) as text:
        for line in text:
            m = head.match(line)
            if m:
                current = found.setdefault(m.group(2), [])
                continue
            m = line_re.match(line)
            if m and current is not None:
                operands = m.group(3)
                # The comments: after // on arm64, whose immediates begin with #; after # on x86.
                operands = re.sub(r"\s*//.*$" if arch == "arm64" else r"\s+#.*$", "", operands)
                current.append((int(m.group(1), 16), m.group(2), operands.strip()))
    return found

DISASSEMBLY = {arch: functions(arch, os.path.join(build, arch + ".s")) for arch in ("x86", "arm64")}
SYMBOLS = {arch: dict(zip(demangle(list(found)), found)) for arch, found in DISASSEMBLY.items()}

def find_function(arch, patterns):
    for pattern in patterns:
        for name, symbol in SYMBOLS[arch].items():
            if re.search(pattern, name) or re.search(pattern, symbol):
                return name, DISASSEMBLY[arch][symbol]
    die("no function matching %s in the %s build" % (" or ".join(patterns), arch))

X86_JUMP = re.compile(r"^j[a-z]+$")
def branch(arch, mnemonic, operands):
    """(target or None, conditional?, ends the block?) for a branch, else None."""
    if arch == "x86":
        if mnemonic.startswith("ret"):
            return (None, False)
        if X86_JUMP.match(mnemonic):
            m = re.match(r"^([0-9a-f]+)\b", operands)
            target = int(m.group(1), 16) if m else None
            return (target, mnemonic != "jmp")
        return None
    if mnemonic == "ret":
        return (None, False)
    if mnemonic in ("b", "br") or mnemonic.startswith("b.") or mnemonic in (
            "cbz", "cbnz", "tbz", "tbnz"):
        m = re.search(r"(?:^|, )([0-9a-f]+) <", operands)
        target = int(m.group(1), 16) if m else None
        return (target, mnemonic not in ("b", "br"))
    return None

def cycles_through(arch, code, signature):
    """The shortest cycles of blocks through each block holding the signature, as lists of
    instructions from the loop's head (the target of its backward branch)."""
    addresses = [a for a, _, _ in code]
    index = {a: i for i, a in enumerate(addresses)}
    starts = {0}
    for i, (a, mnem, ops) in enumerate(code):
        b = branch(arch, mnem, ops)
        if b is not None:
            starts.add(i + 1)
            if b[0] in index:
                starts.add(index[b[0]])
    starts = sorted(s for s in starts if s < len(code))
    block_of = {}
    blocks = []
    for n, s in enumerate(starts):
        end = starts[n + 1] if n + 1 < len(starts) else len(code)
        blocks.append((s, end))
        for i in range(s, end):
            block_of[i] = n
    def successors(n):
        s, end = blocks[n]
        last = code[end - 1]
        b = branch(arch, last[1], last[2])
        out = []
        if b is None or b[1]:
            if end < len(code):
                out.append(block_of[end])
        if b is not None and b[0] in index:
            out.append(block_of[index[b[0]]])
        return out
    found = []
    for i, (a, mnem, ops) in enumerate(code):
        if not re.fullmatch(signature, mnem):
            continue
        origin = block_of[i]
        # Breadth first from the block back to itself.
        came = {}
        frontier = [origin]
        done = False
        while frontier and not done:
            following = []
            for n in frontier:
                for m in successors(n):
                    if m == origin:
                        came.setdefault(origin, n)
                        done = True
                        break
                    if m not in came:
                        came[m] = n
                        following.append(m)
                if done:
                    break
            frontier = following
        if not done:
            continue
        path = [origin]
        n = came[origin]
        while n != origin:
            path.append(n)
            n = came[n]
        path.reverse()  # origin ... the block that branches back to it
        path = [origin] + path[:-1] if path[0] != origin else path
        # From the head: the block a backward branch in the cycle goes to.
        heads = []
        for k, n in enumerate(path):
            s, end = blocks[n]
            last = code[end - 1]
            b = branch(arch, last[1], last[2])
            following = path[(k + 1) % len(path)]
            if b is not None and b[0] in index and block_of[index[b[0]]] == following \
                    and b[0] <= last[0]:
                heads.append((k + 1) % len(path))
        if not heads:
            continue
        k = heads[0]
        path = path[k:] + path[:k]
        key = tuple(sorted(path))
        if any(key == f[0] for f in found):
            continue
        instructions = [code[i] for n in path for i in range(*blocks[n])]
        found.append((key, instructions))
    return [f[1] for f in found]

def step(arch, instructions):
    """The bytes a turn takes: the largest step by an immediate that a register the loop's loads
    or stores are based on takes, else the largest that any register takes."""
    steps, bases = [], set()
    for _, mnem, ops in instructions:
        if arch == "x86":
            if not mnem.startswith("lea"):
                bases.update(re.findall(r"\(%(\w+)", ops))
            m = re.match(r"^\$0x([0-9a-f]+),%(\w+)$", ops)
            if m and mnem.startswith(("add", "sub")):
                value = int(m.group(1), 16)
                if mnem.startswith("sub"):  # a negative immediate: sub $-128 adds 128
                    value = (1 << (64 if len(m.group(1)) > 8 else 32)) - value
                steps.append((m.group(2), value))
            m = re.match(r"^0x([0-9a-f]+)\(%(\w+)\),%(\w+)$", ops)
            if m and mnem.startswith("lea"):
                steps.append((m.group(2), int(m.group(1), 16)))
        else:
            bases.update(re.findall(r"\[(\w+)", ops))
            m = re.match(r"^[wx]\d+, ([wx]\d+), #0x([0-9a-f]+)$", ops)
            if mnem == "add" and m:
                steps.append((m.group(1), int(m.group(2), 16)))
    def widest(register):  # %eax and %rax, w5 and x5, are one register
        if arch == "x86":
            return re.sub(r"^(r\d+)[dwb]$", r"\1", re.sub(r"^e", "r", register))
        return re.sub(r"^w", "x", register)
    bases = {widest(b) for b in bases}
    usual = [v for r, v in steps if v in (16, 32, 64, 128, 256)]
    based = [v for r, v in steps if v in (16, 32, 64, 128, 256) and widest(r) in bases]
    return max(based or usual or [0])

def as_mca(arch, instructions):
    lines = []
    for _, mnem, ops in instructions:
        if branch(arch, mnem, ops) is not None and not mnem.startswith("ret"):
            if arch == "x86":
                ops = ".Lturn"
            else:
                ops = re.sub(r"[0-9a-f]+ <[^>]*>", ".Lturn", ops)
        lines.append(("\t%s\t%s" % (mnem, ops)).rstrip())
    return ".Lturn:\n" + "\n".join(lines) + "\n"

def modelled(arch, text, cpu):
    triple = "x86_64-linux-gnu" if arch == "x86" else "aarch64-linux-gnu"
    out = subprocess.run(["llvm-mca-14", "-mtriple=" + triple, "-mcpu=" + cpu,
                          "-iterations=%d" % ITERATIONS], input=text, capture_output=True,
                         text=True)
    m = re.search(r"Total Cycles:\s+(\d+)", out.stdout)
    if out.returncode != 0 or not m:
        die("llvm-mca-14 -mcpu=%s failed:\n%s%s" % (cpu, out.stderr, text))
    return int(m.group(1)) / ITERATIONS

rows = []
dump = os.path.join(build, "loops")
os.makedirs(dump, exist_ok=True)
for kernel, variant, arch, patterns, signature, cpus in KERNELS:
    if kernel in OPTIONAL and not any(
            re.search(p, n) or re.search(p, s) for p in patterns for n, s in SYMBOLS[arch].items()):
        continue
    name, code = find_function(arch, patterns)
    loops = cycles_through(arch, code, signature)
    if not loops:
        die("no loop through %s with a backward branch in %s (%s build)" % (signature, name, arch))
    if kernel in SHORTEST:
        loops = [min(loops, key=len)]
    if kernel in WIDEST:
        loops = [max(loops, key=lambda loop: step(arch, loop))]
    results = {}
    bytes_told = told.get("%s/%s" % (kernel, variant))
    sizes = []
    for number, loop in enumerate(loops):
        size = bytes_told or step(arch, loop)
        with open(os.path.join(dump, "%s-%s-%d.s" % (kernel, variant, number)), "w") as f:
            f.write("# %s, %#x-%#x, %d bytes a turn\n" % (name, loop[0][0], loop[-1][0], size)
                    + as_mca(arch, loop))
        if size == 0:
            die("the bytes a turn takes were not found in the %s loop of %s; say them with "
                "MIRZET_MCA_BYTES=%s/%s=N" % (kernel, name, kernel, variant))
        sizes.append(size)
        text = as_mca(arch, loop)
        for cpu in cpus:
            per64 = modelled(arch, text, cpu) * 64 / size
            results[cpu] = max(results.get(cpu, 0), per64)
    rows.append((kernel, variant, sorted(set(sizes)), len(loops), results))

header = ["kernel", "build", "B/turn"] + PROCESSORS
table = []
for kernel, variant, sizes, count, results in rows:
    cells = [NAMES[kernel], variant, "/".join(map(str, sizes))]
    cells += ["%.2f" % results[c] if c in results else "" for c in PROCESSORS]
    table.append(cells)
if markdown:
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join(["---"] * 3 + ["---:"] * len(PROCESSORS)) + "|")
    for cells in table:
        print("| " + " | ".join(c if c else "—" for c in cells) + " |")
else:
    print("llvm-mca-14 cycles per 64 bytes, commit %s (loops in %s)" % (commit, dump))
    widths = [max(len(r[i]) for r in [header] + table) for i in range(len(header))]
    for cells in [header] + table:
        print("  ".join(c.ljust(w) if i < 2 else c.rjust(w)
                        for i, (c, w) in enumerate(zip(cells, widths))).rstrip())
PYTHON

[ "$measure" = 1 ] || exit 0

# --measure: each x86 kernel alone, through the entry points the dispatch calls, over text that
# stays in L1/L2 (16 KiB, the loops' buffers being 4 KiB and 8 KiB), best of several runs. The
# loops are built from the same sources with the release flags, without link-time optimisation
# (nothing here to inline them into).
cat >"$build/timer.cpp" <<'CPP'
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "textio/scan.h"

using namespace mirzet;

constexpr std::uint32_t N = 16384;
constexpr int ROUNDS = 51;
volatile std::uint32_t sink;

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e9 + t.tv_nsec;
}

// The least time, in ns, of one call of f, over ROUNDS rounds of enough calls for a millisecond.
template <class F>
double best(F f) {
    int calls = 1;
    for (;; calls *= 2) {  // enough calls for a millisecond
        const double t0 = now();
        for (int i = 0; i < calls; ++i)
            f();
        if (now() - t0 >= 1e6) break;
    }
    double least = 1e18;
    for (int round = 0; round < ROUNDS; ++round) {
        const double t0 = now();
        for (int i = 0; i < calls; ++i)
            f();
        least = std::min(least, (now() - t0) / calls);
    }
    return least;
}

// The clock the loops run at: a chain of dependent adds, one a cycle on every x86 processor.
double gigahertz() {
    const long turns = 2000000;
    double least = 1e18;
    for (int round = 0; round < 51; ++round) {
        // Between registers: some processors' renamers fold a chain of adds of an immediate.
        std::uint64_t x = 0, step = sink;
        const double t0 = now();
        for (long i = 0; i < turns; ++i)
            asm volatile("add %1,%0\n\tadd %1,%0\n\tadd %1,%0\n\tadd %1,%0" : "+r"(x) : "r"(step));
        least = std::min(least, now() - t0);
    }
    return 4.0 * turns / least;
}

// Lines of 20 to 60 characters, so that every 64 bytes hold a line end.
std::string lines(const char* end) {
    std::mt19937 random(12345);
    std::string text;
    while (text.size() < N) {
        const unsigned length = 20 + random() % 41;
        for (unsigned i = 0; i < length; ++i)
            text.push_back(random() % 6 == 0 ? ' ' : static_cast<char>('a' + random() % 26));
        text += end;
    }
    text.resize(N);
    return text;
}


int main() {
    const double ghz = gigahertz();
    const std::string lf = lines("\n"), crlf = lines("\r\n"), no_end(N, 'x');
    std::vector<char> out(2 * N + 4096), work(N + 64);
    std::printf("clock: %.2f GHz (a chain of dependent adds, at its fastest)\n", ghz);
    std::printf("%-24s %-7s %9s %12s\n", "kernel", "build", "ns/64 B", "cycles/64 B");
    const auto report = [&](const char* kernel, const char* build, double ns) {
        const double per64 = ns * 64 / N;
        std::printf("%-24s %-7s %9.3f %12.2f\n", kernel, build, per64, per64 * ghz);
    };
    const double restore = best([&] { std::memcpy(work.data(), crlf.data(), N); sink = work[7]; });
    const double stop = best([&] { sink = std::memchr(crlf.data(), 0x1a, N) != nullptr; });
    for (const scan::Path path : {scan::Path::AVX512, scan::Path::AVX2}) {
        if (!scan::processor_runs(path)) continue;
        scan::use_path(path);
        const char* name = scan::path_name(path);
        report("write: store with CRs", name, best([&] {
            sink = scan::expand_lf(out.data(), 2 * N, lf.data(), N).length;
        }));
        // The squeeze converts in place: the text is laid anew each call, and that copy, and the
        // library's search for a Ctrl-Z that comes before the loop, are taken off.
        report("read: store without CRs", name, best([&] {
            std::memcpy(work.data(), crlf.data(), N);
            sink = scan::squeeze_crlf(work.data(), N).kept;
        }) - restore - stop);
        report("search: CR or Ctrl-Z", name, best([&] {
            sink = scan::squeeze_crlf(const_cast<char*>(lf.data()), N).stop;
        }));
    }
    report("copy: search for LF", "sse2", best([&] {
        sink = scan::copy_through_lf(out.data(), no_end.data(), N);
    }));
}
CPP
flags=(-std=c++20 -O3 -DNDEBUG -fno-exceptions -fno-rtti -I"$source" -D_FILE_OFFSET_BITS=64
       -DMIRZET_SCAN_AVX2=1 -DMIRZET_SCAN_AVX512=1 -DMIRZET_SCAN_PORTABLE=0 -DMIRZET_HAVE_MEMRCHR=1)
c++ "${flags[@]}" -o "$build/timer" "$build/timer.cpp" "$source/textio/scan/avx2.cpp" \
    "$source/textio/scan/avx512.cpp" >>"$log" 2>&1 ||
    { echo "mca: the timer did not build (see $log)" >&2; exit 1; }
echo
echo "measured on this machine ($(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'))"
"$build/timer"
