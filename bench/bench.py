#!/usr/bin/env python3
"""mirzet's benchmarks and the checks built on them.

  bench.py guard [--program PATH] [--update]   instructions and mispredicted branches per MB, held
                                               to bench/guard.figure
  bench.py calls [--program PATH]              every read, write and lseek, held to bench/calls.tsv
  bench.py run [--mb N] [--runs N] [--before PATH]   the timed comparison with other tools
  bench.py report                              docs/benchmarks.md from the last run's figures
  bench.py mca [--measure]                     the kernels' cycles per 64 bytes as llvm-mca models them

Every copy a command makes is checked against the plain converter (bench/plain.cpp, which converts
with the tests' model of a DOS text copy). Checks end with "N passed, N failed" and exit 1 when one
failed. Tools are not installed here: a missing one is named with the package that has it.
"""
import argparse
import hashlib
import json
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
KINDS = ["source", "crlf", "long", "short", "mixed", "ragged"]
TEN_MB = 10_000_000
PACKAGES = {"valgrind": "valgrind", "callgrind_annotate": "valgrind", "strace": "strace",
            "qemu-aarch64": "qemu-user", "aarch64-linux-gnu-g++": "g++-aarch64-linux-gnu",
            "llvm-mca-14": "llvm-14", "unix2dos": "dos2unix", "objdump": "binutils", "perl": "perl"}
QEMU_ARM64 = ["qemu-aarch64", "-L", "/usr/aarch64-linux-gnu",
              "-E", "LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib"]


def say(text):
    print(text, flush=True)


class Tally:
    """Counts a check's results; its last line is "N passed, N failed"."""

    def __init__(self, name):
        self.name, self.passed, self.failed = name, 0, 0

    def check(self, ok, good, bad=None):
        if ok:
            self.passed += 1
            say(f"{self.name}: ok: {good}")
        else:
            self.failed += 1
            say(f"{self.name}: FAILED: {bad or good}")
        return ok

    def finish(self):
        say(f"{self.passed} passed, {self.failed} failed")
        return 1 if self.failed else 0


def missing(*tools):
    """The packages of the tools not found here."""
    return sorted({PACKAGES.get(t, t) for t in tools if shutil.which(t) is None})


def build(into, targets, *options, log):
    """Configures and builds TARGETS of the work tree in INTO, optimised as a release is."""
    with open(log, "a") as out:
        for command in (["cmake", "-S", ROOT, "-B", into, "-DCMAKE_BUILD_TYPE=Release",
                         "-DMIRZET_BENCH=ON", "-DMIRZET_TESTS=OFF", "-DMIRZET_WERROR=ON", *options],
                        ["cmake", "--build", into, "-j2", "--target", *targets]):
            if subprocess.run(command, stdout=out, stderr=out).returncode != 0:
                return False
    return True


class Corpora:
    """The generated corpora, kept in one directory across runs, and the plain converter's copy
    of each, made afresh in a scratch directory: the one oracle every copy is held to."""

    def __init__(self, tools, directory, scratch):
        self.tools, self.directory, self.scratch = Path(tools), Path(directory), Path(scratch)
        self.directory.mkdir(parents=True, exist_ok=True)

    def path(self, kind, size):
        name = f"{kind}-{size // 1_000_000}" if size % 1_000_000 == 0 else f"{kind}-{size}"
        path = self.directory / f"{name}.txt"
        if not path.exists() or path.stat().st_size == 0:
            part = path.with_name(f"{path.name}.{os.getpid()}.part")
            subprocess.run([self.tools / "mirzet_bench_gen", kind, str(size), part], check=True)
            part.replace(path)
        return path

    def expected(self, corpus):
        path = self.scratch / f"{Path(corpus).name}.plain"
        if not path.exists():
            with open(path, "wb") as out:
                subprocess.run([self.tools / "mirzet_bench_plain", corpus], stdout=out, check=True)
        return path

    def same(self, output, corpus):
        """Whether the file OUTPUT holds what the plain converter writes for CORPUS."""
        return Path(output).read_bytes() == self.expected(corpus).read_bytes()


def cpu_flags():
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    return set()


# What each x86 path of the byte loops needs of the processor, in MIRZET_SIMD's names.
PATH_FLAGS = {"baseline": set(), "avx2": {"avx2", "bmi1", "popcnt"},
              "avx512": {"avx2", "bmi1", "bmi2", "popcnt", "avx512f", "avx512bw", "avx512vl",
                         "avx512_vbmi2"}}


def x86_paths(flags=None):
    flags = cpu_flags() if flags is None else flags
    return [path for path, needs in PATH_FLAGS.items() if needs <= flags]


def simd_env(path):
    env = {k: v for k, v in os.environ.items() if k != "MIRZET_SIMD"}
    if path:
        env["MIRZET_SIMD"] = path
    return env


def valgrind(tool, command, env, scratch, *options):
    """Runs COMMAND under a valgrind TOOL with its output to a file: (the summary's counts by
    event name, the output's path), or (None, log) when valgrind gave none."""
    scratch = Path(scratch)
    counts, out, log = scratch / f"{tool}.out", scratch / f"{tool}-copy.txt", scratch / "valgrind.log"
    with open(out, "wb") as stdout, open(log, "wb") as stderr:
        subprocess.run(["valgrind", f"--tool={tool}", *options, f"--{tool}-out-file={counts}",
                        *command], env=env, stdout=stdout, stderr=stderr)
    events, totals = [], None
    if counts.exists():
        for line in counts.read_text().splitlines():
            if line.startswith("events:"):
                events = line.split()[1:]
            elif line.startswith(("summary:", "totals:")) and totals is None:
                totals = dict(zip(events, map(int, line.split()[1:])))
    return (totals, out) if totals else (None, log)


def strace_calls(runner, program, corpus, output, env, scratch, trace=None):
    """Records the program's copy of CORPUS to OUTPUT (file, pipe or pty) under strace and returns
    its calls' summary, "READS WRITES SEEKS BYTES-READ BYTES-WRITTEN SHA256": every read and lseek
    on the input and every write to standard output, from the opening of the input on (the
    loader's reads before it are not the program's). The hash is over the calls as text lines
    ("read 4096 4096", "write 1024 1024", "lseek -1 SEEK_CUR"): two copies that make the same
    calls in number, size and order share it. TRACE, when given, receives the calls for the
    replayer: three little-endian 32-bit integers each."""
    scratch = Path(scratch)
    log = scratch / "strace.log"
    target = f"file:{scratch / 'strace-copy.txt'}" if output == "file" else output
    subprocess.run([runner, "-i", "/dev/null", "-o", target, "strace", "-qq", "-e", "signal=none",
                    "-e", "trace=openat,read,write,lseek", "-s", "0", "-o", log, program, corpus],
                   env=env, stdout=subprocess.DEVNULL, check=True)
    whence = {"SEEK_SET": 0, "SEEK_CUR": 1, "SEEK_END": 2}
    sha, records, fd = hashlib.sha256(), [], None
    reads = writes = seeks = read_bytes = written_bytes = 0
    opening = re.compile(r'openat\(AT_FDCWD, "' + re.escape(str(corpus)) + r'", .*\) = (\d+)$')
    for line in log.read_text().splitlines():
        if fd is None:
            if m := opening.match(line):
                fd = m.group(1)
                read_re = re.compile(rf"read\({fd}, .*, (\d+)\)\s*= (-?\d+)")
                seek_re = re.compile(rf"lseek\({fd}, (-?\d+), (SEEK_\w+)\)")
            continue
        if m := read_re.match(line):
            text, record = f"read {m[1]} {m[2]}", (0, int(m[1]), 0)
            reads, read_bytes = reads + 1, read_bytes + max(int(m[2]), 0)
        elif m := re.match(r"write\(1, .*, (\d+)\)\s*= (-?\d+)", line):
            text, record = f"write {m[1]} {m[2]}", (1, int(m[1]), 0)
            writes, written_bytes = writes + 1, written_bytes + max(int(m[2]), 0)
        elif m := seek_re.match(line):
            text, record = f"lseek {m[1]} {m[2]}", (2, int(m[1]), whence[m[2]])
            seeks += 1
        else:
            continue
        if record[0] != 2 and record[1] > 65536:
            raise SystemExit(f"a call of {record[1]} bytes: more than the replayer's block")
        sha.update(f"{text}\n".encode())
        records.append(record)
    if fd is None:
        raise SystemExit(f"{log}: no opening of {corpus}")
    if trace:
        Path(trace).write_bytes(b"".join(struct.pack("<3i", *r) for r in records))
    return f"{reads} {writes} {seeks} {read_bytes} {written_bytes} {sha.hexdigest()}"


def stored_calls():
    """bench/calls.tsv: (kind, MB) -> the calls' summary recorded before the fast paths."""
    table = {}
    for line in (ROOT / "bench/calls.tsv").read_text().splitlines():
        if line and not line.startswith("#"):
            kind, mb, *summary = line.split("\t")
            table[kind, int(mb)] = " ".join(summary)
    return table


# ---- the qemu count for arm64 ----

def predictor():
    """The branch predictor cachegrind simulates, so that arm64's figures stand beside x86-64's:
    16384 two-bit counters, starting at "not taken", each indexed by 7 bits of the branch's
    address below the outcomes of the last 7 conditional branches. The address bits lie within a
    page, so the counters are the same wherever the program is loaded. Returns the function that
    takes one branch's (address, taken) and tells whether it was mispredicted."""
    counters, history = bytearray(1 << 14), 0

    def predict(address, taken):
        nonlocal history
        i = (history & 0x7F) << 7 | (address >> 2) & 0x7F  # arm64's instructions are 4-aligned
        wrong = (counters[i] >= 2) != taken
        counters[i] = min(counters[i] + 1, 3) if taken else max(counters[i] - 1, 0)
        history = history << 1 | taken
        return wrong
    return predict


CONDITIONAL = re.compile(r"b\.\w+|cbn?z|tbn?z")


def arm64_counts(program, corpus, out):
    """Runs PROGRAM on CORPUS under qemu-aarch64, which logs each translated block's instructions
    once (in_asm) and a line each time a block runs (exec; nochain, so every run is logged): the
    instructions run, the conditional branches among them (each ends its block) and those the
    predictor gets wrong. A branch was taken when the next block is not the instruction after it."""
    command = [*QEMU_ARM64, "-d", "in_asm,exec,nochain", "-D", "/dev/stderr", program, corpus]
    blocks, fresh, block, start = {}, {}, None, None
    instructions = branches = wrong = 0
    pending, predict = None, predictor()
    with open(out, "wb") as stdout:
        qemu = subprocess.Popen(command, stdout=stdout, stderr=subprocess.PIPE, text=True)
        for line in qemu.stderr:
            if line.startswith("Trace "):
                # A block is known by its address and its flags, which its translation does not
                # log: one runs straight after it is translated, and that binds the two.
                key = line.split("[", 1)[1].split("]", 1)[0]
                address = int(key.split("/")[1], 16)
                if address in fresh:
                    blocks[key] = fresh.pop(address)
                size, branch = blocks[key]
                instructions += size
                if pending is not None:
                    branches += 1
                    wrong += predict(pending, address != pending + 4)
                pending = branch
            elif line.startswith("0x"):
                address, _, rest = line.partition(":")
                words = rest.split()
                address = int(address, 16)
                if block is None:
                    block, start = [], address
                block.append((address, CONDITIONAL.fullmatch(words[1]) if len(words) > 1 else None))
            elif block is not None:  # the blank line after a block's instructions
                fresh[start] = (len(block), block[-1][0] if block[-1][1] else None)
                block = None
        if qemu.wait() != 0:
            raise SystemExit(f"qemu-aarch64: {program} {corpus} failed")
    return instructions, branches, wrong


def arm64_per_mb(program, corpora, kind, sizes, scratch):
    """Per MB of input: the counts of the big corpus less the small one's, so that start-up and
    the last partial blocks drop out. Each copy is held to the plain converter's."""
    counts, ok = [], True
    for size in sizes:
        corpus, out = corpora.path(kind, size), Path(scratch) / "arm64-copy.txt"
        counts.append(arm64_counts(program, corpus, out))
        ok = ok and corpora.same(out, corpus)
    low, high = (corpora.path(kind, size).stat().st_size for size in sizes)
    return [(b - a) * 1_000_000 // (high - low) for a, b in zip(*counts)], ok


# ---- guard ----

FIGURE_HEADER = """\
# Per MB of output, the 10 MB corpora of the guard (bench/bench.py guard). Instructions (callgrind,
# the source-like corpus) for each path of the byte loops: AVX2 and SSE2, picked with
# MIRZET_SIMD, and avx2-crlf, the CR-LF corpus on AVX2, where the read shows;
# the portable block that processors other than x86-64 and arm64 run,
# forced on x86-64; and arm64, per MB of input, counted under qemu.
# avx2-mispredicts-KIND: the conditional branches cachegrind
# mispredicts on the AVX2 path, for each kind of corpus; arm64-mispredicts-KIND,
# those the same predictor mispredicts on arm64, per MB of input, counted under qemu.
"""


def guard(args):
    tally = Tally("guard")
    build_dir = Path(args.build).resolve()
    log = build_dir.parent / f"{build_dir.name}.log"
    if lacking := missing("valgrind"):
        tally.check(False, f"install {' '.join(lacking)}")
        return tally.finish()
    build_dir.parent.mkdir(parents=True, exist_ok=True)
    log.write_text("")
    # The portable block is what processors other than x86-64 and arm64 run: a build forcing it
    # keeps its figure.
    portable = build_dir / "portable"
    if not build(portable, ["mirzet", "mirzet_bench_gen", "mirzet_bench_plain"],
                 "-DMIRZET_PORTABLE_SCAN=ON", log=log):
        tally.check(False, f"the build failed (see {log})")
        return tally.finish()
    program = Path(args.program).resolve() if args.program else None
    if program is None:
        if not build(build_dir / "release", ["mirzet"], log=log):
            tally.check(False, f"the build failed (see {log})")
            return tally.finish()
        program = build_dir / "release/mirzet"
    figure_file = ROOT / "bench/guard.figure"
    stored = dict(line.split() for line in figure_file.read_text().splitlines()
                  if line and not line.startswith("#"))
    measured = {}

    def hold(name, value, what):
        measured[name] = value
        if args.update:
            tally.check(True, f"stored {value} {what}")
        elif name not in stored:
            tally.check(False, f"bench/guard.figure holds no figure for {name}: store one with --update")
        else:
            limit = int(stored[name]) + int(stored[name]) // 10
            tally.check(value <= limit, f"{value} {what}, stored {stored[name]}, at most {limit} allowed",
                        f"{value} {what}, more than 10 % over the stored {stored[name]}")

    with tempfile.TemporaryDirectory(prefix="mirzet-guard.") as scratch:
        corpora = Corpora(portable / "bench", args.dir, scratch)

        def count(path, kind, program, simd, event, tool, *options):
            """The program's copy of the kind's corpus, checked, then the EVENT the tool counts
            per MB of output, or None."""
            corpus, env = corpora.path(kind, TEN_MB), simd_env(simd)
            label = f"the {path} path's copy of the {kind} corpus"
            copy = Path(scratch) / "copy.txt"
            with open(copy, "wb") as out:
                subprocess.run([program, corpus], env=env, stdout=out)
            tally.check(corpora.same(copy, corpus), f"{label} equals the plain converter's",
                        f"{label} differs from the plain converter's")
            totals, out = valgrind(tool, [program, corpus], env, scratch, *options)
            size = out.stat().st_size if totals else 0
            if not totals or event not in totals or size == 0:
                tally.check(False, f"{tool} gave no count for {label} (see {out})")
                return None
            return totals[event] * 1_000_000 // size

        # The copy runs AVX2 loops where the processor has them and SSE2 loops elsewhere, so a
        # figure is kept for each path; a processor without AVX2 counts SSE2 alone. Under valgrind
        # the processor shows no AVX-512, but the AVX2 runs name their path all the same.
        avx2 = "avx2" in cpu_flags()
        avx2_ir = None
        if avx2 and (avx2_ir := count("avx2", "source", program, "avx2", "Ir", "callgrind")) is not None:
            hold("avx2", avx2_ir, "instructions per MB on the avx2 path")
            # The read's loop, which the source-like corpus, with no CR, hardly runs.
            if (ir := count("avx2", "crlf", program, "avx2", "Ir", "callgrind")) is not None:
                hold("avx2-crlf", ir, "instructions per MB on the avx2 path, crlf corpus")
        if (ir := count("sse2", "source", program, "baseline", "Ir", "callgrind")) is not None:
            # A name the program does not know leaves it on its best path, and the SSE2 figure
            # would silently be the AVX2 one's.
            if avx2_ir is not None:
                tally.check(not avx2_ir * 99 <= ir * 100 <= avx2_ir * 101,
                            "MIRZET_SIMD=baseline counted apart from the avx2 path",
                            "MIRZET_SIMD=baseline counted within 1 % of the avx2 path: SSE2 did not run")
            hold("sse2", ir, "instructions per MB on the sse2 path")
        if (ir := count("portable", "source", portable / "mirzet", None, "Ir", "callgrind")) is not None:
            hold("portable", ir, "instructions per MB on the portable path")
        # A missed branch costs the time of many instructions, which their count does not show.
        if avx2:
            for kind in KINDS:
                if (bcm := count("avx2", kind, program, "avx2", "Bcm", "cachegrind",
                                 "--branch-sim=yes", "--cache-sim=no")) is not None:
                    hold(f"avx2-mispredicts-{kind}", bcm,
                         f"mispredicted branches per MB on the avx2 path, {kind} corpus")
        else:
            say("guard: no AVX2 here: the avx2 path's mispredicted branches are not checked")
        # The NEON block runs on no machine CI has: qemu counts it. Corpora of 0.1 and 0.6 MB keep
        # it short; the difference of their counts is within 2 % of that of 0.2 and 2.2 MB.
        if lacking := missing("aarch64-linux-gnu-g++", "qemu-aarch64"):
            say(f"guard: no {' or '.join(lacking)} here: the arm64 figures are not checked")
        elif not build(build_dir / "arm64", ["mirzet"], "-DMIRZET_BENCH=OFF",
                       f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'cmake/toolchains/arm64.cmake'}", log=log):
            tally.check(False, f"the arm64 build failed (see {log})")
        else:
            for kind in KINDS:
                (instructions, _, wrong), same = arm64_per_mb(
                    build_dir / "arm64/mirzet", corpora, kind, (100_000, 600_000), scratch)
                tally.check(same, f"the arm64 copies of the {kind} corpora equal the plain converter's",
                            f"an arm64 copy of the {kind} corpora differs from the plain converter's")
                if kind == "source":
                    hold("arm64", instructions, "instructions per MB on the arm64 path")
                hold(f"arm64-mispredicts-{kind}", wrong,
                     f"mispredicted branches per MB on the arm64 path, {kind} corpus")
    if args.update:
        stored.update(measured)
        figure_file.write_text(FIGURE_HEADER + "".join(f"{k} {v}\n" for k, v in sorted(stored.items())))
    return tally.finish()


# ---- calls ----

def calls(args):
    """Holds the program's calls and output to the recorded ones on every path of the byte loops
    this processor runs: for each kind at 10 MB, to a file and to a pipe. A change to how bytes
    move between the buffers may not show in any count but these."""
    tally = Tally("calls")
    if lacking := missing("strace"):
        tally.check(False, f"install {' '.join(lacking)}")
        return tally.finish()
    build_dir = Path(args.build).resolve()
    log = build_dir.parent / f"{build_dir.name}.log"
    build_dir.parent.mkdir(parents=True, exist_ok=True)
    log.write_text("")
    targets = ["mirzet_bench_gen", "mirzet_bench_plain", "mirzet_bench_runner"]
    if not build(build_dir, targets + ([] if args.program else ["mirzet"]), log=log):
        tally.check(False, f"the build failed (see {log})")
        return tally.finish()
    program = Path(args.program).resolve() if args.program else build_dir / "mirzet"
    stored, paths = stored_calls(), x86_paths()
    with tempfile.TemporaryDirectory(prefix="mirzet-calls.") as scratch:
        corpora = Corpora(build_dir / "bench", args.dir, scratch)
        for kind in KINDS:
            corpus = corpora.path(kind, TEN_MB)
            for path in paths:
                env = simd_env(path)
                for output in ("file", "pipe"):
                    got = strace_calls(build_dir / "bench/mirzet_bench_runner", program, corpus,
                                       output, env, scratch)
                    tally.check(got == stored[kind, 10], f"the calls of {kind} on {path} to a {output}",
                                f"the calls of {kind} on {path} to a {output}: {got} "
                                f"against {stored[kind, 10]}")
                    if output == "file":
                        tally.check(corpora.same(Path(scratch) / "strace-copy.txt", corpus),
                                    f"the output of {kind} on {path} to a file equals the plain converter's")
                what = f"the output of {kind} on {path}"
                piped = subprocess.run([program, corpus], env=env, capture_output=True).stdout
                tally.check(piped == corpora.expected(corpus).read_bytes(),
                            f"{what} to a pipe equals the plain converter's")
    return tally.finish()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    dirs = {"--dir": dict(default="/tmp/mirzet-bench", help="where the corpora are kept")}

    def command(name, function, build_default, **options):
        sub = commands.add_parser(name)
        sub.set_defaults(function=function)
        sub.add_argument("--build", default=str(ROOT / "build" / build_default),
                         help="the build directory for the tools it builds")
        for flag, option in {**dirs, **options}.items():
            sub.add_argument(flag, **option)
        return sub

    program = dict(help="the release-built mirzet to measure (default: built here)")
    command("guard", guard, "guard", **{"--program": program, "--update": dict(
        action="store_true", help="store the figures measured now, after a change meant to move them")})
    command("calls", calls, "calls", **{"--program": program})
    args = parser.parse_args()
    sys.exit(args.function(args))


if __name__ == "__main__":
    main()
